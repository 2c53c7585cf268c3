#include "platform/runtime/TimerHeap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

namespace {

void runDue(TimerHeap& heap, TimerHeap::Nanos now) {
    heap.takeDue(now, [](TimerHeap::Due due) { due.work(); });
}

}  // namespace

TEST(TimerHeap, TakesDueTimersEarliestFirstAndEqualDueTimesInTheOrderAdded) {
    TimerHeap heap;
    std::vector<std::string> ran;
    auto record = [&](std::string name) { return [&ran, name] { ran.push_back(name); }; };
    heap.add(100, record("c1"));
    heap.add(50, record("b1"));
    heap.add(100, record("c2"));
    heap.add(10, record("a"));
    heap.add(50, record("b2"));
    WorkItem dropped = heap.add(50, record("cancelled"));
    heap.add(100, record("c3"));
    heap.add(200, record("later"));
    dropped.cancel();

    EXPECT_EQ(heap.firstDue(), 10);
    EXPECT_EQ(heap.liveCount(), 7u);
    runDue(heap, 100);
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b1", "b2", "c1", "c2", "c3"}));
    EXPECT_EQ(heap.nextLiveDue(), 200);
    EXPECT_EQ(heap.liveCount(), 1u);
}

TEST(TimerHeap, NextLiveDueSkipsCancelledTimersAndIsMinusOneWhenNoneIsLeft) {
    TimerHeap heap;
    EXPECT_EQ(heap.nextLiveDue(), -1);
    WorkItem first = heap.add(5, [] {});
    heap.add(9, [] {});
    first.cancel();
    EXPECT_EQ(heap.firstDue(), 5);  // still held until skipped
    EXPECT_EQ(heap.nextLiveDue(), 9);
    TimerHeap taken = heap.takeAll();
    EXPECT_TRUE(heap.empty());
    EXPECT_EQ(taken.liveCount(), 1u);
}

TEST(TimerHeap, DelaysBecomeNanosecondsWithNegativeAndNaNAsSoonAsPossible) {
    struct Case {
        double seconds;
        TimerHeap::Nanos nanos;
    };
    const Case cases[] = {
        {0.25, 250'000'000}, {1e-9, 1},         {0.0, 0},
        {-3.0, 0},           {std::nan(""), 0}, {std::numeric_limits<double>::infinity(), TimerHeap::Nanos(1e18)},
    };
    for (const Case& c : cases) EXPECT_EQ(TimerHeap::delayNanos(Seconds(c.seconds)), c.nanos) << c.seconds;
}

// The same timetable on the real and on the virtual loop: posted work before the timers that
// fall due with it, equal delays in the order they were set, cancelled timers never. Every timer
// that can fall due with another is set before either runs, so the real loop's clock cannot
// reorder the script however slowly it runs.
namespace {

struct Script {
    std::vector<std::string> ran;

    std::function<void()> record(std::string name) {
        return [this, name] { ran.push_back(name); };
    }

    void start(MainLoop& loop) {
        loop.postAfter(0s, [this, &loop] {
            ran.push_back("t0-a");
            loop.post(record("t0-a-post"));
            loop.postAfter(0s, [this, &loop] {
                ran.push_back("t0-a-then");
                loop.postAfter(0.01s, record("t10-a"));
                WorkItem cancelled = loop.postAfter(0.01s, record("cancelled"));
                loop.postAfter(0.01s, record("t10-b"));
                loop.postAfter(0.01s, record("t10-c"));
                loop.post(record("then-post"));
                cancelled.cancel();
            });
        });
        loop.post(record("post-1"));
        loop.postAfter(0s, record("t0-b"));
        loop.post(record("post-2"));
    }
};

const std::vector<std::string> expectedOrder = {"post-1",    "post-2",    "t0-a",  "t0-b",  "t0-a-post",
                                                "t0-a-then", "then-post", "t10-a", "t10-b", "t10-c"};

}  // namespace

TEST(TimerHeap, RealAndVirtualLoopsOrderTheSameTimetableAlike) {
    std::vector<std::string> virtualOrder, realOrder;
    {
        VirtualMainLoop loop;
        Script script;
        script.start(loop);
        loop.advance(1.0s);
        virtualOrder = script.ran;
    }
    {
        RealMainLoop loop;
        Script script;
        script.start(loop);
        ASSERT_TRUE(loop.runUntil([&] { return script.ran.size() >= expectedOrder.size(); }, 30s));
        loop.shutdown();
        realOrder = script.ran;
    }
    EXPECT_EQ(virtualOrder, expectedOrder);
    EXPECT_EQ(realOrder, expectedOrder);
}
