#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "companion/ClaudeAPI.h"
#include "companion/CompanionScreenCapture.h"
#include "companion/ElevenLabsTTSClient.h"
#include "companion/OverlayWindowManaging.h"
#include "companion/ParsedPointTag.h"
#include "platform/desktop/Geometry.h"
#include "platform/runtime/Published.h"
#include "platform/runtime/Task.h"
#include "platform/runtime/Timer.h"
#include "voice/MirrinDictationManaging.h"
#include "voice/PushToTalkShortcutMonitoring.h"

namespace velmo {

enum class CompanionVoiceState : std::uint8_t { idle, listening, processing, responding };
const char* caseName(CompanionVoiceState state);

// One remembered exchange of the conversation.
struct ConversationExchange {
    std::string userTranscript;
    std::string assistantResponse;
};

// Posted on every accepted press of the chord; the menu-bar panel hides itself when it arrives.
inline constexpr const char* velmoDismissPanel = "velmoDismissPanel";

// The one central object of the application: the voice state, the permissions, the
// conversation and the push-to-talk pipeline from a final transcript to a spoken answer and a
// pointed spot. Bound to the main thread; made with `create` and destroyed there.
class CompanionManager : public std::enable_shared_from_this<CompanionManager> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    // The three objects the companion owns, all required: the application entry chooses them.
    struct Dependencies {
        std::shared_ptr<MirrinDictationManaging> dictationManager;
        std::shared_ptr<PushToTalkShortcutMonitoring> shortcutMonitor;
        std::shared_ptr<OverlayWindowManaging> overlayWindowManager;
    };

    static constexpr const char* claudeModel = "claude-sonnet-4-6";
    static constexpr double permissionPollInterval = 1.5;
    static constexpr std::size_t maximumConversationExchanges = 10;

    // Throws std::invalid_argument when a dependency is missing.
    static std::shared_ptr<CompanionManager> create(Dependencies dependencies);
    CompanionManager(PrivateTag, Dependencies dependencies);
    CompanionManager(const CompanionManager&) = delete;
    CompanionManager& operator=(const CompanionManager&) = delete;

    // Announced before any published property below takes a new value.
    ObjectWillChange objectWillChange;
    Published<CompanionVoiceState> voiceState{CompanionVoiceState::idle, &objectWillChange};
    Published<std::optional<std::string>> lastTranscript{std::nullopt, &objectWillChange};
    Published<double> currentAudioPowerLevel{0.0, &objectWillChange};
    Published<bool> hasAccessibilityPermission{false, &objectWillChange};
    Published<bool> hasScreenRecordingPermission{false, &objectWillChange};
    Published<bool> hasMicrophonePermission{false, &objectWillChange};
    Published<bool> hasScreenContentPermission{false, &objectWillChange};
    Published<std::optional<Point>> detectedElementScreenLocation{std::nullopt, &objectWillChange};
    Published<std::optional<Rect>> detectedElementDisplayFrame{std::nullopt, &objectWillChange};
    Published<std::optional<std::string>> detectedElementBubbleText{std::nullopt, &objectWillChange};
    Published<bool> showOnboardingVideo{false, &objectWillChange};
    Published<double> onboardingVideoOpacity{0.0, &objectWillChange};
    Published<std::string> onboardingPromptText{std::string(), &objectWillChange};
    Published<double> onboardingPromptOpacity{0.0, &objectWillChange};
    Published<bool> showOnboardingPrompt{false, &objectWillChange};
    Published<bool> isOverlayVisible{false, &objectWillChange};
    Published<bool> isRequestingScreenContent{false, &objectWillChange};

    void start();
    void stop();
    void refreshAllPermissions();
    bool allPermissionsGranted() const;
    // Proves screen-content capture works with one small screenshot of the first display.
    Task<void> requestScreenContentPermission();
    void clearDetectedElementLocation();
    // The onboarding video as the cursor view starts it after its welcome and stops it when it
    // goes. No media plays yet: they publish whether the video shows and at what opacity.
    void startOnboardingVideo();
    void stopOnboardingVideo();

    void handleShortcutTransition(ShortcutTransition transition);
    void submitTranscript(const std::string& transcript);
    static ParsedPointTag parsePointTag(const std::string& reply) { return velmo::parsePointTag(reply); }

    // Made on first use, then kept.
    std::shared_ptr<ClaudeAPI> claudeAPI();
    std::shared_ptr<ElevenLabsTTSClient> elevenLabsTTSClient();

    const std::vector<ConversationExchange>& conversationHistory() const { return conversationHistory_; }
    MirrinDictationManaging& dictationManager() { return *mirrinDictationManager_; }
    PushToTalkShortcutMonitoring& shortcutMonitor() { return *globalPushToTalkShortcutMonitor_; }
    OverlayWindowManaging& overlayWindowManager() { return *overlayWindowManager_; }
    const Task<void>& currentResponseTask() const { return currentResponseTask_; }

private:
    void updateVoiceState(bool recording, bool finalizing, bool preparing);
    void startPermissionPolling();
    void completeScreenContentPermission(bool didCapture);
    void showOverlayOnEveryScreen();
    void stopSpeech();
    static void handleFinalTranscript(const std::weak_ptr<CompanionManager>& weakSelf, const std::string& transcript);
    static Task<void> runResponse(std::shared_ptr<CompanionManager> self, std::string transcript);

    std::shared_ptr<MirrinDictationManaging> mirrinDictationManager_;
    std::shared_ptr<PushToTalkShortcutMonitoring> globalPushToTalkShortcutMonitor_;
    std::shared_ptr<OverlayWindowManaging> overlayWindowManager_;
    std::shared_ptr<ClaudeAPI> claudeAPI_;
    std::shared_ptr<ElevenLabsTTSClient> elevenLabsTTSClient_;
    std::vector<ConversationExchange> conversationHistory_;
    Task<void> currentResponseTask_;
    Cancellable shortcutTransitionCancellable_;
    Cancellable voiceStateCancellable_;
    Cancellable audioPowerCancellable_;
    std::shared_ptr<Timer> accessibilityCheckTimer_;
    Task<void> pendingKeyboardShortcutStartTask_;
    bool stopping_ = false;  // a reply cancelled by stop is not a failure
};

}  // namespace velmo
