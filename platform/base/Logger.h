#pragma once

#include <string>
#include <string_view>

namespace velmo {

// Plain log lines on standard output, one flushed line per call, safe from any thread.
class Logger {
public:
    static void log(std::string_view line);
};

inline void logLine(std::string_view line) { Logger::log(line); }

// Hears every line logged while it is registered (test captures). Called under the logger's
// lock, on the logging thread: it must not log itself.
class LogObserver {
public:
    virtual ~LogObserver() = default;
    virtual void logged(std::string_view line) = 0;
};

void addLogObserver(LogObserver* observer);
void removeLogObserver(LogObserver* observer);

}  // namespace velmo
