#include "interface/drawing/Painter.h"

#include <gtest/gtest.h>

#include <cairo.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>

#include "interface/drawing/CompanionPalette.h"
#include "interface/drawing/CursorGlyphs.h"

namespace velmo {
namespace {

constexpr double kPi = std::numbers::pi;

Surface::Pixel paintOne(Surface& s, const Layer& l) {
    Painter painter;
    painter.paintFull(s, {l});
    return s.pixel(0, 0);
}

bool sameBytes(const Surface& a, const Surface& b) {
    cairo_surface_flush(a.cairoSurface());
    cairo_surface_flush(b.cairoSurface());
    int stride = cairo_image_surface_get_stride(a.cairoSurface());
    return std::memcmp(cairo_image_surface_get_data(a.cairoSurface()), cairo_image_surface_get_data(b.cairoSurface()),
                       std::size_t(stride) * std::size_t(a.height())) == 0;
}

Layer card(const std::string& id, Point center, Size size) {
    Layer l;
    l.id = id;
    l.kind = Layer::Kind::RoundedRect;
    l.center = center;
    l.size = size;
    l.cornerRadius = 6;
    l.fill = CompanionPalette::cursorBlue();
    l.shadow = Shadow{Color::black(), 1.0, 10, {0, 0}};
    return l;
}

TEST(Painter, TriangleGlyphIsCursorBlueAtItsCentreAndNothingFarAway) {
    Surface s(64, 64);
    paintOne(s, Triangle::layer({32, 32}));
    auto c = s.pixel(32, 32);
    EXPECT_EQ(c.alpha, 255);
    EXPECT_EQ(c.red, 0x33);
    EXPECT_EQ(c.green, 0x80);
    EXPECT_EQ(c.blue, 0xFF);
    for (auto [x, y] : {std::pair{1, 1}, {62, 1}, {1, 62}, {62, 62}}) EXPECT_EQ(s.pixel(x, y).alpha, 0) << x << "," << y;
}

TEST(Painter, RotatedTrianglePointsItsApexUpAndToTheLeft) {
    Surface s(64, 64);
    paintOne(s, Triangle::layer({32, 32}, -35));
    double a = 35 * kPi / 180, d = 7;
    auto apexSide = s.pixel(int(std::lround(32 - d * std::sin(a))), int(std::lround(32 - d * std::cos(a))));
    auto mirrored = s.pixel(int(std::lround(32 + d * std::sin(a))), int(std::lround(32 - d * std::cos(a))));
    EXPECT_EQ(apexSide.alpha, 255);
    EXPECT_LT(mirrored.alpha, 200);  // only the glow reaches there
    EXPECT_GT(mirrored.alpha, 0);
}

TEST(Painter, SpinnerLeavesAGapBetweenItsTrimPoints) {
    Surface s(64, 64);
    paintOne(s, BlueCursorSpinnerView::layer({32, 32}, 0));
    auto at = [&](double degrees) {
        double r = degrees * kPi / 180;
        return s.pixel(int(std::lround(32 + 7 * std::cos(r))), int(std::lround(32 + 7 * std::sin(r))));
    };
    auto gap = at(0), opaqueEnd = at(295), middle = at(180);
    EXPECT_LT(gap.alpha, 60);
    EXPECT_GT(opaqueEnd.alpha, 180);
    EXPECT_GT(middle.alpha, gap.alpha + 40);
    EXPECT_GT(opaqueEnd.alpha, middle.alpha);  // the gradient grows towards the end of the arc
    EXPECT_EQ(opaqueEnd.blue, 0xFF);
}

TEST(Painter, ShadowFadesWithDistanceFromTheShape) {
    Surface s(120, 120);
    Layer l = card("card", {60, 60}, {40, 40});
    l.fill = Color::white();
    paintOne(s, l);
    int edge = 80;  // right edge of the card
    int a2 = s.pixel(edge + 2, 60).alpha, a6 = s.pixel(edge + 6, 60).alpha, a10 = s.pixel(edge + 10, 60).alpha,
        a16 = s.pixel(edge + 16, 60).alpha;
    EXPECT_GT(a2, a6);
    EXPECT_GT(a6, a10);
    EXPECT_GE(a10, a16);
    EXPECT_GT(a2, 60);
    EXPECT_LT(a16, 8);
    EXPECT_EQ(s.pixel(edge + 30, 60).alpha, 0);

    Surface alone(120, 120);
    l.shadowOnly = true;
    paintOne(alone, l);
    EXPECT_EQ(alone.pixel(60, 60).red, 0);  // the black shadow, no white card over it
    EXPECT_EQ(alone.pixel(edge + 6, 60).alpha, a6);
}

TEST(Painter, DamageLimitedFramesMatchAFullRepaint) {
    Surface damaged(200, 120), full(200, 120);
    Painter incremental, whole;
    LayerList frame1{card("card", {60, 60}, {50, 30}), Triangle::layer({150, 40}, -35)};
    incremental.paint(damaged, frame1);
    EXPECT_TRUE(incremental.paint(damaged, frame1).empty());  // nothing changed: nothing drawn

    LayerList frame2 = frame1;
    frame2[1].center = {154, 44};
    auto moved = incremental.paint(damaged, frame2);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_LT(moved[0].area(), 80 * 80);  // the glyph and its glow, not the surface
    whole.paintFull(full, frame2);
    EXPECT_TRUE(sameBytes(damaged, full));

    LayerList frame3{frame2[0]};  // the triangle goes away
    incremental.paint(damaged, frame3);
    whole.paintFull(full, frame3);
    EXPECT_TRUE(sameBytes(damaged, full));

    // Another surface, even at a reused address, is painted whole.
    auto fresh = std::make_unique<Surface>(200, 120);
    EXPECT_EQ(incremental.paint(*fresh, frame3).size(), 1u);
    EXPECT_EQ(incremental.paint(*fresh, frame3).size(), 0u);
    fresh.reset();
    fresh = std::make_unique<Surface>(200, 120);
    auto rects = incremental.paint(*fresh, frame3);
    ASSERT_EQ(rects.size(), 1u);
    EXPECT_EQ(rects[0], (PixelRect{0, 0, 200, 120}));
}

TEST(Painter, ShadowMasksAreCachedByShapeSizeAndRadiusInABoundedCache) {
    Surface s(200, 200);
    Painter painter(2);
    Layer a = card("a", {50, 50}, {40, 20});
    painter.paintFull(s, {a});
    a.center = {120, 120};  // moving does not change the mask
    painter.paintFull(s, {a});
    EXPECT_EQ(painter.shadowCacheMisses(), 1u);
    EXPECT_EQ(painter.shadowCacheHits(), 1u);
    Layer b = card("b", {50, 50}, {41, 20}), c = card("c", {50, 50}, {40, 20});
    c.shadow.radius = 4;
    painter.paintFull(s, {a, b, c});
    EXPECT_EQ(painter.shadowCacheMisses(), 3u);
    EXPECT_EQ(painter.shadowCacheSize(), 2u);
}

TEST(Painter, AnOutlinedCapsuleStrokesItsEdgeAndLeavesItsInsideClear) {
    Surface s(60, 30);
    Layer c;
    c.id = "capsule";
    c.kind = Layer::Kind::Capsule;
    c.center = {30, 15};
    c.size = {50, 20};
    c.fill = Color::clear();
    c.outline = Color::white();
    c.lineWidth = 2;
    Painter painter;
    painter.paintFull(s, {c});
    EXPECT_GT(s.pixel(30, 5).alpha, 200);  // on the top edge
    EXPECT_EQ(s.pixel(30, 15).alpha, 0);  // inside
    EXPECT_EQ(s.pixel(30, 1).alpha, 0);  // outside
}

TEST(Painter, WrappedTextBreaksAtWordsWithinItsWidth) {
    Font font{"sans-serif", 11, 400};
    const std::string text = "Nothing runs in the background. Your screen and mic are only used when you choose.";
    Size line = Painter::measureText(text, font);
    Size wrapped = Painter::measureText(text, font, 120);
    EXPECT_LE(wrapped.width, 120);
    EXPECT_GE(wrapped.height, 3 * line.height);
    // A width wider than the text keeps it on one line.
    EXPECT_EQ(Painter::measureText(text, font, line.width + 10).height, line.height);
}

TEST(Painter, TextIsMeasuredAndDrawnWithThePinnedFont) {
    Font font{"sans-serif", 11, 500};
    Size size = Painter::measureText("hey! i'm velmo", font);
    // DejaVu Sans at 11 px: about 82 x 13 (the test font configuration has nothing else).
    EXPECT_NEAR(size.width, 82, 6);
    EXPECT_NEAR(size.height, 13, 1);
    EXPECT_EQ(size, Painter::measureText("hey! i'm velmo", font));
    EXPECT_GT(Painter::measureText("hey! i'm velmo!", font).width, size.width);

    Surface s(120, 40);
    Layer t;
    t.id = "text";
    t.kind = Layer::Kind::Text;
    t.text = "MMMM";
    t.font = Font{"sans-serif", 20, 700};
    t.size = Painter::measureText(t.text, t.font);
    t.center = {60, 20};
    t.fill = Color::white();
    Painter painter;
    painter.paintFull(s, {t});
    int covered = 0;
    for (int x = 0; x < 120; ++x)
        for (int y = 0; y < 40; ++y)
            if (s.pixel(x, y).alpha == 255) ++covered;
    EXPECT_GT(covered, 100);
    EXPECT_EQ(s.pixel(1, 1).alpha, 0);
}

TEST(Painter, EveryOtherKindDraws) {
    auto image = std::make_shared<LayerImage>();
    image->width = 2;
    image->height = 1;
    image->stride = 8;
    image->pixels = {0, 0, 255, 255, 0, 255, 0, 255};  // red, green (BGRA in memory)
    Layer video;
    video.id = "video";
    video.kind = Layer::Kind::Image;
    video.image = image;
    video.center = {20, 20};
    video.size = {20, 20};
    video.clipCornerRadius = 4;
    Layer capsule;
    capsule.id = "capsule";
    capsule.kind = Layer::Kind::Capsule;
    capsule.center = {70, 20};
    capsule.size = {40, 10};
    capsule.fill = Color::white();
    Layer ring;
    ring.id = "ring";
    ring.kind = Layer::Kind::CircleStroke;
    ring.center = {120, 20};
    ring.size = {20, 20};
    ring.lineWidth = 2;
    ring.stroke = Color::white();
    Surface s(160, 40);
    Painter painter;
    painter.paintFull(s, {video, capsule, ring});
    // Aspect fill: the 2 x 1 picture is cropped to its middle; red on the left, green on the right.
    EXPECT_GT(s.pixel(11, 20).red, 200);
    EXPECT_LT(s.pixel(11, 20).green, 60);
    EXPECT_GT(s.pixel(28, 20).green, 200);
    EXPECT_LT(s.pixel(28, 20).red, 60);
    EXPECT_EQ(s.pixel(10, 10).alpha, 0);  // the clipped corner
    EXPECT_EQ(s.pixel(70, 20).alpha, 255);
    EXPECT_EQ(s.pixel(50, 15).alpha, 0);  // outside the rounded end
    EXPECT_GE(s.pixel(120, 10).alpha, 250);
    EXPECT_EQ(s.pixel(120, 20).alpha, 0);  // the ring's hole
}

TEST(Painter, WritesAPNG) {
    Surface s(16, 16);
    paintOne(s, Triangle::layer({8, 8}));
    std::string path = testing::TempDir() + "/painter_test.png";
    ASSERT_TRUE(s.writePNG(path));
    std::ifstream in(path, std::ios::binary);
    char magic[8] = {};
    in.read(magic, 8);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    EXPECT_FALSE(s.writePNG("/nonexistent-dir/x.png"));
}

}  // namespace
}  // namespace velmo
