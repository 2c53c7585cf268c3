#include "testing/RunningProgram.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace velmo::test {

using Clock = std::chrono::steady_clock;

RunningProgram::RunningProgram(const std::string& program, std::vector<std::string> arguments,
                               const ExecPlan::EnvironmentChanges& environment) {
    int out[2];
    if (pipe(out) != 0) return;
    const ExecPlan plan(program, std::move(arguments), environment);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        plan.exec();
    }
    close(out[1]);
    out_ = out[0];
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0 && !ended_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
}

bool RunningProgram::waitFor(const std::function<bool()>& condition, Seconds timeout) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
    for (;;) {
        if (condition()) return true;
        if (out_ < 0 || Clock::now() > deadline) return false;
        read(20);
    }
}

bool RunningProgram::waitForLineStarting(const std::string& prefix, Seconds timeout) {
    return waitFor([&] { return !lineStarting(prefix).empty(); }, timeout);
}

std::string RunningProgram::lineStarting(const std::string& prefix) const {
    for (std::size_t at = 0; at < output_.size();) {
        std::size_t end = output_.find('\n', at);
        if (end == std::string::npos) break;
        if (output_.compare(at, prefix.size(), prefix) == 0) return output_.substr(at, end - at);
        at = end + 1;
    }
    return {};
}

int RunningProgram::waitForExit(Seconds timeout) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
    while (out_ >= 0 && Clock::now() < deadline) read(200);
    if (out_ >= 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        ended_ = true;
        return -1;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    ended_ = true;
    return status;
}

void RunningProgram::signal(int number) { kill(pid_, number); }

void RunningProgram::pause() {
    kill(pid_, SIGSTOP);
    int status = 0;
    waitpid(pid_, &status, WUNTRACED);
}

void RunningProgram::resume() { kill(pid_, SIGCONT); }

void RunningProgram::read(int milliseconds) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, milliseconds) <= 0) return;
    char buf[4096];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n > 0) {
        output_.append(buf, std::size_t(n));
    } else {
        close(out_);
        out_ = -1;
    }
}

}  // namespace velmo::test
