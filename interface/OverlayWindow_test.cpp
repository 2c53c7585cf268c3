#include "companion/CompanionManagerTesting.h"
#include "interface/OverlayWindow.h"

#include <gtest/gtest.h>

#include "companion/CompanionTestDoubles.h"
#include "platform/desktop/SimulatedScreenLayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/SimulatedOverlayWindowLayer.h"

using namespace std::chrono_literals;

namespace velmo {
namespace {

using test::SimulatedOverlayWindow;
using test::SimulatedOverlayWindowLayer;

const Screen kLeft{{0, 0, 1440, 900}, "left", {}};
const Screen kRight{{1440, 0, 1000, 800}, "right", {}};
constexpr std::uint32_t kBlue = 0xff3380ffu;  // #3380FF, opaque

struct OverlayTest : testing::Test {
    VirtualMainLoopScope loopScope;
    std::shared_ptr<CompanionManager> companion = CompanionManager::create(
        {std::make_shared<velmo::test::FakeDictationManager>(), std::make_shared<velmo::test::FakeShortcutMonitor>(),
         std::make_shared<HeadlessOverlayWindowManager>(), test::bundleServiceClients()});
    std::shared_ptr<SimulatedOverlayWindowLayer> layer = std::make_shared<SimulatedOverlayWindowLayer>();
    Point mouse{100, 800};  // global; (100, 100) on kLeft
    int pointerSamples = 0;
    OverlayWindowManager manager{layer, environment()};

    VirtualMainLoop& loop() { return loopScope.loop(); }
    BlueCursorView::Environment environment() {
        BlueCursorView::Environment e;
        e.mouseLocation = [this] {
            ++pointerSamples;
            return mouse;
        };
        e.random = std::make_shared<SeededCursorRandomSource>(7);
        e.referenceDateSeconds = [] { return 0.0; };
        return e;
    }
    SimulatedOverlayWindow& window(std::size_t i) { return *layer->windows.at(i); }
    std::size_t visibleWindows() const {
        std::size_t n = 0;
        for (const auto& w : layer->windows) n += w->isVisible();
        return n;
    }
};

TEST_F(OverlayTest, ShowsOneFrontWindowPerScreenInOrderEachDrawingItsCursorBesideTheMouse) {
    manager.setHasShownOverlayBefore(true);
    manager.showOverlay({kLeft, kRight}, *companion);
    loop().advance(1.0s);
    ASSERT_EQ(layer->windows.size(), 2u);
    ASSERT_EQ(manager.overlayWindows().size(), 2u);
    EXPECT_EQ(window(0).frame(), kLeft.frame);
    EXPECT_EQ(window(1).frame(), kRight.frame);
    EXPECT_EQ(window(0).orderFrontCount, 1);
    EXPECT_EQ(visibleWindows(), 2u);
    EXPECT_FALSE(OverlayWindow::canBecomeKeyWindow());
    EXPECT_FALSE(OverlayWindow::canBecomeMainWindow());
    EXPECT_EQ(window(0).width, 1440);
    EXPECT_EQ(window(1).height, 800);
    EXPECT_EQ(window(0).pixel(135, 125), kBlue);
    EXPECT_FALSE(window(1).shows(0x3380ff));
    // What a desktop without blending keeps: the glyph's box, not the whole screen.
    ASSERT_FALSE(window(0).drawn.empty());
    for (const auto& box : window(0).drawn) EXPECT_LT(box.width * box.height, 1440 * 900 / 4);

    mouse = {1540, 700};  // (100, 100) on kRight
    loop().advance(0.5s);
    EXPECT_EQ(window(1).pixel(135, 125), kBlue);
    EXPECT_FALSE(window(0).shows(0x3380ff));
    mouse = {400, 500};  // (400, 400) on kLeft
    loop().advance(0.5s);
    EXPECT_EQ(window(0).pixel(435, 425), kBlue);
    EXPECT_FALSE(window(1).shows(0x3380ff));
}

TEST_F(OverlayTest, OnePointerSampleServesEveryScreenEachTick) {
    manager.setHasShownOverlayBefore(true);
    manager.showOverlay({kLeft, kRight}, *companion);
    loop().advance(1.0s);
    pointerSamples = 0;
    loop().advance(1.6s);  // 100 ticks of 16 ms
    EXPECT_GE(pointerSamples, 99);
    EXPECT_LE(pointerSamples, 101);
}

TEST_F(OverlayTest, ShowingAgainReplacesEveryWindowAndOnlyTheFirstShowingPlaysTheWelcome) {
    EXPECT_FALSE(manager.hasShownOverlayBefore());
    manager.showOverlay({kLeft, kRight}, *companion);
    EXPECT_TRUE(manager.hasShownOverlayBefore());
    loop().advance(3.0s);
    EXPECT_EQ(manager.cursorViews()->views()[0]->state().welcomeText, "hey! i'm velmo");

    manager.showOverlay({kLeft, kRight}, *companion);
    loop().advance(3.0s);
    ASSERT_EQ(layer->windows.size(), 4u);
    EXPECT_FALSE(window(0).isVisible());
    EXPECT_FALSE(window(1).isVisible());
    EXPECT_TRUE(window(2).isVisible());
    EXPECT_TRUE(window(3).isVisible());
    ASSERT_EQ(manager.cursorViews()->views().size(), 2u);
    EXPECT_TRUE(manager.cursorViews()->views()[0]->state().welcomeText.empty());
    EXPECT_EQ(window(2).pixel(135, 125), kBlue);
}

struct FlagCase {
    bool before;
    std::vector<Screen> screens;
};

TEST_F(OverlayTest, AnyShowingSetsTheFlagEvenWithNoScreensAndHidesWhatWasShown) {
    for (const FlagCase& k : {FlagCase{false, {}}, FlagCase{true, {}}, FlagCase{false, {kRight}}, FlagCase{true, {kLeft, kRight}}}) {
        SCOPED_TRACE(k.screens.size());
        manager.showOverlay({kLeft}, *companion);
        const std::size_t made = layer->windows.size();
        manager.setHasShownOverlayBefore(k.before);
        manager.showOverlay(k.screens, *companion);
        loop().runUntilIdle();
        EXPECT_TRUE(manager.hasShownOverlayBefore());
        EXPECT_FALSE(window(made - 1).isVisible());
        EXPECT_EQ(layer->windows.size(), made + k.screens.size());
        EXPECT_EQ(visibleWindows(), k.screens.size());
        EXPECT_EQ(manager.overlayWindows().size(), k.screens.size());
        EXPECT_EQ(manager.cursorViews() != nullptr, !k.screens.empty());
    }
}

TEST_F(OverlayTest, HidingTakesEveryWindowDownDropsTheViewsAndKeepsTheFlag) {
    manager.showOverlay({kLeft, kRight}, *companion);
    loop().advance(0.5s);
    manager.hideOverlay();
    EXPECT_EQ(visibleWindows(), 0u);
    EXPECT_TRUE(manager.overlayWindows().empty());
    EXPECT_EQ(manager.cursorViews(), nullptr);
    EXPECT_TRUE(manager.hasShownOverlayBefore());
    const int frames = window(0).framesPresented;
    loop().advance(5.0s);
    EXPECT_EQ(window(0).framesPresented, frames);  // nothing draws into a window taken down

    manager.showOverlay({kLeft}, *companion);
    loop().advance(3.0s);
    EXPECT_TRUE(manager.cursorViews()->views()[0]->state().welcomeText.empty());
    manager.hideOverlay();
    manager.hideOverlay();  // twice is harmless
    EXPECT_EQ(visibleWindows(), 0u);
}

TEST_F(OverlayTest, AStillMousePresentsNoFramesOnceTheCursorSettlesAndAMovePresentsOnlyWhatChanged) {
    manager.setHasShownOverlayBefore(true);
    manager.showOverlay({kLeft, kRight}, *companion);
    loop().advance(2.0s);
    const int left = window(0).framesPresented, right = window(1).framesPresented;
    EXPECT_GT(left, 0);
    loop().advance(30.0s);
    EXPECT_EQ(window(0).framesPresented, left);
    EXPECT_EQ(window(1).framesPresented, right);
    mouse = {110, 800};
    loop().advance(0.1s);
    EXPECT_GT(window(0).framesPresented, left);
    for (const auto& r : window(0).lastDamage) EXPECT_LT(r.width * r.height, 1440 * 900 / 4);
}

TEST_F(OverlayTest, AMovingPointerPresentsAtMostOneFramePerTickOnEachWindow) {
    manager.setHasShownOverlayBefore(true);
    manager.showOverlay({kLeft, kRight}, *companion);
    loop().advance(2.0s);
    const int before = window(0).framesPresented;
    // A move every 20 ms for two seconds: the follow ticks and the spring's frames between them.
    for (int i = 0; i < 100; ++i) {
        mouse.x += 3;
        loop().advance(0.02s);
    }
    const int frames = window(0).framesPresented - before;
    EXPECT_GT(frames, 90);
    EXPECT_LE(frames, 2.0 / 0.016 + 1);
}

TEST_F(OverlayTest, AStillPointerLeavesTheOverlayAtRestUntilAMoveIsAnnounced) {
    auto pointer = std::make_shared<SimulatedScreenLayer>();
    pointer->setAnnouncesPointerMotion(true);
    pointer->setMouseLocation(mouse);
    BlueCursorView::Environment e = environment();
    e.mouseLocation = [this, pointer] {
        ++pointerSamples;
        return pointer->mouseLocation();
    };
    e.pointerMotion = pointer;
    OverlayWindowManager resting{layer, e};
    resting.setHasShownOverlayBefore(true);
    resting.showOverlay({kLeft, kRight}, *companion);
    loop().advance(2.0s);
    pointerSamples = 0;
    const int frames = window(0).framesPresented;
    loop().advance(30.0s);
    EXPECT_EQ(pointerSamples, 0);
    EXPECT_EQ(window(0).framesPresented, frames);
    pointer->setMouseLocation({400, 500});  // (400, 400) on kLeft
    loop().advance(0.017s);
    EXPECT_GT(pointerSamples, 0);
    loop().advance(1.0s);
    EXPECT_EQ(window(0).pixel(435, 425), kBlue);
    resting.hideOverlay();
}

// A published element in kRight's local coordinates and where the glyph lands: 8 right of and
// 12 below it, kept 20 points inside the screen.
struct TargetCase {
    const char* name;
    double elementX, elementY;
    int glyphX, glyphY;
};

TEST_F(OverlayTest, APublishedTargetIsFlownToOnItsScreensWindowAndTheCursorComesBack) {
    manager.setHasShownOverlayBefore(true);
    mouse = {1540, 700};  // (100, 100) on kRight
    manager.showOverlay({kLeft, kRight}, *companion);
    loop().advance(1.0s);
    int clears = 0;
    Cancellable watch = companion->detectedElementScreenLocation().publisher().sink([&](const std::optional<Point>& p) { clears += !p; });
    for (const TargetCase& k : {TargetCase{"inside", 500, 400, 508, 412}, TargetCase{"past the bottom-right corner", 995, 795, 980, 780},
                                TargetCase{"at the top-left corner", 2, 3, 20, 20}}) {
        SCOPED_TRACE(k.name);
        clears = 0;
        velmo::test::writable(*companion).detectedElementScreenLocation =
            Point{kRight.frame.x + k.elementX, kRight.frame.maxY() - k.elementY};
        velmo::test::writable(*companion).detectedElementDisplayFrame = kRight.frame;
        loop().advance(1.5s);
        EXPECT_EQ(window(1).pixel(k.glyphX, k.glyphY), kBlue);
        EXPECT_NE(window(1).pixel(135, 125), kBlue);
        loop().advance(15.0s);
        EXPECT_EQ(window(1).pixel(135, 125), kBlue);
        EXPECT_NE(window(1).pixel(k.glyphX, k.glyphY), kBlue);
        EXPECT_EQ(clears, 1);
        EXPECT_FALSE(window(0).shows(0x3380ff));
    }
}

}  // namespace
}  // namespace velmo
