#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

#include <vector>

#include "platform/desktop/X11ErrorTrap.h"
#include "platform/desktop/X11WindowStack.h"
#include "platform/desktop/X11WindowTree.h"
#include "testing/X11TestDesktop.h"

using namespace velmo;
using velmo::test::X11TestDesktop;

namespace {

// The same stack asked for one window at a time, as XGetWindowAttributes and
// XShapeGetRectangles answer.
std::vector<X11StackedWindow> stackOneByOne(Display* d) {
    std::vector<X11StackedWindow> windows;
    for (Window id : x11TopLevelWindows(d)) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(d, id, &a)) continue;
        X11StackedWindow w;
        w.id = id;
        w.x = a.x;
        w.y = a.y;
        w.width = a.width;
        w.height = a.height;
        w.borderWidth = a.border_width;
        w.depth = a.depth;
        w.visual = a.visual;
        w.mapState = a.map_state;
        w.inputOnly = a.c_class == InputOnly;
        int count = 0, ordering = 0;
        XRectangle* list = XShapeGetRectangles(d, id, ShapeBounding, &count, &ordering);
        for (int i = 0; i < count; ++i) {
            w.shape.push_back({a.x + a.border_width + list[i].x, a.y + a.border_width + list[i].y, list[i].width, list[i].height});
        }
        if (list) XFree(list);
        windows.push_back(std::move(w));
    }
    return windows;
}

// The same stack asked for all at once.
std::vector<X11StackedWindow> stackAtOnce(Display* d, bool withShapes) {
    X11WindowQueries queries(d, withShapes);
    for (Window id : x11TopLevelWindows(d)) queries.ask(id);
    std::vector<X11StackedWindow> windows;
    for (auto& w : queries.collect()) {
        if (w) windows.push_back(std::move(*w));
    }
    return windows;
}

void expectSameStack(const std::vector<X11StackedWindow>& actual, const std::vector<X11StackedWindow>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(i);
        const X11StackedWindow& a = actual[i];
        const X11StackedWindow& e = expected[i];
        EXPECT_EQ(a.id, e.id);
        EXPECT_EQ((X11Rect{a.x, a.y, a.width, a.height}), (X11Rect{e.x, e.y, e.width, e.height}));
        EXPECT_EQ(a.borderWidth, e.borderWidth);
        EXPECT_EQ(a.depth, e.depth);
        EXPECT_EQ(a.visual, e.visual);
        EXPECT_EQ(a.mapState, e.mapState);
        EXPECT_EQ(a.inputOnly, e.inputOnly);
        EXPECT_EQ(a.shape, e.shape);
    }
}

}  // namespace

// Asked all at once, the stack is the one the one-by-one queries describe: shaped, unmapped,
// bordered, input-only and 32-bit windows alike, with their visuals.
TEST(X11WindowStack, AskedAllAtOnceItIsTheStackAskedWindowByWindow) {
    X11TestDesktop desktop{"640x480x24"};
    ASSERT_TRUE(desktop.isReady());
    desktop.createWindow(10, 10, 200, 100, 0x3366aa);
    const Window glass = desktop.createTranslucentWindow(50, 40, 120, 90, 0x80400000);
    ASSERT_NE(glass, 0u);
    const Window shaped = desktop.createWindow(100, 120, 300, 200, 0xff00ff);
    desktop.shapeWindow(shaped, {{0, 0, 100, 200}, {200, 20, 100, 50}});
    desktop.sync();

    Display* d = XOpenDisplay(desktop.displayName().c_str());
    ASSERT_NE(d, nullptr);
    const Window root = DefaultRootWindow(d);
    const Window bordered = XCreateSimpleWindow(d, root, -20, 300, 80, 60, 7, 0, 0);
    XMapWindow(d, bordered);
    XCreateSimpleWindow(d, root, 400, 10, 50, 50, 2, 0, 0);  // never mapped
    XSetWindowAttributes none{};
    const Window input = XCreateWindow(d, root, 5, 5, 30, 30, 0, 0, InputOnly, CopyFromParent, 0, &none);
    XMapWindow(d, input);
    XSync(d, False);

    int event = 0, error = 0;
    ASSERT_TRUE(XShapeQueryExtension(d, &event, &error));
    {
        X11ErrorTrap trap(d);
        const std::vector<X11StackedWindow> expected = stackOneByOne(d);
        ASSERT_GE(expected.size(), 6u);
        const std::vector<X11StackedWindow> stack = stackAtOnce(d, true);
        expectSameStack(stack, expected);
        bool sawShaped = false, sawGlass = false;
        for (const X11StackedWindow& w : stack) {
            if (w.id == shaped) {
                sawShaped = true;
                // The server hands the shape back in bands, top to bottom.
                EXPECT_EQ(w.shape,
                          (std::vector<X11Rect>{{100, 120, 100, 20}, {100, 140, 100, 50}, {300, 140, 100, 50}, {100, 190, 100, 130}}));
            }
            if (w.id == glass) {
                sawGlass = true;
                EXPECT_EQ(w.depth, 32);
                ASSERT_NE(w.visual, nullptr);
                EXPECT_NE(w.visual, DefaultVisual(d, DefaultScreen(d)));
            }
        }
        EXPECT_TRUE(sawShaped);
        EXPECT_TRUE(sawGlass);

        // Without the Shape extension every window is its outer rectangle.
        for (const X11StackedWindow& w : stackAtOnce(d, false)) {
            EXPECT_EQ(w.shape, (std::vector<X11Rect>{{w.x, w.y, w.width + 2 * w.borderWidth, w.height + 2 * w.borderWidth}}));
        }
    }
    XCloseDisplay(d);
}
