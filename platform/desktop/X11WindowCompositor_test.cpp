#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/desktop/X11ErrorTrap.h"
#include "platform/desktop/X11WindowCompositor.h"
#include "testing/X11TestDesktop.h"

using namespace velmo;
using velmo::test::X11TestDesktop;

namespace {

constexpr X11Rect kScreen{0, 0, 640, 480};

std::uint32_t pixelAt(const std::vector<std::uint8_t>& pixels, int x, int y) {
    const std::uint8_t* p = pixels.data() + (std::size_t(y) * std::size_t(kScreen.width) + std::size_t(x)) * 4;
    return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

// A compositor on its own connection to a private 640x480 server; windows are made through the
// desktop's connection, as another client would.
class X11WindowCompositorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(desktop.isReady()) << desktop.failure();
        d = XOpenDisplay(desktop.displayName().c_str());
        ASSERT_NE(d, nullptr);
        compositor = std::make_unique<X11WindowCompositor>(d);
        ASSERT_TRUE(compositor->isAvailable());
    }
    void TearDown() override {
        compositor.reset();
        if (d) XCloseDisplay(d);
    }

    X11TestDesktop desktop{"640x480x24"};
    Display* d = nullptr;
    std::unique_ptr<X11WindowCompositor> compositor;
};

}  // namespace

// The box covers only where excluded top-level windows show in the area; windows that are not
// top-level, not shown, input-only or gone leave nothing to remove, and none of them reaches
// Xlib's error handler.
TEST_F(X11WindowCompositorTest, TheBoxIsWhereExcludedTopLevelWindowsShowInTheArea) {
    const Window shaped = desktop.createWindow(100, 100, 300, 200, 0xff00ff);
    desktop.shapeWindow(shaped, {{20, 10, 50, 40}, {200, 100, 60, 30}});
    const Window edge = desktop.createWindow(600, 400, 100, 100, 0x00ff00);
    const Window child = XCreateSimpleWindow(desktop.connection(), edge, 5, 5, 20, 20, 0, 0, 0);
    XMapWindow(desktop.connection(), child);
    const Window unmapped = XCreateSimpleWindow(desktop.connection(), DefaultRootWindow(desktop.connection()), 10, 10, 50, 50, 0, 0, 0);
    XSetWindowAttributes none{};
    const Window input = XCreateWindow(desktop.connection(), DefaultRootWindow(desktop.connection()), 10, 10, 50, 50, 0, 0, InputOnly,
                                       CopyFromParent, 0, &none);
    XMapWindow(desktop.connection(), input);
    desktop.sync();

    struct Case {
        const char* name;
        std::vector<Window> excluded;
        X11Rect area;
        X11Rect box;
    };
    const Case cases[] = {
        {"shaped", {shaped}, kScreen, {120, 110, 240, 120}},
        {"clipped by the screen", {edge}, kScreen, {600, 400, 40, 80}},
        {"clipped by the area", {shaped}, {0, 0, 200, 130}, {120, 110, 50, 20}},
        {"two windows", {shaped, edge}, kScreen, {120, 110, 520, 370}},
        {"outside the area", {edge}, {0, 0, 300, 300}, {}},
        {"not top-level", {child}, kScreen, {}},
        {"unmapped", {unmapped}, kScreen, {}},
        {"input only", {input}, kScreen, {}},
        {"no such window", {Window(0x1fffff0)}, kScreen, {}},
        {"none", {}, kScreen, {}},
    };
    X11ErrorTrap trap(d);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        X11WindowCompositor::Removal removal = compositor->planRemoval(c.area, c.excluded);
        EXPECT_EQ(compositor->awaitPlan(removal), c.box);
        EXPECT_EQ(removal.box(), c.box);
    }
    EXPECT_FALSE(trap.failed()) << trap.errorCode();
}

// A window beneath the removed one may go between the plan and the removal, and plans may be
// dropped at any stage: the capture goes on, what the window covered shows the root's
// background, and the connection carries no stray answers or errors.
TEST_F(X11WindowCompositorTest, WindowsGoneMeanwhileAndDroppedPlansLeaveTheConnectionClean) {
    const Window below = desktop.createWindow(50, 50, 200, 200, 0x3366aa);
    const Window own = desktop.createWindow(100, 100, 100, 100, 0xff00ff);
    desktop.sync();
    X11ErrorTrap trap(d);
    for (int stage = 0; stage < 3; ++stage) {
        X11WindowCompositor::Removal removal = compositor->planRemoval(kScreen, {own});
        if (stage >= 1) compositor->awaitPlan(removal);
        if (stage >= 2) compositor->prepareRemoval(removal);
    }
    std::vector<std::uint8_t> pixels(std::size_t(kScreen.width) * std::size_t(kScreen.height) * 4, 0xee);
    {
        X11WindowCompositor::Removal removal = compositor->planRemoval(kScreen, {own});
        ASSERT_EQ(compositor->awaitPlan(removal), (X11Rect{100, 100, 100, 100}));
        compositor->prepareRemoval(removal);
        XDestroyWindow(desktop.connection(), below);
        desktop.sync();
        compositor->removeWindows(removal, pixels.data(), std::size_t(kScreen.width) * 4);
    }
    // The window below was read before it went, or shows nothing: never the own window.
    const std::uint32_t under = pixelAt(pixels, 150, 150);
    EXPECT_TRUE(under == 0x3366aau || under == 0x000000u) << std::hex << under;
    EXPECT_EQ(pixelAt(pixels, 20, 20), 0xeeeeeeu);  // outside the box nothing is touched
    XSync(d, False);
    EXPECT_FALSE(trap.failed()) << trap.errorCode();

    // Once it is gone, the next removal shows the root's background (black) in its place.
    X11WindowCompositor::Removal removal = compositor->planRemoval(kScreen, {own});
    compositor->removeWindows(removal, pixels.data(), std::size_t(kScreen.width) * 4);
    EXPECT_EQ(pixelAt(pixels, 150, 150), 0x000000u);
    EXPECT_FALSE(trap.failed()) << trap.errorCode();
}
