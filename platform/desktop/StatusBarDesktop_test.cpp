#include "platform/desktop/StatusBarDesktop.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velmo {
namespace {

// A 12 x 12 template: a solid 6 x 6 block in black, clear around it.
StatusItemIcon blockTemplate() {
    StatusItemIcon t{12, 12, std::vector<std::uint32_t>(144, 0)};
    for (int y = 3; y < 9; ++y)
        for (int x = 3; x < 9; ++x) t.argb[std::size_t(y) * 12 + x] = 0xFF000000;
    return t;
}

double luminance(double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; }

// The icon (premultiplied) laid over a panel of one grey, as a tray composes it: the
// luminance of each pixel.
std::vector<double> over(const StatusItemIcon& icon, double panelGrey) {
    std::vector<double> out;
    for (std::uint32_t p : icon.argb) {
        double a = (p >> 24) / 255.0;
        auto c = [&](int shift) { return ((p >> shift) & 0xFF) / 255.0 + panelGrey * (1 - a); };
        out.push_back(luminance(c(16), c(8), c(0)));
    }
    return out;
}

TEST(StatusItemIconTest, TheTintedIconStandsOutOnLightAndDarkPanelsAlike) {
    struct Case {
        const char* name;
        std::uint32_t tint;
        double panel;
    };
    for (const Case& k : {Case{"white glyph on a light panel", 0xFFFFFF, 0.94}, Case{"white glyph on a dark panel", 0xFFFFFF, 0.13},
                          Case{"dark glyph on a dark panel", 0x202020, 0.13}, Case{"dark glyph on a light panel", 0x202020, 0.94}}) {
        SCOPED_TRACE(k.name);
        StatusItemIcon icon = tintedOutlinedIcon(blockTemplate(), k.tint);
        ASSERT_EQ(icon.width, 12);
        ASSERT_EQ(icon.argb.size(), 144u);
        std::vector<double> lum = over(icon, k.panel);
        auto at = [&](int x, int y) { return lum[std::size_t(y) * 12 + x]; };
        // The glyph keeps its tint; the ring just outside it contrasts with the glyph, and
        // one of the two contrasts with the panel: the shape's edge is always seen.
        double tintLum = luminance(((k.tint >> 16) & 0xFF) / 255.0, ((k.tint >> 8) & 0xFF) / 255.0, (k.tint & 0xFF) / 255.0);
        EXPECT_NEAR(at(5, 5), tintLum, 0.01);
        for (auto [x, y] : {std::pair{2, 5}, std::pair{9, 5}, std::pair{5, 2}, std::pair{5, 9}, std::pair{2, 2}}) {
            EXPECT_GT(std::abs(at(x, y) - tintLum), 0.5) << x << "," << y;
            EXPECT_GT(std::max(std::abs(at(x, y) - k.panel), std::abs(tintLum - k.panel)), 0.5) << x << "," << y;
        }
        // Beyond the ring the panel shows through untouched.
        EXPECT_NEAR(at(0, 0), k.panel, 1e-9);
        EXPECT_NEAR(at(11, 6), k.panel, 1e-9);
    }
}

TEST(StatusItemIconTest, AMalformedTemplateGivesAClearIcon) {
    StatusItemIcon bad{4, 4, std::vector<std::uint32_t>(3, 0xFF000000)};
    StatusItemIcon out = tintedOutlinedIcon(bad, 0xFFFFFF);
    EXPECT_EQ(out.argb, std::vector<std::uint32_t>(3, 0));
}

}  // namespace
}  // namespace velmo
