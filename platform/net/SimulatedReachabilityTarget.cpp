#include "platform/net/SimulatedReachabilityTarget.h"

#include <utility>

#include "platform/runtime/SerialQueue.h"

namespace velmo {

std::optional<ReachabilityFlags> SimulatedReachabilityTarget::flags() {
    std::lock_guard lock(mutex_);
    ++reads_;
    if (failFlags_) {
        lastError_ = std::exchange(failFlags_, 0);
        return std::nullopt;
    }
    return flags_;
}

bool SimulatedReachabilityTarget::setCallback(Callback callback) {
    std::lock_guard lock(mutex_);
    if (failCallback_ && callback) {
        lastError_ = std::exchange(failCallback_, 0);
        return false;
    }
    callback_ = std::move(callback);
    return true;
}

bool SimulatedReachabilityTarget::setDispatchQueue(std::shared_ptr<SerialQueue> queue) {
    std::lock_guard lock(mutex_);
    if (failQueue_ && queue) {
        lastError_ = std::exchange(failQueue_, 0);
        return false;
    }
    queue_ = std::move(queue);
    return true;
}

int SimulatedReachabilityTarget::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

void SimulatedReachabilityTarget::setFlags(ReachabilityFlags flags) {
    Callback callback;
    std::shared_ptr<SerialQueue> queue;
    {
        std::lock_guard lock(mutex_);
        flags_ = flags;
        callback = callback_;
        queue = queue_;
    }
    if (callback && queue) queue->async([callback, flags] { callback(flags); });
}

void SimulatedReachabilityTarget::failNextFlagsRead(int error) {
    std::lock_guard lock(mutex_);
    failFlags_ = error;
}
void SimulatedReachabilityTarget::failNextSetCallback(int error) {
    std::lock_guard lock(mutex_);
    failCallback_ = error;
}
void SimulatedReachabilityTarget::failNextSetDispatchQueue(int error) {
    std::lock_guard lock(mutex_);
    failQueue_ = error;
}
int SimulatedReachabilityTarget::flagsReadCount() const {
    std::lock_guard lock(mutex_);
    return reads_;
}
bool SimulatedReachabilityTarget::hasCallback() const {
    std::lock_guard lock(mutex_);
    return bool(callback_);
}
bool SimulatedReachabilityTarget::hasQueue() const {
    std::lock_guard lock(mutex_);
    return bool(queue_);
}

}  // namespace velmo
