#include "platform/base/Logger.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

namespace velmo {
namespace {
std::mutex& logMutex() {
    static std::mutex m;
    return m;
}
std::vector<LogObserver*>& observers() {
    static std::vector<LogObserver*> o;
    return o;
}
}  // namespace

void Logger::log(std::string_view line) {
    std::lock_guard lock(logMutex());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    for (LogObserver* observer : observers()) observer->logged(line);
}

void addLogObserver(LogObserver* observer) {
    std::lock_guard lock(logMutex());
    observers().push_back(observer);
}

void removeLogObserver(LogObserver* observer) {
    std::lock_guard lock(logMutex());
    auto& o = observers();
    o.erase(std::remove(o.begin(), o.end(), observer), o.end());
}

}  // namespace velmo
