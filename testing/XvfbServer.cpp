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

namespace velmo::test {

XvfbServer::XvfbServer(const std::string& screen, const std::vector<std::string>& extraArguments) {
    int fds[2];
    if (pipe(fds) != 0) {
        failure_ = "pipe failed";
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        // A test that crashes or is killed takes its server with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(fds[0]);
        std::string fd = std::to_string(fds[1]);
        std::vector<std::string> arguments{
            "Xvfb",       "-displayfd", fd,           "-screen",         "0",          screen, "-noreset", "-nolisten", "tcp",
            "+extension", "RANDR",      "+extension", "XInputExtension", "+extension", "XTEST"};
        arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
        std::vector<char*> argv;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp("Xvfb", argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        failure_ = "fork failed";
        return;
    }
    // Xvfb writes the display number and a newline once it accepts connections. A loaded
    // machine (a sanitizer build running eight tests at once) can take many seconds to get there.
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
