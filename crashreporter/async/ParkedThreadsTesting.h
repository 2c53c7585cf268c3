// Test support: threads parked in a known function, blocked on a pipe, so that tests
// can stop them, read their registers and walk their stacks.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zvcrash::testing {

class ParkedThreads {
public:
    // Starts count threads and returns once all are running; with blockedSignal, each blocks that
    // signal first.
    explicit ParkedThreads(size_t count, int blockedSignal = 0);
    ~ParkedThreads();
    ParkedThreads(const ParkedThreads&) = delete;
    ParkedThreads& operator=(const ParkedThreads&) = delete;

    size_t size() const { return threads_.size(); }
    pid_t id(size_t index) const;
    uint64_t stackLow(size_t index) const;
    uint64_t stackHigh(size_t index) const;
    // The return address into the parking function of its call that blocks: a frame of any walk
    // of that thread's stack.
    uint64_t parkedReturnAddress(size_t index) const;

    // Wakes every thread once; each counts the wakeup and parks again.
    void poke();
    uint64_t wakeups() const { return wakeups_.load(); }
    // Waits (up to 10 s) until the wakeups reach target.
    bool waitForWakeups(uint64_t target) const;

    // Lets every thread finish and joins it; false when one has not finished within 10 s.
    bool releaseAndJoin();

private:
    struct Thread {
        ParkedThreads* owner;
        pthread_t handle;
        std::atomic<pid_t> id{0};
        std::atomic<uint64_t> returnAddress{0};
        uint64_t stackLow = 0;
        uint64_t stackHigh = 0;
    };
    static void* run(void* raw);

    int blockedSignal_;
    int pipe_[2] = {-1, -1};
    std::vector<std::unique_ptr<Thread>> threads_;
    std::atomic<uint64_t> wakeups_{0};
    bool joined_ = false;
};

}  // namespace zvcrash::testing
