// The menu-bar panel on a private X server: a tray manager written here docks the icon, XTest
// clicks drive it.
#include <gtest/gtest.h>
// After GoogleTest: Xlib defines None and Bool as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xfixes.h>
#include <cairo.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <thread>

#include "companion/CompanionTestEnvironment.h"
#include "interface/CompanionPanelView.h"
#include "interface/MenuBarPanelManager.h"
#include "interface/WindowPositionManager.h"
#include "platform/desktop/ApplicationTermination.h"
#include "testing/RunningProgram.h"
#include "testing/TestTrayManager.h"
#include "testing/SimulatedStatusBarDesktop.h"
#include "platform/desktop/X11StatusBarDesktop.h"
#include "platform/desktop/X11WindowTree.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/EnvironmentVariable.h"
#include "testing/X11TestDesktop.h"
#include "testing/X11WindowInspection.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::CompanionTestEnvironment;
using velmo::test::factsOf;
using velmo::test::WindowFacts;
using velmo::test::X11TestDesktop;

namespace {

// The tray is what these tests drive: no session bus, so no StatusNotifierItem.
constexpr const char* noSessionBus = "unix:path=/nonexistent/velmo-test-bus";

void click(Display* display, int x, int y, unsigned button) {
    XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime);
    XTestFakeButtonEvent(display, button, True, CurrentTime);
    XTestFakeButtonEvent(display, button, False, CurrentTime);
    XSync(display, False);
}

void setActiveWindow(Display* display, Window window) {
    unsigned long value = window;
    XChangeProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
    XSync(display, False);
}

}  // namespace

TEST(MenuBarPanelOnX11, TheIconDocksAndClicksOnItShowAndHideThePanelUnderIt) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    velmo::test::TestTrayManager tray(x.displayName(), 900, 0, 380, 24);
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto companion = CompanionManager::create({env.dictation, env.shortcut, env.overlay});
    auto manager = MenuBarPanelManager::create(companion);
    ASSERT_TRUE(manager->statusItem());
    ASSERT_TRUE(env.loop().runUntil([&] { return tray.pump() && manager->statusItem()->buttonWindowFrame().has_value(); }));
    EXPECT_EQ(tray.icon(), X11StatusBarDesktop::windowOf(*manager->statusItem()));
    // Root (900, 0, 24, 24) on an 800-pixel-high primary screen.
    EXPECT_EQ(*manager->statusItem()->buttonWindowFrame(), (Rect{900, 776, 24, 24}));

    click(d, 912, 12, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return manager->isPanelVisible(); }));
    const Window panel = X11StatusBarDesktop::windowOf(*manager->panel());
    // x = 912 - 160, y = 776 - 120 - 4 in points: root (752, 28).
    ASSERT_TRUE(env.loop().runUntil([&] { return factsOf(d, panel).viewable; }));
    WindowFacts shown = factsOf(d, panel);
    EXPECT_EQ(shown.x, 752);
    EXPECT_EQ(shown.y, 28);
    EXPECT_EQ(shown.width, 320);
    EXPECT_EQ(shown.height, 120);

    click(d, 912, 12, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return !manager->isPanelVisible() && !factsOf(d, panel).viewable; }));
    EXPECT_FALSE(manager->hasClickOutsideMonitor());

    click(d, 912, 12, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return manager->isPanelVisible(); }));
    setActiveWindow(d, panel);
    // Events of one connection arrive in order: once the right click inside the panel has been
    // heard, the scroll before it has been seen too. A click in the panel is the application's
    // own: it reaches the local monitors, not the ones watching other windows.
    int rightClicks = 0, leftClicks = 0, ownRightClicks = 0;
    auto counter = desktop->addGlobalMonitorForEvents(MouseEventMask::rightMouseDown, [&] { ++rightClicks; });
    auto leftCounter = desktop->addGlobalMonitorForEvents(MouseEventMask::leftMouseDown, [&] { ++leftClicks; });
    auto ownCounter = desktop->addLocalMonitorForEvents(MouseEventMask::rightMouseDown, [&] { ++ownRightClicks; });
    click(d, 100, 400, 4);
    click(d, 100, 400, 2);
    click(d, 800, 60, 3);
    ASSERT_TRUE(env.loop().runUntil([&] { return ownRightClicks == 1; }));
    env.loop().advance(1.0s);
    EXPECT_TRUE(manager->isPanelVisible());
    EXPECT_EQ(leftClicks, 0);
    EXPECT_EQ(rightClicks, 0);

    click(d, 100, 400, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return leftClicks == 1; }));
    env.loop().advance(0.29s);
    EXPECT_TRUE(manager->isPanelVisible());
    env.loop().advance(0.01s);
    EXPECT_FALSE(manager->isPanelVisible());
    ASSERT_TRUE(env.loop().runUntil([&] { return !factsOf(d, panel).viewable; }));
    EXPECT_EQ(rightClicks, 0);
    EXPECT_EQ(ownRightClicks, 1);

    desktop->removeMonitor(counter);
    desktop->removeMonitor(leftCounter);
    desktop->removeMonitor(ownCounter);
    manager.reset();
    StatusBarDesktop::install(nullptr);
}

TEST(MenuBarPanelOnX11, WithoutATrayManagerThereIsNoItemAndThePanelStillOpensAtTheTopRight) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto manager = MenuBarPanelManager::create(CompanionManager::create({env.dictation, env.shortcut, env.overlay}));
    EXPECT_FALSE(manager->statusItem());
    EXPECT_EQ(env.log.linesStartingWith("⚠️ Velmo: This desktop has no status area").size(), 1u);
    env.loop().runUntilIdle();  // the desktop's first read done, as in a running application
    manager->showPanel();
    // A window made straight after: its round trips read the panel's Expose
    // into Xlib's queue, where the connection's descriptor no longer announces it.
    auto overlay = desktop->makeOverlayWindow({0, 0, 10, 10});
    const Window panel = X11StatusBarDesktop::windowOf(*manager->panel());
    ASSERT_TRUE(env.loop().runUntil([&] { return factsOf(x.connection(), panel).viewable; }));
    WindowFacts shown = factsOf(x.connection(), panel);
    EXPECT_EQ(shown.x, 1280 - 320 - 4);
    EXPECT_EQ(shown.y, 4);
    // Its card is drawn as soon as it shows, with nothing else happening on the desktop.
    const std::uint32_t card = velmo::test::pixelOf(x.connection(), panel, 40, 40) & 0xffffff;
    EXPECT_NE(card, 0u) << "the panel shows unpainted";
    overlay.reset();
    manager.reset();
    StatusBarDesktop::install(nullptr);
}

namespace {

// The card of another client's mapped panel, when there is one: a top-level window whose input
// shape is one 320-point-wide rectangle (root coordinates).
std::optional<WindowFacts> mappedPanel(Display* display) {
    std::optional<WindowFacts> found;
    for (Window w : velmo::test::rootChildren(display)) {
        WindowFacts s = factsOf(display, w);
        if (!s.viewable || !s.overrideRedirect) continue;
        auto input = velmo::test::shapeOf(display, w, ShapeInput);
        if (input.size() != 1 || input[0].width != 320) continue;
        s.x += input[0].x;
        s.y += input[0].y;
        s.width = input[0].width;
        s.height = input[0].height;
        found = s;
    }
    return found;
}

bool waitFor(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

TEST(VelmoExecutableOnX11, TheIconDocksInTheTrayAndAClickShowsThePanelUnderIt) {
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    velmo::test::TestTrayManager tray(x.displayName(), 900, 0, 380, 24);
    velmo::test::TestDirectory config;
    velmo::test::RunningProgram velmo(VELMO_EXECUTABLE, {"velmo"},
                                      {{"DISPLAY", x.displayName()},
                                       {"XDG_CONFIG_HOME", config.path()},
                                       {"PULSE_SERVER", "unix:/nonexistent"},
                                       {"DBUS_SESSION_BUS_ADDRESS", noSessionBus}});
    ASSERT_TRUE(velmo.started());
    EXPECT_TRUE(waitFor([&] { return tray.pump() && factsOf(d, tray.icon()).viewable; }));
    // A first launch opens the panel by itself; a click on the icon closes it and the next opens it.
    EXPECT_TRUE(waitFor([&] { return mappedPanel(d).has_value(); }));
    click(d, 912, 12, 1);
    EXPECT_TRUE(waitFor([&] { return !mappedPanel(d).has_value(); }));
    click(d, 912, 12, 1);
    EXPECT_TRUE(waitFor([&] { return mappedPanel(d).has_value(); }));
    auto panel = mappedPanel(d);
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->x, 752);
    EXPECT_EQ(panel->y, 28);
    // A picture for a person to look at.
    const std::string shot = std::string(VELMO_TEST_OUTPUT_DIR) + "/velmo-panel.png";
    const std::string command = "command -v import >/dev/null && DISPLAY=" + x.displayName() + " import -window root " + shot;
    EXPECT_GE(std::system(command.c_str()), 0);
    velmo.signal(SIGTERM);
    const int status = velmo.waitForExit(30s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << velmo.output();
}

namespace {

// A content view with one button whose frame the test changes.
class OneButtonView : public PanelContentView {
public:
    double fittingHeight() const override { return 200; }
    PanelPixels render(Size size) const override {
        PanelPixels p{int(size.width), int(size.height), int(size.width) * 4, {}};
        p.bytes.assign(std::size_t(p.stride) * p.height, 0xFF);
        return p;
    }
    std::vector<Rect> pointerCursorRegions(Size) const override { return {button}; }
    Rect button{20, 150, 120, 32};
};

std::vector<WindowFacts> inputOnlyChildren(Display* display, Window parent) {
    std::vector<WindowFacts> found;
    for (Window child : velmo::x11ChildWindows(display, parent)) {
        XWindowAttributes a{};
        XGetWindowAttributes(display, child, &a);
        if (a.c_class == InputOnly) found.push_back(factsOf(display, child));
    }
    return found;
}

unsigned long cursorSerialAt(Display* display, int x, int y) {
    XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime);
    XSync(display, False);
    XFixesCursorImage* image = XFixesGetCursorImage(display);
    unsigned long serial = image ? image->cursor_serial : 0;
    if (image) XFree(image);
    return serial;
}

}  // namespace

TEST(MenuBarPanelOnX11, ThePointingHandRegionsFollowAResizedButton) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto view = std::make_shared<OneButtonView>();
    auto manager = MenuBarPanelManager::create(CompanionManager::create({env.dictation, env.shortcut, env.overlay}),
                                               [view](const std::shared_ptr<CompanionManager>&) { return view; });
    manager->showPanel();  // no tray: top-right, root (956, 4)
    const Window panel = X11StatusBarDesktop::windowOf(*manager->panel());
    ASSERT_TRUE(env.loop().runUntil([&] { return factsOf(d, panel).viewable; }));
    auto regions = inputOnlyChildren(d, panel);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_TRUE(regions[0].viewable);
    EXPECT_EQ((std::vector<int>{regions[0].x, regions[0].y, regions[0].width, regions[0].height}), (std::vector<int>{20, 150, 120, 32}));
    const unsigned long overPanel = cursorSerialAt(d, 956 + 200, 4 + 50);
    const unsigned long overButton = cursorSerialAt(d, 956 + 30, 4 + 160);
    EXPECT_NE(overButton, overPanel);

    view->button = Rect{20, 100, 280, 60};
    manager->contentDidChange();
    x.sync();
    regions = inputOnlyChildren(d, panel);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ((std::vector<int>{regions[0].x, regions[0].y, regions[0].width, regions[0].height}), (std::vector<int>{20, 100, 280, 60}));
    EXPECT_EQ(cursorSerialAt(d, 956 + 200, 4 + 120), overButton);  // was plain panel, now the wider button
    EXPECT_EQ(cursorSerialAt(d, 956 + 30, 4 + 175), overPanel);  // was the button, now below it
    manager.reset();
    StatusBarDesktop::install(nullptr);
}

TEST(MenuBarPanelOnX11, TheIconDocksAgainWithATrayThatStartsAfterTheOldOneWentAndTakesItsForeground) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    auto first = std::make_unique<velmo::test::TestTrayManager>(x.displayName(), 900, 0, 380, 24);
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto manager = MenuBarPanelManager::create(CompanionManager::create({env.dictation, env.shortcut, env.overlay}));
    ASSERT_TRUE(manager->statusItem());
    ASSERT_TRUE(env.loop().runUntil([&] { return first->pump() && manager->statusItem()->buttonWindowFrame() == Rect{900, 776, 24, 24}; }));

    first.reset();  // the tray goes; its save-set hands the icon back to the root
    velmo::test::TestTrayManager second(x.displayName(), 100, 0, 300, 30, std::array<unsigned long, 3>{0, 0, 0});
    ASSERT_TRUE(env.loop().runUntil([&] { return second.pump() && manager->statusItem()->buttonWindowFrame() == Rect{100, 776, 24, 24}; }));
    EXPECT_EQ(second.icon(), X11StatusBarDesktop::windowOf(*manager->statusItem()));
    // Drawn in the tray's foreground (black here) over the bar's grey.
    ASSERT_TRUE(env.loop().runUntil([&] {
        XImage* image = XGetImage(d, second.icon(), 0, 0, 24, 24, AllPlanes, ZPixmap);
        if (!image) return false;
        const unsigned long centre = XGetPixel(image, 12, 12), corner = XGetPixel(image, 1, 1);
        XDestroyImage(image);
        return (centre & 0xFFFFFF) == 0 && (corner & 0xFFFFFF) == 0x303030;
    }));
    manager.reset();
    StatusBarDesktop::install(nullptr);
}

TEST(MenuBarPanelOnX11, ATrayThatTakesTheIconAlongWhenItGoesLeavesANewIconForTheNextTray) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    auto first = std::make_unique<velmo::test::TestTrayManager>(x.displayName(), 900, 0, 380, 24);
    first->setKeepsIconsInSaveSet(false);
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto manager = MenuBarPanelManager::create(CompanionManager::create({env.dictation, env.shortcut, env.overlay}));
    ASSERT_TRUE(manager->statusItem());
    ASSERT_TRUE(env.loop().runUntil([&] { return first->pump() && manager->statusItem()->buttonWindowFrame() == Rect{900, 776, 24, 24}; }));
    const Window oldIcon = first->icon();

    first.reset();  // the icon's window is destroyed with the tray's bar
    ASSERT_TRUE(env.loop().runUntil([&] { return X11StatusBarDesktop::windowOf(*manager->statusItem()) == 0; }));
    EXPECT_FALSE(manager->statusItem()->buttonWindowFrame());
    velmo::test::TestTrayManager second(x.displayName(), 100, 0, 300, 30);
    ASSERT_TRUE(env.loop().runUntil([&] { return second.pump() && manager->statusItem()->buttonWindowFrame() == Rect{100, 776, 24, 24}; }));
    EXPECT_NE(second.icon(), oldIcon);
    EXPECT_EQ(second.icon(), X11StatusBarDesktop::windowOf(*manager->statusItem()));
    // The new icon is drawn and takes clicks.
    ASSERT_TRUE(env.loop().runUntil([&] {
        XImage* image = XGetImage(d, second.icon(), 0, 0, 24, 24, AllPlanes, ZPixmap);
        if (!image) return false;
        const unsigned long centre = XGetPixel(image, 12, 12);
        XDestroyImage(image);
        return (centre & 0xFFFFFF) == 0xFFFFFF;
    }));
    click(d, 112, 12, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return manager->isPanelVisible(); }));
    manager.reset();
    StatusBarDesktop::install(nullptr);
}

TEST(MenuBarPanelOnX11, ClicksOnTheLivePanelReachItsButtonsAndEveryButtonHasAHandRegion) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    auto workspace = std::make_shared<velmo::test::SimulatedWorkspace>();
    Workspace::install(workspace);
    int terminations = 0, exitStatus = -1;
    ApplicationTermination::setHandler([&](int status) {
        ++terminations;
        exitStatus = status;
    });
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto manager =
        MenuBarPanelManager::create(CompanionManager::create({env.dictation, env.shortcut, env.overlay}),
                                    [](const std::shared_ptr<CompanionManager>& c) { return std::make_shared<CompanionPanelView>(c); });
    manager->showPanel();  // no tray: the card at the top-right, root (956, 4)
    const Window panel = X11StatusBarDesktop::windowOf(*manager->panel());
    ASSERT_TRUE(env.loop().runUntil([&] { return factsOf(d, panel).viewable; }));
    // The first launch's panel: three Grant buttons, Find App and Quit.
    CompanionPanelView card(CompanionManager::create({env.dictation, env.shortcut, env.overlay}));
    auto frames = buttonFrames(card.tree());
    ASSERT_EQ(frames.size(), 5u);
    // The window leaves the shadow's room around the card.
    const int left = int(card.margins().left), top = int(card.margins().top);
    const WindowFacts shown = factsOf(d, panel);
    EXPECT_EQ((std::array{shown.x, shown.y}), (std::array{956 - left, 4 - top}));
    auto regions = inputOnlyChildren(d, panel);
    ASSERT_EQ(regions.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(frames[i].first);
        EXPECT_TRUE(regions[i].viewable);
        EXPECT_NEAR(regions[i].x, left + frames[i].second.x, 1);
        EXPECT_NEAR(regions[i].y, top + frames[i].second.y, 1);
        EXPECT_NEAR(regions[i].width, frames[i].second.width, 1);
        EXPECT_NEAR(regions[i].height, frames[i].second.height, 1);
    }
    // No compositing manager here: the card is shaped to what it draws, so its clear rounded
    // corners and the shadow's room around it do not show as black.
    const auto shape = [&] { return velmo::test::shapeOf(d, panel, ShapeBounding); };
    const auto shapedIn = [&](int px, int py) { return velmo::test::shapeContains(shape(), px, py); };
    ASSERT_TRUE(env.loop().runUntil([&] { return shapedIn(left + 160, top + 100); }));
    EXPECT_FALSE(shapedIn(left, top));
    EXPECT_TRUE(shapedIn(left + int(frames[0].second.midX()), top + int(frames[0].second.midY())));
    for (const XRectangle& r : shape()) {
        EXPECT_GE(r.x, left);
        EXPECT_GE(r.y, top);
        EXPECT_LE(r.x + r.width, left + 320);
        EXPECT_LE(r.y + r.height, top + int(std::lround(card.fittingHeight())));
    }
    auto centreOf = [&](const std::string& id) {
        for (const auto& [button, f] : frames)
            if (button == id) return std::pair<int, int>{956 + int(f.midX()), 4 + int(f.midY())};
        ADD_FAILURE() << id;
        return std::pair<int, int>{};
    };

    // Between the buttons: nothing.
    const Rect quit = frames.back().second;
    click(d, 956 + 300, 4 + int(quit.midY()), 1);
    env.loop().runUntil([] { return false; }, 0.3s);
    EXPECT_TRUE(workspace->requests.empty());
    EXPECT_EQ(terminations, 0);

    auto [fx, fy] = centreOf(companion_panel_button::findApp);
    click(d, fx, fy, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return workspace->requests.size() == 2; }));
    EXPECT_EQ(workspace->requests[0].first, "activateFileViewerSelecting");
    EXPECT_EQ(workspace->requests[1], (std::pair<std::string, std::string>{"openURL", WindowPositionManager::accessibilitySettingsURL}));

    auto [qx, qy] = centreOf(companion_panel_button::quit);
    click(d, qx, qy, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return terminations > 0; }));
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(exitStatus, 0);
    EXPECT_EQ(workspace->requests.size(), 2u);

    manager.reset();
    StatusBarDesktop::install(nullptr);
    ApplicationTermination::setHandler(nullptr);
    Workspace::install(nullptr);
}

namespace {

void setWorkArea(Display* display, long x, long y, long width, long height) {
    long area[4] = {x, y, width, height};
    XChangeProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_WORKAREA", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(area), 4);
    XSync(display, False);
}

}  // namespace

TEST(MenuBarPanelOnX11, TheIconAsksFor22PixelsAndThePanelStaysInTheWorkAreaAlsoWhenTheTrayParksTheIconOffScreen) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    setWorkArea(d, 0, 30, 1280, 770);  // a 30-pixel bar at the top
    velmo::test::TestTrayManager tray(x.displayName(), 1256, 0, 24, 24);  // right-aligned
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto manager = MenuBarPanelManager::create(CompanionManager::create({env.dictation, env.shortcut, env.overlay}));
    ASSERT_TRUE(env.loop().runUntil([&] { return tray.pump() && manager->statusItem()->buttonWindowFrame().has_value(); }));
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(d, tray.icon(), &hints, &supplied));
    EXPECT_TRUE(hints.flags & PMinSize);
    EXPECT_TRUE(hints.flags & PBaseSize);
    EXPECT_EQ((std::array{hints.min_width, hints.min_height, hints.base_width, hints.base_height}), (std::array{22, 22, 22, 22}));
    EXPECT_EQ(desktop->workAreas(), (std::vector<Rect>{{0, 0, 1280, 770}}));

    // Centred under the icon it would stand 108 pixels past the right edge and over the bar.
    click(d, 1268, 12, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return manager->isPanelVisible(); }));
    const Window panel = X11StatusBarDesktop::windowOf(*manager->panel());
    ASSERT_TRUE(env.loop().runUntil([&] { return factsOf(d, panel).viewable; }));
    WindowFacts shown = factsOf(d, panel);
    EXPECT_EQ((std::array{shown.x, shown.y, shown.width}), (std::array{960, 30, 320}));
    manager->hidePanel();

    // A tray that cannot show the icon parks it far off: that is no place to hang from.
    XMoveWindow(d, tray.icon(), -9999, -9999);
    XSync(d, False);
    EXPECT_FALSE(manager->statusItem()->buttonWindowFrame().has_value());
    manager->showPanel();
    ASSERT_TRUE(env.loop().runUntil([&] { return factsOf(d, panel).viewable; }));
    shown = factsOf(d, panel);
    EXPECT_EQ((std::array{shown.x, shown.y}), (std::array{1280 - 320 - 4, 30 + 4}));
    manager.reset();
    StatusBarDesktop::install(nullptr);
}

TEST(MenuBarPanelOnX11, APressElsewhereClosesThePanelOnceTheUsersLastClickWasOnTheIconOrThePanel) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    velmo::test::TestTrayManager tray(x.displayName(), 900, 0, 380, 24);
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto manager = MenuBarPanelManager::create(CompanionManager::create({env.dictation, env.shortcut, env.overlay}));
    ASSERT_TRUE(env.loop().runUntil([&] { return tray.pump() && manager->statusItem()->buttonWindowFrame().has_value(); }));
    int seen = 0;
    auto counter = [&] { return desktop->addGlobalMonitorForEvents(MouseEventMask::leftMouseDown, [&] { ++seen; }); };

    // Opened by the application, not by a click: the user works elsewhere, it stays.
    manager->showPanel();
    auto token = counter();
    click(d, 100, 400, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return seen == 1; }));
    env.loop().advance(0.5s);
    EXPECT_TRUE(manager->isPanelVisible());
    EXPECT_FALSE(desktop->isApplicationActive());

    // A press in the panel (root 752, 28 to 1072, 148) makes it the user's.
    click(d, 800, 100, 3);
    ASSERT_TRUE(env.loop().runUntil([&] { return desktop->isApplicationActive(); }));
    click(d, 100, 400, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return seen == 2; }));
    env.loop().advance(0.3s);
    EXPECT_FALSE(manager->isPanelVisible());
    EXPECT_FALSE(desktop->isApplicationActive());

    // Opened with the icon: the next press on the desktop closes it, no active window needed.
    click(d, 912, 12, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return manager->isPanelVisible(); }));
    click(d, 300, 600, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return seen == 3; }));
    env.loop().advance(0.3s);
    EXPECT_FALSE(manager->isPanelVisible());
    desktop->removeMonitor(token);
    manager.reset();
    StatusBarDesktop::install(nullptr);
}

TEST(MenuBarPanelOnX11, ACompositingManagerThatComesAndGoesWhileThePanelIsOpenHasItShapedAnew) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto manager = MenuBarPanelManager::create(CompanionManager::create({env.dictation, env.shortcut, env.overlay}));
    manager->showPanel();
    const Window panel = X11StatusBarDesktop::windowOf(*manager->panel());
    ASSERT_TRUE(env.loop().runUntil([&] { return factsOf(d, panel).viewable; }));
    const WindowFacts shown = factsOf(d, panel);
    // Unshaped, the bounding shape is the one whole window.
    auto isWhole = [&] {
        auto shape = velmo::test::shapeOf(d, panel, ShapeBounding);
        return shape.size() == 1 && shape[0].x == 0 && shape[0].y == 0 && shape[0].width == shown.width && shape[0].height == shown.height;
    };
    EXPECT_FALSE(isWhole());  // the rounded corners shaped out

    const Atom selection = XInternAtom(d, ("_NET_WM_CM_S" + std::to_string(DefaultScreen(d))).c_str(), False);
    Window owner = XCreateSimpleWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, 0);
    XSetSelectionOwner(d, selection, owner, CurrentTime);
    XSync(d, False);
    ASSERT_TRUE(env.loop().runUntil([&] { return isWhole(); }));
    XDestroyWindow(d, owner);  // the compositing manager exits
    XSync(d, False);
    ASSERT_TRUE(env.loop().runUntil([&] { return !isWhole(); }));
    EXPECT_NE(velmo::test::pixelOf(d, panel, 40, 40) & 0xffffff, 0u);
    manager.reset();
    StatusBarDesktop::install(nullptr);
}

// Under a compositing manager the panel window holds the card's whole shadow: it fades out
// towards the window's edges, the card starts at the margins, and the card itself stands and
// takes clicks where it did before the window grew.
TEST(MenuBarPanelOnX11, UnderACompositingManagerTheCardsShadowFitsInsideThePanelWindowAroundTheCardLeftInPlace) {
    CompanionTestEnvironment env;
    velmo::test::EnvironmentVariable bus("DBUS_SESSION_BUS_ADDRESS", noSessionBus);
    auto workspace = std::make_shared<velmo::test::SimulatedWorkspace>();
    Workspace::install(workspace);
    X11TestDesktop x("1280x800x24");
    ASSERT_TRUE(x.isReady()) << x.failure();
    Display* d = x.connection();
    const Window root = DefaultRootWindow(d);
    setWorkArea(d, 0, 30, 1280, 770);
    // This test is the compositing manager: the windows' own pixmaps keep their alpha.
    XCompositeRedirectSubwindows(d, root, CompositeRedirectManual);
    Window owner = XCreateSimpleWindow(d, root, -10, -10, 1, 1, 0, 0, 0);
    XSetSelectionOwner(d, XInternAtom(d, ("_NET_WM_CM_S" + std::to_string(DefaultScreen(d))).c_str(), False), owner, CurrentTime);
    XSync(d, False);
    velmo::test::TestTrayManager tray(x.displayName(), 1256, 0, 24, 24);  // right-aligned
    auto desktop = X11StatusBarDesktop::open(x.displayName());
    ASSERT_TRUE(desktop);
    StatusBarDesktop::install(desktop);
    auto manager =
        MenuBarPanelManager::create(CompanionManager::create({env.dictation, env.shortcut, env.overlay}),
                                    [](const std::shared_ptr<CompanionManager>& c) { return std::make_shared<CompanionPanelView>(c); });
    ASSERT_TRUE(env.loop().runUntil([&] { return tray.pump() && manager->statusItem()->buttonWindowFrame().has_value(); }));
    click(d, 1268, 12, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return manager->isPanelVisible(); }));
    const Window panel = X11StatusBarDesktop::windowOf(*manager->panel());
    ASSERT_TRUE(env.loop().runUntil([&] { return factsOf(d, panel).viewable; }));
    CompanionPanelView card(CompanionManager::create({env.dictation, env.shortcut, env.overlay}));
    const PanelMargins m = card.margins();
    const int left = int(m.left), top = int(m.top), h = int(std::lround(card.fittingHeight()));
    ASSERT_GT(m.left, 0);
    ASSERT_GT(m.bottom, 0);

    // The card flush with the work area's right edge and top, as before; the window around it.
    const WindowFacts shown = factsOf(d, panel);
    EXPECT_EQ(shown.depth, 32);
    EXPECT_EQ((std::array{shown.x, shown.y, shown.width, shown.height}),
              (std::array{960 - left, 30 - top, left + 320 + int(m.right), top + h + int(m.bottom)}));
    auto card_ = mappedPanel(d);
    ASSERT_TRUE(card_);
    EXPECT_EQ((std::array{card_->x, card_->y, card_->width, card_->height}), (std::array{960, 30, 320, h}));
    // Blended: nothing shaped out.
    auto bounding = velmo::test::shapeOf(d, panel, ShapeBounding);
    ASSERT_EQ(bounding.size(), 1u);
    EXPECT_EQ((std::array{int(bounding[0].width), int(bounding[0].height)}), (std::array{shown.width, shown.height}));

    // The window's own pixels, alpha included.
    XImage* image = nullptr;
    ASSERT_TRUE(env.loop().runUntil([&] {
        if (image) XDestroyImage(image);
        image = XGetImage(d, panel, 0, 0, unsigned(shown.width), unsigned(shown.height), AllPlanes, ZPixmap);
        return image && (XGetPixel(image, left + 160, top + h / 2) >> 24) == 255;
    }));
    const auto alpha = [&](int px, int py) { return int(XGetPixel(image, px, py) >> 24); };
    {
        cairo_surface_t* png = cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(image->data), CAIRO_FORMAT_ARGB32,
                                                                   shown.width, shown.height, image->bytes_per_line);
        EXPECT_EQ(cairo_surface_write_to_png(png, (std::string(VELMO_TEST_OUTPUT_DIR) + "/panel-window-shadow.png").c_str()),
                  CAIRO_STATUS_SUCCESS);
        cairo_surface_destroy(png);
    }
    // The card's edges lie at the margins: opaque just inside, shadow just outside.
    const int midY = top + h / 2, midX = left + 160;
    EXPECT_EQ(alpha(left, midY), 255);
    EXPECT_EQ(alpha(left + 319, midY), 255);
    EXPECT_EQ(alpha(midX, top), 255);
    EXPECT_EQ(alpha(midX, top + h - 1), 255);
    // Outside each edge the shadow is there and fades outwards, to nothing at the window's edge.
    struct Edge {
        const char* name;
        int x, y, dx, dy, steps;
    };
    const Edge edges[] = {
        {"left", left - 1, midY, -1, 0, left},
        {"right", left + 320, midY, 1, 0, int(m.right)},
        {"bottom", midX, top + h, 0, 1, int(m.bottom)},
        {"top", midX, top - 1, 0, -1, top},
    };
    for (const Edge& e : edges) {
        SCOPED_TRACE(e.name);
        EXPECT_GT(alpha(e.x, e.y), 16);
        EXPECT_LT(alpha(e.x, e.y), 255);
        EXPECT_GT(alpha(e.x + 8 * e.dx, e.y + 8 * e.dy), 0);
        for (int i = 1; i < e.steps; ++i)
            EXPECT_LE(alpha(e.x + i * e.dx, e.y + i * e.dy), alpha(e.x + (i - 1) * e.dx, e.y + (i - 1) * e.dy)) << i;
        EXPECT_EQ(alpha(e.x + (e.steps - 1) * e.dx, e.y + (e.steps - 1) * e.dy), 0);
    }
    // Cast downwards: the shadow reaches further below the card than above it.
    EXPECT_GT(alpha(midX, top + h + 12), alpha(midX, top - 1 - 12));
    XDestroyImage(image);

    // Presses in the shadow's room are not the panel's; the card's buttons take clicks where
    // they stood, with their hand cursors.
    auto input = velmo::test::shapeOf(d, panel, ShapeInput);
    ASSERT_EQ(input.size(), 1u);
    EXPECT_EQ((std::array{int(input[0].x), int(input[0].y), int(input[0].width), int(input[0].height)}), (std::array{left, top, 320, h}));
    for (const auto& region : inputOnlyChildren(d, panel)) {
        EXPECT_GE(region.x, left);
        EXPECT_GE(region.y, top);
    }
    Rect findApp;
    for (const auto& [id, f] : buttonFrames(card.tree()))
        if (id == companion_panel_button::findApp) findApp = f;
    ASSERT_GT(findApp.width, 0);
    click(d, 960 + int(findApp.midX()), 30 + int(findApp.midY()), 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return workspace->requests.size() == 2; }));
    EXPECT_EQ(workspace->requests[0].first, "activateFileViewerSelecting");
    EXPECT_TRUE(manager->isPanelVisible());
    // Just left of the card, inside its window: a press elsewhere, which closes the panel.
    int elsewhere = 0;
    auto token = desktop->addGlobalMonitorForEvents(MouseEventMask::leftMouseDown, [&] { ++elsewhere; });
    click(d, 960 - 6, 30 + h / 2, 1);
    ASSERT_TRUE(env.loop().runUntil([&] { return elsewhere == 1; }));
    env.loop().advance(0.3s);
    EXPECT_FALSE(manager->isPanelVisible());
    desktop->removeMonitor(token);

    manager.reset();
    StatusBarDesktop::install(nullptr);
    Workspace::install(nullptr);
    XDestroyWindow(d, owner);
    XSync(d, False);
}
