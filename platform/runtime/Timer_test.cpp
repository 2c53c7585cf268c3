#include <gtest/gtest.h>

#include <cmath>

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
