#include "testing/ChildProcess.h"

#include <unistd.h>

#include <cstdlib>

extern char** environ;

namespace velmo::test {

namespace {

std::string findOnPath(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string folder = folders.substr(start, end - start);
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return program;  // execve fails on it and the child exits with 127
}

}  // namespace

ExecPlan::ExecPlan(const std::string& program, std::vector<std::string> arguments, const EnvironmentChanges& environment)
    : path_(findOnPath(program)),
      arguments_(std::move(arguments)) {
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        bool changed = false;
        for (const auto& change : environment) changed = changed || change.first == name;
        if (!changed) environment_.push_back(std::move(variable));
    }
    for (const auto& [name, value] : environment) {
        if (value) environment_.push_back(name + "=" + *value);
    }
    for (auto& argument : arguments_) argv_.push_back(argument.data());
    argv_.push_back(nullptr);
    for (auto& variable : environment_) envp_.push_back(variable.data());
    envp_.push_back(nullptr);
}

void ExecPlan::exec() const noexcept {
    execve(path_.c_str(), argv_.data(), envp_.data());
    _exit(127);
}

}  // namespace velmo::test
