#include "companion/CompanionManagerTesting.h"
#include "interface/MenuBarPanelManager.h"

#include <gtest/gtest.h>

#include <cmath>

#include "companion/CompanionTestEnvironment.h"
#include "interface/CompanionPanelView.h"
#include "interface/WindowPositionManager.h"
#include "platform/foundation/Bundle.h"
#include "testing/SimulatedStatusBarDesktop.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::CompanionTestEnvironment;
using velmo::test::SimulatedStatusBarDesktop;

namespace {

constexpr unsigned left = MouseEventMask::leftMouseDown;
constexpr unsigned right = MouseEventMask::rightMouseDown;

class MenuBarPanelManagerTest : public testing::Test {
protected:
    CompanionTestEnvironment env;
    std::shared_ptr<SimulatedStatusBarDesktop> desktop = std::make_shared<SimulatedStatusBarDesktop>();
    std::shared_ptr<CompanionManager> companion = CompanionManager::create({env.dictation, env.shortcut, env.overlay});

    void SetUp() override {
        StatusBarDesktop::install(desktop);
        desktop->item->frame = Rect{1000, 876, 24, 24};  // a top bar of 24 points on a 1440 x 900 screen
    }
    void TearDown() override { StatusBarDesktop::install(nullptr); }

    std::shared_ptr<MenuBarPanelManager> make() { return MenuBarPanelManager::create(companion); }
};

}  // namespace

TEST_F(MenuBarPanelManagerTest, CreatingItPutsTheTemplateTriangleInTheStatusAreaAndShowsNothing) {
    auto manager = make();
    EXPECT_EQ(desktop->statusItemsMade, 1);
    EXPECT_TRUE(desktop->item->action);
    EXPECT_EQ(desktop->item->toolTip, "Velmo");
    const StatusItemIcon& icon = desktop->item->icon;
    ASSERT_EQ(icon.width, 18);
    ASSERT_EQ(icon.height, 18);
    auto alphaAt = [&](int x, int y) { return icon.argb[std::size_t(y) * 18 + x] >> 24; };
    auto rgbAt = [&](int x, int y) { return icon.argb[std::size_t(y) * 18 + x] & 0xFFFFFF; };
    // The centroid (9, 9) is inside; the apex leans up-left, the corners stay clear.
    EXPECT_EQ(alphaAt(9, 9), 255u);
    EXPECT_EQ(rgbAt(9, 9), 0u);
    EXPECT_GT(alphaAt(5, 4), 128u);  // near the apex (4.83, 3.04 with y down)
    EXPECT_EQ(alphaAt(16, 2), 0u);
    EXPECT_EQ(alphaAt(1, 16), 0u);
    EXPECT_EQ(alphaAt(15, 15), 0u);
    EXPECT_TRUE(desktop->panels.empty());
    EXPECT_FALSE(manager->isPanelVisible());
    EXPECT_TRUE(desktop->monitors.empty());
}

TEST_F(MenuBarPanelManagerTest, ClicksToggleOnePanelThatIsMadeOnceAndHangsUnderTheIcon) {
    auto manager = make();
    desktop->item->click();
    ASSERT_EQ(desktop->panels.size(), 1u);
    auto panel = desktop->panels[0];
    EXPECT_TRUE(panel->isVisible());
    // x = midX - 160, y = minY - h - 4, h = the content's fitting height.
    EXPECT_EQ(panel->frame(), (Rect{1012 - 160, 876 - 120 - 4, 320, 120}));
    EXPECT_EQ(panel->displayedSizes.back(), (Size{320, 120}));
    EXPECT_TRUE(panel->pointingHandRegions.empty());  // the placeholder has no buttons
    EXPECT_EQ(desktop->monitors.size(), 1u);
    EXPECT_EQ(desktop->monitors.begin()->second.first, left | right);

    desktop->item->click();
    EXPECT_FALSE(panel->isVisible());
    EXPECT_TRUE(desktop->monitors.empty());

    // The item moved: the same panel is placed afresh.
    desktop->item->frame = Rect{200, 876, 24, 24};
    desktop->item->click();
    EXPECT_EQ(desktop->panels.size(), 1u);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->frame().x, 212 - 160);
    EXPECT_EQ(desktop->monitors.size(), 1u);
}

TEST_F(MenuBarPanelManagerTest, ThePanelHangsUnderOrStandsAboveTheIconAndStaysInsideTheWorkAreaOfItsScreen) {
    const std::vector<Rect> screens{{0, 0, 1440, 900}, {1440, -200, 1280, 1024}};
    // A 30-point panel at the top of the first screen, none on the second.
    const std::vector<Rect> topBar{{0, 0, 1440, 870}, {1440, -200, 1280, 1024}};
    const std::vector<Rect> bottomBar{{0, 30, 1440, 870}, {1440, -200, 1280, 1024}};
    const struct {
        std::optional<Rect> button;
        const std::vector<Rect>& areas;
        Rect expected;
    } cases[] = {
        {Rect{1000, 876, 24, 24}, screens, {852, 752, 320, 120}},  // top bar: below
        {Rect{1000, 0, 24, 24}, screens, {852, 28, 320, 120}},  // bottom panel: above
        {Rect{1000, 124, 24, 24}, screens, {852, 0, 320, 120}},  // just fits below
        {Rect{1000, 123, 24, 24}, screens, {852, 151, 320, 120}},  // one point short: above
        {Rect{2000, -200, 30, 30}, screens, {1855, -166, 320, 120}},  // a bottom panel on the second screen
        {Rect{1420, 876, 20, 24}, screens, {1120, 752, 320, 120}},  // at the right edge: pulled in
        {Rect{0, 876, 24, 24}, screens, {0, 752, 320, 120}},  // at the left edge
        {Rect{2700, 800, 20, 24}, screens, {2400, 676, 320, 120}},  // the right edge of the second screen
        {Rect{1000, 2000, 24, 24}, screens, {852, 780, 320, 120}},  // on no screen: inside the primary one
        {Rect{1400, 876, 24, 24}, topBar, {1120, 750, 320, 120}},  // in the desktop's top bar: off it
        {Rect{1000, 3, 24, 24}, bottomBar, {852, 31, 320, 120}},  // in its bottom bar: above, off the bar
        {std::nullopt, topBar, {1116, 746, 320, 120}},  // unknown place: below the bar at the right
        {std::nullopt, bottomBar, {1116, 776, 320, 120}},
    };
    for (const auto& c : cases) {
        const Rect frame = MenuBarPanelManager::panelFrameFor(c.button, 120, screens, c.areas);
        EXPECT_EQ(frame, c.expected) << (c.button ? c.button->x : -1) << "," << (c.button ? c.button->y : -1);
    }
}

TEST_F(MenuBarPanelManagerTest, WithAnUnknownItemPlaceThePanelOpensBelowTheDesktopsTopBar) {
    desktop->areas = {{0, 0, 1440, 868}};
    desktop->item->frame.reset();
    auto manager = make();
    manager->showPanel();
    ASSERT_EQ(desktop->panels.size(), 1u);
    EXPECT_EQ(desktop->panels[0]->frame(), (Rect{1440 - 320 - 4, 868 - 120 - 4, 320, 120}));
}

TEST_F(MenuBarPanelManagerTest, ShowingAgainKeepsExactlyOneMonitor) {
    auto manager = make();
    manager->showPanel();
    manager->showPanel();
    manager->showPanel();
    EXPECT_EQ(desktop->monitors.size(), 1u);
    EXPECT_EQ(desktop->panels.size(), 1u);
    manager->hidePanel();
    manager->hidePanel();
    EXPECT_TRUE(desktop->monitors.empty());
}

TEST_F(MenuBarPanelManagerTest, AClickOutsideHidesThePanelAfterThreeTenthsOfASecondOnlyWhileTheApplicationIsActive) {
    auto manager = make();
    const struct {
        unsigned button;
        Point where;
        bool activeAtCheck;
        bool hidden;
    } cases[] = {
        {left, {10, 10}, true, true},    {right, {10, 10}, true, true},
        {left, {10, 10}, false, false},  {left, {900, 800}, true, false},  // inside the panel's frame (852...1172, 752...872)
        {left, {852, 752}, true, false},  // its lower-left corner is inside
        {left, {1172, 800}, true, true},  // its right edge is outside
    };
    for (const auto& c : cases) {
        manager->showPanel();
        desktop->applicationActive = true;
        desktop->mouseDown(c.button, c.where);
        desktop->applicationActive = c.activeAtCheck;
        env.loop().advance(0.29s);
        EXPECT_TRUE(manager->isPanelVisible());
        env.loop().advance(0.01s);
        EXPECT_EQ(!manager->isPanelVisible(), c.hidden) << c.where.x << "," << c.where.y << " active " << c.activeAtCheck;
        EXPECT_EQ(desktop->monitors.size(), c.hidden ? 0u : 1u);
        manager->hidePanel();
    }
}

TEST_F(MenuBarPanelManagerTest, TheDelayedCheckFindsAPanelAlreadyHiddenAndLeavesTheNextShowingAlone) {
    auto manager = make();
    manager->showPanel();
    desktop->mouseDown(left, {10, 10});
    manager->hidePanel();
    env.loop().advance(0.1s);
    manager->showPanel();  // shown again before the check runs: that press was not against this showing
    env.loop().advance(0.2s);
    EXPECT_TRUE(manager->isPanelVisible());
    manager->hidePanel();
    // The check holds the manager until it has run.
    std::weak_ptr<MenuBarPanelManager> weak = manager;
    manager->showPanel();
    desktop->mouseDown(left, {10, 10});
    manager.reset();
    EXPECT_FALSE(weak.expired());
    env.loop().advance(0.3s);
    EXPECT_TRUE(weak.expired());
}

TEST_F(MenuBarPanelManagerTest, DismissNotificationHidesThePanelAndTeardownRemovesMonitorAndObserver) {
    auto manager = make();
    const std::size_t observersBefore = NotificationCenter::defaultCenter().observerCount(velmoDismissPanel);
    NotificationCenter::defaultCenter().post(velmoDismissPanel);  // no panel yet: nothing happens
    env.loop().runUntilIdle();
    manager->showPanel();
    NotificationCenter::defaultCenter().post(velmoDismissPanel);
    env.loop().runUntilIdle();
    EXPECT_FALSE(manager->isPanelVisible());
    EXPECT_TRUE(desktop->monitors.empty());

    manager->showPanel();
    EXPECT_EQ(desktop->monitors.size(), 1u);
    manager.reset();
    EXPECT_TRUE(desktop->monitors.empty());
    EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(velmoDismissPanel), observersBefore - 1);
    desktop->item->click();  // the item outlives the manager; its click does nothing
    EXPECT_EQ(desktop->panels.size(), 1u);
}

TEST_F(MenuBarPanelManagerTest, PushToTalkClosesTheOpenPanel) {
    auto manager = make();
    companion->start();
    manager->showPanel();
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    EXPECT_FALSE(manager->isPanelVisible());
    companion->stop();
}

TEST_F(MenuBarPanelManagerTest, WithoutAStatusAreaOneLineSaysSoAndThePanelOpensAtTheTopRightCorner) {
    desktop->hasStatusArea = false;
    auto manager = make();
    EXPECT_EQ(env.log.linesStartingWith("⚠️ Velmo: This desktop has no status area").size(), 1u);
    manager->showPanel();
    ASSERT_EQ(desktop->panels.size(), 1u);
    EXPECT_EQ(desktop->panels[0]->frame(), (Rect{1440 - 320 - 4, 900 - 120 - 4, 320, 120}));
    // An item whose place is not known yet (a D-Bus item before its first click) does the same.
    desktop->hasStatusArea = true;
    desktop->item->frame.reset();
    auto second = make();
    second->showPanel();
    EXPECT_EQ(desktop->panels[1]->frame(), (Rect{1116, 776, 320, 120}));
}

TEST(SettingsHelpers, EachOpensItsExactLinkAndFindAppRevealsTheBundleFirst) {
    auto workspace = std::make_shared<velmo::test::SimulatedWorkspace>();
    Workspace::install(workspace);
    WindowPositionManager::openAccessibilitySettings();
    WindowPositionManager::openScreenRecordingSettings();
    // "Find App": reveal, then the Accessibility page.
    WindowPositionManager::revealAppInFinder();
    WindowPositionManager::openAccessibilitySettings();
    Workspace::install(nullptr);
    using Request = std::pair<std::string, std::string>;
    EXPECT_EQ(workspace->requests, (std::vector<Request>{
                                       {"openURL", "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"},
                                       {"openURL", "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture"},
                                       {"activateFileViewerSelecting", Bundle::main().bundlePath()},
                                       {"openURL", "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"},
                                   }));
    EXPECT_STREQ(WindowPositionManager::microphoneSettingsURL,
                 "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone");
}

TEST_F(MenuBarPanelManagerTest, TheCompanionPanelHangsAtItsFittingHeightAndFollowsItsChanges) {
    auto manager = MenuBarPanelManager::create(
        companion, [](const std::shared_ptr<CompanionManager>& c) { return std::make_shared<CompanionPanelView>(c); });
    desktop->item->click();
    ASSERT_EQ(desktop->panels.size(), 1u);
    auto panel = desktop->panels[0];
    env.loop().runUntilIdle();
    const double welcome = manager->panelFrame().height;
    EXPECT_GT(welcome, 120);
    EXPECT_EQ(manager->panelFrame().y, 876 - welcome - 4);
    const std::size_t displays = panel->displayedSizes.size();

    velmo::test::writable(*companion).hasMicrophonePermission = true;
    velmo::test::writable(*companion).hasAccessibilityPermission = true;
    velmo::test::writable(*companion).hasScreenRecordingPermission = true;
    velmo::test::writable(*companion).hasScreenContentPermission = true;
    env.loop().runUntilIdle();
    const double allset = manager->panelFrame().height;
    EXPECT_LT(allset, welcome);
    EXPECT_EQ(manager->panelFrame().y, 876 - allset - 4);
    // The window holds the card's shadows around it: most below, some at the sides, less above.
    const PanelMargins m = CompanionPanelView(companion).margins();
    EXPECT_GT(m.bottom, m.left);
    EXPECT_GT(m.left, m.top);
    EXPECT_EQ(m.left, m.right);
    EXPECT_GE(m.top, 10);
    EXPECT_EQ(panel->frame(), MenuBarPanelManager::windowFrameFor(manager->panelFrame(), m));
    EXPECT_EQ(panel->contentRect, (Rect{m.left, m.top, 320, allset}));
    EXPECT_EQ(panel->displayedSizes.back(), (Size{m.left + 320 + m.right, m.top + std::round(allset) + m.bottom}));  // whole pixels
    EXPECT_GT(panel->displayedSizes.size(), displays);
}

namespace {
// A content view that draws past its frame by fixed margins and has one button.
class MarginedView : public PanelContentView {
public:
    double fittingHeight() const override { return 100; }
    PanelMargins margins() const override { return {10, 20, 30, 40}; }
    PanelPixels render(Size size) const override {
        const int w = int(20 + size.width + 40), h = int(10 + size.height + 30);
        return {w, h, w * 4, std::vector<std::uint8_t>(std::size_t(w) * 4 * std::size_t(h))};
    }
    std::vector<Rect> pointerCursorRegions(Size) const override { return {{16, 50, 100, 30}}; }
    void click(Point p) override { clicks.push_back(p); }
    std::vector<Point> clicks;
};
}  // namespace

// The shadow's room around the card grows the window, not the card: the card stays where the
// work area keeps it, and clicks, hand regions and the outside-click test are the card's.
TEST_F(MenuBarPanelManagerTest, TheRoomForTheCardsShadowGrowsTheWindowButLeavesTheCardInPlace) {
    auto view = std::make_shared<MarginedView>();
    desktop->areas = {{0, 0, 1440, 870}};
    desktop->item->frame = Rect{1416, 876, 24, 24};  // right-aligned in a top bar
    auto manager = MenuBarPanelManager::create(companion, [view](const std::shared_ptr<CompanionManager>&) { return view; });
    desktop->item->click();
    ASSERT_EQ(desktop->panels.size(), 1u);
    auto panel = desktop->panels[0];
    // Flush with the work area's right edge and its top, as without the margins.
    EXPECT_EQ(manager->panelFrame(), (Rect{1440 - 320, 870 - 100, 320, 100}));
    // y up: the bottom margin lowers the window, the top one raises its top past the work area.
    EXPECT_EQ(panel->frame(), (Rect{1440 - 320 - 20, 870 - 100 - 30, 20 + 320 + 40, 10 + 100 + 30}));
    EXPECT_EQ(panel->contentRect, (Rect{20, 10, 320, 100}));
    EXPECT_EQ(panel->displayedSizes.back(), (Size{380, 140}));
    EXPECT_EQ(panel->pointingHandRegions, (std::vector<Rect>{{36, 60, 100, 30}}));

    // A window point is the card's point moved by the margins.
    panel->click({20 + 40.5, 10 + 60.5});
    ASSERT_EQ(view->clicks.size(), 1u);
    EXPECT_EQ(view->clicks[0], (Point{40.5, 60.5}));

    // A press in the card keeps the panel; one in the shadow's room is outside it.
    desktop->mouseDown(left, {1440 - 5, 870 - 5});
    env.loop().advance(0.5s);
    EXPECT_TRUE(manager->isPanelVisible());
    desktop->mouseDown(left, {1440 - 320 - 10, 870 - 50});
    env.loop().advance(0.5s);
    EXPECT_FALSE(manager->isPanelVisible());
}

namespace {
class ClickRecordingView : public PanelContentView {
public:
    double fittingHeight() const override { return 100; }
    PanelPixels render(Size size) const override { return {int(size.width), int(size.height), int(size.width) * 4, {}}; }
    void click(Point p) override { clicks.push_back(p); }
    std::vector<Point> clicks;
};
}  // namespace

TEST_F(MenuBarPanelManagerTest, ClicksInThePanelWindowGoToItsContentInViewPoints) {
    auto view = std::make_shared<ClickRecordingView>();
    auto manager = MenuBarPanelManager::create(companion, [view](const std::shared_ptr<CompanionManager>&) { return view; });
    manager->showPanel();
    ASSERT_EQ(desktop->panels.size(), 1u);
    desktop->panels[0]->click({40.5, 60.5});
    desktop->panels[0]->click({300.5, 2.5});
    ASSERT_EQ(view->clicks.size(), 2u);
    EXPECT_EQ(view->clicks[0].x, 40.5);
    EXPECT_EQ(view->clicks[0].y, 60.5);
    EXPECT_EQ(view->clicks[1].x, 300.5);
}
