#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "companion/ClaudeAPI.h"
#include "companion/CompanionPublishedState.h"
#include "companion/CompanionScreenCapture.h"
#include "companion/CompanionServiceClients.h"
#include "companion/CompanionUsageEvents.h"
#include "companion/ElevenLabsTTSClient.h"
#include "companion/OnboardingFlow.h"
#include "companion/OverlayWindowManaging.h"
#include "companion/ParsedPointTag.h"
#include "companion/PushToTalkController.h"
#include "companion/ResponsePipeline.h"
#include "platform/media/AudioPlayer.h"
#include "platform/media/VideoPlayer.h"
#include "platform/desktop/Geometry.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/Published.h"
#include "platform/runtime/SequenceChecker.h"
#include "platform/runtime/Task.h"
#include "platform/runtime/Timer.h"
#include "voice/MirrinDictationManaging.h"
#include "voice/MirrinTranscriptionProvider.h"
#include "voice/PushToTalkShortcutMonitoring.h"
#include "platform/runtime/Duration.h"

namespace velmo {

class DesktopPermissions;
class MediaAuthorization;
class UserDefaults;

namespace test {
class CompanionManagerAccess;
}

// The one central object of the application. It keeps the voice state and the permissions
// itself and owns the parts that do the rest: the push-to-talk chord, the pipeline from a final
// transcript to a spoken answer and a pointed spot, the onboarding and the usage events; it
// wires them together and publishes, for the interface, everything they change. Bound to the
// main thread (its public methods check it in debug builds); made with `create` and destroyed
// there.
class CompanionManager : public std::enable_shared_from_this<CompanionManager> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };
    // First, so that it is there for the public references to it.
    std::shared_ptr<CompanionPublishedState> state_ = std::make_shared<CompanionPublishedState>();

public:
    // What the companion is made of, all required: the application entry chooses them. The
    // hosted-service clients are made by `serviceClients` when they are first needed.
    struct Dependencies {
        std::shared_ptr<MirrinDictationManaging> dictationManager;
        std::shared_ptr<PushToTalkShortcutMonitoring> shortcutMonitor;
        std::shared_ptr<OverlayWindowManaging> overlayWindowManager;
        CompanionServiceClientFactory serviceClients = {};
    };

    static constexpr const char* claudeModel = CompanionServiceClientFactory::claudeModel;
    static constexpr Seconds permissionPollInterval{1.5};
    static constexpr std::size_t maximumConversationExchanges = ResponsePipeline::maximumConversationExchanges;

    // Throws std::invalid_argument when a dependency is missing.
    static std::shared_ptr<CompanionManager> create(Dependencies dependencies);
    CompanionManager(PrivateTag, Dependencies dependencies);
    CompanionManager(const CompanionManager&) = delete;
    CompanionManager& operator=(const CompanionManager&) = delete;

    // Announced before any published property below takes a new value.
    ObjectWillChange& objectWillChange;
    // The published state, read-only from outside: the companion alone keeps its rules.
    const Published<CompanionVoiceState>& voiceState() const { return state_->voiceState; }
    const Published<std::optional<std::string>>& lastTranscript() const { return state_->lastTranscript; }
    const Published<double>& currentAudioPowerLevel() const { return state_->currentAudioPowerLevel; }
    const Published<bool>& hasAccessibilityPermission() const { return state_->hasAccessibilityPermission; }
    const Published<bool>& hasScreenRecordingPermission() const { return state_->hasScreenRecordingPermission; }
    const Published<bool>& hasMicrophonePermission() const { return state_->hasMicrophonePermission; }
    const Published<bool>& hasScreenContentPermission() const { return state_->hasScreenContentPermission; }
    const Published<std::optional<Point>>& detectedElementScreenLocation() const { return state_->detectedElementScreenLocation; }
    const Published<std::optional<Rect>>& detectedElementDisplayFrame() const { return state_->detectedElementDisplayFrame; }
    const Published<std::optional<std::string>>& detectedElementBubbleText() const { return state_->detectedElementBubbleText; }
    const Published<std::shared_ptr<VideoPlayer>>& onboardingVideoPlayer() const { return state_->onboardingVideoPlayer; }
    const Published<bool>& showOnboardingVideo() const { return state_->showOnboardingVideo; }
    const Published<double>& onboardingVideoOpacity() const { return state_->onboardingVideoOpacity; }
    const Published<std::string>& onboardingPromptText() const { return state_->onboardingPromptText; }
    const Published<double>& onboardingPromptOpacity() const { return state_->onboardingPromptOpacity; }
    const Published<bool>& showOnboardingPrompt() const { return state_->showOnboardingPrompt; }
    const Published<bool>& isOverlayVisible() const { return state_->isOverlayVisible; }
    const Published<bool>& isRequestingScreenContent() const { return state_->isRequestingScreenContent; }
    // The panel marks a screen-content request it starts, so a second press waits for it.
    void setRequestingScreenContent(bool requesting) {
        sequenceChecker_.check();
        state_->isRequestingScreenContent = requesting;
    }

    void start();
    void stop();
    void refreshAllPermissions();
    bool allPermissionsGranted() const;
    // Proves screen-content capture works with one small screenshot of the first display.
    Task<void> requestScreenContentPermission();
    void clearDetectedElementLocation();

    // ---- onboarding: music, video, the pointing demonstration and the typed prompt ----
    static constexpr float onboardingMusicVolume = OnboardingFlow::onboardingMusicVolume;
    static constexpr Seconds onboardingMusicFadeDelay = OnboardingFlow::onboardingMusicFadeDelay;
    static constexpr const char* onboardingVideoPath = OnboardingFlow::onboardingVideoPath;
    static constexpr double onboardingDemoTime = OnboardingFlow::onboardingDemoTime;
    static constexpr const char* onboardingPromptMessage = OnboardingFlow::onboardingPromptMessage;
    static constexpr const char* onboardingDemoSystemPrompt = OnboardingFlow::onboardingDemoSystemPrompt;

    // The panel's Start and "Watch Onboarding Again" actions.
    void triggerOnboarding();
    void replayOnboarding();
    void startOnboardingMusic();
    void stopOnboardingMusic();
    void fadeOutOnboardingMusic();
    // Called by the cursor view once its welcome has played, and when it goes away.
    void startOnboardingVideo();
    void stopOnboardingVideo();
    void onboardingVideoDidFinish();
    void finishOnboardingVideo();
    void presentOnboardingPrompt();
    void hideOnboardingPrompt();
    static void fadeVolume(std::shared_ptr<VideoPlayer> player, float target, Seconds duration) {
        OnboardingFlow::fadeVolume(std::move(player), target, duration);
    }
    void startOnboardingDemo();
    // The reply to the demonstration's request, pointed on the display it was captured from.
    void handleOnboardingDemoResponse(const std::string& reply, const CompanionScreenCapture& cursorCapture);

    static std::optional<std::string> onboardingVideoURL() { return OnboardingFlow::onboardingVideoURL(); }
    using VideoOriginScope = OnboardingFlow::VideoOriginScope;

    const std::shared_ptr<AudioPlayer>& onboardingMusicPlayer() const;
    const std::shared_ptr<Timer>& onboardingMusicFadeTimer() const;
    const std::shared_ptr<Timer>& onboardingPromptTypingTimer() const;
    bool hasOnboardingVideoObservers() const;

    void handleShortcutTransition(ShortcutTransition transition);
    void submitTranscript(const std::string& transcript);
    static ParsedPointTag parsePointTag(const std::string& reply) { return velmo::parsePointTag(reply); }

    // Made by the service-client factory on first use, then kept.
    std::shared_ptr<ClaudeAPI> claudeAPI();
    std::shared_ptr<ElevenLabsTTSClient> elevenLabsTTSClient();

    const std::vector<ConversationExchange>& conversationHistory() const;
    MirrinDictationManaging& dictationManager();
    PushToTalkShortcutMonitoring& shortcutMonitor();
    OverlayWindowManaging& overlayWindowManager();
    const Task<void>& currentResponseTask() const;

private:
    friend class test::CompanionManagerAccess;

    // Makes the parts, whose callbacks hold the companion weakly.
    void wireParts();

    [[no_unique_address]] SequenceChecker sequenceChecker_;

    void updateVoiceState(bool recording, bool finalizing, bool preparing);
    // The permission poll is due every permissionPollInterval from its start. It rests while
    // every source it reads announces its changes, and a change brings back the next poll due.
    void startPermissionPolling();
    void permissionPollDue();
    void restPermissionPollIfQuiet();
    void permissionSourceChanged();
    void watchPermissionSources();
    bool permissionSourcesAnnounceChanges();
    void completeScreenContentPermission(bool didCapture);
    void showOverlayOnEveryScreen();

    std::shared_ptr<MirrinDictationManaging> mirrinDictationManager_;
    std::shared_ptr<PushToTalkShortcutMonitoring> globalPushToTalkShortcutMonitor_;
    std::shared_ptr<OverlayWindowManaging> overlayWindowManager_;
    std::shared_ptr<CompanionUsageEvents> events_;
    std::shared_ptr<CompanionServiceClients> clients_;
    std::shared_ptr<ResponsePipeline> pipeline_;
    std::shared_ptr<OnboardingFlow> onboarding_;
    std::shared_ptr<PushToTalkController> pushToTalk_;
    Cancellable shortcutTransitionCancellable_;
    Cancellable voiceStateCancellable_;
    Cancellable audioPowerCancellable_;
    std::shared_ptr<Timer> accessibilityCheckTimer_;  // repeating; suspended while the poll rests
    std::shared_ptr<DesktopPermissions> watchedDesktopPermissions_;
    std::shared_ptr<MediaAuthorization> watchedMediaAuthorization_;
    UserDefaults* watchedDefaults_ = nullptr;  // compared only
    Cancellable desktopPermissionChanges_;
    Cancellable microphoneChanges_;
    Cancellable defaultsChanges_;
    bool stopping_ = false;  // no poll comes back once stop has begun
};

}  // namespace velmo
