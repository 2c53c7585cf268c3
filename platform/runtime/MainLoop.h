#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/runtime/Duration.h"
#include "platform/runtime/OnceCallback.h"

namespace velmo {

// A cancellable piece of delayed work. Cancelling is safe from any thread and idempotent;
// work that has been cancelled never runs.
class WorkItem {
public:
    WorkItem() = default;
    explicit WorkItem(std::shared_ptr<std::atomic<bool>> cancelled)
        : cancelled_(std::move(cancelled)) {}
    void cancel() const {
        if (cancelled_) cancelled_->store(true, std::memory_order_release);
    }
    bool isCancelled() const { return cancelled_ && cancelled_->load(std::memory_order_acquire); }
    explicit operator bool() const { return cancelled_ != nullptr; }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

enum FdEvents : unsigned { FdReadable = 1u, FdWritable = 2u };

// Ends a file-descriptor watch when cancelled or destroyed.
class FdWatch {
public:
    FdWatch() = default;
    explicit FdWatch(std::function<void()> stop)
        : stop_(std::move(stop)) {}
    FdWatch(FdWatch&& o) noexcept = default;
    FdWatch& operator=(FdWatch&& o) noexcept {
        if (this != &o) {
            cancel();
            stop_ = std::move(o.stop_);
        }
        return *this;
    }
    FdWatch(const FdWatch&) = delete;
    FdWatch& operator=(const FdWatch&) = delete;
    ~FdWatch() { cancel(); }
    explicit operator bool() const { return static_cast<bool>(stop_); }
    void cancel() {
        if (stop_) stop_();
    }

private:
    OnceCallback<> stop_;
};

// The one main loop of the process. Posted work runs in FIFO order on the loop's thread and never
// inline; delayed work runs at its due time on the loop's monotonic clock, equal due times in
// insertion order. `post` and `postAfter` may be called from any thread.
class MainLoop {
public:
    using Clock = std::int64_t;  // nanoseconds on the loop's monotonic clock
    virtual ~MainLoop() = default;

    virtual void post(std::function<void()> work) = 0;
    virtual WorkItem postAfter(Seconds delay, std::function<void()> work) = 0;
    // Calls `callback` on the loop thread with the events seen while `fd` is ready.
    virtual FdWatch watchFd(int fd, unsigned events, std::function<void(unsigned)> callback) = 0;
    virtual bool isLoopThread() const = 0;
    // Seconds on the loop's monotonic clock (virtual seconds for the test loop).
    virtual double now() const = 0;
    // Once shut down, posted work is dropped (late posts from worker threads are harmless).
    virtual void shutdown() = 0;

    // The loop installed for this process (tests install a virtual one).
    static std::shared_ptr<MainLoop> current();
    static void install(std::shared_ptr<MainLoop> loop);
    // Convenience: the installed loop's operations. Posting with no loop installed drops the work.
    static void postToMain(std::function<void()> work);
    static WorkItem postToMainAfter(Seconds delay, std::function<void()> work);
    static bool isMainThread();
    static double mainNow();
};

// The real loop: epoll, an eventfd for wake-ups and a timer heap on CLOCK_MONOTONIC.
class RealMainLoop : public MainLoop {
public:
    RealMainLoop();
    ~RealMainLoop() override;

    void post(std::function<void()> work) override;
    WorkItem postAfter(Seconds delay, std::function<void()> work) override;
    FdWatch watchFd(int fd, unsigned events, std::function<void(unsigned)> callback) override;
    bool isLoopThread() const override;
    double now() const override;
    void shutdown() override;

    // Runs until `stop`; the calling thread becomes the loop thread. Work posted by work that
    // just ran is run in the same pass (a few rounds at most) rather than after another wait.
    void run();
    // Runs until `predicate` is true or `timeout` passes; returns the predicate's last value.
    bool runUntil(const std::function<bool()>& predicate, Seconds timeout);
    void stop();
    // How many times the loop has waited for readiness or its next timer (epoll_wait calls).
    std::uint64_t waits() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace velmo
