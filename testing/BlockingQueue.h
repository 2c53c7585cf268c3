#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace velmo::test {

// Values handed over from other threads (callbacks, completions) to a waiting test.
template <class T>
class BlockingQueue {
public:
    void push(T value) {
        {
            std::lock_guard lock(mutex_);
            values_.push_back(std::move(value));
        }
        cv_.notify_all();
    }

    // The oldest value, waiting for one up to `timeout` (real time).
    std::optional<T> pop(std::chrono::duration<double> timeout = std::chrono::duration<double>(10)) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [&] { return !values_.empty(); })) return std::nullopt;
        T value = std::move(values_.front());
        values_.pop_front();
        return value;
    }

    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return values_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<T> values_;
};

}  // namespace velmo::test
