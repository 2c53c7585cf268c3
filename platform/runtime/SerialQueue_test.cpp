#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/runtime/SerialQueue.h"

using namespace velmo;

TEST(SerialQueue, RunsBlocksInOrderOnOneWorkerThread) {
    SerialQueue queue("com.velmo.test");
    std::vector<int> order;
    std::thread::id worker;
    for (int i = 0; i < 1000; ++i)
        queue.async([&, i] {
            if (i == 0) worker = std::this_thread::get_id();
            EXPECT_EQ(worker, std::this_thread::get_id());
            EXPECT_TRUE(queue.isCurrent());
            order.push_back(i);
        });
    queue.sync([] {});
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_NE(worker, std::this_thread::get_id());
    EXPECT_EQ(queue.label(), "com.velmo.test");
}

TEST(SerialQueue, SyncFromManyThreadsAndFromItselfCompletes) {
    SerialQueue queue("sync");
    int counter = 0;  // touched only on the queue
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) queue.sync([&] { ++counter; });
        });
    for (auto& th : threads) th.join();
    queue.sync([&] { queue.sync([&] { ++counter; }); });  // inline on itself, no deadlock
    int result = 0;
    queue.sync([&] { result = counter; });
    EXPECT_EQ(result, 1601);
}

TEST(SerialQueue, DestructionRunsQueuedWorkAndMayHappenOnTheQueueItself) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("drain");
        for (int i = 0; i < 100; ++i) queue.async([&] { ran++; });
    }
    EXPECT_EQ(ran.load(), 100);

    auto queue = std::make_shared<SerialQueue>("self-release");
    std::atomic<bool> go{false}, released{false};
    queue->async([q = queue, &go, &released]() mutable {
        while (!go) std::this_thread::yield();
        q.reset();  // the last reference goes inside one of its own blocks
        released = true;
    });
    queue.reset();
    go = true;
    for (int i = 0; i < 200 && !released; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(released.load());
}
