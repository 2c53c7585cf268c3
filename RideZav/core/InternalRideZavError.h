#pragma once

#include <exception>
#include <string>
#if __has_include(<source_location>)
#include <source_location>
#endif

namespace ridezav {

// Where an error was made. std::source_location where the library has it; clang 14 (the fuzz
// builds) lacks it and gets the same from its builtins.
struct RideZavSourceLocation {
#if defined(__cpp_lib_source_location)
    static RideZavSourceLocation current(std::source_location where = std::source_location::current()) {
        return {where.file_name(), static_cast<unsigned>(where.line())};
    }
#else
    static RideZavSourceLocation current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) { return {file, line}; }
#endif
    const char* file;
    unsigned line;
};

// The library's own thrown error: "message (file:line)". Caught inside the library; it never
// reaches the application.
struct InternalRideZavError : std::exception {
    explicit InternalRideZavError(const std::string& message, RideZavSourceLocation where = RideZavSourceLocation::current())
        : description(message + " (" + where.file + ":" + std::to_string(where.line) + ")") {}

    const char* what() const noexcept override { return description.c_str(); }

    std::string description;
};

}  // namespace ridezav
