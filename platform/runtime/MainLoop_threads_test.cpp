#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "platform/runtime/MainLoop.h"
#include "platform/runtime/Published.h"
#include "platform/runtime/Task.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

namespace {
constexpr int kThreads = 8;
constexpr int kPostsPerThread = 5000;

// Every post arrives, and each thread's posts arrive in the order it made them.
void crossThreadPosts(MainLoop& loop, const std::function<bool(const std::function<bool()>&)>& drive) {
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> total{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPostsPerThread; ++i)
                loop.post([&, t, i] {
                    EXPECT_TRUE(loop.isLoopThread());
                    seen[t].push_back(i);
                    total.fetch_add(1, std::memory_order_relaxed);
                });
        });
    EXPECT_TRUE(drive([&] { return total.load() == kThreads * kPostsPerThread; }));
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), size_t(kPostsPerThread));
        for (int i = 0; i < kPostsPerThread; ++i) ASSERT_EQ(seen[t][i], i);
    }
}
}  // namespace

TEST(MainLoopThreads, RealLoopReceivesEveryCrossThreadPostInPerThreadOrder) {
    auto loop = std::make_shared<RealMainLoop>();
    crossThreadPosts(*loop, [&](const std::function<bool()>& done) { return loop->runUntil(done, 30s); });
}

TEST(MainLoopThreads, VirtualLoopReceivesEveryCrossThreadPostInPerThreadOrder) {
    VirtualMainLoopScope scope;
    crossThreadPosts(scope.loop(), [&](const std::function<bool()>& done) { return scope.loop().runUntil(done, 30s); });
}

TEST(MainLoopThreads, CrossThreadTimersAndCancellationAreSafe) {
    auto loop = std::make_shared<RealMainLoop>();
    std::atomic<int> fired{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                WorkItem item = loop->postAfter(0.001s, [&] { fired++; });
                if (i % 2) item.cancel();
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_TRUE(loop->runUntil([&] { return fired.load() == 400; }, 10s));
    loop->runUntil([] { return false; }, 0.02s);
    EXPECT_EQ(fired.load(), 400);
}

TEST(MainLoopThreads, CancellingATaskFromAnotherThreadEndsItsSleep) {
    VirtualMainLoopScope scope;
    bool cancelled = false;
    auto task = startTask([&]() -> Task<void> {
        try {
            co_await sleepFor(100s);
        } catch (const CancellationError&) {
            cancelled = true;
        }
    });
    scope.loop().runUntilIdle();
    std::thread([task] { task.cancel(); }).join();
    EXPECT_TRUE(scope.loop().runUntil([&] { return cancelled; }, 5s));
}

TEST(MainLoopThreads, SubjectSendsFromManyThreadsReachAMainLoopSubscriber) {
    VirtualMainLoopScope scope;
    Subject<int> subject;
    int sum = 0;
    Cancellable sub = subject.publisher().receiveOnMain().sink([&](const int& v) { sum += v; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) subject.send(1);
        });
    for (auto& th : threads) th.join();
    EXPECT_TRUE(scope.loop().runUntil([&] { return sum == 4000; }, 10s));
}
