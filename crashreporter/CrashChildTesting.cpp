#include "crashreporter/CrashChildTesting.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace zvcrash::testing {

bool ChildOutcome::signaled(int signo) const { return WIFSIGNALED(status) && WTERMSIG(status) == signo; }
bool ChildOutcome::exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

std::string ChildOutcome::describe() const {
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status)) + ", output \"" + output + "\"";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status)) + ", output \"" + output + "\"";
    return "status " + std::to_string(status);
}

void writeText(int fd, const char* text) {
    size_t length = std::strlen(text);
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

ChildOutcome runInChild(const std::function<void(int outputFd)>& body, unsigned alarmSeconds) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(fds[0]);
        rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        alarm(alarmSeconds);
        body(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    ChildOutcome outcome;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        outcome.output.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    while (waitpid(pid, &outcome.status, 0) < 0 && errno == EINTR) {
    }
    return outcome;
}

}  // namespace zvcrash::testing
