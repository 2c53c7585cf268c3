#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "RideZav/core/RandomSource.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/WallClock.h"

namespace velmo::test {

// A wall clock that reads what the test set. Thread-safe.
class ManualWallClock : public ridezav::WallClock {
public:
    explicit ManualWallClock(ridezav::Date now = ridezav::Date{})
        : now_(now) {}
    ridezav::Date now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void set(ridezav::Date now) {
        std::lock_guard lock(mutex_);
        now_ = now;
    }
    void advance(std::chrono::system_clock::duration by) {
        std::lock_guard lock(mutex_);
        now_ += by;
    }

private:
    mutable std::mutex mutex_;  // guards now_
    ridezav::Date now_;
};

// Hands out scripted byte blocks (then zeros); can be told to fail the secure source.
class ScriptedRandomSource : public ridezav::RandomSource {
public:
    void push(std::vector<std::uint8_t> bytes) {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(bytes));
    }
    void failSecure(bool fail) {
        std::lock_guard lock(mutex_);
        failSecure_ = fail;
    }
    int secureCalls() const {
        std::lock_guard lock(mutex_);
        return secureCalls_;
    }
    bool fillSecure(std::uint8_t* bytes, std::size_t count) override;
    std::uint64_t next64() override;

private:
    mutable std::mutex mutex_;  // guards every field below
    std::deque<std::vector<std::uint8_t>> blocks_;
    bool failSecure_ = false;
    int secureCalls_ = 0;
    std::uint64_t counter_ = 0x0102;
};

// Installs a wall clock for one scope and puts the previous one back.
class ScopedWallClock {
public:
    explicit ScopedWallClock(std::shared_ptr<ridezav::WallClock> clock)
        : previous_(ridezav::WallClock::install(std::move(clock))) {}
    ~ScopedWallClock() { ridezav::WallClock::install(std::move(previous_)); }
    ScopedWallClock(const ScopedWallClock&) = delete;
    ScopedWallClock& operator=(const ScopedWallClock&) = delete;

private:
    std::shared_ptr<ridezav::WallClock> previous_;
};

// The library's debug lines on for one scope.
struct DebugLogging {
    DebugLogging() { ridezav::RideZavLog::setDebug(true); }
    ~DebugLogging() { ridezav::RideZavLog::setDebug(false); }
    DebugLogging(const DebugLogging&) = delete;
    DebugLogging& operator=(const DebugLogging&) = delete;
};

// Milliseconds since 1970 as a date.
inline ridezav::Date dateFromMilliseconds(std::int64_t ms) { return ridezav::Date(std::chrono::milliseconds(ms)); }

}  // namespace velmo::test
