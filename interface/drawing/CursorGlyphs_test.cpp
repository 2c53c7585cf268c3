#include "interface/drawing/CursorGlyphs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velmo {
namespace {

double ripple(int i, double t) { return 0.75 * (1 + std::sin(0.35 * i + 3.6 * t)); }

TEST(Triangle, EquilateralOnTheShorterSideCentredOnTheRectangle) {
    // 40 x 20: side 20, centroid at the centre (30, 60).
    Path p = Triangle::path({10, 50, 40, 20});
    ASSERT_EQ(p.elements().size(), 4u);
    double h = 20 * std::sqrt(3.0) / 2;
    Point apex = p.elements()[0].p[0], left = p.elements()[1].p[0], right = p.elements()[2].p[0];
    EXPECT_DOUBLE_EQ(apex.x, 30);
    EXPECT_DOUBLE_EQ(apex.y, 60 - h / 1.5);
    EXPECT_DOUBLE_EQ(left.x, 20);
    EXPECT_DOUBLE_EQ(right.x, 40);
    EXPECT_DOUBLE_EQ(left.y, 60 + h / 3);
    EXPECT_DOUBLE_EQ(right.y, left.y);
    EXPECT_NEAR((apex.y + left.y + right.y) / 3, 60, 1e-12);
    EXPECT_NEAR(std::hypot(apex.x - left.x, apex.y - left.y), 20, 1e-12);
    EXPECT_EQ(p.elements()[3].op, Path::Op::Close);
}

TEST(Waveform, HeightsFollowTheLevelWithTheIdleRipple) {
    const double t = 12345.678;
    struct Case {
        double level;
        double shaped;  // n^0.76
    };
    double mid = std::pow(std::min(1.0, 2.85 * (0.2 - 0.008)), 0.76);
    for (Case c : {Case{0, 0}, Case{0.008, 0}, Case{0.2, mid}, Case{0.5, 1}, Case{1.0, 1}}) {
        BlueCursorWaveformView view{c.level};
        auto heights = view.barHeights(t);
        ASSERT_EQ(heights.size(), 5u);
        for (int i = 0; i < 5; ++i)
            EXPECT_DOUBLE_EQ(heights[i], 3 + 10 * view.listeningBarProfile[i] * c.shaped + ripple(i, t))
                << "level " << c.level << " bar " << i;
    }
    auto silent = BlueCursorWaveformView{0}.barHeights(t);
    for (double h : silent) {
        EXPECT_GE(h, 3);
        EXPECT_LE(h, 4.5);
    }
    auto loud = BlueCursorWaveformView{1.0}.barHeights(t);
    EXPECT_EQ(loud, BlueCursorWaveformView{0.5}.barHeights(t));
    EXPECT_GE(loud[2], 13);
    EXPECT_LE(loud[2], 14.5);
    EXPECT_GE(loud[0], 7);
    EXPECT_LE(loud[0], 8.5);
    EXPECT_EQ(BlueCursorWaveformView{0.3}.barHeights(t), BlueCursorWaveformView{0.3}.barHeights(t));
    EXPECT_NE(BlueCursorWaveformView{0.3}.barHeights(t), BlueCursorWaveformView{0.3}.barHeights(t + 0.4));
}

TEST(Waveform, BarCountIsClampedToTheProfileAndANaNLevelIsSilence) {
    BlueCursorWaveformView none{0.5, 0};
    EXPECT_TRUE(none.barHeights(0).empty());
    EXPECT_EQ(none.size(0).width, 0);
    EXPECT_TRUE((BlueCursorWaveformView{0.5, -3}.barHeights(0).empty()));
    EXPECT_EQ((BlueCursorWaveformView{0.5, 9}.barHeights(0).size()), 5u);
    EXPECT_EQ((BlueCursorWaveformView{0.5, 3}.barHeights(0).size()), 3u);
    EXPECT_EQ(BlueCursorWaveformView{std::numeric_limits<double>::quiet_NaN()}.barHeights(7), BlueCursorWaveformView{0}.barHeights(7));
    EXPECT_EQ(BlueCursorWaveformView{0.5}.size(0).width, 18);
}

TEST(Waveform, TimeIsCountedFromTheReferenceDate) {
    using namespace std::chrono;
    EXPECT_DOUBLE_EQ(secondsSinceReferenceDate(system_clock::time_point(seconds(978307200))), 0);
    EXPECT_DOUBLE_EQ(secondsSinceReferenceDate(system_clock::time_point(seconds(978307260))), 60);
}

TEST(Spinner, TrimmedArcWithAnAngularGradient) {
    Layer l = BlueCursorSpinnerView::layer({50, 50}, 90);
    EXPECT_EQ(l.kind, Layer::Kind::GradientArc);
    EXPECT_EQ(l.size, (Size{14, 14}));
    EXPECT_EQ(l.trimFrom, 0.15);
    EXPECT_EQ(l.trimTo, 0.85);
    EXPECT_EQ(l.lineWidth, 2.5);
    EXPECT_EQ(l.rotation, 90);
    EXPECT_EQ(l.gradientFrom.opacity, 0);
    EXPECT_EQ(l.gradientTo.opacity, 1);
    EXPECT_EQ(l.shadow.opacity, 0.6);
    EXPECT_EQ(l.shadow.radius, 6);
}

}  // namespace
}  // namespace velmo
