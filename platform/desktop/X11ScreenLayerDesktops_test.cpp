// Screenshots without the application's own windows on desktops as people keep them: a wallpaper
// on the root window's pixmap or a window that draws the desktop, with and without a real
// compositing manager. Each is compared with a grab of the same monitor once the own window is gone.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/desktop/X11ScreenLayer.h"
#include "platform/base/Error.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/RunningProgram.h"
#include "testing/ScreenComparison.h"
#include "testing/TaskProbe.h"
#include "testing/X11TestDesktop.h"

using namespace std::chrono_literals;
using namespace velmo;
using velmo::test::ScreenPixels;
using velmo::test::TaskProbe;

namespace {

constexpr int kWidth = 1024, kHeight = 768;

enum class Desktop { RootPixmap, TiledRootPixmap, RootBackground, StaleProperty, RootColour, DesktopWindow };

struct Case {
    const char* name;
    Desktop desktop;
    bool compositor;  // picom runs
};

bool compositorRuns(Display* d) { return XGetSelectionOwner(d, XInternAtom(d, "_NET_WM_CM_S0", False)) != None; }

// Waits until the screen stops changing (a compositing manager paints after a short delay).
ScreenPixels settledGrab(Display* d) {
    ScreenPixels last = velmo::test::grabRoot(d, 0, 0, kWidth, kHeight);
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(100ms);
        ScreenPixels now = velmo::test::grabRoot(d, 0, 0, kWidth, kHeight);
        if (now.bgrx == last.bgrx) return now;
        last = std::move(now);
    }
    return last;
}

}  // namespace

TEST(X11ScreenLayerOnRealDesktops, ScreenshotsWithoutOwnWindowsMatchTheScreenWithoutThem) {
    const Case cases[] = {
        {"root_pixmap", Desktop::RootPixmap, false},
        {"root_pixmap_picom", Desktop::RootPixmap, true},
        {"tiled_root_pixmap", Desktop::TiledRootPixmap, false},
        {"root_background", Desktop::RootBackground, false},  // a pixmap no property names
        {"stale_property", Desktop::StaleProperty, false},  // names a pixmap long freed
        {"root_colour", Desktop::RootColour, false},
        {"desktop_window", Desktop::DesktopWindow, false},
        {"desktop_window_picom", Desktop::DesktopWindow, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        velmo::test::X11TestDesktop desktop(std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24");
        ASSERT_TRUE(desktop.isReady()) << desktop.failure();
        ASSERT_TRUE(desktop.setMonitors({{"ONE", 0, 0, kWidth, kHeight}}));
        VirtualMainLoopScope loop;
        X11ScreenLayer layer({desktop.displayName(), true});
        ASSERT_TRUE(layer.canComposeExcludedWindows());
        Display* d = desktop.connection();

        switch (c.desktop) {
            case Desktop::RootPixmap:
                velmo::test::setRootPixmapWallpaper(d, kWidth, kHeight);
                break;
            case Desktop::TiledRootPixmap:
                velmo::test::setRootPixmapWallpaper(d, 300, 200);
                break;
            case Desktop::RootBackground:
                velmo::test::setRootPixmapWallpaper(d, 300, 200, false);
                break;
            case Desktop::StaleProperty: {
                velmo::test::setRootPixmapWallpaper(d, 300, 200, false);
                const unsigned long freed = 0x3fffff0;
                XChangeProperty(d, DefaultRootWindow(d), XInternAtom(d, "_XROOTPMAP_ID", False), XA_PIXMAP, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(&freed), 1);
                break;
            }
            case Desktop::RootColour:
                ASSERT_EQ(std::system(("DISPLAY=" + desktop.displayName() + " xsetroot -solid '#4a7a3c'").c_str()), 0);
                break;
            case Desktop::DesktopWindow:
                velmo::test::createDesktopWindow(d, 0, 0, kWidth, kHeight);
                break;
        }
        desktop.createWindow(120, 90, 420, 300, 0x3366aa, std::nullopt, std::string("OtherApp"));
        desktop.createWindow(600, 420, 300, 200, 0xdddddd, std::nullopt, std::string("Another"));
        std::optional<velmo::test::RunningProgram> picom;
        if (c.compositor) {
            picom.emplace("/usr/bin/picom", std::vector<std::string>{"picom", "--backend", "xrender", "--no-fading-openclose"},
                          velmo::test::ExecPlan::EnvironmentChanges{{"DISPLAY", desktop.displayName()}});
            ASSERT_TRUE(picom->started());
            ASSERT_TRUE(picom->waitFor([&] { return compositorRuns(d); }, 10.0s)) << picom->output();
        }
        // The own window as the overlay is: the whole monitor, transparent but for a spot.
        Window own = desktop.createTranslucentWindow(0, 0, kWidth, kHeight, 0x00000000);
        ASSERT_NE(own, 0u);
        X11ScreenLayer::setOwningBundleIdentifier(d, own, "com.velmo.test");
        desktop.fillWindow(own, 300, 300, 60, 60, 0x2080ff);
        desktop.sync();
        settledGrab(d);

        auto content = TaskProbe(layer.shareableContent(false, true));
        ASSERT_TRUE(content.finish(loop.loop(), 20.0s) && content.value());
        std::vector<ShareableWindow> excluded;
        for (const auto& w : content.value()->windows) {
            if (w.owningApplication && w.owningApplication->bundleIdentifier == "com.velmo.test") excluded.push_back(w);
        }
        ASSERT_EQ(excluded.size(), 1u);
        auto shot = TaskProbe(layer.captureImage({content.value()->displays[0], excluded}, {}));
        ASSERT_TRUE(shot.finish(loop.loop(), 20.0s) && shot.value()) << describeException(shot.error());
        const Image& image = *shot.value();
        ASSERT_EQ(image.width, kWidth);
        const ScreenPixels sent = velmo::test::screenPixels(image.pixels.data(), image.width, image.height, image.stride());

        XUnmapWindow(d, own);
        desktop.sync();
        const ScreenPixels seen = settledGrab(d);
        const std::string base = std::string(VELMO_TEST_OUTPUT_DIR) + "/desktops_" + c.name;
        EXPECT_TRUE(velmo::test::writePng(base + "_screenshot.png", sent));
        EXPECT_TRUE(velmo::test::writePng(base + "_grab.png", seen));

        const velmo::test::ScreenDifference difference = velmo::test::compareScreens(sent, seen);
        EXPECT_LT(difference.mean, 0.05);
        EXPECT_LT(difference.blackOnlyPixels, 16u) << difference.blackOnlyInShot;
        if (picom) picom->signal(SIGTERM);
    }
}
