#include <gtest/gtest.h>

#include "companion/CompanionScreenCapture.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/base/Error.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/JpegTestImage.h"
#include "testing/TaskProbe.h"
#include "testing/X11TestDesktop.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::TaskProbe;
using velmo::test::X11TestDesktop;

// Two XRandR monitors on a private Xvfb: LEFT 1512x982 (primary) and RIGHT 1080x1920 beside
// it, each painted in four colours; the mouse on RIGHT; an own window and another
// application's window on LEFT.
TEST(CompanionScreenCaptureOnX11, EveryMonitorInOrderAtItsSizeWithItsPixels) {
    X11TestDesktop desktop("2592x1920x24");
    ASSERT_TRUE(desktop.isReady()) << desktop.failure();
    const std::vector<X11TestDesktop::Monitor> monitors{{"LEFT", 0, 0, 1512, 982}, {"RIGHT", 1512, 0, 1080, 1920}};
    ASSERT_TRUE(desktop.setMonitors(monitors));
    const std::uint32_t colours[2][4] = {{0xd02020, 0x20c040, 0x2040e0, 0xe0e040}, {0x30d0d0, 0xc030c0, 0xf08020, 0x606060}};
    desktop.fillQuadrants(monitors[0], colours[0]);
    desktop.fillQuadrants(monitors[1], colours[1]);

    VirtualMainLoopScope loop;
    auto layer = std::make_shared<X11ScreenLayer>(X11ScreenLayer::Options{desktop.displayName(), true});
    ASSERT_TRUE(layer->isConnected()) << layer->failure();
    ScreenLayerScope scope(layer);
    velmo::test::TestDirectory folder;
    folder.write("Velmo.app/Contents/Info.plist", PropertyList::toXML(PlistValue::Dictionary{{"CFBundleIdentifier", "com.velmo.app"}}));
    Bundle::Scope bundle(folder / "Velmo.app");

    // Another application's window over LEFT's top-right quadrant, the own one above it.
    desktop.createWindow(1000, 100, 400, 300, 0x8040c0, std::nullopt, std::string("Editor"));
    desktop.createWindow(1100, 150, 200, 200, 0xffffff, std::string("com.velmo.app"));
    desktop.movePointer(2000, 1500);

    auto outcome = TaskProbe(captureAllDisplays());
    ASSERT_TRUE(loop.loop().runUntil([&] { return outcome.done(); }, 30.0s));
    ASSERT_TRUE(outcome.value()) << describeException(outcome.error());
    const auto& records = *outcome.value();
    ASSERT_EQ(records.size(), 2u);

    struct Expected {
        int monitor;
        const char* label;
        bool cursor;
        Rect frame;
        int width, height;
    };
    const Expected expected[] = {
        {1, "screen 1 of 2 \u2014 cursor is on this screen (primary focus)", true, {1512, 982 - 1920, 1080, 1920}, 720, 1280},
        {0, "screen 2 of 2 \u2014 secondary screen", false, {0, 0, 1512, 982}, 1280, 831},
    };
    for (std::size_t i = 0; i < 2; ++i) {
        const CompanionScreenCapture& r = records[i];
        const Expected& e = expected[i];
        EXPECT_EQ(r.label, e.label);
        EXPECT_EQ(r.isCursorScreen, e.cursor);
        EXPECT_EQ(r.displayFrame, e.frame);
        EXPECT_EQ(r.displayWidthInPoints, std::int64_t(e.frame.width));
        EXPECT_EQ(r.screenshotWidthInPixels, e.width);
        EXPECT_EQ(r.screenshotHeightInPixels, e.height);
        auto decoded = velmo::test::decodeJpeg(r.imageData);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width, e.width);
        EXPECT_EQ(decoded->height, e.height);
        const int probes[4][2] = {{e.width / 8, e.height / 8},
                                  {e.width - e.width / 8, e.height / 8},
                                  {e.width / 8, e.height - e.height / 8},
                                  {e.width - e.width / 8, e.height - e.height / 8}};
        for (int q = 0; q < 4; ++q) {
            if (e.monitor == 0 && q == 1) continue;  // under the windows, checked below
            EXPECT_TRUE(velmo::test::colourNear(decoded->pixel(probes[q][0], probes[q][1]), colours[e.monitor][q], 12))
                << "monitor " << e.monitor << " quadrant " << q << " got " << std::hex << decoded->pixel(probes[q][0], probes[q][1]);
        }
    }
    // On LEFT (scale 1280/1512) the own window is gone and the editor's window shows instead.
    auto left = velmo::test::decodeJpeg(records[1].imageData);
    ASSERT_TRUE(left);
    const double scale = 1280.0 / 1512;
    auto at = [&](int x, int y) { return left->pixel(int(x * scale), int(y * scale)); };
    EXPECT_TRUE(velmo::test::colourNear(at(1200, 250), 0x8040c0, 12)) << std::hex << at(1200, 250);
    EXPECT_TRUE(velmo::test::colourNear(at(1050, 380), 0x8040c0, 12));
    EXPECT_TRUE(velmo::test::colourNear(at(1450, 50), colours[0][1], 12));
}
