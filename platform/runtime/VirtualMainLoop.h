#pragma once

#include <functional>
#include <memory>

#include "platform/runtime/MainLoop.h"

namespace velmo {

// The test loop: a virtual clock that moves only when told to, so timetables are asserted
// exactly. Work posted from other threads (network, worker queues) is accepted at any time and
// runs when the test next drives the loop. The constructing thread is the loop thread.
class VirtualMainLoop : public MainLoop {
public:
    VirtualMainLoop();
    ~VirtualMainLoop() override;

    void post(std::function<void()> work) override;
    WorkItem postAfter(Seconds delay, std::function<void()> work) override;
    FdWatch watchFd(int fd, unsigned events, std::function<void(unsigned)> callback) override;
    bool isLoopThread() const override;
    double now() const override;
    void shutdown() override;

    // Runs posted work and due timers until nothing is ready at the current virtual time.
    // Returns the number of work items run.
    std::size_t runUntilIdle();
    // Moves the clock forward by `duration`, running every timer on its due time in order.
    void advance(Seconds duration);
    // Runs ready work, waiting in real time (clock unchanged) for work from other threads,
    // until `predicate` holds or `realTimeout` passes. Returns the predicate's last value.
    bool runUntil(const std::function<bool()>& predicate, Seconds realTimeout = Seconds(10));
    // Like runUntil, but lets virtual time jump to the next timer whenever nothing is ready,
    // so code that waits on timers and on other threads alike can finish.
    bool runUntilAdvancing(const std::function<bool()>& predicate, Seconds realTimeout = Seconds(10));
    // Number of timers waiting (cancelled ones excluded).
    std::size_t pendingTimerCount() const;
    // Number of posted work items waiting for the loop to be driven.
    std::size_t pendingPostCount() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// Installs a fresh virtual loop as the process's main loop for the life of the fixture.
class VirtualMainLoopScope {
public:
    VirtualMainLoopScope();
    ~VirtualMainLoopScope();
    VirtualMainLoop& loop() { return *loop_; }
    std::shared_ptr<VirtualMainLoop> shared() { return loop_; }

private:
    std::shared_ptr<VirtualMainLoop> loop_;
    std::shared_ptr<MainLoop> previous_;
};

}  // namespace velmo
