#include "companion/CompanionManagerTesting.h"
#include "interface/CompanionPanelView.h"
#include "platform/desktop/ApplicationTermination.h"

#include <gtest/gtest.h>

#include <cmath>

#include "companion/CompanionTestDoubles.h"
#include "companion/CompanionTestEnvironment.h"
#include "interface/WindowPositionManager.h"
#include "platform/desktop/Workspace.h"
#include "testing/SimulatedStatusBarDesktop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

namespace velmo {
namespace {

struct PanelViewTest : testing::Test {
    VirtualMainLoopScope loopScope;
    UserDefaults::Scope defaultsScope;
    std::shared_ptr<CompanionManager> companion =
        CompanionManager::create({std::make_shared<test::FakeDictationManager>(), std::make_shared<test::FakeShortcutMonitor>(),
                                  std::make_shared<HeadlessOverlayWindowManager>()});
    VirtualMainLoop& loop() { return loopScope.loop(); }
};

TEST_F(PanelViewTest, AudioLevelsAndPermissionPollsRelayOutOnlyWhenTheStatusLineChanges) {
    velmo::test::writable(*companion).isOverlayVisible = true;
    CompanionPanelView view(companion);
    int displays = 0;
    view.setNeedsDisplayHandler([&] { ++displays; });
    loop().runUntilIdle();
    const int start = view.layoutCount();
    EXPECT_EQ(view.model().statusText, "Active");

    // 10 s: audio levels every 10 ms, the permission flags re-assigned every 1.5 s, and the
    // voice state listening from 2 s, processing from 5 s, idle again at 8 s.
    for (int ms = 10; ms <= 10000; ms += 10) {
        MainLoop::postToMainAfter(Seconds(ms / 1000.0), [this, ms] {
            velmo::test::writable(*companion).currentAudioPowerLevel = (ms % 70) / 70.0;
            if (ms % 1500 == 0) {
                velmo::test::writable(*companion).hasMicrophonePermission = bool(companion->hasMicrophonePermission());
                velmo::test::writable(*companion).hasAccessibilityPermission = bool(companion->hasAccessibilityPermission());
                velmo::test::writable(*companion).hasScreenRecordingPermission = bool(companion->hasScreenRecordingPermission());
                velmo::test::writable(*companion).hasScreenContentPermission = bool(companion->hasScreenContentPermission());
            }
            if (ms == 2000) velmo::test::writable(*companion).voiceState = CompanionVoiceState::listening;
            if (ms == 5000) velmo::test::writable(*companion).voiceState = CompanionVoiceState::processing;
            if (ms == 8000) velmo::test::writable(*companion).voiceState = CompanionVoiceState::idle;
        });
    }
    std::vector<std::string> seen;
    for (int step = 0; step < 1000; ++step) {
        loop().advance(0.01s);
        if (seen.empty() || seen.back() != view.model().statusText) seen.push_back(view.model().statusText);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Active", "Listening", "Processing", "Active"}));
    EXPECT_EQ(view.layoutCount() - start, 3);
    EXPECT_EQ(displays, 3);
}

TEST_F(PanelViewTest, FittingHeightAndHandRegionsFollowTheSituation) {
    CompanionPanelView view(companion);
    double welcome = view.fittingHeight();
    EXPECT_EQ(view.pointerCursorRegions({320, welcome}).size(), 5u);  // three Grants, Find App, Quit

    velmo::test::writable(*companion).hasMicrophonePermission = true;
    velmo::test::writable(*companion).hasAccessibilityPermission = true;
    velmo::test::writable(*companion).hasScreenRecordingPermission = true;
    velmo::test::writable(*companion).hasScreenContentPermission = true;
    loop().runUntilIdle();
    EXPECT_TRUE(view.model().showsStartButton);
    EXPECT_LT(view.fittingHeight(), welcome);
    EXPECT_EQ(view.pointerCursorRegions({320, view.fittingHeight()}).size(), 2u);  // Start, Quit

    // The picture holds the card with its shadows' room around it.
    const PanelMargins m = view.margins();
    PanelPixels pixels = view.render({320, view.fittingHeight()});
    EXPECT_EQ(pixels.width, int(m.left + 320 + m.right));
    EXPECT_EQ(pixels.height, int(m.top + std::round(view.fittingHeight()) + m.bottom));
    ASSERT_EQ(pixels.bytes.size(), std::size_t(pixels.stride) * std::size_t(pixels.height));
    const auto alpha = [&](int x, int y) { return pixels.bytes[std::size_t(y) * std::size_t(pixels.stride) + std::size_t(x) * 4 + 3]; };
    // The card is opaque in its middle; its shadow shows outside it and is gone at the picture's edge.
    EXPECT_EQ(alpha(int(m.left) + 160, pixels.height / 2), 255);
    EXPECT_GT(alpha(int(m.left) - 2, pixels.height / 2), 0);
    EXPECT_EQ(alpha(0, pixels.height / 2), 0);
    EXPECT_GT(alpha(int(m.left) + 160, pixels.height - int(m.bottom) + 4), 0);
    EXPECT_EQ(alpha(int(m.left) + 160, pixels.height - 1), 0);
}

}  // namespace
}  // namespace velmo

namespace velmo {
namespace {

struct PanelActionsTest : testing::Test {
    test::CompanionTestEnvironment env;
    std::shared_ptr<test::SimulatedWorkspace> workspace = std::make_shared<test::SimulatedWorkspace>();
    std::shared_ptr<CompanionManager> companion = env.makeCompanion();
    void SetUp() override { Workspace::install(workspace); }
    void TearDown() override { Workspace::install(nullptr); }

    void press(CompanionPanelView& view, const std::string& id) {
        for (const auto& [button, f] : buttonFrames(view.tree()))
            if (button == id) return view.click({f.x + f.width / 2, f.y + f.height / 2});
        ADD_FAILURE() << "no button " << id;
    }
    std::vector<std::string> opened() const {
        std::vector<std::string> out;
        for (const auto& [kind, what] : workspace->requests) out.push_back(kind + " " + what);
        return out;
    }
};

const std::string accessibilityPage = "openURL " + std::string(WindowPositionManager::accessibilitySettingsURL);
const std::string screenRecordingPage = "openURL " + std::string(WindowPositionManager::screenRecordingSettingsURL);
const std::string microphonePage = "openURL x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone";

// One test for both prompt flags: they are process-wide and never reset.
TEST_F(PanelActionsTest, GrantPromptsOnTheFirstPressAndOpensTheSettingsPageAfterwards) {
    CompanionPanelView view(companion);
    press(view, companion_panel_button::grantAccessibility);
    EXPECT_EQ(env.desktopPermissions->accessibilityRequests, 1);
    EXPECT_TRUE(opened().empty());
    press(view, companion_panel_button::grantAccessibility);
    EXPECT_EQ(env.desktopPermissions->accessibilityRequests, 1);
    EXPECT_EQ(opened(), (std::vector<std::string>{accessibilityPage}));

    workspace->requests.clear();
    press(view, companion_panel_button::grantScreenRecording);
    EXPECT_EQ(env.desktopPermissions->screenRecordingRequests, 1);
    EXPECT_TRUE(opened().empty());
    press(view, companion_panel_button::grantScreenRecording);
    EXPECT_EQ(env.desktopPermissions->screenRecordingRequests, 1);
    EXPECT_EQ(opened(), (std::vector<std::string>{screenRecordingPage}));

    // A preflight that succeeds only writes its confirmation.
    workspace->requests.clear();
    env.desktopPermissions->screenRecording = true;
    press(view, companion_panel_button::grantScreenRecording);
    EXPECT_TRUE(opened().empty());
    EXPECT_EQ(env.desktopPermissions->screenRecordingRequests, 1);
    EXPECT_TRUE(UserDefaults::standard().boolForKey("com.korvale.hasPreviouslyConfirmedScreenRecordingPermission"));

    // Trusted already: nothing at all.
    workspace->requests.clear();
    env.desktopPermissions->accessibility = true;
    press(view, companion_panel_button::grantAccessibility);
    EXPECT_TRUE(opened().empty());
    EXPECT_EQ(env.desktopPermissions->accessibilityRequests, 1);
}

TEST_F(PanelActionsTest, FindAppRevealsTheAppThenOpensTheAccessibilityPage) {
    CompanionPanelView view(companion);
    press(view, companion_panel_button::findApp);
    ASSERT_EQ(workspace->requests.size(), 2u);
    EXPECT_EQ(workspace->requests[0].first, "activateFileViewerSelecting");
    EXPECT_EQ(opened()[1], accessibilityPage);
}

TEST_F(PanelActionsTest, MicrophoneGrantRequestsAccessOnlyWhileUndecided) {
    CompanionPanelView view(companion);
    env.mediaAuthorization->microphoneStatus = MediaAuthorizationStatus::notDetermined;
    press(view, companion_panel_button::grantMicrophone);
    EXPECT_TRUE(env.mediaAuthorization->hasOpenMicrophonePrompt());
    EXPECT_TRUE(opened().empty());
    env.mediaAuthorization->answerMicrophonePrompt(false);
    env.mediaAuthorization->microphoneStatus = MediaAuthorizationStatus::denied;
    press(view, companion_panel_button::grantMicrophone);
    EXPECT_EQ(opened(), (std::vector<std::string>{microphonePage}));
}

TEST_F(PanelActionsTest, QuitAsksTheApplicationToEndOnALaterTurn) {
    std::vector<int> statuses;
    ApplicationTermination::setHandler([&](int status) { statuses.push_back(status); });
    CompanionPanelView view(companion);
    press(view, companion_panel_button::quit);
    EXPECT_TRUE(statuses.empty());  // not inside the click
    env.loop().runUntilIdle();
    EXPECT_EQ(statuses, (std::vector<int>{0}));
    EXPECT_TRUE(opened().empty());
    ApplicationTermination::setHandler(nullptr);
}

TEST_F(PanelActionsTest, ScreenContentGrantStartsOneRequestHoweverOftenItIsPressed) {
    velmo::test::writable(*companion).hasScreenRecordingPermission = true;
    env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}});
    CompanionPanelView view(companion);
    env.loop().runUntilIdle();
    press(view, companion_panel_button::grantScreenContent);
    EXPECT_TRUE(companion->isRequestingScreenContent());
    press(view, companion_panel_button::grantScreenContent);
    press(view, companion_panel_button::grantScreenContent);
    ASSERT_TRUE(env.loop().runUntil([&] { return !companion->isRequestingScreenContent(); }));
    EXPECT_EQ(env.log.linesStartingWith("🔑 Screen content capture result").size(), 1u);
}

TEST_F(PanelActionsTest, StartRunsOnboardingAndTheReplayButtonThatTakesItsPlaceReplaysIt) {
    env.grantEverything();
    env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}});
    companion->start();
    CompanionPanelView view(companion);
    env.loop().runUntilIdle();
    env.events.clear();
    ASSERT_TRUE(view.model().showsStartButton);
    press(view, companion_panel_button::start);
    env.loop().runUntilIdle();
    EXPECT_EQ(env.eventNames(), std::vector<std::string>{"onboarding_started"});
    EXPECT_TRUE(companion->isOverlayVisible());
    EXPECT_FALSE(view.model().showsStartButton);
    ASSERT_TRUE(view.model().showsReplayButton);
    press(view, companion_panel_button::replay);
    env.loop().runUntilIdle();
    EXPECT_EQ(env.eventNames(), (std::vector<std::string>{"onboarding_started", "onboarding_replayed"}));
    EXPECT_TRUE(env.overlay->lastShowWasFirstAppearance());
    companion->stop();
}

}  // namespace
}  // namespace velmo
