// Forked children that crash for real, for the crash reporter's tests.
#pragma once

#include <functional>
#include <string>

namespace zvcrash::testing {

struct ChildOutcome {
    int status = 0;  // as waitpid gives it
    std::string output;  // what the child wrote to the pipe it was given

    bool signaled(int signo) const;
    bool exited(int code) const;
    // "signal 11", "exit 0": for failure messages.
    std::string describe() const;
};

// Runs body in a forked child with core dumps off and an alarm, so that a hang ends as SIGALRM.
// body writes what the parent should see to the descriptor it is given; a body that returns
// makes the child exit with status 0.
ChildOutcome runInChild(const std::function<void(int outputFd)>& body, unsigned alarmSeconds = 20);

// Writes text to fd with write(2) alone (no stdio), for use inside signal handlers.
void writeText(int fd, const char* text);

}  // namespace zvcrash::testing
