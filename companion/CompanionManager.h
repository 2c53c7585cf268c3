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
// pointed spot. Bound to the main thread (its public methods check it in debug builds); made
// with `create` and destroyed there.
class CompanionManager : public std::enable_shared_from_this<CompanionManager> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    // The three objects the companion owns, all required: the application entry chooses them.
    // The services' keys come from `configuration` (the values read at start-up); empty: the
    // bundle's, looked up when a client is first made.
    struct Dependencies {
        std::shared_ptr<MirrinDictationManaging> dictationManager;
        std::shared_ptr<PushToTalkShortcutMonitoring> shortcutMonitor;
        std::shared_ptr<OverlayWindowManaging> overlayWindowManager;
        MirrinConfigurationLookup configuration = {};
    };

    static constexpr const char* claudeModel = "claude-sonnet-4-6";
    static constexpr Seconds permissionPollInterval{1.5};
    static constexpr std::size_t maximumConversationExchanges = 10;

    // Throws std::invalid_argument when a dependency is missing.
    static std::shared_ptr<CompanionManager> create(Dependencies dependencies);
    CompanionManager(PrivateTag, Dependencies dependencies);
    CompanionManager(const CompanionManager&) = delete;
    CompanionManager& operator=(const CompanionManager&) = delete;

    // Announced before any published property below takes a new value.
    ObjectWillChange objectWillChange;
    // The published state, read-only from outside: the companion alone keeps its rules.
    const Published<CompanionVoiceState>& voiceState() const { return voiceState_; }
    const Published<std::optional<std::string>>& lastTranscript() const { return lastTranscript_; }
    const Published<double>& currentAudioPowerLevel() const { return currentAudioPowerLevel_; }
    const Published<bool>& hasAccessibilityPermission() const { return hasAccessibilityPermission_; }
    const Published<bool>& hasScreenRecordingPermission() const { return hasScreenRecordingPermission_; }
    const Published<bool>& hasMicrophonePermission() const { return hasMicrophonePermission_; }
    const Published<bool>& hasScreenContentPermission() const { return hasScreenContentPermission_; }
    const Published<std::optional<Point>>& detectedElementScreenLocation() const { return detectedElementScreenLocation_; }
    const Published<std::optional<Rect>>& detectedElementDisplayFrame() const { return detectedElementDisplayFrame_; }
    const Published<std::optional<std::string>>& detectedElementBubbleText() const { return detectedElementBubbleText_; }
    const Published<std::shared_ptr<VideoPlayer>>& onboardingVideoPlayer() const { return onboardingVideoPlayer_; }
    const Published<bool>& showOnboardingVideo() const { return showOnboardingVideo_; }
    const Published<double>& onboardingVideoOpacity() const { return onboardingVideoOpacity_; }
    const Published<std::string>& onboardingPromptText() const { return onboardingPromptText_; }
    const Published<double>& onboardingPromptOpacity() const { return onboardingPromptOpacity_; }
    const Published<bool>& showOnboardingPrompt() const { return showOnboardingPrompt_; }
    const Published<bool>& isOverlayVisible() const { return isOverlayVisible_; }
    const Published<bool>& isRequestingScreenContent() const { return isRequestingScreenContent_; }
    // The panel marks a screen-content request it starts, so a second press waits for it.
    void setRequestingScreenContent(bool requesting) {
        sequenceChecker_.check();
        isRequestingScreenContent_ = requesting;
    }

    void start();
    void stop();
    void refreshAllPermissions();
    bool allPermissionsGranted() const;
    // Proves screen-content capture works with one small screenshot of the first display.
    Task<void> requestScreenContentPermission();
    void clearDetectedElementLocation();

    // ---- onboarding: music, video, the pointing demonstration and the typed prompt ----
    static constexpr float onboardingMusicVolume = 0.3f;
    static constexpr Seconds onboardingMusicFadeDelay{90};
    static constexpr const char* onboardingVideoPath = "/e5jB8UuSrtFABVnTHCR7k3sIsmcUHCyhtLu1tzqLlfs.m3u8";
    static constexpr double onboardingDemoTime = 40.0;
    static constexpr const char* onboardingPromptMessage = "press control + option and introduce yourself";
    static const char* const onboardingDemoSystemPrompt;

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
    // Moves the player's volume to `target` in 20 equal steps over `duration`, the last
    // one landing exactly on `target`.
    static void fadeVolume(std::shared_ptr<VideoPlayer> player, float target, Seconds duration);
    void startOnboardingDemo();
    // The reply to the demonstration's request, pointed on the display it was captured from.
    void handleOnboardingDemoResponse(const std::string& reply, const CompanionScreenCapture& cursorCapture);

    // The playlist's address: the configured origin and the path, or the rendition in the
    // bundle when no origin is configured; none when it cannot be formed.
    static std::optional<std::string> onboardingVideoURL();
    // Replaces the configured origin while it lives (tests); an empty one means the bundle.
    class VideoOriginScope {
    public:
        explicit VideoOriginScope(std::string origin);
        ~VideoOriginScope();
        VideoOriginScope(const VideoOriginScope&) = delete;
        VideoOriginScope& operator=(const VideoOriginScope&) = delete;

    private:
        std::optional<std::string> previous_;
    };

    const std::shared_ptr<AudioPlayer>& onboardingMusicPlayer() const { return onboardingMusicPlayer_; }
    const std::shared_ptr<Timer>& onboardingMusicFadeTimer() const { return onboardingMusicFadeTimer_; }
    const std::shared_ptr<Timer>& onboardingPromptTypingTimer() const { return onboardingPromptTypingTimer_; }
    bool hasOnboardingVideoObservers() const { return onboardingDemoTimeObserver_.has_value() || bool(onboardingVideoEndObserver_); }

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
    friend class test::CompanionManagerAccess;

    [[no_unique_address]] SequenceChecker sequenceChecker_;

    Published<CompanionVoiceState> voiceState_{CompanionVoiceState::idle, &objectWillChange};
    Published<std::optional<std::string>> lastTranscript_{std::nullopt, &objectWillChange};
    Published<double> currentAudioPowerLevel_{0.0, &objectWillChange};
    Published<bool> hasAccessibilityPermission_{false, &objectWillChange};
    Published<bool> hasScreenRecordingPermission_{false, &objectWillChange};
    Published<bool> hasMicrophonePermission_{false, &objectWillChange};
    Published<bool> hasScreenContentPermission_{false, &objectWillChange};
    Published<std::optional<Point>> detectedElementScreenLocation_{std::nullopt, &objectWillChange};
    Published<std::optional<Rect>> detectedElementDisplayFrame_{std::nullopt, &objectWillChange};
    Published<std::optional<std::string>> detectedElementBubbleText_{std::nullopt, &objectWillChange};
    Published<std::shared_ptr<VideoPlayer>> onboardingVideoPlayer_{nullptr, &objectWillChange};
    Published<bool> showOnboardingVideo_{false, &objectWillChange};
    Published<double> onboardingVideoOpacity_{0.0, &objectWillChange};
    Published<std::string> onboardingPromptText_{std::string(), &objectWillChange};
    Published<double> onboardingPromptOpacity_{0.0, &objectWillChange};
    Published<bool> showOnboardingPrompt_{false, &objectWillChange};
    Published<bool> isOverlayVisible_{false, &objectWillChange};
    Published<bool> isRequestingScreenContent_{false, &objectWillChange};

    void updateVoiceState(bool recording, bool finalizing, bool preparing);
    // The permission poll is due every permissionPollInterval from its start. It rests while
    // every source it reads announces its changes, and a change brings back the next poll due.
    void startPermissionPolling();
    void permissionPollDue();
    void restPermissionPollIfQuiet();
    void permissionSourceChanged();
    void watchPermissionSources();
    bool permissionSourcesAnnounceChanges();
    // A display's capture as the messages service receives it: the image, labelled with its
    // pixel size, which is the space the pointing tag's coordinates are in.
    static ClaudeAPI::Image imageOf(const CompanionScreenCapture& capture);
    static const CompanionScreenCapture* cursorCaptureIn(const std::vector<CompanionScreenCapture>& captures);
    // A tag's pixel of the capture's screenshot, in global points on the display it shows.
    static Point screenPointOf(PixelPoint pixel, const CompanionScreenCapture& capture);
    void completeScreenContentPermission(bool didCapture);
    void showOverlayOnEveryScreen();
    void stopSpeech();
    static void handleFinalTranscript(const std::weak_ptr<CompanionManager>& weakSelf, const std::string& transcript);
    static Task<void> runResponse(std::shared_ptr<CompanionManager> self, std::string transcript);

    std::shared_ptr<MirrinDictationManaging> mirrinDictationManager_;
    std::shared_ptr<PushToTalkShortcutMonitoring> globalPushToTalkShortcutMonitor_;
    std::shared_ptr<OverlayWindowManaging> overlayWindowManager_;
    MirrinConfigurationLookup configuration_;
    std::shared_ptr<ClaudeAPI> claudeAPI_;
    std::shared_ptr<ElevenLabsTTSClient> elevenLabsTTSClient_;
    std::vector<ConversationExchange> conversationHistory_;
    Task<void> currentResponseTask_;
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
    Task<void> pendingKeyboardShortcutStartTask_;
    bool stopping_ = false;  // a reply cancelled by stop is not a failure

    static Task<void> runOnboardingDemo(std::shared_ptr<CompanionManager> self);
    void typeOnboardingPromptTick();
    void invalidateOnboardingPromptTyping();
    void endOnboardingVideoAfterFailure(const std::string& message);
    std::shared_ptr<AudioPlayer> onboardingMusicPlayer_;
    std::shared_ptr<Timer> onboardingMusicFadeTimer_;
    std::optional<VideoPlayer::ObserverToken> onboardingDemoTimeObserver_;
    NotificationCenter::Token onboardingVideoEndObserver_;
    NotificationCenter::Token onboardingVideoFailureObserver_;
    std::shared_ptr<Timer> onboardingPromptTypingTimer_;
    std::size_t onboardingPromptCharacterIndex_ = 0;
    std::vector<std::string> onboardingPromptCharacters_;
};

}  // namespace velmo
