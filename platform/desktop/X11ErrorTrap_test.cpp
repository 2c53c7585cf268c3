#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "platform/desktop/X11ErrorTrap.h"
#include "testing/X11TestDesktop.h"
#include "testing/XvfbServer.h"

#include <vector>

using namespace velmo;
using velmo::test::X11TestDesktop;

namespace {

// A pixmap id of this client that names no pixmap: freeing it fails with BadPixmap.
Pixmap unusedPixmap(Display* d) { return Pixmap(XAllocID(d)); }

}  // namespace

// A trap waits for the server only when something sent is still unanswered; either way the
// failure of a request made inside it is caught, and a trap around good requests sees none.
TEST(X11ErrorTrap, WaitsOnlyForUnansweredRequestsAndCatchesFailuresInside) {
    X11TestDesktop desktop{"640x480x24"};
    ASSERT_TRUE(desktop.isReady());
    Display* d = XOpenDisplay(desktop.displayName().c_str());
    ASSERT_NE(d, nullptr);

    const struct {
        const char* name;
        bool unansweredBefore;  // a request without a reply is sent just before the trap
        bool failing;  // the request inside the trap fails
    } cases[] = {
        {"after a reply, failing", false, true},
        {"after a reply, good", false, false},
        {"after an unanswered request, failing", true, true},
        {"after an unanswered request, good", true, false},
    };
    for (const auto& c : cases) {
        XSync(d, False);  // everything answered
        if (c.unansweredBefore) XNoOp(d);
        const unsigned long before = NextRequest(d);
        {
            X11ErrorTrap trap(d);
            // Waiting costs one request of its own; with nothing unanswered none is sent.
            EXPECT_EQ(NextRequest(d) - before, c.unansweredBefore ? 1u : 0u) << c.name;
            if (c.failing) {
                XFreePixmap(d, unusedPixmap(d));
            } else {
                XNoOp(d);
            }
            EXPECT_EQ(trap.failed(), c.failing) << c.name;
            EXPECT_EQ(trap.errorCode(), c.failing ? BadPixmap : 0) << c.name;
        }
        // The trap is gone: the connection carries on.
        XSync(d, False);
    }
    XCloseDisplay(d);
}

// A watched connection outlives its server: the handler hears of the loss once, with the
// display's name, later calls on the connection fail at once, and closing it is safe.
TEST(X11ServerLoss, AWatchedConnectionReportsTheLossOnceAndLivesOnDead) {
    velmo::test::XvfbServer server{"640x480x24"};
    ASSERT_TRUE(server.isRunning()) << server.failure();
    std::vector<X11ServerLoss> losses;
    setX11ServerLossHandler([&](const X11ServerLoss& loss) { losses.push_back(loss); });
    Display* d = XOpenDisplay(server.display().c_str());
    ASSERT_NE(d, nullptr);
    watchX11ServerLoss(d);
    XSync(d, False);
    EXPECT_FALSE(x11ServerIsGone(d));
    EXPECT_TRUE(losses.empty());

    server.kill();
    XSync(d, False);  // Xlib's default would end the process here
    XWindowAttributes attributes{};
    EXPECT_EQ(XGetWindowAttributes(d, DefaultRootWindow(d), &attributes), 0);
    XSync(d, False);
    EXPECT_TRUE(x11ServerIsGone(d));
    ASSERT_EQ(losses.size(), 1u);
    EXPECT_EQ(losses[0].displayName, server.display());
    EXPECT_FALSE(losses[0].processEndsOnReturn);
    closeWatchedDisplay(d);
    setX11ServerLossHandler(nullptr);
    EXPECT_EQ(losses.size(), 1u);
}
