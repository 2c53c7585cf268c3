#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace ridezav {

// The library's own thrown error: "message (file:line)". Caught inside the library; it never
// reaches the application.
struct InternalRideZavError : std::exception {
    explicit InternalRideZavError(const std::string& message, std::source_location where = std::source_location::current())
        : description(message + " (" + where.file_name() + ":" + std::to_string(where.line()) + ")") {}

    const char* what() const noexcept override { return description.c_str(); }

    std::string description;
};

}  // namespace ridezav
