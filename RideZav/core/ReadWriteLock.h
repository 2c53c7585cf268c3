#pragma once

#include <mutex>
#include <shared_mutex>
#include <type_traits>
#include <utility>

namespace ridezav {

// One value guarded by a read-write lock: many readers at once, one writer. Thread-safe.
// A change that depends on the old value goes through mutate(), which holds the write lock for
// the whole read-modify-write (a separate read then write could lose a concurrent update).
template <class T>
class ReadWriteLock {
public:
    explicit ReadWriteLock(T value)
        : value_(std::move(value)) {}
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    // A copy taken under the read lock.
    T value() const {
        std::shared_lock lock(mutex_);
        return value_;
    }

    void setValue(T value) {
        {
            std::unique_lock lock(mutex_);
            std::swap(value_, value);
        }
        // `value` now holds the old value; it is released here, outside the lock.
    }

    // Runs `change` on the stored value under the write lock and returns what it returns.
    template <class F>
    decltype(auto) mutate(F&& change) {
        std::unique_lock lock(mutex_);
        return std::forward<F>(change)(value_);
    }

    // Runs `reader` on the stored value under the read lock (no copy) and returns its result.
    template <class F>
    decltype(auto) read(F&& reader) const {
        std::shared_lock lock(mutex_);
        return std::forward<F>(reader)(std::as_const(value_));
    }

private:
    mutable std::shared_mutex mutex_;  // guards value_
    T value_;
};

}  // namespace ridezav
