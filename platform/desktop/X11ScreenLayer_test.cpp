#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>

#include "platform/desktop/X11ScreenLayer.h"
#include "platform/base/Error.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/JpegTestImage.h"
#include "testing/TaskProbe.h"
#include "testing/X11TestDesktop.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::TaskProbe;
using velmo::test::X11TestDesktop;

namespace {

constexpr std::uint32_t kQuadrants[2][4] = {
    {0xd02020, 0x20c040, 0x2040e0, 0xe0e040},  // left monitor: top-left, top-right, bottom-left, bottom-right
    {0x30d0d0, 0xc030c0, 0xf08020, 0x606060},  // right monitor
};

// Two monitors on a 2600x1200 screen: LEFT 1600x900 at the origin (primary) and RIGHT
// 1000x1200 beside it, each painted in four coloured quadrants.
struct TwoMonitors {
    X11TestDesktop desktop{"2600x1200x24"};
    bool ready = false;
    std::vector<X11TestDesktop::Monitor> monitors{{"LEFT", 0, 0, 1600, 900}, {"RIGHT", 1600, 0, 1000, 1200}};

    TwoMonitors() {
        if (!desktop.isReady() || !desktop.setMonitors(monitors)) return;
        for (int m = 0; m < 2; ++m) desktop.fillQuadrants(monitors[std::size_t(m)], kQuadrants[m]);
        ready = true;
    }
};

std::uint32_t pixelAt(const Image& image, int x, int y) {
    const std::uint8_t* p = image.pixels.data() + std::size_t(y) * image.stride() + std::size_t(x) * 4;
    return (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[1]) << 8) | p[0];
}

template <class T>
bool finish(VirtualMainLoopScope& loop, TaskProbe<T>& probe) {
    return probe.finish(loop.loop(), 20.0s);
}

long errorCode(const std::exception_ptr& error) {
    auto identity = velmo::test::errorIdentity(error);
    return identity ? identity->code : 0;
}

// What the layer can capture now; empty (with a test failure) when it cannot say.
ShareableContent contentOf(VirtualMainLoopScope& loop, X11ScreenLayer& layer, bool onScreenWindowsOnly = true) {
    auto content = TaskProbe(layer.shareableContent(false, onScreenWindowsOnly));
    if (!finish(loop, content) || !content.value()) {
        ADD_FAILURE() << "no shareable content: " << describeException(content.error());
        return {};
    }
    return *content.value();
}

TaskProbe<Image> shotOf(VirtualMainLoopScope& loop, X11ScreenLayer& layer, ContentFilter filter, StreamConfiguration configuration) {
    auto shot = TaskProbe(layer.captureImage(std::move(filter), configuration));
    EXPECT_TRUE(finish(loop, shot));
    return shot;
}

// A layer on two painted monitors, with the test's main loop.
class X11ScreenLayerOnTwoMonitors : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(x.ready) << x.desktop.failure(); }
    X11ScreenLayer::Options options(bool shm = true) { return {x.desktop.displayName(), shm}; }

    TwoMonitors x;
    VirtualMainLoopScope loop;
};

}  // namespace

TEST(X11ScreenLayer, WithoutADisplayEveryOperationFailsClearly) {
    VirtualMainLoopScope loop;
    struct Case {
        const char* displayName;
        bool unsetEnvironment;
        const char* expected;
    };
    const Case cases[] = {
        {":9731", false, "Cannot open the X display \":9731\""},
        {"", true, "No X display to capture: DISPLAY is not set"},
    };
    for (const auto& c : cases) {
        if (c.unsetEnvironment) unsetenv("DISPLAY");
        X11ScreenLayer layer({c.displayName, true});
        EXPECT_FALSE(layer.isConnected());
        EXPECT_EQ(layer.failure(), c.expected);
        EXPECT_TRUE(layer.screens().empty());
        EXPECT_EQ(layer.mouseLocation(), (Point{0, 0}));
        EXPECT_TRUE(layer.monitors().empty());
        auto content = TaskProbe(layer.shareableContent(false, true));
        auto shot = TaskProbe(layer.captureImage({}, {}));
        ASSERT_TRUE(finish(loop, content));
        ASSERT_TRUE(finish(loop, shot));
        ASSERT_TRUE(content.error());
        EXPECT_EQ(describeException(content.error()), std::string("Error Domain=X11ScreenLayer Code=1 \"") + c.expected + "\"");
        EXPECT_EQ(errorCode(shot.error()), 1);
    }
}

TEST_F(X11ScreenLayerOnTwoMonitors, MonitorsAreDisplaysAndScreensInGlobalPoints) {
    X11ScreenLayer layer(options());
    ASSERT_TRUE(layer.isConnected()) << layer.failure();

    std::vector<velmo::Screen> screens = layer.screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0].localizedName, "LEFT");
    EXPECT_EQ(screens[0].frame, (Rect{0, 0, 1600, 900}));
    EXPECT_EQ(screens[1].localizedName, "RIGHT");
    EXPECT_EQ(screens[1].frame, (Rect{1600, -300, 1000, 1200}));

    const ShareableContent content = contentOf(loop, layer);
    const auto& displays = content.displays;
    ASSERT_EQ(displays.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(screenNumber(screens[i]), displays[i].displayID);
        EXPECT_NE(displays[i].displayID, 0u);
        EXPECT_EQ(displays[i].frame, screens[i].frame);
    }
    EXPECT_EQ(displays[1].width, 1000);
    EXPECT_EQ(displays[1].height, 1200);

    // The pointer, moved by XTest, in global points (pixel centres).
    const std::pair<std::pair<int, int>, Point> moves[] = {
        {{2000, 100}, {2000.5, 799.5}},
        {{0, 0}, {0.5, 899.5}},
        {{1599, 899}, {1599.5, 0.5}},
        {{2599, 1199}, {2599.5, -299.5}},
    };
    for (const auto& [pixel, point] : moves) {
        x.desktop.movePointer(pixel.first, pixel.second);
        Point m = layer.mouseLocation();
        EXPECT_EQ(m, point) << pixel.first << "," << pixel.second;
        bool onRight = pixel.first >= 1600;
        EXPECT_EQ(screens[0].frame.contains(m), !onRight);
        EXPECT_EQ(screens[1].frame.contains(m), onRight);
    }
}

TEST_F(X11ScreenLayerOnTwoMonitors, ScreenshotsShowTheMonitorScaledBySharedMemoryAndByGetImage) {
    for (bool shm : {true, false}) {
        X11ScreenLayer layer(options(shm));
        ASSERT_TRUE(layer.isConnected());
        EXPECT_EQ(layer.usesSharedMemory(), shm);
        const ShareableContent content = contentOf(loop, layer);
        ASSERT_EQ(content.displays.size(), 2u);
        const std::pair<int, StreamConfiguration> shots[] = {
            {0, {1280, 720}},  // down
            {1, {1066, 1280}},  // up
            {1, {}},  // the monitor's own size
            {0, {400, 800}},  // down on one axis, up on the other
        };
        for (const auto& [monitor, configuration] : shots) {
            const ShareableDisplay& d = content.displays[std::size_t(monitor)];
            auto shot = shotOf(loop, layer, {d, {}}, configuration);
            ASSERT_TRUE(shot.value()) << describeException(shot.error());
            const Image& image = *shot.value();
            int w = configuration.width ? int(configuration.width) : int(d.width);
            int h = configuration.height ? int(configuration.height) : int(d.height);
            ASSERT_EQ(image.width, w);
            ASSERT_EQ(image.height, h);
            EXPECT_EQ(image.displayID, d.displayID);
            const int probes[4][2] = {{w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}};
            for (int q = 0; q < 4; ++q) {
                EXPECT_EQ(pixelAt(image, probes[q][0], probes[q][1]), kQuadrants[monitor][q])
                    << "shm " << shm << " monitor " << monitor << " quadrant " << q << " size " << w << "x" << h;
            }
            auto jpeg = layer.jpegRepresentation(image, 0.8);
            ASSERT_TRUE(jpeg);
            auto decoded = velmo::test::decodeJpeg(*jpeg);
            ASSERT_TRUE(decoded);
            EXPECT_EQ(decoded->width, w);
            EXPECT_EQ(decoded->height, h);
            EXPECT_TRUE(velmo::test::colourNear(decoded->pixel(probes[3][0], probes[3][1]), kQuadrants[monitor][3], 12));
            // The JPEG made during the capture is the one a fresh encoding of the pixels gives;
            // a copy of the image, or another factor, is encoded anew.
            EXPECT_NE(image.preparedJpegAt(80), nullptr);
            const Image copy = image;
            EXPECT_EQ(copy.preparedJpegAt(80), nullptr);
            EXPECT_EQ(layer.jpegRepresentation(copy, 0.8), jpeg);
            EXPECT_NE(layer.jpegRepresentation(image, 0.5), jpeg);
        }
    }
}

TEST_F(X11ScreenLayerOnTwoMonitors, BadRequestsFailWithTheLayersErrors) {
    X11ScreenLayer layer(options());
    const ShareableContent content = contentOf(loop, layer);
    ASSERT_EQ(content.displays.size(), 2u);
    ShareableDisplay d = content.displays[0];

    ShareableDisplay gone = d;
    gone.displayID = 4242;
    auto missing = shotOf(loop, layer, {gone, {}}, {100, 100});
    auto negative = shotOf(loop, layer, {d, {}}, {-5, 100});
    auto huge = shotOf(loop, layer, {d, {}}, {100, 20000});
    EXPECT_EQ(describeException(missing.error()), "Error Domain=X11ScreenLayer Code=2 \"The display 4242 is not available\"");
    EXPECT_EQ(errorCode(negative.error()), 4);
    EXPECT_EQ(errorCode(huge.error()), 4);

    // A monitor removed after the content was read: both connections' kept lists hear of it.
    ASSERT_EQ(layer.screens().size(), 2u);
    ASSERT_EQ(x.desktop.displayName().empty(), false);
    ASSERT_EQ(system(("DISPLAY=" + x.desktop.displayName() + " xrandr --delmonitor RIGHT >/dev/null 2>&1").c_str()), 0);
    auto removed = shotOf(loop, layer, {content.displays[1], {}}, {100, 100});
    EXPECT_EQ(errorCode(removed.error()), 2);
    EXPECT_EQ(layer.screens().size(), 1u);
}

TEST_F(X11ScreenLayerOnTwoMonitors, WindowsNameTheirOwnersAndExcludedOnesAreComposedAway) {
    // The layer comes first: from then on the server keeps every window's pixels.
    X11ScreenLayer layer(options());
    ASSERT_TRUE(layer.canComposeExcludedWindows());

    auto& d = x.desktop;
    // Another application's window with a stripe, the own window over part of it and over bare
    // root, and a third window above the own one.
    Window other = d.createWindow(100, 100, 600, 400, 0x3366aa, std::nullopt, std::string("OtherApp"));
    d.fillWindow(other, 0, 200, 600, 50, 0xeeeeee);
    Window own = d.createWindow(400, 250, 500, 300, 0xff00ff, std::string("com.velmo.test"));
    Window above = d.createWindow(800, 500, 200, 200, 0x22aa22, std::nullopt, std::string("Third"));
    Window hidden = XCreateSimpleWindow(d.connection(), DefaultRootWindow(d.connection()), 0, 0, 10, 10, 0, 0, 0);
    d.sync();

    const ShareableContent content = contentOf(loop, layer);
    auto find = [&](const ShareableContent& c, Window w) -> const ShareableWindow* {
        for (const auto& sw : c.windows)
            if (sw.windowID == std::uint32_t(w)) return &sw;
        return nullptr;
    };
    const ShareableWindow* ownWindow = find(content, own);
    const ShareableWindow* otherWindow = find(content, other);
    ASSERT_TRUE(ownWindow && otherWindow && find(content, above));
    EXPECT_EQ(find(content, hidden), nullptr);
    ASSERT_TRUE(ownWindow->owningApplication);
    EXPECT_EQ(ownWindow->owningApplication->bundleIdentifier, "com.velmo.test");
    ASSERT_TRUE(otherWindow->owningApplication);
    EXPECT_EQ(otherWindow->owningApplication->bundleIdentifier, "OtherApp");
    EXPECT_EQ(ownWindow->frame, (Rect{400, 900 - 550, 500, 300}));
    // Back to front.
    auto index = [&](Window w) { return find(content, w) - content.windows.data(); };
    EXPECT_LT(index(other), index(own));
    EXPECT_LT(index(own), index(above));

    const ShareableContent all = contentOf(loop, layer, false);
    const ShareableWindow* offScreen = find(all, hidden);
    ASSERT_TRUE(offScreen);
    EXPECT_FALSE(offScreen->isOnScreen);
    EXPECT_FALSE(offScreen->owningApplication);

    const ShareableDisplay left = content.displays[0];
    auto plain = shotOf(loop, layer, {left, {}}, {});
    auto without = shotOf(loop, layer, {left, {*ownWindow}}, {});
    ASSERT_TRUE(plain.value() && without.value());
    struct Probe {
        int x, y;
        std::uint32_t plain, without;
    };
    const Probe probes[] = {
        {500, 280, 0xff00ff, 0x3366aa},  // own over the other window
        {500, 320, 0xff00ff, 0xeeeeee},  // own over the other window's stripe
        {850, 300, 0xff00ff, 0x000000},  // own over bare root: the root's background (black)
        {850, 520, 0x22aa22, 0x22aa22},  // the window above stays
        {200, 200, 0x3366aa, 0x3366aa},  // outside the own window nothing changes
        {1200, 100, kQuadrants[0][1], kQuadrants[0][1]},
    };
    for (const auto& p : probes) {
        EXPECT_EQ(pixelAt(*plain.value(), p.x, p.y), p.plain) << p.x << "," << p.y;
        EXPECT_EQ(pixelAt(*without.value(), p.x, p.y), p.without) << p.x << "," << p.y;
    }
}

TEST_F(X11ScreenLayerOnTwoMonitors, ScaledShotsWithoutAWindowAreTheSameReadInBandsOrWhole) {
    // Shared memory reads the monitor in bands and scales the rows above the own window before
    // it is composed away; XGetImage reads it whole first. The results agree to the byte.
    X11ScreenLayer banded(options(true)), whole(options(false));
    ASSERT_TRUE(banded.usesSharedMemory());
    auto& d = x.desktop;
    Window other = d.createWindow(100, 200, 900, 500, 0x3366aa, std::nullopt, std::string("OtherApp"));
    d.fillWindow(other, 0, 150, 900, 40, 0xeeeeee);
    d.createWindow(300, 330, 700, 260, 0xff00ff, std::string("com.velmo.test"));
    const ShareableContent content = contentOf(loop, banded);
    std::vector<ShareableWindow> own;
    for (const auto& w : content.windows)
        if (w.owningApplication && w.owningApplication->bundleIdentifier == "com.velmo.test") own.push_back(w);
    ASSERT_EQ(own.size(), 1u);
    for (const StreamConfiguration size : {StreamConfiguration{1280, 720}, StreamConfiguration{1067, 600}}) {
        auto a = shotOf(loop, banded, {content.displays[0], own}, size);
        auto b = shotOf(loop, whole, {content.displays[0], own}, size);
        ASSERT_TRUE(a.value() && b.value()) << describeException(a.error()) << describeException(b.error());
        EXPECT_EQ(pixelAt(*a.value(), 640 * int(size.width) / 1280, 450 * int(size.height) / 720), 0x3366aau) << size.width;
        EXPECT_TRUE(a.value()->pixels == b.value()->pixels) << size.width;
        EXPECT_EQ(banded.jpegRepresentation(*a.value(), 0.8), whole.jpegRepresentation(*b.value(), 0.8)) << size.width;
    }
}

TEST(X11ScreenLayer, ShapedAndTranslucentWindowsComposeAsTheScreenShowsThem) {
    // Without a compositing manager the server shows a 32-bit window as it is; with one, the
    // window is blended over what lies beneath it.
    for (bool manager : {false, true}) {
        TwoMonitors x;
        ASSERT_TRUE(x.ready) << x.desktop.failure();
        VirtualMainLoopScope loop;
        X11ScreenLayer layer({x.desktop.displayName(), true});
        ASSERT_TRUE(layer.canComposeExcludedWindows());
        auto& d = x.desktop;
        if (manager) d.announceCompositingManager();
        d.createWindow(100, 100, 600, 400, 0x3366aa, std::nullopt, std::string("OtherApp"));
        Window glass = d.createTranslucentWindow(300, 150, 300, 300, 0x80400000);  // premultiplied dark red
        ASSERT_NE(glass, 0u);
        // The own window keeps two bars of its rectangle: x 250..350 and 550..650.
        Window own = d.createWindow(250, 200, 400, 200, 0xff00ff, std::string("com.velmo.test"));
        d.shapeWindow(own, {{0, 0, 100, 200}, {300, 0, 100, 200}});

        const ShareableContent content = contentOf(loop, layer);
        std::vector<ShareableWindow> excluded;
        for (const auto& w : content.windows)
            if (w.windowID == std::uint32_t(own)) excluded.push_back(w);
        ASSERT_EQ(excluded.size(), 1u);
        const ShareableDisplay left = content.displays[0];
        auto plain = shotOf(loop, layer, {left, {}}, {});
        auto without = shotOf(loop, layer, {left, excluded}, {});
        ASSERT_TRUE(plain.value() && without.value());

        // Xvfb itself never blends. Blended: each channel is glass + other * (255 - 128) / 255.
        const std::uint32_t glassOverOther = manager ? 0x593355u : 0x400000u;
        const std::uint32_t between = pixelAt(*plain.value(), 450, 300);
        EXPECT_EQ(between, 0x400000u);  // between the bars, as the server draws it
        EXPECT_EQ(pixelAt(*without.value(), 450, 300), between) << "manager " << manager;
        EXPECT_EQ(pixelAt(*plain.value(), 320, 300), 0xff00ffu);
        EXPECT_EQ(pixelAt(*plain.value(), 620, 300), 0xff00ffu);
        // Under the bars: the glass over the other window, or the other window alone.
        EXPECT_EQ(pixelAt(*without.value(), 320, 300), glassOverOther) << "manager " << manager;
        EXPECT_EQ(pixelAt(*without.value(), 570, 300), glassOverOther) << "manager " << manager;
        EXPECT_EQ(pixelAt(*without.value(), 270, 300), 0x3366aau);
        EXPECT_EQ(pixelAt(*without.value(), 620, 300), 0x3366aau);
    }
}

TEST_F(X11ScreenLayerOnTwoMonitors, PointerMovesAreAnnouncedWhileAnyoneListens) {
    X11ScreenLayer layer(options());
    ASSERT_TRUE(layer.isConnected()) << layer.failure();
    EXPECT_FALSE(layer.announcesPointerMotion());
    int moves = 0;
    Cancellable listening = layer.observePointerMotion([&] { ++moves; });
    EXPECT_TRUE(layer.announcesPointerMotion());
    x.desktop.movePointer(100, 100);
    ASSERT_TRUE(loop.loop().runUntil([&] { return moves > 0; }, 10.0s));
    // Silence while the pointer stays.
    moves = 0;
    loop.loop().runUntil([] { return false; }, 0.2s);
    EXPECT_EQ(moves, 0);
    x.desktop.movePointer(2000, 50);
    ASSERT_TRUE(loop.loop().runUntil([&] { return moves > 0; }, 10.0s));
    listening.cancel();
    EXPECT_FALSE(layer.announcesPointerMotion());
    moves = 0;
    x.desktop.movePointer(300, 300);
    loop.loop().runUntil([] { return false; }, 0.2s);
    EXPECT_EQ(moves, 0);
}
