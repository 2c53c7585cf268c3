#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/Published.h"
#include "platform/runtime/Task.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

namespace {

Task<int> addLater(int a, int b, Seconds delay) {
    co_await sleepFor(delay);
    co_return a + b;
}

Task<int> failing() {
    co_await sleepFor(0.1s);
    throw Error("Test", 7, "went wrong");
}

}  // namespace

TEST(Task, StartIsPostedAndAwaitedChildrenRunInline) {
    VirtualMainLoopScope scope;
    std::vector<std::string> trace;
    auto task = startTask([&]() -> Task<int> {
        trace.push_back("begin");
        int v = co_await addLater(2, 3, 1.0s);
        trace.push_back("sum " + std::to_string(v));
        co_return v * 10;
    });
    EXPECT_TRUE(trace.empty());  // a start is a posted start
    scope.loop().runUntilIdle();
    EXPECT_EQ(trace, (std::vector<std::string>{"begin"}));
    scope.loop().advance(1.0s);
    EXPECT_EQ(trace, (std::vector<std::string>{"begin", "sum 5"}));
    EXPECT_TRUE(task.isDone());

    int result = 0;
    startTask([&]() -> Task<void> { result = co_await task; });
    scope.loop().runUntilIdle();
    EXPECT_EQ(result, 50);
}

TEST(Task, PublisherDeliveryPostedBeforeATaskStartRunsFirst) {
    VirtualMainLoopScope scope;
    std::vector<std::string> order;
    Subject<int> subject;
    Cancellable sub = subject.publisher().receiveOnMain().sink([&](const int&) { order.push_back("delivery"); });
    subject.send(1);
    startTask([&]() -> Task<void> {
        order.push_back("task");
        co_return;
    });
    scope.loop().runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"delivery", "task"}));
}

TEST(Task, CancelledSleepEndsWithTheCancellationErrorAndNothingAfterItRuns) {
    VirtualMainLoopScope scope;
    bool reachedAfterSleep = false;
    bool sawCancellationError = false;
    auto task = startTask([&]() -> Task<void> {
        try {
            co_await sleepFor(5.0s);
            reachedAfterSleep = true;
        } catch (const CancellationError&) {
            sawCancellationError = true;
            EXPECT_TRUE(Task<>::isCurrentCancelled());
        }
    });
    scope.loop().advance(1.0s);
    task.cancel();
    scope.loop().runUntilIdle();
    EXPECT_TRUE(sawCancellationError);
    EXPECT_FALSE(reachedAfterSleep);
    EXPECT_TRUE(task.isDone());
    EXPECT_EQ(scope.loop().pendingTimerCount(), 0u);  // the sleep's timer went with it
    scope.loop().advance(10.0s);
    EXPECT_FALSE(reachedAfterSleep);
}

TEST(Task, CancellationReachesAwaitedChildrenAndIsVisibleThroughTheCurrentTask) {
    VirtualMainLoopScope scope;
    std::vector<std::string> trace;
    auto task = startTask([&]() -> Task<void> {
        try {
            co_await addLater(1, 1, 3.0s);
        } catch (const CancellationError&) {
            trace.push_back("child cancelled");
        }
        trace.push_back(Task<>::isCurrentCancelled() ? "sees cancel" : "no cancel");
        try {
            co_await sleepFor(1.0s);  // already cancelled: throws at once
        } catch (const CancellationError&) {
            trace.push_back("second sleep cancelled");
        }
    });
    scope.loop().runUntilIdle();
    task.cancel();
    scope.loop().runUntilIdle();
    EXPECT_EQ(trace, (std::vector<std::string>{"child cancelled", "sees cancel", "second sleep cancelled"}));
    EXPECT_FALSE(Task<>::isCurrentCancelled());  // outside any task
}

TEST(Task, ErrorsPropagateToTheAwaiter) {
    VirtualMainLoopScope scope;
    std::string caught;
    startTask([&]() -> Task<void> {
        try {
            co_await failing();
        } catch (const Error& e) {
            caught = e.domain() + ":" + std::to_string(e.code()) + ":" + e.localizedDescription();
        }
    });
    scope.loop().advance(0.1s);
    EXPECT_EQ(caught, "Test:7:went wrong");
}

TEST(Task, AStartedTaskCanBeAwaitedByTwoTasks) {
    VirtualMainLoopScope scope;
    auto shared = startTask([]() -> Task<bool> {
        co_await sleepFor(0.5s);
        co_return true;
    });
    int yes = 0;
    for (int i = 0; i < 2; ++i)
        startTask([&, shared]() -> Task<void> {
            if (co_await shared) ++yes;
        });
    scope.loop().advance(0.5s);
    EXPECT_EQ(yes, 2);
}

TEST(Task, DroppingAnUnstartedTaskFreesIt) {
    VirtualMainLoopScope scope;
    bool ran = false;
    {
        auto t = [&]() -> Task<void> {
            ran = true;
            co_return;
        }();
    }
    scope.loop().runUntilIdle();
    EXPECT_FALSE(ran);  // never started, frame freed (asan would report a leak otherwise)
}

TEST(Completion, ValueFromAnotherThreadResumesTheTaskOnTheLoop) {
    VirtualMainLoopScope scope;
    Completion<std::string> completion;
    std::string got;
    bool onLoop = false;
    startTask([&]() -> Task<void> {
        got = co_await completion;
        onLoop = scope.loop().isLoopThread();
    });
    scope.loop().runUntilIdle();
    std::thread([completion] { completion.resolve("from worker"); }).join();
    EXPECT_TRUE(scope.loop().runUntil([&] { return !got.empty(); }, 5s));
    EXPECT_EQ(got, "from worker");
    EXPECT_TRUE(onLoop);
}

TEST(Completion, CancellingTheTaskCallsTheProducersHandlerWhichFailsWithItsOwnError) {
    VirtualMainLoopScope scope;
    Completion<int> completion;
    completion.setCancelHandler([completion] { completion.fail(Error("Transfer", -999, "cancelled")); });
    std::string caught;
    auto task = startTask([&]() -> Task<void> {
        try {
            co_await completion;
        } catch (const CancellationError&) {
            caught = "task cancellation";
        } catch (const Error& e) {
            caught = e.domain() + " " + std::to_string(e.code());
        }
    });
    scope.loop().runUntilIdle();
    task.cancel();
    scope.loop().runUntilIdle();
    EXPECT_EQ(caught, "Transfer -999");
}

TEST(Completion, SettledBeforeAwaitIsReturnedWithoutSuspending) {
    VirtualMainLoopScope scope;
    Completion<int> completion;
    completion.resolve(4);
    completion.resolve(5);  // first settlement wins
    int got = 0;
    startTask([&]() -> Task<void> { got = co_await completion; });
    scope.loop().runUntilIdle();
    EXPECT_EQ(got, 4);
}

TEST(Task, OutcomeOfCarriesTheValueOrTheErrorWithoutThrowing) {
    VirtualMainLoopScope scope;
    Outcome<int> good, bad;
    Outcome<void> cancelled;
    auto task = startTask([&]() -> Task<void> {
        good = co_await outcomeOf(addLater(1, 2, 0.1s));
        bad = co_await outcomeOf(failing());
        auto sleeper = []() -> Task<void> { co_await sleepFor(10s); };
        cancelled = co_await outcomeOf(sleeper());
    });
    scope.loop().advance(0.2s);
    task.cancel();
    scope.loop().runUntilIdle();
    ASSERT_TRUE(good.value.has_value());
    EXPECT_EQ(*good.value, 3);
    EXPECT_FALSE(good.error);
    EXPECT_FALSE(bad.value.has_value());
    EXPECT_EQ(describeException(bad.error), "Error Domain=Test Code=7 \"went wrong\"");
    EXPECT_TRUE(isCancellationError(cancelled.error));
}

// g++ 12 destroys the closure of a lambda written inside a full-expression that holds a
// co_await twice (whether or not anything throws). Every other temporary of such an expression
// is destroyed once: class temporaries passed by value or by reference, strings, std::function
// objects made from a named lambda, and a task made from a lambda in a statement of its own.
namespace {

struct Counted {
    static inline int made = 0;
    static inline int gone = 0;
    int value = 1;
    Counted() { ++made; }
    Counted(const Counted& other)
        : value(other.value) {
        ++made;
    }
    Counted(Counted&& other) noexcept
        : value(other.value) {
        ++made;
    }
    ~Counted() { ++gone; }
};

Task<int> childTakingCopy(Counted counted, bool fail) {
    co_await sleepFor(0.1s);
    if (fail) throw Error("Test", 1, "child failed");
    co_return counted.value;
}

Task<int> childTakingReference(const Counted& counted, const std::string& text, bool fail) {
    if (fail) throw Error("Test", 2, "child failed");
    co_return counted.value + int(text.size());
}

Task<int> childTakingFunction(std::function<int()> function, bool fail) {
    co_await sleepFor(0.1s);
    if (fail) throw Error("Test", 3, "child failed");
    co_return function();
}

}  // namespace

TEST(Task, TemporariesOfAnAwaitingExpressionOtherThanLambdaClosuresAreDestroyedOnce) {
    using Await = std::function<Task<int>(bool)>;
    const std::pair<const char*, Await> forms[] = {
        {"class temporary by value", [](bool fail) -> Task<int> { co_return co_await childTakingCopy(Counted{}, fail); }},
        {"class and string temporaries by reference",
         [](bool fail) -> Task<int> { co_return co_await childTakingReference(Counted{}, std::string(64, 'x'), fail); }},
        {"std::function from a named lambda",
         [](bool fail) -> Task<int> {
             auto function = [counted = Counted{}] { return counted.value; };
             co_return co_await childTakingFunction(function, fail);
         }},
        {"task made first from a lambda",
         [](bool fail) -> Task<int> {
             auto child = childTakingFunction([counted = Counted{}] { return counted.value; }, fail);
             co_return co_await child;
         }},
    };
    for (const auto& [name, await] : forms) {
        for (bool fail : {false, true}) {
            Counted::made = Counted::gone = 0;
            {
                VirtualMainLoopScope scope;
                Outcome<int> outcome;
                auto task = startTask([&, await = await]() -> Task<void> { outcome = co_await outcomeOf(await(fail)); });
                scope.loop().advance(1.0s);
                EXPECT_EQ(outcome.value.has_value(), !fail) << name;
                EXPECT_EQ(bool(outcome.error), fail) << name;
            }
            EXPECT_GT(Counted::made, 0) << name;
            EXPECT_EQ(Counted::gone, Counted::made) << name << (fail ? ", thrown" : "");
        }
    }
}
