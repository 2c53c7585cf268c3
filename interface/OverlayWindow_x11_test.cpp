// The overlay on a private X server with two monitors: real windows, the pointer moved and
// clicks made with XTest, pixels read back from the overlay windows themselves.
#include <gtest/gtest.h>
// After GoogleTest: Xlib defines None and Bool as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>

#include <algorithm>

#include <chrono>
#include <functional>

#include "companion/CompanionManagerTesting.h"
#include "companion/CompanionScreenCapture.h"
#include "companion/CompanionTestDoubles.h"
#include "interface/OverlayWindow.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/desktop/X11StatusBarDesktop.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/Error.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/JpegTestImage.h"
#include "testing/TaskProbe.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/X11TestDesktop.h"
#include "testing/X11WindowInspection.h"

using namespace std::chrono_literals;

namespace velmo {
namespace {

using velmo::test::bundleIdentifierOf;
using velmo::test::factsOf;
using velmo::test::nextEvent;
using velmo::test::pixelOf;
using velmo::test::rootChildren;
using velmo::test::shapeContains;
using velmo::test::shapeOf;
using velmo::test::WindowFacts;

using velmo::test::X11TestDesktop;

const std::vector<X11TestDesktop::Monitor> kMonitors{{"left", 0, 0, 1920, 1080}, {"right", 1920, 0, 1920, 1080}};

// How many rectangles make the window's shape of `kind`, and their total area.
int shapeRectangles(Display* d, Window w, int kind, long& area) {
    const auto shape = shapeOf(d, w, kind);
    area = 0;
    for (const auto& r : shape) area += long(r.width) * r.height;
    return int(shape.size());
}

// Moves the virtual clock on in small steps, letting X events in, until `condition` holds or a
// generous real-time deadline passes.
bool settle(VirtualMainLoop& loop, const std::function<bool()>& condition, double virtualSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (double t = 0; t <= virtualSeconds && std::chrono::steady_clock::now() < deadline; t += 0.016) {
        loop.runUntil([] { return false; }, 0.001s);
        loop.advance(0.016s);
        if (condition()) return true;
    }
    return condition();
}

struct OverlayX11Test : testing::Test {
    VirtualMainLoopScope loopScope;
    X11TestDesktop x{"3840x1080x24"};
    std::shared_ptr<X11StatusBarDesktop> desktop;
    std::shared_ptr<CompanionManager> companion = CompanionManager::create(
        {std::make_shared<velmo::test::FakeDictationManager>(), std::make_shared<velmo::test::FakeShortcutMonitor>(),
         std::make_shared<HeadlessOverlayWindowManager>(), test::bundleServiceClients()});
    std::unique_ptr<OverlayWindowManager> manager;

    void SetUp() override {
        ASSERT_TRUE(x.isReady()) << x.failure();
        ASSERT_TRUE(x.setMonitors(kMonitors));
    }
    void show() {
        desktop = X11StatusBarDesktop::open(x.displayName());
        ASSERT_TRUE(desktop);
        ASSERT_TRUE(desktop->hasArgbVisual());
        BlueCursorView::Environment e;
        e.mouseLocation = [d = desktop] { return d->mouseLocation(); };
        manager = std::make_unique<OverlayWindowManager>(desktop, e);
        manager->setHasShownOverlayBefore(true);
        std::vector<Screen> screens;
        for (const Rect& f : desktop->screenFrames()) screens.push_back({f, "", {}});
        ASSERT_EQ(screens.size(), 2u);
        manager->showOverlay(screens, *companion);
    }
    Window window(std::size_t i) { return X11StatusBarDesktop::windowOf(manager->overlayWindows().at(i)->platformWindow()); }
    bool settle(const std::function<bool()>& condition, double virtualSeconds = 5.0) {
        return velmo::settle(loopScope.loop(), condition, virtualSeconds);
    }
    ~OverlayX11Test() override {
        manager.reset();
        loopScope.loop().runUntilIdle();
    }
};

TEST_F(OverlayX11Test, TwoMonitorsGetTwoClickThroughDepth32WindowsWithTheCursorBesideThePointer) {
    Display* d = x.connection();
    Window beneath = x.createWindow(1920, 0, 1920, 1080, 0x202020);
    XSelectInput(d, beneath, ButtonPressMask);
    x.movePointer(1920 + 100, 100);
    show();
    ASSERT_EQ(manager->overlayWindows().size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        WindowFacts f = factsOf(d, window(i));
        EXPECT_TRUE(f.overrideRedirect);
        EXPECT_EQ(f.depth, 32);
        EXPECT_EQ(f.x, kMonitors[i].x);
        EXPECT_EQ(f.y, 0);
        EXPECT_EQ(f.width, 1920);
        EXPECT_EQ(f.height, 1080);
        long area = 0;
        EXPECT_EQ(shapeRectangles(d, window(i), ShapeInput, area), 0);
    }
    ASSERT_TRUE(settle([&] { return factsOf(d, window(1)).viewable && pixelOf(d, window(1), 135, 125) == 0xff3380ffu; }));
    EXPECT_NE(pixelOf(d, window(0), 135, 125), 0xff3380ffu);

    // A click on the blue pixels reaches the window beneath. The pointer goes onto the glyph
    // while the loop stands still, so the glyph is still drawn there, and the overlay's shape
    // takes the spot in: only the empty input region lets the click through.
    x.movePointer(1920 + 135, 125);
    ASSERT_EQ(pixelOf(d, window(1), 135, 125), 0xff3380ffu);
    ASSERT_TRUE(shapeContains(shapeOf(d, window(1), ShapeBounding), 135, 125));
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XEvent event{};
    ASSERT_TRUE(nextEvent(d, beneath, ButtonPressMask, event));
    EXPECT_EQ(event.xbutton.x, 135);
    EXPECT_EQ(event.xbutton.y, 125);

    // After a warp the glyph follows on the other monitor, and back on the right one, each
    // within half a second, in that monitor's own coordinates.
    x.movePointer(300, 400);
    EXPECT_TRUE(settle([&] { return pixelOf(d, window(0), 335, 425) == 0xff3380ffu; }, 0.5));
    x.movePointer(1920 + 700, 800);
    EXPECT_TRUE(settle([&] { return pixelOf(d, window(1), 735, 825) == 0xff3380ffu; }, 0.5));
    EXPECT_NE(pixelOf(d, window(0), 335, 425), 0xff3380ffu);
}

TEST_F(OverlayX11Test, WithoutACompositorOnlyWhatIsDrawnIsShapedInWithOneItCoversTheScreen) {
    Display* d = x.connection();
    x.movePointer(100, 100);
    show();
    ASSERT_TRUE(settle([&] { return pixelOf(d, window(0), 135, 125) == 0xff3380ffu; }));
    long area = 0;
    EXPECT_GT(shapeRectangles(d, window(0), ShapeBounding, area), 0);
    EXPECT_GT(area, 0);
    EXPECT_LT(area, 1920L * 1080 / 10);
    // The server shows what is shaped in as opaque: the glow's faint pixels and the clear corners
    // of the drawn boxes would be black there.
    long dark = 0;
    for (const XRectangle& r : shapeOf(d, window(0), ShapeBounding)) {
        XImage* image = XGetImage(d, window(0), r.x, r.y, r.width, r.height, AllPlanes, ZPixmap);
        ASSERT_TRUE(image);
        for (int y = 0; y < r.height; ++y)
            for (int x = 0; x < r.width; ++x) {
                const auto p = std::uint32_t(XGetPixel(image, x, y));
                if (std::max({(p >> 16) & 0xff, (p >> 8) & 0xff, p & 0xff}) < 0x20) ++dark;
            }
        XDestroyImage(image);
    }
    EXPECT_EQ(dark, 0);
    // The other screen draws nothing, so nothing of its window may show.
    EXPECT_EQ(shapeRectangles(d, window(1), ShapeBounding, area), 0);

    manager->hideOverlay();
    x.announceCompositingManager();
    std::vector<Screen> screens;
    for (const Rect& f : desktop->screenFrames()) screens.push_back({f, "", {}});
    manager->showOverlay(screens, *companion);
    ASSERT_TRUE(settle([&] { return pixelOf(d, window(0), 135, 125) == 0xff3380ffu; }));
    EXPECT_EQ(shapeRectangles(d, window(0), ShapeBounding, area), 1);
    EXPECT_EQ(area, 1920L * 1080);
}

TEST_F(OverlayX11Test, ACompositingManagerThatExitsAndComesBackWhileTheOverlayIsUpHasItShapedAndDrawnAnew) {
    Display* d = x.connection();
    x.movePointer(100, 100);
    const Atom selection = XInternAtom(d, ("_NET_WM_CM_S" + std::to_string(DefaultScreen(d))).c_str(), False);
    Window owner = XCreateSimpleWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, 0);
    XSetSelectionOwner(d, selection, owner, CurrentTime);
    x.sync();
    show();
    long area = 0;
    ASSERT_TRUE(settle([&] { return pixelOf(d, window(0), 135, 125) == 0xff3380ffu; }));
    EXPECT_EQ(shapeRectangles(d, window(0), ShapeBounding, area), 1);
    EXPECT_EQ(area, 1920L * 1080);

    // Gone: only what is drawn may cover the desktop, and it is drawn again.
    XDestroyWindow(d, owner);
    x.sync();
    ASSERT_TRUE(settle([&] {
        shapeRectangles(d, window(0), ShapeBounding, area);
        return area > 0 && area < 1920L * 1080 / 10;
    }));
    EXPECT_EQ(shapeRectangles(d, window(1), ShapeBounding, area), 0);
    EXPECT_EQ(pixelOf(d, window(0), 135, 125), 0xff3380ffu);

    // Back: the whole window again, blended by the compositing manager.
    owner = XCreateSimpleWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, 0);
    XSetSelectionOwner(d, selection, owner, CurrentTime);
    x.sync();
    ASSERT_TRUE(settle([&] { return shapeRectangles(d, window(1), ShapeBounding, area) == 1 && area == 1920L * 1080; }));
    EXPECT_EQ(shapeRectangles(d, window(0), ShapeBounding, area), 1);
    EXPECT_EQ(pixelOf(d, window(0), 135, 125), 0xff3380ffu);
}

TEST_F(OverlayX11Test, StaysAboveAWindowMappedLaterAndHidingTakesEveryWindowDown) {
    Display* d = x.connection();
    show();
    ASSERT_TRUE(settle([&] { return factsOf(d, window(0)).viewable && factsOf(d, window(1)).viewable; }));
    Window later = x.createWindow(0, 0, 800, 600, 0xff0000);
    auto topIsOverlay = [&] {
        std::vector<Window> order = rootChildren(d);
        const std::size_t n = order.size();
        auto isOverlay = [&](Window w) { return w == window(0) || w == window(1); };
        return n >= 3 && isOverlay(order[n - 1]) && isOverlay(order[n - 2]) && order[n - 3] == later;
    };
    EXPECT_TRUE(settle(topIsOverlay, 1.0));
    XRaiseWindow(d, later);
    XSync(d, False);
    EXPECT_TRUE(settle(topIsOverlay, 1.0));

    const Window first = window(0), second = window(1);
    manager->hideOverlay();
    XSync(d, False);
    EXPECT_TRUE(manager->overlayWindows().empty());
    for (Window w : rootChildren(d)) {
        EXPECT_NE(w, first);
        EXPECT_NE(w, second);
    }
    EXPECT_TRUE(manager->hasShownOverlayBefore());
}

TEST_F(OverlayX11Test, TheCursorIsDrawnTenPixelsEitherSideOfTheSeamAndAtTheRightEdge) {
    Display* d = x.connection();
    x.movePointer(100, 100);
    show();
    ASSERT_TRUE(settle([&] { return pixelOf(d, window(0), 135, 125) == 0xff3380ffu; }));
    struct Case {
        const char* name;
        int pointerX, pointerY;
        std::size_t screen;
        int glyphX, glyphY;  // in that screen's window
    };
    for (const Case& k : {Case{"10 px left of the seam", 1910, 500, 1, 25, 525}, Case{"10 px right of the seam", 1930, 500, 1, 45, 525},
                          Case{"10 px from the right edge", 3830, 500, 1, 1910, 525}}) {
        SCOPED_TRACE(k.name);
        x.movePointer(k.pointerX, k.pointerY);
        EXPECT_TRUE(settle([&] { return pixelOf(d, window(k.screen), k.glyphX, k.glyphY) == 0xff3380ffu; }));
    }
}

TEST_F(OverlayX11Test, ThePanelStaysAboveTheOverlayShownAfterItAndAWindowMappedLater) {
    Display* d = x.connection();
    show();
    ASSERT_TRUE(settle([&] { return factsOf(d, window(0)).viewable && factsOf(d, window(1)).viewable; }));
    auto panel = desktop->makePanel({100, 100, 320, 200});
    panel->orderFront();
    const Window panelWindow = X11StatusBarDesktop::windowOf(*panel);
    auto panelOnTop = [&] {
        std::vector<Window> order = rootChildren(d);
        return !order.empty() && order.back() == panelWindow;
    };
    EXPECT_TRUE(settle(panelOnTop, 1.0));
    std::vector<Screen> screens;
    for (const Rect& f : desktop->screenFrames()) screens.push_back({f, "", {}});
    manager->showOverlay(screens, *companion);  // new overlay windows, mapped after the panel
    EXPECT_TRUE(settle([&] { return panelOnTop() && factsOf(d, window(0)).viewable; }, 1.0));
    Window later = x.createWindow(0, 0, 800, 600, 0xff0000);
    auto order = [&] {
        std::vector<Window> o = rootChildren(d);
        const std::size_t n = o.size();
        return n >= 4 && o[n - 1] == panelWindow && o[n - 4] == later;
    };
    EXPECT_TRUE(settle(order, 1.0));
    panel.reset();
}

TEST_F(OverlayX11Test, AScreenshotTakenWhileTheOverlayShowsLeavesTheCursorOut) {
    Display* d = x.connection();
    velmo::test::TestDirectory folder;
    folder.write("Velmo.app/Contents/Info.plist", PropertyList::toXML(PlistValue::Dictionary{{"CFBundleIdentifier", "com.velmo.app"}}));
    Bundle::Scope bundle(folder / "Velmo.app");
    x.createWindow(1920, 0, 1920, 1080, 0x808080);
    x.movePointer(1920 + 200, 300);
    show();
    ASSERT_TRUE(settle([&] { return pixelOf(d, window(1), 235, 325) == 0xff3380ffu; }));
    // Named as the application's, which is how the capture knows it.
    EXPECT_EQ(bundleIdentifierOf(d, window(0)), "com.velmo.app");
    EXPECT_EQ(bundleIdentifierOf(d, window(1)), "com.velmo.app");

    auto layer = std::make_shared<X11ScreenLayer>(X11ScreenLayer::Options{x.displayName(), true});
    ASSERT_TRUE(layer->isConnected()) << layer->failure();
    ScreenLayerScope scope(layer);
    auto outcome = velmo::test::TaskProbe(captureAllDisplays());
    ASSERT_TRUE(loopScope.loop().runUntil([&] { return outcome.done(); }, 30.0s));
    ASSERT_TRUE(outcome.value()) << describeException(outcome.error());
    const auto& records = *outcome.value();
    ASSERT_EQ(records.size(), 2u);
    ASSERT_TRUE(records[0].isCursorScreen);
    auto image = velmo::test::decodeJpeg(records[0].imageData);
    ASSERT_TRUE(image);
    ASSERT_EQ(image->width, 1280);
    // The glyph's spot, scaled from 1920 to 1280 pixels, and around it.
    const int cx = 235 * 2 / 3, cy = 325 * 2 / 3;
    int blue = 0;
    for (int y = cy - 15; y <= cy + 15; ++y)
        for (int x0 = cx - 15; x0 <= cx + 15; ++x0) blue += velmo::test::colourNear(image->pixel(x0, y), 0x3380ff, 60);
    EXPECT_EQ(blue, 0);
    EXPECT_TRUE(velmo::test::colourNear(image->pixel(cx, cy), 0x808080, 16)) << std::hex << image->pixel(cx, cy);
    // Still drawn on screen.
    EXPECT_EQ(pixelOf(d, window(1), 235, 325), 0xff3380ffu);
}

// A published element (local coordinates of the right monitor) and where the glyph lands: 8
// right of and 12 below it, kept 20 pixels inside the screen.
struct TargetCase {
    const char* name;
    int elementX, elementY;
    int glyphX, glyphY;
};
const TargetCase kTargets[]{
    {"inside", 500, 400, 508, 412},
    {"past the bottom-right corner", 1915, 1075, 1900, 1060},
    {"at the top-left corner", 2, 3, 20, 20},
};

TEST_F(OverlayX11Test, APublishedTargetIsFlownToOnTheRightMonitorAndTheCursorComesBackAfterTheHold) {
    Display* d = x.connection();
    x.movePointer(1920 + 100, 100);
    show();
    ASSERT_TRUE(settle([&] { return pixelOf(d, window(1), 135, 125) == 0xff3380ffu; }));
    int clears = 0;
    Cancellable watch = companion->detectedElementScreenLocation().publisher().sink([&](const std::optional<Point>& p) { clears += !p; });
    const Rect right = desktop->screenFrames().at(1);
    for (const TargetCase& k : kTargets) {
        SCOPED_TRACE(k.name);
        clears = 0;
        // In global points (y up from the primary's bottom), as the pointing path publishes it.
        velmo::test::writable(*companion).detectedElementScreenLocation = Point{right.x + k.elementX, right.maxY() - k.elementY};
        velmo::test::writable(*companion).detectedElementDisplayFrame = right;
        EXPECT_TRUE(settle([&] { return pixelOf(d, window(1), k.glyphX, k.glyphY) == 0xff3380ffu; }, 1.5));
        EXPECT_NE(pixelOf(d, window(1), 135, 125), 0xff3380ffu);
        EXPECT_NE(pixelOf(d, window(0), k.glyphX, k.glyphY), 0xff3380ffu);
        EXPECT_TRUE(settle(
            [&] { return pixelOf(d, window(1), 135, 125) == 0xff3380ffu && pixelOf(d, window(1), k.glyphX, k.glyphY) != 0xff3380ffu; },
            15.0));
        EXPECT_TRUE(settle([&] { return clears > 0; }, 2.0));
        settle([] { return false; }, 1.0);
        EXPECT_EQ(clears, 1);
    }

    // Showing again after hiding keeps the flag: no second welcome.
    manager->hideOverlay();
    std::vector<Screen> screens;
    for (const Rect& f : desktop->screenFrames()) screens.push_back({f, "", {}});
    manager->showOverlay(screens, *companion);
    EXPECT_TRUE(manager->hasShownOverlayBefore());
    ASSERT_EQ(manager->overlayWindows().size(), 2u);
    EXPECT_TRUE(settle([&] {
        return factsOf(d, window(0)).viewable && factsOf(d, window(1)).viewable && pixelOf(d, window(1), 135, 125) == 0xff3380ffu;
    }));
    settle([] { return false; }, 3.0);  // past the welcome's 2 s start, had there been one
    for (const auto& view : manager->cursorViews()->views()) EXPECT_TRUE(view->state().welcomeText.empty());
}

// Without MIT-SHM the frames go out with XPutImage, still as the damaged rectangles.
TEST(OverlayX11WithoutSharedMemory, FramesGoOutWithXPutImageAndTheCursorFollowsThePointer) {
    VirtualMainLoopScope loopScope;
    X11TestDesktop x{"1920x1080x24", {"-extension", "MIT-SHM"}};
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    int opcode = 0, event = 0, error = 0;
    ASSERT_FALSE(XQueryExtension(d, "MIT-SHM", &opcode, &event, &error));
    auto companion = CompanionManager::create({std::make_shared<velmo::test::FakeDictationManager>(),
                                               std::make_shared<velmo::test::FakeShortcutMonitor>(),
                                               std::make_shared<HeadlessOverlayWindowManager>(), test::bundleServiceClients()});
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    BlueCursorView::Environment e;
    e.mouseLocation = [desktop] { return desktop->mouseLocation(); };
    OverlayWindowManager manager(desktop, e);
    manager.setHasShownOverlayBefore(true);
    x.movePointer(300, 200);
    manager.showOverlay({{desktop->screenFrames().at(0), "", {}}}, *companion);
    const Window w = X11StatusBarDesktop::windowOf(manager.overlayWindows().at(0)->platformWindow());
    EXPECT_TRUE(settle(
        loopScope.loop(), [&] { return pixelOf(d, w, 335, 225) == 0xff3380ffu; }, 5.0));
    x.movePointer(900, 700);
    EXPECT_TRUE(settle(
        loopScope.loop(), [&] { return pixelOf(d, w, 935, 725) == 0xff3380ffu; }, 0.5));
    EXPECT_TRUE(settle(
        loopScope.loop(), [&] { return pixelOf(d, w, 335, 225) != 0xff3380ffu; }, 0.5));  // the old spot was repainted
    // A compositing manager that comes and goes: the frame is put back from the kept copy.
    const Atom selection = XInternAtom(d, "_NET_WM_CM_S0", False);
    const Window owner = XCreateSimpleWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, 0);
    XSetSelectionOwner(d, selection, owner, CurrentTime);
    x.sync();
    EXPECT_TRUE(settle(
        loopScope.loop(), [&] { return shapeOf(d, w, ShapeBounding).size() == 1 && pixelOf(d, w, 935, 725) == 0xff3380ffu; }, 2.0));
    XDestroyWindow(d, owner);
    x.sync();
    EXPECT_TRUE(settle(
        loopScope.loop(),
        [&] { return shapeContains(shapeOf(d, w, ShapeBounding), 935, 725) && !shapeContains(shapeOf(d, w, ShapeBounding), 100, 100); },
        2.0));
    EXPECT_EQ(pixelOf(d, w, 935, 725), 0xff3380ffu);
    manager.hideOverlay();
    loopScope.loop().runUntilIdle();
}

}  // namespace
}  // namespace velmo
