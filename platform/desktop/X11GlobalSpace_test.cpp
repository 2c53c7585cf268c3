#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>

#include "platform/desktop/X11GlobalSpace.h"

using namespace velmo;

TEST(X11GlobalSpace, MonitorRectanglesBecomeGlobalFramesWithYUp) {
    struct Case {
        X11Rect primary;
        X11Rect monitor;
        Rect frame;
    };
    const Case cases[] = {
        {{0, 0, 1600, 900}, {0, 0, 1600, 900}, {0, 0, 1600, 900}},
        // Right of the primary and taller, aligned at the top: it reaches below y = 0.
        {{0, 0, 1600, 900}, {1600, 0, 1000, 1200}, {1600, -300, 1000, 1200}},
        // Above the primary.
        {{0, 768, 1600, 900}, {0, 0, 1024, 768}, {0, 900, 1024, 768}},
        // Primary not at the root origin: another monitor left of it and higher up.
        {{1000, 200, 800, 600}, {0, 0, 1000, 1000}, {-1000, -200, 1000, 1000}},
        {{1000, 200, 800, 600}, {1000, 200, 800, 600}, {0, 0, 800, 600}},
    };
    for (const auto& c : cases) {
        X11GlobalSpace space(c.primary);
        EXPECT_EQ(space.rectFromX11(c.monitor), c.frame) << "case " << (&c - cases);
        EXPECT_EQ(space.rectToX11(c.frame), c.monitor) << "case " << (&c - cases);
    }
}

TEST(X11GlobalSpace, PointerPixelsLieInsideTheirMonitorAtEveryEdge) {
    X11GlobalSpace space({0, 0, 1600, 900});
    Rect primary = space.rectFromX11({0, 0, 1600, 900});
    Rect right = space.rectFromX11({1600, 0, 1000, 1200});
    const std::pair<int, int> primaryPixels[] = {{0, 0}, {1599, 0}, {0, 899}, {1599, 899}, {800, 450}};
    for (auto [x, y] : primaryPixels) {
        Point p = space.pointFromX11Pixel(x, y);
        EXPECT_TRUE(primary.contains(p)) << x << "," << y;
        EXPECT_FALSE(right.contains(p)) << x << "," << y;
        int bx = -1, by = -1;
        space.pixelFromPoint(p, bx, by);
        EXPECT_EQ(bx, x);
        EXPECT_EQ(by, y);
    }
    EXPECT_EQ(space.pointFromX11Pixel(0, 0), (Point{0.5, 899.5}));
    EXPECT_EQ(space.pointFromX11Pixel(1600, 1199), (Point{1600.5, -299.5}));
    EXPECT_TRUE(right.contains(space.pointFromX11Pixel(1600, 1199)));
    EXPECT_TRUE(right.contains(space.pointFromX11Pixel(2599, 0)));
}

TEST(X11Rect, Intersection) {
    EXPECT_EQ((X11Rect{0, 0, 10, 10}).intersection({5, 5, 10, 10}), (X11Rect{5, 5, 5, 5}));
    EXPECT_TRUE((X11Rect{0, 0, 10, 10}).intersection({10, 0, 5, 5}).isEmpty());
    EXPECT_EQ((X11Rect{0, 0, 10, 10}).intersection({-5, 2, 30, 3}), (X11Rect{0, 2, 10, 3}));
}

TEST(X11GlobalSpace, ExtremeValuesSaturateInsteadOfOverflowing) {
    const int extremes[] = {INT_MIN, INT_MIN + 1, -1, 0, 1, INT_MAX - 1, INT_MAX};
    const double doubles[] = {-1e300, -2147483648.5, -1, 0, 0.5, 2147483647.5, 1e300, std::nan(""), INFINITY, -INFINITY};
    for (int px : extremes)
        for (int py : extremes) {
            X11GlobalSpace space({px, py, std::abs(px % 4096), 900});
            for (int v : extremes) {
                Point p = space.pointFromX11Pixel(v, v);
                int x = 0, y = 0;
                space.pixelFromPoint(p, x, y);
                Rect frame = space.rectFromX11({v, v, v, v});
                X11Rect back = space.rectToX11(frame);
                EXPECT_GE(back.width, 0);
                EXPECT_GE(back.height, 0);
                (X11Rect{v, v, v, v}).intersection({px, py, INT_MAX, INT_MAX});
            }
            for (double d : doubles) {
                X11Rect r = space.rectToX11({d, d, 320, 120});
                EXPECT_GE(r.width, 0);
                EXPECT_LE(r.width, 321);
                EXPECT_GE(r.height, 0);
            }
        }
    // What an activation point around the first or last int used to become: a frame far off, not a wrapped one.
    X11GlobalSpace space({0, 0, 1600, 900});
    X11Rect far = space.rectToX11({-2147483648.5 - 160, 2147483647.0, 320, 120});
    EXPECT_LT(far.x, -1000000);
    EXPECT_LT(far.y, -1000000);
    EXPECT_EQ(far.width, 320);
    EXPECT_EQ(far.height, 120);
}
