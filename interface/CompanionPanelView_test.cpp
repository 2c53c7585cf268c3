#include "interface/CompanionPanelView.h"

#include <gtest/gtest.h>

#include "companion/CompanionTestDoubles.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/runtime/VirtualMainLoop.h"

namespace velmo {
namespace {

struct PanelViewTest : ::testing::Test {
    VirtualMainLoopScope loopScope;
    UserDefaults::Scope defaultsScope;
    std::shared_ptr<CompanionManager> companion =
        CompanionManager::create({std::make_shared<testing::FakeDictationManager>(),
                                  std::make_shared<testing::FakeShortcutMonitor>(),
                                  std::make_shared<HeadlessOverlayWindowManager>()});
    VirtualMainLoop& loop() { return loopScope.loop(); }
};

TEST_F(PanelViewTest, AudioLevelsAndPermissionPollsRelayOutOnlyWhenTheStatusLineChanges) {
    companion->isOverlayVisible = true;
    CompanionPanelView view(companion);
    int displays = 0;
    view.setNeedsDisplayHandler([&] { ++displays; });
    loop().runUntilIdle();
    const int start = view.layoutCount();
    EXPECT_EQ(view.model().statusText, "Active");

    // 10 s: audio levels every 10 ms, the permission flags re-assigned every 1.5 s, and the
    // voice state listening from 2 s, processing from 5 s, idle again at 8 s.
    for (int ms = 10; ms <= 10000; ms += 10) {
        MainLoop::postToMainAfter(ms / 1000.0, [this, ms] {
            companion->currentAudioPowerLevel = (ms % 70) / 70.0;
            if (ms % 1500 == 0) {
                companion->hasMicrophonePermission = bool(companion->hasMicrophonePermission);
                companion->hasAccessibilityPermission = bool(companion->hasAccessibilityPermission);
                companion->hasScreenRecordingPermission = bool(companion->hasScreenRecordingPermission);
                companion->hasScreenContentPermission = bool(companion->hasScreenContentPermission);
            }
            if (ms == 2000) companion->voiceState = CompanionVoiceState::listening;
            if (ms == 5000) companion->voiceState = CompanionVoiceState::processing;
            if (ms == 8000) companion->voiceState = CompanionVoiceState::idle;
        });
    }
    std::vector<std::string> seen;
    for (int step = 0; step < 1000; ++step) {
        loop().advance(0.01);
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

    companion->hasMicrophonePermission = true;
    companion->hasAccessibilityPermission = true;
    companion->hasScreenRecordingPermission = true;
    companion->hasScreenContentPermission = true;
    loop().runUntilIdle();
    EXPECT_TRUE(view.model().showsStartButton);
    EXPECT_LT(view.fittingHeight(), welcome);
    EXPECT_EQ(view.pointerCursorRegions({320, view.fittingHeight()}).size(), 2u);  // Start, Quit

    PanelPixels pixels = view.render({320, view.fittingHeight()});
    EXPECT_EQ(pixels.width, 320);
    ASSERT_EQ(pixels.bytes.size(), std::size_t(pixels.stride) * std::size_t(pixels.height));
    // The card is opaque in its middle.
    std::size_t mid = std::size_t(pixels.height / 2) * std::size_t(pixels.stride) + 160 * 4;
    EXPECT_EQ(pixels.bytes[mid + 3], 255);
}

}  // namespace
}  // namespace velmo
