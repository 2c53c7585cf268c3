#include "testing/XvfbServer.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "testing/ChildProcess.h"

namespace velmo::test {

XvfbServer::XvfbServer(const std::string& screen, const std::vector<std::string>& extraArguments) {
    int fds[2];
    if (pipe(fds) != 0) {
        failure_ = "pipe failed";
        return;
    }
    std::vector<std::string> arguments{
        "Xvfb",       "-displayfd", std::to_string(fds[1]), "-screen",         "0",          screen, "-noreset", "-nolisten", "tcp",
        "+extension", "RANDR",      "+extension",           "XInputExtension", "+extension", "XTEST"};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    const ExecPlan xvfb("Xvfb", std::move(arguments));
    pid_ = fork();
    if (pid_ == 0) {
        // A test that crashes or is killed takes its server with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(fds[0]);
        xvfb.exec();
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        failure_ = "fork failed";
        return;
    }
    // Xvfb writes the display number and a newline once it accepts connections; on a loaded
    // machine that can take seconds.
    std::string number;
    bool closed = false;
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[32];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closed = true;
            break;
        }
        number.append(buf, size_t(n));
    }
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
    if (number.empty()) {
        if (!closed) ::kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (!closed) {
            failure_ = "Xvfb reported no display within 30 s";
        } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
            failure_ = "Xvfb could not be started (is the xvfb package installed?)";
        } else {
            failure_ = "Xvfb ended before reporting a display (status " + std::to_string(status) + ")";
        }
        return;
    }
    display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

void XvfbServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int XvfbServer::run(const std::string& command) const {
    std::string full = "DISPLAY=" + display_ + " " + command;
    int status = std::system(full.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace velmo::test
