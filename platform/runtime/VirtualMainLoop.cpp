#include "platform/runtime/VirtualMainLoop.h"

#include "platform/runtime/SequenceChecker.h"
#include "platform/runtime/TimerHeap.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <vector>

namespace velmo {

namespace {
std::int64_t realNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
std::int64_t toNanos(Seconds duration) { return TimerHeap::delayNanos(duration); }
}  // namespace

struct VirtualMainLoop::Impl {
    struct Watch {
        std::uint64_t id;
        int fd;
        unsigned events;
        std::shared_ptr<std::function<void(unsigned)>> callback;
    };

    std::thread::id loopThread = std::this_thread::get_id();
    SequenceChecker driver;  // the loop is driven from the thread that made it
    std::atomic<std::int64_t> now{0};
    std::atomic<bool> isShutDown{false};
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    struct Ready {
        std::function<void()> work;
        std::shared_ptr<std::atomic<bool>> cancelled;  // set for timers
    };
    mutable std::mutex mutex;
    std::vector<Ready> ready;
    std::vector<Ready> batch;  // reused by runUntilIdle, touched only on the loop thread
    TimerHeap timers;
    std::vector<Watch> watches;
    std::uint64_t nextWatchId = 1;

    ~Impl() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void wake() {
        std::uint64_t one = 1;
        ssize_t n = ::write(wakeFd, &one, sizeof one);
        (void)n;
    }

    // Waits (in real time) for a post from another thread or a watched descriptor, then
    // dispatches the descriptors that became ready.
    void waitForOutside(int timeoutMs) {
        std::vector<pollfd> fds;
        std::vector<Watch> snapshot;
        {
            std::lock_guard lock(mutex);
            if (!ready.empty()) timeoutMs = 0;
            snapshot = watches;
        }
        fds.push_back(pollfd{wakeFd, POLLIN, 0});
        for (const auto& w : snapshot)
            fds.push_back(pollfd{w.fd, short(((w.events & FdReadable) ? POLLIN : 0) | ((w.events & FdWritable) ? POLLOUT : 0)), 0});
        int n = ::poll(fds.data(), fds.size(), timeoutMs);
        if (n <= 0) return;
        if (fds[0].revents) {
            std::uint64_t count;
            ssize_t r = ::read(wakeFd, &count, sizeof count);
            (void)r;
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            unsigned seen = 0;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) seen |= FdReadable;
            if (fds[i].revents & POLLOUT) seen |= FdWritable;
            bool stillWatched = false;
            {
                std::lock_guard lock(mutex);
                for (const auto& w : watches)
                    if (w.id == snapshot[i - 1].id) stillWatched = true;
            }
            if (stillWatched) (*snapshot[i - 1].callback)(seen);
        }
    }

    // Moves timers due by now to the ready queue and takes the ready batch into `batch`.
    void takeBatch() {
        batch.clear();
        std::lock_guard lock(mutex);
        std::int64_t t = now.load();
        timers.takeDue(t, [this](TimerHeap::Due due) { ready.push_back(Ready{std::move(due.work), std::move(due.cancelled)}); });
        batch.swap(ready);
    }

    // The due time of the earliest live timer, or -1.
    std::int64_t nextDue() {
        std::lock_guard lock(mutex);
        return timers.nextLiveDue();
    }
};

VirtualMainLoop::VirtualMainLoop()
    : impl_(std::make_shared<Impl>()) {
    impl_->driver.check();
}
VirtualMainLoop::~VirtualMainLoop() = default;

void VirtualMainLoop::post(std::function<void()> work) {
    if (impl_->isShutDown.load()) return;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->ready.push_back(Impl::Ready{std::move(work), nullptr});
    }
    if (std::this_thread::get_id() != impl_->loopThread) impl_->wake();
}

WorkItem VirtualMainLoop::postAfter(Seconds delay, std::function<void()> work) {
    if (impl_->isShutDown.load()) return WorkItem(std::make_shared<std::atomic<bool>>(true));
    WorkItem item;
    {
        std::lock_guard lock(impl_->mutex);
        item = impl_->timers.add(impl_->now.load() + toNanos(delay), std::move(work));
    }
    if (std::this_thread::get_id() != impl_->loopThread) impl_->wake();
    return item;
}

FdWatch VirtualMainLoop::watchFd(int fd, unsigned events, std::function<void(unsigned)> callback) {
    std::uint64_t id;
    {
        std::lock_guard lock(impl_->mutex);
        id = impl_->nextWatchId++;
        impl_->watches.push_back(Impl::Watch{id, fd, events, std::make_shared<std::function<void(unsigned)>>(std::move(callback))});
    }
    std::weak_ptr<Impl> weak = impl_;
    return FdWatch([weak, id] {
        if (auto impl = weak.lock()) {
            std::lock_guard lock(impl->mutex);
            std::erase_if(impl->watches, [id](const Impl::Watch& w) { return w.id == id; });
        }
    });
}

bool VirtualMainLoop::isLoopThread() const { return std::this_thread::get_id() == impl_->loopThread; }

double VirtualMainLoop::now() const { return double(impl_->now.load()) / 1e9; }

void VirtualMainLoop::shutdown() {
    impl_->isShutDown.store(true);
    std::vector<Impl::Ready> dropped;
    TimerHeap droppedTimers;
    {
        std::lock_guard lock(impl_->mutex);
        dropped.swap(impl_->ready);
        droppedTimers = impl_->timers.takeAll();
    }
    // Destroyed outside the lock: captured objects may post while they go.
}

std::size_t VirtualMainLoop::runUntilIdle() {
    impl_->driver.check();
    std::size_t ran = 0;
    for (;;) {
        bool watching;
        {
            std::lock_guard lock(impl_->mutex);
            watching = !impl_->watches.empty();
        }
        if (watching) impl_->waitForOutside(0);  // cross-thread posts are already queued
        impl_->takeBatch();
        if (impl_->batch.empty()) return ran;
        // Moved out so that work which drives the loop again (nested runs) stays safe.
        std::vector<Impl::Ready> batch;
        batch.swap(impl_->batch);
        for (auto& item : batch) {
            if (impl_->isShutDown.load()) return ran;
            if (item.cancelled && item.cancelled->load(std::memory_order_acquire)) continue;
            item.work();
            ++ran;
        }
        batch.clear();
        if (impl_->batch.capacity() < batch.capacity()) impl_->batch.swap(batch);
    }
}

void VirtualMainLoop::advance(Seconds duration) {
    impl_->driver.check();
    std::int64_t target = impl_->now.load() + toNanos(duration);
    for (;;) {
        runUntilIdle();
        std::int64_t due = impl_->nextDue();
        if (due < 0 || due > target) break;
        if (due > impl_->now.load()) impl_->now.store(due);
    }
    impl_->now.store(target);
    runUntilIdle();
}

bool VirtualMainLoop::runUntil(const std::function<bool()>& predicate, Seconds realTimeout) {
    impl_->driver.check();
    std::int64_t deadline = realNanos() + toNanos(realTimeout);
    for (;;) {
        runUntilIdle();
        if (predicate()) return true;
        std::int64_t left = deadline - realNanos();
        if (left <= 0) return false;
        impl_->waitForOutside(int(std::min<std::int64_t>((left + 999'999) / 1'000'000, 20)));
    }
}

bool VirtualMainLoop::runUntilAdvancing(const std::function<bool()>& predicate, Seconds realTimeout) {
    impl_->driver.check();
    std::int64_t deadline = realNanos() + toNanos(realTimeout);
    for (;;) {
        runUntilIdle();
        if (predicate()) return true;
        if (realNanos() >= deadline) return false;
        impl_->waitForOutside(2);
        {
            std::lock_guard lock(impl_->mutex);
            if (!impl_->ready.empty()) continue;
        }
        std::int64_t due = impl_->nextDue();
        if (due >= 0 && due > impl_->now.load()) impl_->now.store(due);
    }
}

std::size_t VirtualMainLoop::pendingPostCount() const {
    std::lock_guard lock(impl_->mutex);
    std::size_t n = 0;
    for (const auto& item : impl_->ready) n += item.cancelled ? 0 : 1;
    return n;
}

std::size_t VirtualMainLoop::pendingTimerCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->timers.liveCount();
}

VirtualMainLoopScope::VirtualMainLoopScope()
    : loop_(std::make_shared<VirtualMainLoop>()),
      previous_(MainLoop::current()) {
    MainLoop::install(loop_);
}

VirtualMainLoopScope::~VirtualMainLoopScope() {
    loop_->runUntilIdle();
    loop_->shutdown();
    MainLoop::install(previous_);
}

}  // namespace velmo
