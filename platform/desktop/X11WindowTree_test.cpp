#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "platform/desktop/X11ErrorTrap.h"
#include "platform/desktop/X11WindowTree.h"
#include "testing/X11TestDesktop.h"

#include <algorithm>
#include <vector>

using namespace velmo;
using velmo::test::X11TestDesktop;

// Children come bottom of the stack first, raising one moves it last, and a window that is gone
// has none (its error caught by the caller's trap).
TEST(X11WindowTree, ChildrenComeBottomFirstAndAGoneWindowHasNone) {
    X11TestDesktop desktop{"640x480x24"};
    ASSERT_TRUE(desktop.isReady());
    Display* d = XOpenDisplay(desktop.displayName().c_str());
    ASSERT_NE(d, nullptr);
    const Window root = DefaultRootWindow(d);
    const Window parent = XCreateSimpleWindow(d, root, 0, 0, 100, 100, 0, 0, 0);
    const Window first = XCreateSimpleWindow(d, parent, 0, 0, 10, 10, 0, 0, 0);
    const Window second = XCreateSimpleWindow(d, parent, 0, 0, 10, 10, 0, 0, 0);
    EXPECT_EQ(x11ChildWindows(d, parent), (std::vector<unsigned long>{first, second}));
    XRaiseWindow(d, first);
    EXPECT_EQ(x11ChildWindows(d, parent), (std::vector<unsigned long>{second, first}));

    const std::vector<unsigned long> topLevels = x11TopLevelWindows(d);
    EXPECT_NE(std::find(topLevels.begin(), topLevels.end(), parent), topLevels.end());

    XDestroyWindow(d, parent);
    {
        // The trap settles with the connection, so it must end before the connection closes.
        X11ErrorTrap trap(d);
        EXPECT_TRUE(x11ChildWindows(d, parent).empty());
    }
    XCloseDisplay(d);
}
