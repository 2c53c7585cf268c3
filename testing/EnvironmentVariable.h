#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace velmo::test {

// Sets (or, with nullopt, removes) one environment variable for the life of the object, then
// puts back what was there.
class EnvironmentVariable {
public:
    EnvironmentVariable(std::string name, std::optional<std::string> value)
        : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) previous_ = old;
        set(value);
    }
    ~EnvironmentVariable() { set(previous_); }
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

private:
    void set(const std::optional<std::string>& value) {
        if (value)
            setenv(name_.c_str(), value->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace velmo::test
