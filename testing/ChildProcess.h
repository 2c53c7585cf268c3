#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmo::test {

// A program, its arguments and its environment, made ready before a fork so that the child of
// a threaded test process can start it with async-signal-safe calls only. A child that
// allocates or sets environment variables can hang on a lock some other thread held at the
// moment of the fork; AddressSanitizer's allocator, which the child does not reset, made that
// happen for real.
class ExecPlan {
public:
    // Environment changes: a name with a value sets it, a name without one removes it.
    using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

    // `program` is looked up on PATH when it holds no slash; `arguments` start with argv[0].
    ExecPlan(const std::string& program, std::vector<std::string> arguments, const EnvironmentChanges& environment = {});
    ExecPlan(const ExecPlan&) = delete;
    ExecPlan& operator=(const ExecPlan&) = delete;

    // Replaces the calling process; exits with status 127 when the program cannot be run.
    // Async-signal-safe: meant for the child between fork and exec.
    [[noreturn]] void exec() const noexcept;

private:
    std::string path_;
    std::vector<std::string> arguments_;
    std::vector<std::string> environment_;
    std::vector<char*> argv_;
    std::vector<char*> envp_;
};

}  // namespace velmo::test
