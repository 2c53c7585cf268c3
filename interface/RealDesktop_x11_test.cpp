// Velmo under real desktop parts on a private X server: openbox, trayer, xfce4-panel and picom as
// Debian ships them, clicks made with XTest. A part that is missing fails the test.
#include <gtest/gtest.h>
// After GoogleTest: Xlib defines None and Bool as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/shape.h>
#include <cairo.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "companion/CompanionManagerTesting.h"
#include "companion/CompanionTestDoubles.h"
#include "interface/CompanionPanelView.h"
#include "interface/MenuBarPanelManager.h"
#include "interface/OverlayWindow.h"
#include "platform/desktop/X11StatusBarDesktop.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/PrivateSessionBus.h"
#include "testing/RunningProgram.h"
#include "testing/X11TestDesktop.h"
#include "testing/X11WindowInspection.h"

using namespace std::chrono_literals;
using namespace velmo;
using velmo::test::factsOf;
using velmo::test::RunningProgram;
using velmo::test::WindowFacts;
using velmo::test::X11TestDesktop;

namespace {

constexpr int screenWidth = 1280, screenHeight = 800;
constexpr const char* noSessionBus = "unix:path=/nonexistent/velmo-test-bus";

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
    bool inside(const Box& o) const { return x >= o.x && y >= o.y && x + width <= o.x + o.width && y + height <= o.y + o.height; }
    bool overlaps(const Box& o) const { return x < o.x + o.width && o.x < x + width && y < o.y + o.height && o.y < y + height; }
};
const Box screenBox{0, 0, screenWidth, screenHeight};

std::ostream& operator<<(std::ostream& out, const Box& b) { return out << b.x << "," << b.y << " " << b.width << "x" << b.height; }

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

void click(Display* d, int x, int y) {
    XTestFakeMotionEvent(d, DefaultScreen(d), x, y, CurrentTime);
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XSync(d, False);
}

std::optional<Box> rootBox(Display* d, Window w) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable) return std::nullopt;
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    return Box{x, y, a.width, a.height};
}

// The viewable window named "Velmo" anywhere in the tree: the XEmbed icon.
std::optional<Box> findIcon(Display* d, Window under) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, under, &root, &parent, &children, &count)) return std::nullopt;
    std::optional<Box> found;
    for (unsigned i = 0; i < count && !found; ++i) {
        char* name = nullptr;
        if (XFetchName(d, children[i], &name) && name && std::string(name) == "Velmo") found = rootBox(d, children[i]);
        if (name) XFree(name);
        if (!found) found = findIcon(d, children[i]);
    }
    if (children) XFree(children);
    return found;
}

// The card of Velmo's panel, root coordinates: a viewable override-redirect top-level window
// that takes presses in one 320-pixel-wide rectangle (the rest of it is room for the shadow).
std::optional<Box> findPanel(Display* d) {
    for (Window w : velmo::test::rootChildren(d)) {
        WindowFacts f = factsOf(d, w);
        if (!f.viewable || !f.overrideRedirect) continue;
        auto input = velmo::test::shapeOf(d, w, ShapeInput);
        if (input.size() == 1 && input[0].width == 320) return Box{f.x + input[0].x, f.y + input[0].y, input[0].width, input[0].height};
    }
    return std::nullopt;
}

std::optional<Box> workArea(Display* d) {
    Atom type = 0;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<Box> area;
    if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_WORKAREA", False), 0, 4, False, XA_CARDINAL, &type, &format, &n,
                           &after, &data) == Success &&
        data && n == 4) {
        const long* v = reinterpret_cast<long*>(data);
        area = Box{int(v[0]), int(v[1]), int(v[2]), int(v[3])};
    }
    if (data) XFree(data);
    return area;
}

std::uint32_t rootPixel(Display* d, int x, int y) {
    XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0;
    const auto p = std::uint32_t(XGetPixel(image, 0, 0)) & 0xffffff;
    XDestroyImage(image);
    return p;
}

// The whole screen as a PNG beside the test, for a person to look at.
void screenshot(Display* d, const std::string& name) {
    XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, screenWidth, screenHeight, AllPlanes, ZPixmap);
    ASSERT_TRUE(image);
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, screenWidth, screenHeight);
    unsigned char* out = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < screenHeight; ++y)
        for (int x = 0; x < screenWidth; ++x)
            reinterpret_cast<std::uint32_t*>(out + std::size_t(y) * stride)[x] = std::uint32_t(XGetPixel(image, x, y)) & 0xffffff;
    cairo_surface_mark_dirty(surface);
    const std::string path = std::string(VELMO_TEST_OUTPUT_DIR) + "/" + name;
    EXPECT_EQ(cairo_surface_write_to_png(surface, path.c_str()), CAIRO_STATUS_SUCCESS) << path;
    cairo_surface_destroy(surface);
    XDestroyImage(image);
}

// An X server with openbox, on which desktop parts and Velmo are started.
struct RealDesktop {
    X11TestDesktop x{std::to_string(screenWidth) + "x" + std::to_string(screenHeight) + "x24"};
    velmo::test::TestDirectory home;
    std::vector<std::unique_ptr<RunningProgram>> programs;

    RealDesktop() {
        if (!x.isReady()) return;
        start("openbox", {"openbox"}, {});
        // Ready once it names itself on the root (it takes WM_S0 earlier than that).
        waitFor([&] {
            Atom type = 0;
            int format = 0;
            unsigned long n = 0, after = 0;
            unsigned char* data = nullptr;
            XGetWindowProperty(x.connection(), DefaultRootWindow(x.connection()),
                               XInternAtom(x.connection(), "_NET_SUPPORTING_WM_CHECK", False), 0, 1, False, XA_WINDOW, &type, &format, &n,
                               &after, &data);
            if (data) XFree(data);
            return n == 1;
        });
    }
    Display* d() const { return x.connection(); }
    RunningProgram& start(const std::string& program, std::vector<std::string> arguments,
                          velmo::test::ExecPlan::EnvironmentChanges environment) {
        environment.push_back({"DISPLAY", x.displayName()});
        environment.push_back({"HOME", home.path()});
        environment.push_back({"XDG_CONFIG_HOME", home.path() + "/config"});
        programs.push_back(std::make_unique<RunningProgram>(program, std::move(arguments), environment));
        return *programs.back();
    }
    RunningProgram& startVelmo(const std::string& busAddress) {
        return start(VELMO_EXECUTABLE, {"velmo"}, {{"PULSE_SERVER", "unix:/nonexistent"}, {"DBUS_SESSION_BUS_ADDRESS", busAddress}});
    }
    bool hasStrut() {
        return waitFor([&] {
            auto area = workArea(d());
            return area && (area->y > 0 || area->height < screenHeight);
        });
    }
};

// The first-launch panel stays off the desktop's panels and the icon; the icon opens it inside
// the screen, a click on the desktop closes it.
void checkPanelUnderIcon(RealDesktop& desktop, const Box& icon, const std::string& shotName) {
    Display* d = desktop.d();
    ASSERT_TRUE(waitFor([&] { return findPanel(d).has_value(); })) << "no first-launch panel";
    const Box area = *workArea(d);
    Box panel = *findPanel(d);
    EXPECT_TRUE(panel.inside(area)) << panel << " in " << area;
    EXPECT_FALSE(panel.overlaps(icon)) << panel << " over " << icon;

    click(d, icon.x + icon.width / 2, icon.y + icon.height / 2);
    ASSERT_TRUE(waitFor([&] { return !findPanel(d); }));
    click(d, icon.x + icon.width / 2, icon.y + icon.height / 2);
    ASSERT_TRUE(waitFor([&] { return findPanel(d).has_value(); }));
    panel = *findPanel(d);
    EXPECT_TRUE(panel.inside(screenBox)) << panel;
    EXPECT_TRUE(panel.inside(area)) << panel << " in " << area;
    std::this_thread::sleep_for(500ms);
    screenshot(d, shotName);
    ASSERT_TRUE(findPanel(d)) << "the panel closed by itself";

    click(d, 200, 600);
    EXPECT_TRUE(waitFor([&] { return !findPanel(d); }, 5s)) << "a click on the desktop left the panel open";
}

void stopVelmo(RunningProgram& velmo) {
    velmo.signal(SIGTERM);
    const int status = velmo.waitForExit(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << velmo.output();
}

void writeFile(const std::string& path, const std::string& text) {
    std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(f) << path;
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

// One panel along the top: a stretching separator, then the notification area.
constexpr const char* xfcePanelConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="dark-mode" type="bool" value="true"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
)";

// xfce4-panel on a session bus of its own (its settings come through xfconfd on that bus).
struct XfceDesktop : RealDesktop {
    std::unique_ptr<velmo::test::PrivateSessionBus> bus;
    XfceDesktop() {
        if (!x.isReady()) return;
        writeFile(home.path() + "/config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml", xfcePanelConfig);
        // The bus starts xfconfd, which must read the settings written here.
        const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
        const std::string saved = oldConfig ? oldConfig : "";
        setenv("XDG_CONFIG_HOME", (home.path() + "/config").c_str(), 1);
        bus = std::make_unique<velmo::test::PrivateSessionBus>();
        if (oldConfig)
            setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        start("xfce4-panel", {"xfce4-panel"}, {{"DBUS_SESSION_BUS_ADDRESS", bus->address()}});
    }
};

}  // namespace

TEST(RealDesktop, UnderTrayerTheIconShowsAndThePanelOpensInsideTheScreenAndClosesOnADesktopClick) {
    RealDesktop desktop;
    ASSERT_TRUE(desktop.x.isReady()) << desktop.x.failure();
    Display* d = desktop.d();
    desktop.start("trayer",
                  {"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24", "--SetDockType", "true",
                   "--SetPartialStrut", "true", "--transparent", "false", "--tint", "0x303030"},
                  {});
    ASSERT_TRUE(waitFor([&] { return XGetSelectionOwner(d, XInternAtom(d, "_NET_SYSTEM_TRAY_S0", False)) != 0; }))
        << "trayer did not start";
    // trayer's strut reaches openbox's work area only now and then: the panel is held to the
    // work area as it stands.
    RunningProgram& velmo = desktop.startVelmo(noSessionBus);
    std::optional<Box> icon;
    ASSERT_TRUE(waitFor([&] { return (icon = findIcon(d, DefaultRootWindow(d))) && icon->width >= 16 && icon->height >= 16; }))
        << (icon ? "icon at " : "no icon") << (icon ? *icon : Box{}) << "\n"
        << velmo.output();
    EXPECT_TRUE(icon->inside(screenBox)) << *icon;
    checkPanelUnderIcon(desktop, *icon, "real-desktop-trayer.png");
    stopVelmo(velmo);
}

TEST(RealDesktop, UnderXfcePanelWithoutASessionBusTheXEmbedIconShowsAndThePanelKeepsOffTheDesktopPanel) {
    XfceDesktop desktop;
    ASSERT_TRUE(desktop.x.isReady()) << desktop.x.failure();
    ASSERT_FALSE(desktop.bus->address().empty());
    Display* d = desktop.d();
    ASSERT_TRUE(waitFor([&] { return XGetSelectionOwner(d, XInternAtom(d, "_NET_SYSTEM_TRAY_S0", False)) != 0; }))
        << "xfce4-panel's tray did not start\n"
        << desktop.programs.back()->output();
    ASSERT_TRUE(desktop.hasStrut()) << (workArea(d) ? *workArea(d) : Box{}) << "\n" << desktop.programs.back()->output();
    RunningProgram& velmo = desktop.startVelmo(noSessionBus);
    std::optional<Box> icon;
    ASSERT_TRUE(waitFor([&] { return (icon = findIcon(d, DefaultRootWindow(d))) && icon->width >= 16 && icon->height >= 16; }))
        << (icon ? "icon at " : "no icon") << (icon ? *icon : Box{}) << "\n"
        << velmo.output();
    EXPECT_TRUE(icon->inside(screenBox)) << *icon;
    checkPanelUnderIcon(desktop, *icon, "real-desktop-xfce-xembed.png");
    stopVelmo(velmo);
}

namespace {

// The bounding box of light pixels in a strip of the screen: a white glyph on a dark panel.
std::optional<Box> lightPixels(Display* d, const Box& strip) {
    XImage* image = XGetImage(d, DefaultRootWindow(d), strip.x, strip.y, unsigned(strip.width), unsigned(strip.height), AllPlanes, ZPixmap);
    if (!image) return std::nullopt;
    int left = strip.width, top = strip.height, right = -1, bottom = -1;
    for (int y = 0; y < strip.height; ++y)
        for (int x = 0; x < strip.width; ++x) {
            const auto p = std::uint32_t(XGetPixel(image, x, y));
            if (((p >> 16) & 0xff) > 0xc0 && ((p >> 8) & 0xff) > 0xc0 && (p & 0xff) > 0xc0) {
                left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
            }
        }
    XDestroyImage(image);
    if (right < 0) return std::nullopt;
    return Box{strip.x + left, strip.y + top, right - left + 1, bottom - top + 1};
}

}  // namespace

TEST(RealDesktop, UnderXfcePanelOnASessionBusTheStatusNotifierItemShowsAndThePanelKeepsOffTheDesktopPanel) {
    XfceDesktop desktop;
    ASSERT_TRUE(desktop.x.isReady()) << desktop.x.failure();
    ASSERT_FALSE(desktop.bus->address().empty());
    Display* d = desktop.d();
    ASSERT_TRUE(waitFor([&] { return XGetSelectionOwner(d, XInternAtom(d, "_NET_SYSTEM_TRAY_S0", False)) != 0; }))
        << "xfce4-panel's tray did not start\n"
        << desktop.programs.back()->output();
    ASSERT_TRUE(desktop.hasStrut()) << (workArea(d) ? *workArea(d) : Box{}) << "\n" << desktop.programs.back()->output();
    const Box bar{0, 0, screenWidth, workArea(d)->y};
    ASSERT_GT(bar.height, 0);
    RunningProgram& velmo = desktop.startVelmo(desktop.bus->address());
    // The item is drawn by the panel itself: the white triangle is the only light thing on it.
    std::optional<Box> glyph;
    ASSERT_TRUE(waitFor([&] { return (glyph = lightPixels(d, bar)) && glyph->width >= 8 && glyph->height >= 8; }))
        << "no item in the panel\n"
        << velmo.output();
    EXPECT_FALSE(findIcon(d, DefaultRootWindow(d))) << "an XEmbed icon as well";
    // Its button: the glyph's square at least 16 pixels high.
    const int side = std::max({16, glyph->width, glyph->height});
    const Box icon{glyph->x + glyph->width / 2 - side / 2, glyph->y + glyph->height / 2 - side / 2, side, side};
    EXPECT_TRUE(icon.inside(screenBox)) << icon;
    checkPanelUnderIcon(desktop, icon, "real-desktop-xfce-sni.png");
    stopVelmo(velmo);
}

namespace {

// Moves the virtual clock on in small steps, letting X events in, until `condition` holds or
// 20 s of real time pass.
bool settle(VirtualMainLoop& loop, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        loop.runUntil([] { return false; }, 0.001s);
        loop.advance(0.016s);
        if (condition()) return true;
    }
    return condition();
}

bool compositorRuns(Display* d) { return XGetSelectionOwner(d, XInternAtom(d, "_NET_WM_CM_S0", False)) != 0; }

// A wallpaper as desktops keep it, on a root pixmap the compositing manager paints too.
void setWallpaper(Display* d, std::uint32_t color) {
    const Pixmap pixmap = XCreatePixmap(d, DefaultRootWindow(d), screenWidth, screenHeight, unsigned(DefaultDepth(d, DefaultScreen(d))));
    GC gc = XCreateGC(d, pixmap, 0, nullptr);
    XSetForeground(d, gc, color);
    XFillRectangle(d, pixmap, gc, 0, 0, screenWidth, screenHeight);
    XFreeGC(d, gc);
    XChangeProperty(d, DefaultRootWindow(d), XInternAtom(d, "_XROOTPMAP_ID", False), XA_PIXMAP, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pixmap), 1);
    XSetWindowBackgroundPixmap(d, DefaultRootWindow(d), pixmap);
    XClearWindow(d, DefaultRootWindow(d));
    XSync(d, False);
}

const std::vector<std::string> picomArguments{"picom", "--backend", "xrender", "--no-fading-openclose", "--shadow-opacity=0"};

}  // namespace

TEST(RealDesktop, PicomGoingAwayWhileTheOverlayIsUpLeavesTheDesktopVisibleAndComingBackMakesItTransparentAgain) {
    RealDesktop desktop;
    ASSERT_TRUE(desktop.x.isReady()) << desktop.x.failure();
    Display* d = desktop.d();
    constexpr std::uint32_t wallpaper = 0x3060a0;
    setWallpaper(d, wallpaper);
    auto picom = std::make_unique<RunningProgram>("picom", picomArguments,
                                                  velmo::test::ExecPlan::EnvironmentChanges{{"DISPLAY", desktop.x.displayName()}});
    ASSERT_TRUE(waitFor([&] { return compositorRuns(d); })) << "picom did not start\n" << picom->output();

    VirtualMainLoopScope loopScope;
    auto platform = X11StatusBarDesktop::open(desktop.x.displayName());
    ASSERT_TRUE(platform);
    desktop.x.movePointer(100, 100);
    auto companion =
        CompanionManager::create({std::make_shared<velmo::test::FakeDictationManager>(),
                                  std::make_shared<velmo::test::FakeShortcutMonitor>(), std::make_shared<HeadlessOverlayWindowManager>()});
    BlueCursorView::Environment e;
    e.mouseLocation = [p = platform] { return p->mouseLocation(); };
    auto manager = std::make_unique<OverlayWindowManager>(platform, e);
    manager->setHasShownOverlayBefore(true);
    std::vector<velmo::Screen> screens;
    for (const Rect& f : platform->screenFrames()) screens.push_back({f, "", {}});
    manager->showOverlay(screens, *companion);
    const Window overlay = X11StatusBarDesktop::windowOf(manager->overlayWindows().at(0)->platformWindow());
    // The middle of the screen shows the wallpaper through the overlay.
    ASSERT_TRUE(settle(loopScope.loop(), [&] { return factsOf(d, overlay).viewable && rootPixel(d, 640, 400) == wallpaper; }))
        << std::hex << rootPixel(d, 640, 400);

    picom->signal(SIGTERM);
    picom->waitForExit(10s);
    EXPECT_TRUE(settle(loopScope.loop(), [&] { return !compositorRuns(d) && rootPixel(d, 640, 400) == wallpaper; }))
        << "black where the desktop was: " << std::hex << rootPixel(d, 640, 400);
    screenshot(d, "real-desktop-picom-gone.png");

    picom = std::make_unique<RunningProgram>("picom", picomArguments,
                                             velmo::test::ExecPlan::EnvironmentChanges{{"DISPLAY", desktop.x.displayName()}});
    ASSERT_TRUE(waitFor([&] { return compositorRuns(d); })) << "picom did not start again\n" << picom->output();
    auto whole = [&] {
        auto shape = velmo::test::shapeOf(d, overlay, ShapeBounding);
        return shape.size() == 1 && shape[0].width == screenWidth && shape[0].height == screenHeight;
    };
    EXPECT_TRUE(settle(loopScope.loop(), [&] { return whole() && rootPixel(d, 640, 400) == wallpaper; }))
        << std::hex << rootPixel(d, 640, 400);
    manager.reset();
    loopScope.loop().runUntilIdle();
}

// Without a compositing manager the room around the panel's card shows the wallpaper, not a
// black frame; under picom the card's shadow darkens the wallpaper below it and fades out
// inside that room.
TEST(RealDesktop, ThePanelsShadowShowsUnderPicomAndItsRoomShowsTheWallpaperWithoutACompositor) {
    RealDesktop desktop;
    ASSERT_TRUE(desktop.x.isReady()) << desktop.x.failure();
    Display* d = desktop.d();
    constexpr std::uint32_t wallpaper = 0xd8dce0;
    setWallpaper(d, wallpaper);

    VirtualMainLoopScope loopScope;
    auto platform = X11StatusBarDesktop::open(desktop.x.displayName());
    ASSERT_TRUE(platform);
    StatusBarDesktop::install(platform);
    auto companion =
        CompanionManager::create({std::make_shared<velmo::test::FakeDictationManager>(),
                                  std::make_shared<velmo::test::FakeShortcutMonitor>(), std::make_shared<HeadlessOverlayWindowManager>()});
    const PanelMargins m = CompanionPanelView(companion).margins();
    auto manager = MenuBarPanelManager::create(
        companion, [](const std::shared_ptr<CompanionManager>& c) { return std::make_shared<CompanionPanelView>(c); });
    manager->showPanel();  // no tray: at the top-right
    std::optional<Box> card;
    ASSERT_TRUE(settle(loopScope.loop(), [&] {
        card = findPanel(d);
        return card && rootPixel(d, card->x + card->width / 2, card->y + card->height / 2) != wallpaper;
    }));
    const int midX = card->x + card->width / 2, below = card->y + card->height, leftOf = card->x - 1, midY = card->y + card->height / 2;
    EXPECT_EQ(rootPixel(d, midX, below + 4), wallpaper);
    EXPECT_EQ(rootPixel(d, midX, below + int(m.bottom) - 1), wallpaper);
    EXPECT_EQ(rootPixel(d, leftOf - 4, midY), wallpaper);
    screenshot(d, "real-desktop-panel-no-compositor.png");

    auto picom = std::make_unique<RunningProgram>("picom", picomArguments,
                                                  velmo::test::ExecPlan::EnvironmentChanges{{"DISPLAY", desktop.x.displayName()}});
    ASSERT_TRUE(waitFor([&] { return compositorRuns(d); })) << "picom did not start\n" << picom->output();
    const auto green = [&](int x, int y) { return int((rootPixel(d, x, y) >> 8) & 0xff); };
    const int wallpaperGreen = int((wallpaper >> 8) & 0xff);
    EXPECT_TRUE(
        settle(loopScope.loop(),
               [&] { return rootPixel(d, midX, below + int(m.bottom) - 1) == wallpaper && green(midX, below + 4) < wallpaperGreen - 20; }))
        << std::hex << rootPixel(d, midX, below + 4) << " " << rootPixel(d, midX, below + int(m.bottom) - 1);
    // Darkest next to the card, lighter outwards, the wallpaper at the window's edge.
    EXPECT_LT(green(midX, below + 4), green(midX, below + 14));
    EXPECT_LT(green(midX, below + 14), wallpaperGreen);
    EXPECT_LT(green(leftOf - 2, midY), green(leftOf - 12, midY));
    EXPECT_EQ(rootPixel(d, midX, below + int(m.bottom) - 1), wallpaper);
    EXPECT_EQ(rootPixel(d, card->x - int(m.left), midY), wallpaper);
    screenshot(d, "real-desktop-panel-picom.png");

    manager.reset();
    StatusBarDesktop::install(nullptr);
    loopScope.loop().runUntilIdle();
}
