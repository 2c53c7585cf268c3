#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/MainLoop.h"
#include "platform/runtime/MainThreadBound.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

TEST(VirtualMainLoop, PostedWorkRunsInFifoOrderAndNeverInline) {
    VirtualMainLoopScope scope;
    std::vector<int> order;
    MainLoop::postToMain([&] {
        order.push_back(1);
        MainLoop::postToMain([&] { order.push_back(3); });
        order.push_back(2);
    });
    MainLoop::postToMain([&] { order.push_back(4); });
    EXPECT_TRUE(order.empty());
    scope.loop().runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 4, 3}));
}

TEST(VirtualMainLoop, TimersRunAtTheirDueTimeAndEqualTimesInInsertionOrder) {
    VirtualMainLoopScope scope;
    auto& loop = scope.loop();
    std::vector<std::pair<std::string, double>> fired;
    auto record = [&](std::string name) { return [&fired, &loop, name] { fired.emplace_back(name, loop.now()); }; };
    loop.postAfter(0.5s, record("b1"));
    loop.postAfter(0.2s, record("a"));
    loop.postAfter(0.5s, record("b2"));
    loop.postAfter(0.5s, record("b3"));
    WorkItem cancelled = loop.postAfter(0.3s, record("never"));
    cancelled.cancel();

    loop.advance(0.49s);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].first, "a");
    EXPECT_DOUBLE_EQ(fired[0].second, 0.2);
    loop.advance(0.01s);
    ASSERT_EQ(fired.size(), 4u);
    EXPECT_EQ(fired[1].first, "b1");
    EXPECT_EQ(fired[2].first, "b2");
    EXPECT_EQ(fired[3].first, "b3");
    EXPECT_DOUBLE_EQ(fired[3].second, 0.5);
    EXPECT_DOUBLE_EQ(loop.now(), 0.5);
}

TEST(VirtualMainLoop, WorkPostedByATimerRunsBeforeTheClockMovesOn) {
    VirtualMainLoopScope scope;
    auto& loop = scope.loop();
    double ranAt = -1;
    loop.postAfter(1.0s, [&] { MainLoop::postToMain([&] { ranAt = loop.now(); }); });
    loop.postAfter(2.0s, [] {});
    loop.advance(3.0s);
    EXPECT_DOUBLE_EQ(ranAt, 1.0);
}

TEST(VirtualMainLoop, ShutdownDropsLatePosts) {
    auto loop = std::make_shared<VirtualMainLoop>();
    bool ran = false;
    loop->shutdown();
    loop->post([&] { ran = true; });
    loop->postAfter(0s, [&] { ran = true; });
    loop->runUntilIdle();
    EXPECT_FALSE(ran);
}

TEST(VirtualMainLoop, WatchedDescriptorCallsBackOnTheLoop) {
    VirtualMainLoopScope scope;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string got;
    FdWatch watch = scope.loop().watchFd(fds[0], FdReadable, [&](unsigned events) {
        char buf[16];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0) got.append(buf, size_t(n));
    });
    std::thread writer([&] { ASSERT_EQ(write(fds[1], "ping", 4), 4); });
    writer.join();
    EXPECT_TRUE(scope.loop().runUntil([&] { return got == "ping"; }, 5s));
    watch.cancel();
    close(fds[0]);
    close(fds[1]);
}

TEST(RealMainLoop, RunsPostsTimersAndDescriptorsUntilStopped) {
    auto loop = std::make_shared<RealMainLoop>();
    std::vector<std::string> events;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FdWatch watch = loop->watchFd(fds[0], FdReadable, [&](unsigned) {
        char c;
        if (read(fds[0], &c, 1) == 1) events.push_back(std::string("fd:") + c);
        loop->stop();
    });
    loop->post([&] { events.push_back("post"); });
    loop->postAfter(0.02s, [&] {
        events.push_back("timer");
        std::thread([&] { ASSERT_EQ(write(fds[1], "x", 1), 1); }).detach();
    });
    WorkItem never = loop->postAfter(0.01s, [&] { events.push_back("cancelled"); });
    never.cancel();
    auto start = std::chrono::steady_clock::now();
    loop->run();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(events, (std::vector<std::string>{"post", "timer", "fd:x"}));
    EXPECT_GE(elapsed, std::chrono::milliseconds(19));
    watch.cancel();
    close(fds[0]);
    close(fds[1]);
}

TEST(RealMainLoop, WorkPostedByRunningWorkRunsWithoutAnotherWait) {
    auto loop = std::make_shared<RealMainLoop>();
    std::vector<std::string> order;
    loop->postAfter(0.005s, [&] {
        order.push_back("timer");
        loop->post([&] {
            order.push_back("first");
            loop->post([&] {
                order.push_back("second");
                loop->stop();
            });
        });
    });
    loop->run();
    EXPECT_EQ(order, (std::vector<std::string>{"timer", "first", "second"}));
    // One sleep until the timer; what it set off follows in the same pass.
    EXPECT_EQ(loop->waits(), 1u);
}

TEST(RealMainLoop, WorkThatKeepsPostingStillLetsDescriptorsBeServed) {
    auto loop = std::make_shared<RealMainLoop>();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    bool served = false;
    FdWatch watch = loop->watchFd(fds[0], FdReadable, [&](unsigned) {
        served = true;
        loop->stop();
    });
    int runs = 0;
    std::function<void()> again = [&] {
        // The descriptor becomes ready only once the loop is busy with this chain.
        if (++runs == 1) {
            EXPECT_EQ(write(fds[1], "x", 1), 1);
        }
        if (!served) loop->post(again);
    };
    loop->post(again);
    loop->run();
    EXPECT_TRUE(served);
    EXPECT_GT(runs, 1);
    watch.cancel();
    close(fds[0]);
    close(fds[1]);
}

TEST(RealMainLoop, RunUntilGivesUpAtTheTimeout) {
    auto loop = std::make_shared<RealMainLoop>();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop->runUntil([] { return false; }, 0.05s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
}

namespace {
struct Tracked {
    static inline std::thread::id destroyedOn;
    ~Tracked() { destroyedOn = std::this_thread::get_id(); }
};
}  // namespace

TEST(MainThreadBound, LastReleaseElsewhereDestroysOnTheMainLoop) {
    VirtualMainLoopScope scope;
    auto object = makeMainBound<Tracked>();
    std::thread([o = std::move(object)]() mutable { o.reset(); }).join();
    EXPECT_NE(Tracked::destroyedOn, std::this_thread::get_id());  // not yet destroyed
    scope.loop().runUntilIdle();
    EXPECT_EQ(Tracked::destroyedOn, std::this_thread::get_id());
}

TEST(RealMainLoop, ShutdownDropsWorkWhoseCapturesEndAWatchOrPostWithoutDeadlock) {
    RealMainLoop loop;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // A waiting timer and a posted item each hold an object that, when dropped, ends its watch
    // and posts: both go back to the loop.
    struct EndsWatch {
        EndsWatch(RealMainLoop* l, int fd)
            : loop(l),
              watch(l->watchFd(fd, FdReadable, [](unsigned) {})) {}
        RealMainLoop* loop;
        FdWatch watch;
        ~EndsWatch() {
            watch.cancel();
            loop->post([] {});
        }
    };
    auto timerHeld = std::make_shared<EndsWatch>(&loop, fds[0]);
    auto postHeld = std::make_shared<EndsWatch>(&loop, fds[1]);
    loop.postAfter(60s, [timerHeld] {});
    loop.post([postHeld] {});
    std::weak_ptr<EndsWatch> timerWeak = timerHeld, postWeak = postHeld;
    timerHeld.reset();
    postHeld.reset();
    std::thread shutdown([&] { loop.shutdown(); });
    shutdown.join();  // a deadlock here is the fault
    EXPECT_TRUE(timerWeak.expired());
    EXPECT_TRUE(postWeak.expired());
    close(fds[0]);
    close(fds[1]);
}
