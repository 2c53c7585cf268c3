#include "RideZav/core/RideZavLog.h"

#include <atomic>
#include <string>

#include "platform/base/Logger.h"

namespace ridezav {

namespace {
std::atomic<bool> debugEnabled{false};
}

void RideZavLog::setDebug(bool enabled) { debugEnabled.store(enabled, std::memory_order_relaxed); }

bool RideZavLog::isDebug() { return debugEnabled.load(std::memory_order_relaxed); }

void RideZavLog::log(std::string_view message) {
    if (!isDebug()) return;
    warning(message);
}

void RideZavLog::warning(std::string_view message) {
    std::string line;
    line.reserve(prefix.size() + message.size());
    line.append(prefix).append(message);
    velmo::logLine(line);
}

}  // namespace ridezav
