#include "platform/runtime/OnceCallback.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

using namespace velmo;

static_assert(!std::is_copy_constructible_v<OnceCallback<int>>);
static_assert(std::is_nothrow_move_constructible_v<OnceCallback<int>>);

TEST(OnceCallback, RunsOnceWithItsArgumentsAndLetsGoOfItsCapturesInTheCall) {
    auto capture = std::make_shared<int>(0);
    std::weak_ptr<int> watch = capture;
    std::string seen;
    OnceCallback<const std::string&, int> callback = [capture = std::move(capture), &seen](const std::string& text, int n) {
        seen = text + std::to_string(n);
    };
    EXPECT_TRUE(callback);
    EXPECT_FALSE(callback.isSpent());
    callback("answer ", 42);
    EXPECT_EQ(seen, "answer 42");
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(callback);
    EXPECT_TRUE(callback.isSpent());
}

TEST(OnceCallback, AnEmptyOneRunsNothingButIsSpentByItsCall) {
    OnceCallback<int> empty = std::function<void(int)>();
    EXPECT_FALSE(empty);
    EXPECT_FALSE(empty.isSpent());
    empty(1);
    EXPECT_TRUE(empty.isSpent());
}

TEST(OnceCallback, MovingHandsOverTheCallAndSpendsTheSource) {
    int calls = 0;
    OnceCallback<> source = [&calls] { ++calls; };
    OnceCallback<> target = std::move(source);
    EXPECT_FALSE(source);
    EXPECT_TRUE(source.isSpent());
    EXPECT_TRUE(target);
    target();
    EXPECT_EQ(calls, 1);

    // Assigning a fresh one over a spent one makes it callable again; a spent one moved over a
    // waiting one leaves it spent, and the waiting function is dropped uncalled.
    OnceCallback<> reused;
    reused = [&calls] { ++calls; };
    reused();
    reused = [&calls] { ++calls; };
    reused = std::move(target);
    EXPECT_TRUE(reused.isSpent());
    EXPECT_EQ(calls, 2);
}

TEST(OnceCallback, DestroyingItUncalledIsAllowedAndRunsNothing) {
    int calls = 0;
    auto capture = std::make_shared<int>(0);
    std::weak_ptr<int> watch = capture;
    {
        OnceCallback<> callback = [&calls, capture = std::move(capture)] { ++calls; };
    }
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(watch.expired());
}

TEST(OnceCallback, ItIsSpentBeforeItsFunctionRuns) {
    OnceCallback<> callback;
    bool spentInside = false;
    callback = [&] { spentInside = callback.isSpent() && !callback; };
    callback();
    EXPECT_TRUE(spentInside);
}

#ifndef NDEBUG
TEST(OnceCallback, ASecondCallAbortsInDebugBuilds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    OnceCallback<int> callback = [](int) {};
    callback(1);
    EXPECT_DEATH(callback(2), "velmo: a run-once callback was called again \\(.*OnceCallback.*int.*\\)");
    OnceCallback<int> movedFrom = [](int) {};
    OnceCallback<int> target = std::move(movedFrom);
    EXPECT_DEATH(movedFrom(1), "a run-once callback was called again");
}
#else
TEST(OnceCallback, ASecondCallIsIgnoredInReleaseBuilds) {
    int calls = 0;
    OnceCallback<> callback = [&calls] { ++calls; };
    callback();
    callback();
    EXPECT_EQ(calls, 1);
}
#endif
