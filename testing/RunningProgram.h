#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/runtime/Duration.h"
#include "testing/ChildProcess.h"

namespace velmo::test {

// A program started with environment changes, its standard output and error read together as
// they come. A program still running when this goes is killed.
class RunningProgram {
public:
    RunningProgram(const std::string& program, std::vector<std::string> arguments, const ExecPlan::EnvironmentChanges& environment);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    bool started() const { return pid_ > 0 && out_ >= 0; }
    const std::string& output() const { return output_; }
    pid_t pid() const { return pid_; }

    // Reads output until `condition` holds (checked after every read and at least every 20 ms),
    // the output ends or `timeout` passes.
    bool waitFor(const std::function<bool()>& condition, Seconds timeout = Seconds(60));
    bool waitForLineStarting(const std::string& prefix, Seconds timeout = Seconds(60));
    // The first whole line of output that starts with `prefix`, or empty.
    std::string lineStarting(const std::string& prefix) const;
    // Reads until the output ends and the program exits, at most `timeout`; its wait status, or
    // -1 (then it is killed).
    int waitForExit(Seconds timeout = Seconds(60));

    void signal(int number);
    // SIGSTOP, returning once the program has stopped: nothing of it runs until resume().
    void pause();
    void resume();

private:
    void read(int milliseconds);

    pid_t pid_ = -1;
    int out_ = -1;
    bool ended_ = false;
    std::string output_;
};

}  // namespace velmo::test
