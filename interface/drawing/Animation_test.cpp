#include "interface/drawing/Animation.h"

#include <gtest/gtest.h>

#include "platform/runtime/VirtualMainLoop.h"

namespace velmo {
namespace {

using namespace std::chrono_literals;

class AnimationTest : public testing::Test {
protected:
    VirtualMainLoopScope scope;
    VirtualMainLoop& loop = scope.loop();
    AnimationEngine engine;
};

TEST(AnimationCurves, MidpointsAndEnds) {
    using C = Animation::Curve;
    EXPECT_DOUBLE_EQ(Animation::curveFraction(C::Linear, 0.5), 0.5);
    EXPECT_NEAR(Animation::curveFraction(C::EaseInOut, 0.5), 0.5, 1e-9);
    EXPECT_NEAR(Animation::curveFraction(C::EaseIn, 0.5), 0.3153, 1e-3);
    EXPECT_NEAR(Animation::curveFraction(C::EaseOut, 0.5), 0.6847, 1e-3);
    for (C c : {C::Linear, C::EaseIn, C::EaseOut, C::EaseInOut}) {
        EXPECT_NEAR(Animation::curveFraction(c, 0), 0, 1e-9);
        EXPECT_NEAR(Animation::curveFraction(c, 1), 1, 1e-9);
        EXPECT_NEAR(Animation::curveFraction(c, 2), 1, 1e-9);
    }
}

TEST_F(AnimationTest, SpringWithDampingFractionPointSixOvershootsOnceThenSettles) {
    Animated<double> x(engine, 0);
    x.set(100, Animation::spring(0.2s, 0.6));
    double peak = 0, peakAt = 0;
    for (int i = 1; i <= 60; ++i) {
        loop.advance(0.005s);
        if (x.value() > peak) {
            peak = x.value();
            peakAt = i * 0.005;
        }
    }
    // exp(-0.6 pi / 0.8): about 9.5 % past the target, half a damped period in (0.125 s).
    EXPECT_NEAR(peak, 109.48, 0.2);
    EXPECT_NEAR(peakAt, 0.125, 0.006);
    loop.advance(1.0s);
    EXPECT_FALSE(x.isAnimating());
    EXPECT_EQ(x.value(), 100);
    EXPECT_FALSE(engine.isRunning());
}

TEST_F(AnimationTest, TimingCurveReachesItsTargetOnTimeAndTheFrameClockStops) {
    Animated<double> opacity(engine, 0);
    std::size_t frames = 0;
    auto listening = engine.onFrame([&] { ++frames; });
    EXPECT_FALSE(engine.isRunning());
    opacity.set(1, Animation::easeInOut(0.5s));
    EXPECT_TRUE(engine.isRunning());
    loop.advance(0.25s);
    EXPECT_NEAR(opacity.value(), 0.5, 1e-9);
    loop.advance(0.3s);
    EXPECT_EQ(opacity.value(), 1);
    EXPECT_FALSE(engine.isRunning());
    EXPECT_EQ(loop.pendingTimerCount(), 0u);
    // 60 Hz for the half second the value moved, and no more.
    EXPECT_GE(frames, 30u);
    EXPECT_LE(frames, 31u);
    loop.advance(2.0s);
    EXPECT_LE(frames, 31u);
}

TEST_F(AnimationTest, ImplicitAnimationWinsOverExplicitAndPlainWritesJump) {
    Animated<Point> position(engine, {0, 0});
    AnimationKey<int> key(0);
    position.set({10, 0}, key.when(0, Animation::linear(1s)));  // key unchanged: a jump
    EXPECT_EQ(position.value(), (Point{10, 0}));
    EXPECT_FALSE(position.isAnimating());

    withAnimation(Animation::linear(1s), [&] { position.set({20, 0}); });
    loop.advance(0.5s);
    EXPECT_NEAR(position.value().x, 15, 1e-9);

    withAnimation(Animation::linear(10s), [&] { position.set({0, 0}, key.when(1, Animation::linear(0.1s))); });
    loop.advance(0.05s);
    EXPECT_NEAR(position.value().x, 7.5, 1e-9);  // from 15 towards 0 in 0.1 s
    loop.advance(0.1s);
    EXPECT_EQ(position.value(), (Point{0, 0}));
}

TEST_F(AnimationTest, RetargetingStartsFromTheCurrentValue) {
    Animated<double> x(engine, 0);
    x.set(100, Animation::linear(1s));
    loop.advance(0.5s);
    x.set(0, Animation::linear(1s));
    EXPECT_NEAR(x.value(), 50, 1e-9);
    loop.advance(0.5s);
    EXPECT_NEAR(x.value(), 25, 1e-9);
}

TEST_F(AnimationTest, RepeatForeverKeepsTurningAndKeepsTheClockRunning) {
    Animated<double> angle(engine, 0);
    withAnimation(Animation::linear(0.8s).repeatForever(false), [&] { angle.set(360); });
    loop.advance(0.2s);
    EXPECT_NEAR(angle.value(), 90, 1e-6);
    loop.advance(0.8s);
    EXPECT_NEAR(angle.value(), 90, 1e-6);
    loop.advance(0.5s);
    EXPECT_NEAR(angle.value(), 315, 1e-6);
    EXPECT_TRUE(engine.isRunning());
    angle.jump(0);
    loop.advance(0.1s);
    EXPECT_FALSE(engine.isRunning());
}

TEST_F(AnimationTest, AHoldKeepsFramesComingUntilReleased) {
    std::size_t frames = 0;
    auto listening = engine.onFrame([&] { ++frames; });
    FrameHold hold = engine.holdFrames();
    loop.advance(1.0s);
    EXPECT_GE(frames, 59u);
    hold.release();
    loop.advance(0.1s);
    std::size_t after = frames;
    loop.advance(1.0s);
    EXPECT_EQ(frames, after);
    EXPECT_FALSE(engine.isRunning());
}

}  // namespace
}  // namespace velmo
