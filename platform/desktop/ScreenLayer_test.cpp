#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/desktop/ScreenLayer.h"
#include "platform/desktop/SimulatedScreenLayer.h"
#include "platform/base/Error.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/TaskProbe.h"
#include "testing/JpegTestImage.h"

using namespace velmo;
using velmo::test::TaskProbe;

namespace {

ShareableDisplay display(std::uint32_t id, Rect frame) { return {id, std::int64_t(frame.width), std::int64_t(frame.height), frame}; }

std::uint32_t pixelAt(const Image& image, int x, int y) {
    const std::uint8_t* p = image.pixels.data() + std::size_t(y) * image.stride() + std::size_t(x) * 4;
    return (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[1]) << 8) | p[0];
}

}  // namespace

TEST(ScreenNumber, OnlyExactUnsigned32BitNumbersCount) {
    struct Case {
        DescriptionValue value;
        std::optional<std::uint32_t> expected;
    };
    const Case cases[] = {
        {std::int64_t(0), 0u},
        {std::int64_t(69733378), 69733378u},
        {std::int64_t(4294967295LL), 4294967295u},
        {std::int64_t(4294967296LL), std::nullopt},
        {std::int64_t(-1), std::nullopt},
        {7.0, 7u},
        {7.5, std::nullopt},
        {-2.0, std::nullopt},
        {4294967296.0, std::nullopt},
        {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
        {std::numeric_limits<double>::infinity(), std::nullopt},
        {std::string("7"), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unsigned32Value(c.value), c.expected) << "case index " << (&c - cases);
    }
    Screen screen;
    EXPECT_EQ(screenNumber(screen), std::nullopt);
    screen.deviceDescription["NSDeviceSize"] = std::int64_t(5);
    EXPECT_EQ(screenNumber(screen), std::nullopt);
    screen.deviceDescription[kScreenNumberKey] = std::int64_t(5);
    EXPECT_EQ(screenNumber(screen), 5u);
}

TEST(Rect, ContainsMinimumEdgesButNotMaximumEdges) {
    Rect r{10, 20, 100, 50};
    EXPECT_TRUE(r.contains({10, 20}));
    EXPECT_TRUE(r.contains({109.999, 69.999}));
    EXPECT_FALSE(r.contains({110, 30}));
    EXPECT_FALSE(r.contains({50, 70}));
    EXPECT_FALSE(r.contains({9.999, 30}));
    EXPECT_FALSE((Rect{0, 0, 0, 10}).contains({0, 5}));
    // A rectangle given with a negative size reads as its standardised form.
    EXPECT_TRUE((Rect{110, 70, -100, -50}).contains({10, 20}));
    EXPECT_DOUBLE_EQ(r.midX(), 60);
    EXPECT_DOUBLE_EQ(r.midY(), 45);
}

TEST(ScreenLayerScope, InstallsForItsLifeAndPutsThePreviousBack) {
    auto outer = std::make_shared<SimulatedScreenLayer>();
    auto inner = std::make_shared<SimulatedScreenLayer>();
    ScreenLayerScope outerScope(outer);
    EXPECT_EQ(ScreenLayer::current(), outer);
    {
        ScreenLayerScope innerScope(inner);
        EXPECT_EQ(ScreenLayer::current(), inner);
    }
    EXPECT_EQ(ScreenLayer::current(), outer);
}

TEST(SimulatedScreenLayer, AnswersLaterAndRecordsWhatWasAsked) {
    VirtualMainLoopScope loop;
    SimulatedScreenLayer layer;
    layer.setDisplaysWithScreens({display(1, {0, 0, 1440, 900}), display(2, {1440, 0, 1920, 1080})});
    layer.setWindows({SimulatedScreenLayer::window(10, {0, 0, 100, 100}, 0x112233, "com.example.a"),
                      [] {
                          auto w = SimulatedScreenLayer::window(11, {0, 0, 50, 50}, 0x445566);
                          w.window.isOnScreen = false;
                          return w;
                      }(),
                      [] {
                          auto w = SimulatedScreenLayer::window(12, {0, 0, 1440, 900}, 0x778899);
                          w.isDesktopWindow = true;
                          return w;
                      }()});

    auto content = TaskProbe(layer.shareableContent(false, true));
    EXPECT_FALSE(content.done());  // a posted start, then a posted answer
    loop.loop().runUntilIdle();
    ASSERT_TRUE(content.done());
    ASSERT_TRUE(content.value());
    EXPECT_EQ(content.value()->displays.size(), 2u);
    ASSERT_EQ(content.value()->windows.size(), 2u);  // the off-screen one is left out
    EXPECT_EQ(content.value()->windows[0].windowID, 10u);
    EXPECT_EQ(content.value()->windows[1].windowID, 12u);

    auto withoutDesktop = TaskProbe(layer.shareableContent(true, false));
    loop.loop().runUntilIdle();
    ASSERT_TRUE(withoutDesktop.value());
    ASSERT_EQ(withoutDesktop.value()->windows.size(), 2u);  // off-screen kept, desktop left out
    EXPECT_EQ(withoutDesktop.value()->windows[1].windowID, 11u);

    EXPECT_EQ(layer.contentRequests(), (std::vector<SimulatedScreenLayer::ContentRequest>{{false, true}, {true, false}}));
    EXPECT_EQ(layer.screens().size(), 2u);
    EXPECT_EQ(screenNumber(layer.screens()[1]), 2u);
    layer.setMouseLocation({3, 4});
    EXPECT_EQ(layer.mouseLocation(), (Point{3, 4}));
    EXPECT_EQ(layer.mouseLocationReads(), 1);
}

TEST(SimulatedScreenLayer, ScreenshotsHonourTheExcludedWindowsAndTheConfiguredSize) {
    VirtualMainLoopScope loop;
    SimulatedScreenLayer layer;
    ShareableDisplay d = display(7, {0, 0, 200, 100});
    layer.setDisplaysWithScreens({d});
    layer.setDisplayColour(7, 0x102030);
    // Global points, y up: the own window covers the top-left quarter, the other the right half.
    auto own = SimulatedScreenLayer::window(1, {0, 50, 100, 50}, 0xff0000, "com.velmo.app");
    auto other = SimulatedScreenLayer::window(2, {100, 0, 100, 100}, 0x00ff00, "com.example.other");
    layer.setWindows({own, other});

    auto shot = TaskProbe(layer.captureImage({d, {own.window}}, {400, 200}));
    loop.loop().runUntilIdle();
    ASSERT_TRUE(shot.value());
    const Image& image = *shot.value();
    EXPECT_EQ(image.width, 400);
    EXPECT_EQ(image.height, 200);
    EXPECT_EQ(image.displayID, 7u);
    EXPECT_EQ(pixelAt(image, 50, 50), 0x102030u);  // the own window is not drawn
    EXPECT_EQ(pixelAt(image, 300, 50), 0x00ff00u);  // the other one is
    EXPECT_EQ(pixelAt(image, 50, 150), 0x102030u);

    auto unfiltered = TaskProbe(layer.captureImage({d, {}}, {}));
    loop.loop().runUntilIdle();
    ASSERT_TRUE(unfiltered.value());
    EXPECT_EQ(unfiltered.value()->width, 200);  // unset size: the display's own
    EXPECT_EQ(pixelAt(*unfiltered.value(), 25, 25), 0xff0000u);

    ASSERT_EQ(layer.captureRequests().size(), 2u);
    EXPECT_EQ(layer.captureRequests()[0].filter.display, d);
    ASSERT_EQ(layer.captureRequests()[0].filter.excludedWindows.size(), 1u);
    EXPECT_EQ(layer.captureRequests()[0].filter.excludedWindows[0].windowID, 1u);
    EXPECT_EQ(layer.captureRequests()[0].configuration, (StreamConfiguration{400, 200}));
    EXPECT_TRUE(layer.captureRequests()[1].filter.excludedWindows.empty());
}

TEST(SimulatedScreenLayer, InjectedFailuresArriveWhereTheyWereAsked) {
    VirtualMainLoopScope loop;
    SimulatedScreenLayer layer;
    ShareableDisplay a = display(1, {0, 0, 64, 48});
    ShareableDisplay b = display(2, {64, 0, 64, 48});
    layer.setDisplaysWithScreens({a, b});
    layer.failScreenshot(2, std::make_exception_ptr(Error("Capture", -3801, "denied")));
    layer.failJpeg(1);

    auto good = TaskProbe(layer.captureImage({a, {}}, {64, 48}));
    auto bad = TaskProbe(layer.captureImage({b, {}}, {64, 48}));
    auto unknown = TaskProbe(layer.captureImage({display(9, {0, 0, 8, 8}), {}}, {8, 8}));
    auto negative = TaskProbe(layer.captureImage({a, {}}, {-1, 48}));
    loop.loop().runUntilIdle();
    ASSERT_TRUE(good.value());
    ASSERT_TRUE(bad.error());
    EXPECT_EQ(describeException(bad.error()), "Error Domain=Capture Code=-3801 \"denied\"");
    EXPECT_TRUE(unknown.error());
    EXPECT_TRUE(negative.error());

    EXPECT_EQ(layer.jpegRepresentation(*good.value(), 0.8), std::nullopt);
    Image other = layer.render(b, {}, 64, 48);
    auto jpeg = layer.jpegRepresentation(other, 0.5);
    ASSERT_TRUE(jpeg);
    auto decoded = velmo::test::decodeJpeg(*jpeg);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 64);
    EXPECT_TRUE(velmo::test::colourNear(decoded->pixel(10, 10), layer.displayColour(2), 6));
    ASSERT_EQ(layer.jpegRequests().size(), 2u);
    EXPECT_EQ(layer.jpegRequests()[0].displayID, 1u);
    EXPECT_DOUBLE_EQ(layer.jpegRequests()[1].compressionFactor, 0.5);

    layer.failShareableContent(std::make_exception_ptr(Error("Capture", -3801, "denied")));
    auto content = TaskProbe(layer.shareableContent(false, true));
    loop.loop().runUntilIdle();
    EXPECT_TRUE(content.error());
}
