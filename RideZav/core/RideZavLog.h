#pragma once

#include <string_view>

namespace ridezav {

// The library's log lines: "[RideZav] " + message on standard output, only while debug logging
// is on. The switch is process-wide and safe to flip and read from any thread.
class RideZavLog {
public:
    static constexpr std::string_view prefix = "[RideZav] ";

    static void setDebug(bool enabled);
    static bool isDebug();
    // Prints the message with the prefix when debug logging is on; nothing otherwise.
    static void log(std::string_view message);
    // Prints the message with the prefix whether debug logging is on or not: for the failures a
    // user must hear of (callers see to it that each is said once, not per event).
    static void warning(std::string_view message);
};

inline void ridezavLog(std::string_view message) { RideZavLog::log(message); }

}  // namespace ridezav
