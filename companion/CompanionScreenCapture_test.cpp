#include <gtest/gtest.h>

#include "companion/CompanionScreenCapture.h"
#include "platform/desktop/SimulatedScreenLayer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/base/Error.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/JpegTestImage.h"
#include "testing/TaskProbe.h"

using namespace velmo;
using velmo::test::decodeJpeg;
using velmo::test::TaskProbe;

namespace {

const std::string kCursorLabel = " \u2014 cursor is on this screen (primary focus)";
const std::string kSecondaryLabel = " \u2014 secondary screen";

ShareableDisplay display(std::uint32_t id, Rect frame) { return {id, std::int64_t(frame.width), std::int64_t(frame.height), frame}; }

// An application bundle with this identifier (none: no bundle at all) as the main bundle.
struct MainBundle {
    velmo::test::TestDirectory folder;
    std::unique_ptr<Bundle::Scope> scope;
    explicit MainBundle(const std::optional<std::string>& identifier) {
        if (identifier) {
            folder.write("Velmo.app/Contents/Info.plist", PropertyList::toXML(PlistValue::Dictionary{{"CFBundleIdentifier", *identifier}}));
        }
        scope = std::make_unique<Bundle::Scope>(folder / "Velmo.app");
    }
};

// A simulated desktop installed as the process's layer, with a virtual main loop, and the
// application's bundle "com.velmo.app".
struct Desktop {
    VirtualMainLoopScope loop;
    std::shared_ptr<SimulatedScreenLayer> layer = std::make_shared<SimulatedScreenLayer>();
    ScreenLayerScope scope{layer};
    std::unique_ptr<MainBundle> bundle = std::make_unique<MainBundle>("com.velmo.app");

    TaskProbe<std::vector<CompanionScreenCapture>> capture() {
        auto outcome = TaskProbe(captureAllDisplays());
        loop.loop().runUntilIdle();
        EXPECT_TRUE(outcome.done());
        return outcome;
    }
};

}  // namespace

TEST(CompanionScreenCapture, ScreenshotSizeKeepsTheAspectWithTheLongerSideAt1280) {
    struct Case {
        std::int64_t width, height;
        std::optional<ScreenshotSize> size;
    };
    const Case cases[] = {
        {1512, 982, ScreenshotSize{1280, 831}},
        {1080, 1920, ScreenshotSize{720, 1280}},
        {1000, 1000, ScreenshotSize{1280, 1280}},
        {800, 600, ScreenshotSize{1280, 960}},
        {2560, 1440, ScreenshotSize{1280, 720}},
        {3840, 2160, ScreenshotSize{1280, 720}},
        {1, 3, ScreenshotSize{426, 1280}},
        // A display without area, or one too thin to keep a pixel at this size, gives none.
        {0, 900, std::nullopt},
        {1440, 0, std::nullopt},
        {-1440, 900, std::nullopt},
        {3000, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(screenshotSizeForDisplay(c.width, c.height), c.size) << c.width << "x" << c.height;
    }
}

TEST(CompanionScreenCapture, OneDisplayOfEachShapeGivesOneRecordOfThatSize) {
    struct Case {
        Rect frame;
        std::int64_t width, height;
    };
    const Case cases[] = {
        {{0, 0, 1512, 982}, 1280, 831},
        {{0, 0, 1080, 1920}, 720, 1280},
        {{0, 0, 1000, 1000}, 1280, 1280},
        {{0, 0, 800, 600}, 1280, 960},
    };
    for (const auto& c : cases) {
        Desktop desktop;
        desktop.layer->setDisplaysWithScreens({display(5, c.frame)});
        desktop.layer->setMouseLocation({-100, -100});  // not on it: a single display says so anyway
        auto outcome = desktop.capture();
        ASSERT_TRUE(outcome.value()) << describeException(outcome.error());
        ASSERT_EQ(outcome.value()->size(), 1u);
        const CompanionScreenCapture& record = (*outcome.value())[0];
        EXPECT_EQ(record.label, "user's screen (cursor is here)");
        EXPECT_FALSE(record.isCursorScreen);
        EXPECT_EQ(record.screenshotWidthInPixels, c.width);
        EXPECT_EQ(record.screenshotHeightInPixels, c.height);
        EXPECT_EQ(record.displayWidthInPoints, std::int64_t(c.frame.width));
        EXPECT_EQ(record.displayHeightInPoints, std::int64_t(c.frame.height));
        EXPECT_EQ(record.displayFrame, c.frame);
        ASSERT_EQ(desktop.layer->captureRequests().size(), 1u);
        EXPECT_EQ(desktop.layer->captureRequests()[0].configuration, (StreamConfiguration{c.width, c.height}));
        ASSERT_EQ(desktop.layer->jpegRequests().size(), 1u);
        EXPECT_DOUBLE_EQ(desktop.layer->jpegRequests()[0].compressionFactor, 0.8);
        auto decoded = decodeJpeg(record.imageData);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width, c.width);
        EXPECT_EQ(decoded->height, c.height);
        EXPECT_TRUE(velmo::test::colourNear(decoded->pixel(10, 10), desktop.layer->displayColour(5), 6));
        // Desktop windows included, on-screen windows only.
        EXPECT_EQ(desktop.layer->contentRequests(), (std::vector<SimulatedScreenLayer::ContentRequest>{{false, true}}));
    }
}

TEST(CompanionScreenCapture, TheDisplayUnderTheMouseComesFirstAndBothAreLabelled) {
    Desktop desktop;
    ShareableDisplay a = display(1, {0, 0, 1440, 900});
    ShareableDisplay b = display(2, {1440, -180, 1920, 1080});
    desktop.layer->setDisplaysWithScreens({a, b});
    desktop.layer->setMouseLocation({2000, 500});
    auto outcome = desktop.capture();
    ASSERT_TRUE(outcome.value());
    const auto& records = *outcome.value();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].label, "screen 1 of 2" + kCursorLabel);
    EXPECT_TRUE(records[0].isCursorScreen);
    EXPECT_EQ(records[0].displayFrame, b.frame);
    EXPECT_EQ(records[0].screenshotWidthInPixels, 1280);
    EXPECT_EQ(records[0].screenshotHeightInPixels, 720);
    EXPECT_EQ(records[1].label, "screen 2 of 2" + kSecondaryLabel);
    EXPECT_FALSE(records[1].isCursorScreen);
    EXPECT_EQ(records[1].displayFrame, a.frame);
    EXPECT_EQ(records[1].screenshotHeightInPixels, 800);
    // Captured in that order, one after the other; the mouse and the screens read once.
    ASSERT_EQ(desktop.layer->captureRequests().size(), 2u);
    EXPECT_EQ(desktop.layer->captureRequests()[0].filter.display.displayID, 2u);
    EXPECT_EQ(desktop.layer->captureRequests()[1].filter.display.displayID, 1u);
    EXPECT_EQ(desktop.layer->mouseLocationReads(), 1);
    EXPECT_EQ(desktop.layer->screensReads(), 1);
    auto first = decodeJpeg(records[0].imageData);
    ASSERT_TRUE(first);
    EXPECT_TRUE(velmo::test::colourNear(first->pixel(5, 5), desktop.layer->displayColour(2), 6));
}

TEST(CompanionScreenCapture, MouseOnAMaximumEdgeOrOutsideEveryDisplayKeepsThePlatformOrder) {
    // B lies left of A, so A's right and top edges touch no other display.
    const Point mice[] = {{1440, 100}, {500, 900}, {1440, 900}, {5000, 5000}, {-1921, 10}};
    for (Point mouse : mice) {
        Desktop desktop;
        desktop.layer->setDisplaysWithScreens({display(1, {0, 0, 1440, 900}), display(2, {-1920, 0, 1920, 1080})});
        desktop.layer->setMouseLocation(mouse);
        auto outcome = desktop.capture();
        ASSERT_TRUE(outcome.value());
        const auto& records = *outcome.value();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].displayFrame.x, 0) << mouse.x << "," << mouse.y;
        EXPECT_EQ(records[0].label, "screen 1 of 2" + kSecondaryLabel);
        EXPECT_EQ(records[1].label, "screen 2 of 2" + kSecondaryLabel);
        EXPECT_FALSE(records[0].isCursorScreen);
        EXPECT_FALSE(records[1].isCursorScreen);
    }
    // The minimum edges belong to the display.
    Desktop desktop;
    desktop.layer->setDisplaysWithScreens({display(1, {0, 0, 1440, 900}), display(2, {-1920, 0, 1920, 1080})});
    desktop.layer->setMouseLocation({-1920, 0});
    auto outcome = desktop.capture();
    ASSERT_TRUE(outcome.value());
    EXPECT_EQ((*outcome.value())[0].displayFrame.x, -1920);
    EXPECT_TRUE((*outcome.value())[0].isCursorScreen);
}

TEST(CompanionScreenCapture, AFailedEncodingLeavesThatDisplayOutButTheCountsStay) {
    Desktop desktop;
    desktop.layer->setDisplaysWithScreens({display(1, {0, 0, 1440, 900}), display(2, {1440, 0, 1920, 1080})});
    desktop.layer->setMouseLocation({10, 10});
    desktop.layer->failJpeg(1);
    auto outcome = desktop.capture();
    ASSERT_TRUE(outcome.value());
    ASSERT_EQ(outcome.value()->size(), 1u);
    EXPECT_EQ((*outcome.value())[0].label, "screen 2 of 2" + kSecondaryLabel);
    EXPECT_EQ(desktop.layer->captureRequests().size(), 2u);
}

TEST(CompanionScreenCapture, ItsOwnErrorsWhenThereIsNothingToCapture) {
    struct Case {
        const char* name;
        std::vector<ShareableDisplay> displays;
        std::vector<std::uint32_t> failingJpeg;
        long code;
        const char* message;
        std::size_t captures;
    };
    const Case cases[] = {
        {"no display", {}, {}, -1, "No display available for capture", 0},
        {"every encoding fails",
         {display(1, {0, 0, 800, 600}), display(2, {800, 0, 800, 600})},
         {1, 2},
         -2,
         "Failed to capture any screen",
         2},
        // A display without area is skipped rather than divided by.
        {"no display has an area", {display(1, {0, 0, 0, 900}), display(2, {0, 0, 1440, 0})}, {}, -2, "Failed to capture any screen", 0},
    };
    for (const auto& c : cases) {
        Desktop desktop;
        desktop.layer->setDisplaysWithScreens(c.displays);
        for (auto id : c.failingJpeg) desktop.layer->failJpeg(id);
        auto outcome = desktop.capture();
        ASSERT_TRUE(outcome.error()) << c.name;
        EXPECT_FALSE(outcome.value());
        EXPECT_EQ(velmo::test::errorIdentity(outcome.error()), (velmo::test::ErrorIdentity{"CompanionScreenCapture", c.code, c.message}))
            << c.name;
        EXPECT_EQ(desktop.layer->captureRequests().size(), c.captures) << c.name;
    }
}

TEST(CompanionScreenCapture, ADisplayWithoutAreaIsSkippedAndStillCounted) {
    Desktop desktop;
    desktop.layer->setDisplaysWithScreens({display(1, {0, 0, 1440, 900}), display(2, {1440, 0, 0, 900})});
    desktop.layer->setMouseLocation({1500, 10});
    auto outcome = desktop.capture();
    ASSERT_TRUE(outcome.value()) << describeException(outcome.error());
    ASSERT_EQ(outcome.value()->size(), 1u);
    EXPECT_EQ((*outcome.value())[0].label, "screen 1 of 2" + kSecondaryLabel);
    ASSERT_EQ(desktop.layer->captureRequests().size(), 1u);
    EXPECT_EQ(desktop.layer->captureRequests()[0].filter.display.displayID, 1u);
}

TEST(CompanionScreenCapture, LayerErrorsPassUnchangedWithNoPartialList) {
    const Error denied("com.example.ScreenCapture", -3801, "The user declined screen capture");
    for (bool inContent : {true, false}) {
        Desktop desktop;
        desktop.layer->setDisplaysWithScreens({display(1, {0, 0, 1440, 900}), display(2, {1440, 0, 1920, 1080})});
        desktop.layer->setMouseLocation({10, 10});
        if (inContent) {
            desktop.layer->failShareableContent(std::make_exception_ptr(denied));
        } else {
            desktop.layer->failScreenshot(2, std::make_exception_ptr(denied));  // the second one captured
        }
        auto outcome = desktop.capture();
        ASSERT_TRUE(outcome.error());
        EXPECT_FALSE(outcome.value());
        EXPECT_EQ(velmo::test::errorIdentity(outcome.error()),
                  (velmo::test::ErrorIdentity{denied.domain(), denied.code(), denied.message()}));
        EXPECT_EQ(desktop.layer->captureRequests().size(), inContent ? 0u : 2u);
    }
}

TEST(CompanionScreenCapture, TheApplicationsOwnWindowsAreExcludedFromEveryScreenshot) {
    struct Case {
        std::optional<std::string> ownBundle;
        std::vector<std::uint32_t> excluded;
    };
    const Case cases[] = {
        {std::string("com.velmo.app"), {10}},
        // Without an identifier of its own, only windows without an owner count as its own.
        {std::nullopt, {12}},
        {std::string("com.nobody"), {}},
    };
    for (const auto& c : cases) {
        Desktop desktop;
        desktop.bundle.reset();
        desktop.bundle = std::make_unique<MainBundle>(c.ownBundle);
        desktop.layer->setDisplaysWithScreens({display(1, {0, 0, 800, 600}), display(2, {800, 0, 800, 600})});
        desktop.layer->setDisplayColour(1, 0x204060);
        desktop.layer->setWindows({SimulatedScreenLayer::window(10, {0, 0, 400, 600}, 0xff00ff, "com.velmo.app"),
                                   SimulatedScreenLayer::window(11, {400, 0, 400, 600}, 0x00ff00, "com.example.editor"),
                                   SimulatedScreenLayer::window(12, {800, 0, 800, 600}, 0xffff00)});
        desktop.layer->setMouseLocation({10, 10});
        auto outcome = desktop.capture();
        ASSERT_TRUE(outcome.value());
        ASSERT_EQ(desktop.layer->captureRequests().size(), 2u);
        for (const auto& request : desktop.layer->captureRequests()) {
            std::vector<std::uint32_t> ids;
            for (const auto& w : request.filter.excludedWindows) ids.push_back(w.windowID);
            EXPECT_EQ(ids, c.excluded);
        }
        // The own window's area of the first display shows what lies beneath it.
        auto first = decodeJpeg((*outcome.value())[0].imageData);
        ASSERT_TRUE(first);
        std::uint32_t expected = c.excluded == std::vector<std::uint32_t>{10} ? 0x204060u : 0xff00ffu;
        EXPECT_TRUE(velmo::test::colourNear(first->pixel(100, 400), expected, 8));
        EXPECT_TRUE(velmo::test::colourNear(first->pixel(1000, 400), 0x00ff00, 8));
    }
}

TEST(CompanionScreenCapture, FramesComeFromTheScreenWithTheDisplaysNumber) {
    Desktop desktop;
    ShareableDisplay a = display(1, {0, 0, 1440, 900});
    // The display's own frame is only a fallback: its origin with its width and height.
    ShareableDisplay b{2, 1280, 720, {3000, 50, 999, 999}};
    desktop.layer->setDisplays({a, b});
    auto numbered = [](Rect frame, std::optional<DescriptionValue> number) {
        Screen s;
        s.frame = frame;
        if (number) s.deviceDescription[kScreenNumberKey] = *number;
        return s;
    };
    desktop.layer->setScreens({
        numbered({9, 9, 9, 9}, std::nullopt),  // no number
        numbered({8, 8, 8, 8}, DescriptionValue(std::string("1"))),  // not a number
        numbered({7, 7, 7, 7}, DescriptionValue(std::int64_t(1))),  // replaced by the next
        numbered({0, 0, 1440.75, 900.5}, DescriptionValue(1.0)),
        numbered({6, 6, 6, 6}, DescriptionValue(std::int64_t(4294967298LL))),  // 2 beyond 32 bits
    });
    desktop.layer->setMouseLocation({1440.5, 900.25});  // inside the screen's frame, outside the display's
    auto outcome = desktop.capture();
    ASSERT_TRUE(outcome.value());
    const auto& records = *outcome.value();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].displayFrame, (Rect{0, 0, 1440.75, 900.5}));
    EXPECT_TRUE(records[0].isCursorScreen);
    EXPECT_EQ(records[0].displayWidthInPoints, 1440);
    EXPECT_EQ(records[0].displayHeightInPoints, 900);
    EXPECT_EQ(records[1].displayFrame, (Rect{3000, 50, 1280, 720}));
    EXPECT_EQ(records[1].displayWidthInPoints, 1280);
    EXPECT_EQ(records[1].label, "screen 2 of 2" + kSecondaryLabel);
}
