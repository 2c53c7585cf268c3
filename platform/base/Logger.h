#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace velmo {

// Plain log lines on standard output, one flushed line per call, safe from any thread.
class Logger {
public:
    static void log(std::string_view line);
};

inline void logLine(std::string_view line) { Logger::log(line); }

// Collects every line logged while it lives (tests assert on them). Lines still reach stdout.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // Lines that start with the given prefix, in order.
    std::vector<std::string> linesStartingWith(std::string_view prefix) const;
    bool contains(std::string_view line) const;
    void clear();

private:
    friend class Logger;
    void append(std::string_view line);
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace velmo
