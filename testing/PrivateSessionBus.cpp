#include "testing/PrivateSessionBus.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmo::test {

PrivateSessionBus::PrivateSessionBus() {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1", (char*)nullptr);
        _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
        close(out[0]);
        return;
    }
    char buf[512];
    std::string line;
    ssize_t n;
    while (line.find('\n') == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0) line.append(buf, std::size_t(n));
    close(out[0]);
    if (line.find('\n') != std::string::npos) address_ = line.substr(0, line.find('\n'));
}

PrivateSessionBus::~PrivateSessionBus() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

}  // namespace velmo::test
