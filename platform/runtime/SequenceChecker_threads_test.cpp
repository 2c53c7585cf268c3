#include "platform/runtime/SequenceChecker.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <type_traits>

#include "platform/runtime/Published.h"
#include "platform/runtime/Timer.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

namespace {

template <class F>
bool onAnotherThread(F&& f) {
    bool result = false;
    std::thread([&] { result = f(); }).join();
    return result;
}

}  // namespace

TEST(SequenceChecker, BindsToTheFirstThreadThatChecksAndRefusesEveryOther) {
    SequenceCheckerImpl checker;
    // Made here, first used elsewhere: the using thread is the bound one.
    EXPECT_TRUE(onAnotherThread([&] { return checker.calledOnValidSequence(); }));
    EXPECT_FALSE(checker.calledOnValidSequence());
    checker.detach();
    EXPECT_TRUE(checker.calledOnValidSequence());
    EXPECT_TRUE(checker.calledOnValidSequence());
    EXPECT_FALSE(onAnotherThread([&] { return checker.calledOnValidSequence(); }));
}

TEST(SequenceChecker, ACheckOffTheBoundThreadAbortsNamingTheCallAndItsPlace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SequenceCheckerImpl checker;
    checker.check();
    EXPECT_DEATH(std::thread([&] { checker.check(); }).join(),
                 "velmo: operator\\(\\) called off the thread it is bound to "
                 "\\(.*SequenceChecker_threads_test.cpp:[0-9]+\\)");
}

TEST(SequenceChecker, TheReleaseCheckerIsEmptyAndAcceptsEveryThread) {
    static_assert(std::is_empty_v<SequenceCheckerDoNothing>);
    struct Holder {
        int value;
        [[no_unique_address]] SequenceCheckerDoNothing checker;
    };
    static_assert(sizeof(Holder) == sizeof(int));
    SequenceCheckerDoNothing checker;
    checker.check();
    EXPECT_TRUE(onAnotherThread([&] {
        checker.check();
        return checker.calledOnValidSequence();
    }));
}

#ifndef NDEBUG
// The runtime's thread-bound classes check in debug builds.
TEST(SequenceChecker, TheRuntimesBoundClassesRefuseAWrongThreadCall) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    VirtualMainLoopScope scope;
    EXPECT_DEATH(std::thread([&] { scope.loop().advance(1.0s); }).join(), "advance called .*VirtualMainLoop.cpp");
    EXPECT_DEATH(std::thread([&] { scope.loop().runUntilIdle(); }).join(), "runUntilIdle called .*VirtualMainLoop.cpp");

    Published<int> value{0};
    value = 1;
    EXPECT_DEATH(std::thread([&] { value = 2; }).join(), "set called .*Published.h");

    int fired = 0;
    auto timer = Timer::scheduled(1.0s, true, [&](Timer&) { ++fired; });
    scope.loop().advance(1.0s);
    EXPECT_EQ(fired, 1);
    EXPECT_DEATH(std::thread([&] { timer->invalidate(); }).join(), "invalidate called .*Timer.cpp");
    timer->invalidate();
}
#endif
