#include "interface/drawing/SymbolImages.h"

#include <gtest/gtest.h>

#include "interface/drawing/Painter.h"

namespace velmo {
namespace {

// Each symbol at 20 points in the middle of a 40 x 40 surface: drawn in its tint, all of it
// within its box (and the strokes' round ends).
TEST(SymbolImages, EverySymbolDrawsInItsTintInsideItsBox) {
    const Color tint{1.0, 178 / 255.0, 36 / 255.0, 1};
    for (const char* name : {"mic", "hand.raised", "rectangle.dashed.badge.record", "eye", "power", "play.circle"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(isKnownSymbol(name));
        LayerList layers = symbolLayers(name, 20, 500, tint, {0, 0, 40, 40}, "s");
        ASSERT_FALSE(layers.empty());
        Surface surface(40, 40);
        Painter().paintFull(surface, layers);
        int inked = 0, outside = 0, solid = 0;
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 40; ++x) {
                Surface::Pixel p = surface.pixel(x, y);
                if (p.alpha == 0) continue;
                ++inked;
                outside += x < 9 || x > 30 || y < 9 || y > 30;
                if (p.alpha == 255) {
                    ++solid;
                    EXPECT_EQ((std::vector<int>{p.red, p.green, p.blue}), (std::vector<int>{255, 178, 36})) << x << "," << y;
                }
            }
        EXPECT_GT(inked, 40);
        EXPECT_GT(solid, 10);
        EXPECT_EQ(outside, 0);
        // Not a filled box: most of the box stays clear.
        EXPECT_LT(inked, 20 * 20 * 3 / 4);
    }
}

TEST(SymbolImages, AnUnknownNameOrNoSizeDrawsNothing) {
    EXPECT_FALSE(isKnownSymbol("gearshape"));
    EXPECT_TRUE(symbolLayers("gearshape", 12, 500, Color::white(), {0, 0, 12, 12}, "s").empty());
    EXPECT_TRUE(symbolLayers("mic", 0, 500, Color::white(), {0, 0, 12, 12}, "s").empty());
}

TEST(SymbolImages, HeavierWeightsDrawHeavierStrokes) {
    auto width = [](int weight) { return symbolLayers("power", 12, weight, Color::white(), {0, 0, 12, 12}, "s").front().lineWidth; };
    EXPECT_LT(width(400), width(500));
    EXPECT_LT(width(500), width(700));
    EXPECT_GT(width(400), 0.5);
}

}  // namespace
}  // namespace velmo
