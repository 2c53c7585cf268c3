#include "platform/runtime/MainLoop.h"

#include "platform/runtime/ProcessWide.h"
#include "platform/runtime/TimerHeap.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace velmo {

// ---- the installed loop ----

namespace {
// No default: a process without an installed loop drops what it posts.
ProcessWide<MainLoop>& loops() {
    static ProcessWide<MainLoop> instance("main loop");
    return instance;
}

std::int64_t monotonicNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
}  // namespace

std::shared_ptr<MainLoop> MainLoop::current() { return loops().installed(); }

void MainLoop::install(std::shared_ptr<MainLoop> loop) { loops().exchange(std::move(loop)); }

void MainLoop::postToMain(std::function<void()> work) {
    if (auto loop = current()) loop->post(std::move(work));
}

WorkItem MainLoop::postToMainAfter(Seconds delay, std::function<void()> work) {
    if (auto loop = current()) return loop->postAfter(delay, std::move(work));
    return WorkItem(std::make_shared<std::atomic<bool>>(true));
}

bool MainLoop::isMainThread() {
    auto loop = current();
    return loop && loop->isLoopThread();
}

double MainLoop::mainNow() {
    auto loop = current();
    return loop ? loop->now() : double(monotonicNanos()) / 1e9;
}

// ---- the real loop ----

struct RealMainLoop::Impl {
    struct Watch {
        int fd;
        std::function<void(unsigned)> callback;
    };

    int epollFd = -1;
    int wakeFd = -1;
    std::atomic<std::thread::id> loopThread{std::this_thread::get_id()};
    std::atomic<bool> stopped{false};
    std::atomic<bool> isShutDown{false};
    std::atomic<std::uint64_t> waits{0};

    std::mutex mutex;
    std::deque<std::function<void()>> ready;
    TimerHeap timers;
    std::unordered_map<std::uint64_t, std::shared_ptr<Watch>> watches;
    std::uint64_t nextWatchId = 1;

    ~Impl() {
        if (epollFd >= 0) ::close(epollFd);
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void wake() {
        std::uint64_t one = 1;
        ssize_t n = ::write(wakeFd, &one, sizeof one);
        (void)n;
    }
    bool onLoopThread() const { return loopThread.load() == std::this_thread::get_id(); }

    // One pass: wait for readiness or the next timer, then run what became due.
    void iterate(int maxWaitMs, bool drainPosted) {
        int timeoutMs;
        {
            std::lock_guard lock(mutex);
            if (!ready.empty()) {
                timeoutMs = 0;
            } else if (!timers.empty()) {
                std::int64_t wait = timers.firstDue() - monotonicNanos();
                timeoutMs = wait <= 0 ? 0 : int((wait + 999'999) / 1'000'000);
            } else {
                timeoutMs = -1;
            }
        }
        if (maxWaitMs >= 0 && (timeoutMs < 0 || timeoutMs > maxWaitMs)) timeoutMs = maxWaitMs;

        epoll_event events[32];
        waits.fetch_add(1, std::memory_order_relaxed);
        int n = epoll_wait(epollFd, events, 32, timeoutMs);
        for (int i = 0; i < n; ++i) {
            std::uint64_t id = events[i].data.u64;
            if (id == 0) {
                std::uint64_t count;
                ssize_t r = ::read(wakeFd, &count, sizeof count);
                (void)r;
                continue;
            }
            std::shared_ptr<Watch> watch;
            {
                std::lock_guard lock(mutex);
                auto it = watches.find(id);
                if (it != watches.end()) watch = it->second;
            }
            if (!watch) continue;
            unsigned seen = 0;
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) seen |= FdReadable;
            if (events[i].events & EPOLLOUT) seen |= FdWritable;
            watch->callback(seen);
        }

        runDue();
        // What that work posted runs in this pass as well: going back to epoll_wait only to
        // find it ready costs the process a wake-up for nothing. A few rounds at most, so work
        // that keeps posting cannot keep descriptors and timers from being looked at.
        for (int round = 0; drainPosted && round < kFollowUpRounds && hasReadyWork(); ++round) runDue();
    }

    static constexpr int kFollowUpRounds = 8;

    bool hasReadyWork() {
        if (stopped.load() || isShutDown.load(std::memory_order_relaxed)) return false;
        std::lock_guard lock(mutex);
        return !ready.empty();
    }

    // Runs the posted work and the timers that are due, in that order.
    void runDue() {
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard lock(mutex);
            std::int64_t now = monotonicNanos();
            timers.takeDue(now, [this](TimerHeap::Due due) {
                ready.push_back([work = std::move(due.work), c = std::move(due.cancelled)] {
                    if (!c->load(std::memory_order_acquire)) work();
                });
            });
            batch.swap(ready);
        }
        for (auto& work : batch) {
            if (isShutDown.load(std::memory_order_relaxed)) break;
            work();
        }
    }
};

RealMainLoop::RealMainLoop()
    : impl_(std::make_shared<Impl>()) {
    impl_->epollFd = epoll_create1(EPOLL_CLOEXEC);
    impl_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->epollFd < 0 || impl_->wakeFd < 0)
        throw std::runtime_error(std::string("main loop: cannot create epoll or eventfd: ") + std::strerror(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, impl_->wakeFd, &ev);
}

RealMainLoop::~RealMainLoop() = default;

void RealMainLoop::post(std::function<void()> work) {
    if (impl_->isShutDown.load(std::memory_order_relaxed)) return;
    bool wasEmpty;
    {
        std::lock_guard lock(impl_->mutex);
        wasEmpty = impl_->ready.empty();
        impl_->ready.push_back(std::move(work));
    }
    // The loop thread checks the queue before it sleeps; others must wake it once per batch.
    if (wasEmpty && !impl_->onLoopThread()) impl_->wake();
}

WorkItem RealMainLoop::postAfter(Seconds delay, std::function<void()> work) {
    if (impl_->isShutDown.load(std::memory_order_relaxed)) return WorkItem(std::make_shared<std::atomic<bool>>(true));
    bool newFirst;
    WorkItem item;
    {
        std::lock_guard lock(impl_->mutex);
        std::int64_t due = monotonicNanos() + TimerHeap::delayNanos(delay);
        newFirst = impl_->timers.empty() || due < impl_->timers.firstDue();
        item = impl_->timers.add(due, std::move(work));
    }
    if (newFirst && !impl_->onLoopThread()) impl_->wake();
    return item;
}

FdWatch RealMainLoop::watchFd(int fd, unsigned events, std::function<void(unsigned)> callback) {
    std::uint64_t id;
    {
        std::lock_guard lock(impl_->mutex);
        id = impl_->nextWatchId++;
        impl_->watches[id] = std::make_shared<Impl::Watch>(Impl::Watch{fd, std::move(callback)});
    }
    epoll_event ev{};
    ev.events = ((events & FdReadable) ? EPOLLIN : 0u) | ((events & FdWritable) ? EPOLLOUT : 0u);
    ev.data.u64 = id;
    if (epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        std::lock_guard lock(impl_->mutex);
        impl_->watches.erase(id);
        throw std::runtime_error(std::string("main loop: cannot watch descriptor: ") + std::strerror(errno));
    }
    std::weak_ptr<Impl> weakImpl = impl_;
    return FdWatch([weakImpl, id, fd] {
        auto impl = weakImpl.lock();
        if (!impl) return;
        epoll_ctl(impl->epollFd, EPOLL_CTL_DEL, fd, nullptr);
        std::lock_guard lock(impl->mutex);
        impl->watches.erase(id);
    });
}

bool RealMainLoop::isLoopThread() const { return impl_->onLoopThread(); }

std::uint64_t RealMainLoop::waits() const { return impl_->waits.load(std::memory_order_relaxed); }

double RealMainLoop::now() const { return double(monotonicNanos()) / 1e9; }

void RealMainLoop::shutdown() {
    impl_->isShutDown.store(true);
    // Dropped outside the lock: what the work holds may end a watch or post as it goes.
    std::deque<std::function<void()>> ready;
    TimerHeap timers;
    {
        std::lock_guard lock(impl_->mutex);
        ready.swap(impl_->ready);
        timers = impl_->timers.takeAll();
    }
    ready.clear();
    timers = TimerHeap();
    stop();
}

void RealMainLoop::run() {
    impl_->loopThread.store(std::this_thread::get_id());
    impl_->stopped.store(false);
    while (!impl_->stopped.load()) impl_->iterate(-1, true);
}

bool RealMainLoop::runUntil(const std::function<bool()>& predicate, Seconds timeout) {
    impl_->loopThread.store(std::this_thread::get_id());
    impl_->stopped.store(false);
    std::int64_t deadline = monotonicNanos() + TimerHeap::delayNanos(timeout);
    while (!predicate()) {
        std::int64_t left = deadline - monotonicNanos();
        if (left <= 0 || impl_->stopped.load()) return predicate();
        impl_->iterate(int(std::min<std::int64_t>((left + 999'999) / 1'000'000, 50)), false);
    }
    return true;
}

void RealMainLoop::stop() {
    impl_->stopped.store(true);
    impl_->wake();
}

}  // namespace velmo
