#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/runtime/Timer.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

TEST(Timer, RepeatingTimerKeepsAFixedScheduleWithoutDrift) {
    VirtualMainLoopScope scope;
    auto& loop = scope.loop();
    long long fires = 0;
    double worstError = 0;
    auto timer = Timer::scheduled(0.03s, true, [&](Timer&) {
        ++fires;
        worstError = std::max(worstError, std::fabs(loop.now() - double(fires) * 0.03));
    });
    loop.advance(10'000s);  // how long this takes is measured by BM_VirtualTimerTenThousandSeconds
    EXPECT_EQ(fires, 333'333);
    EXPECT_LT(worstError, 0.001);
    timer->invalidate();
}

TEST(Timer, OneShotFiresOnceAndInvalidateStopsARepeatingTimer) {
    VirtualMainLoopScope scope;
    auto& loop = scope.loop();
    int once = 0, repeating = 0;
    Timer::scheduled(1.5s, false, [&](Timer&) { ++once; });  // the loop keeps it alive
    auto timer = Timer::scheduled(1.5s, true, [&](Timer& t) {
        if (++repeating == 3) t.invalidate();
    });
    loop.advance(100s);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(repeating, 3);
    EXPECT_FALSE(timer->isValid());
    EXPECT_EQ(loop.pendingTimerCount(), 0u);
}

TEST(Timer, InvalidatedBeforeFiringNeverFires) {
    VirtualMainLoopScope scope;
    int fires = 0;
    auto timer = Timer::scheduled(1.0s, true, [&](Timer&) { ++fires; });
    scope.loop().advance(0.5s);
    timer->invalidate();
    scope.loop().advance(10s);
    EXPECT_EQ(fires, 0);
}

TEST(Timer, ASuspendedTimerKeepsItsScheduleAndResumesAtItsNextFiringAfterNow) {
    VirtualMainLoopScope scope;
    auto& loop = scope.loop();
    std::vector<double> firedAt;
    auto timer = Timer::scheduled(1.5s, true, [&](Timer&) { firedAt.push_back(loop.now()); });
    loop.advance(1.5s);
    timer->suspend();
    EXPECT_TRUE(timer->isSuspended());
    EXPECT_EQ(loop.pendingTimerCount(), 0u);
    loop.advance(10.1s);  // nothing fires while suspended
    EXPECT_EQ(firedAt, (std::vector<double>{1.5}));

    timer->resume();  // at 11.6: the grid's next firing is 12.0
    EXPECT_FALSE(timer->isSuspended());
    loop.advance(0.39s);
    EXPECT_EQ(firedAt.size(), 1u);
    loop.advance(0.01s);
    EXPECT_EQ(firedAt, (std::vector<double>{1.5, 12.0}));

    timer->suspend();
    loop.advance(1.5s);  // to 13.5, the very firing it left off before: it counts as skipped
    timer->resume();
    loop.advance(1.49s);
    EXPECT_EQ(firedAt.size(), 2u);
    loop.advance(0.01s);
    EXPECT_EQ(firedAt, (std::vector<double>{1.5, 12.0, 15.0}));
    loop.advance(1.5s);  // and it goes on repeating
    EXPECT_EQ(firedAt.back(), 16.5);

    bool onceFired = false;
    auto once = Timer::scheduled(1s, false, [&](Timer&) { onceFired = true; });
    once->suspend();  // a one-shot timer is not suspended
    EXPECT_FALSE(once->isSuspended());
    loop.advance(1s);
    EXPECT_TRUE(onceFired);
    timer->invalidate();
}
