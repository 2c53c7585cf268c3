#include "companion/CompanionManager.h"

#include <stdexcept>
#include <tuple>

#include "platform/desktop/Permissions.h"
#include "platform/desktop/ScreenLayer.h"
#include "platform/base/Logger.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/runtime/MainThreadBound.h"
#include "platform/runtime/NotificationCenter.h"

namespace velmo {

namespace {
const char* boolText(bool b) { return b ? "true" : "false"; }

bool storedBool(const std::string& key) { return UserDefaults::standard().boolForKey(key); }
}  // namespace

std::shared_ptr<CompanionManager> CompanionManager::create(Dependencies dependencies) {
    if (!dependencies.dictationManager || !dependencies.shortcutMonitor || !dependencies.overlayWindowManager ||
        !dependencies.serviceClients)
        throw std::invalid_argument(
            "CompanionManager: a dictation manager, a shortcut monitor, an overlay window manager and the service clients' makers are "
            "needed");
    auto companion = makeMainBound<CompanionManager>(PrivateTag{}, std::move(dependencies));
    companion->wireParts();
    return companion;
}

CompanionManager::CompanionManager(PrivateTag, Dependencies dependencies)
    : objectWillChange(state_->objectWillChange),
      mirrinDictationManager_(std::move(dependencies.dictationManager)),
      globalPushToTalkShortcutMonitor_(std::move(dependencies.shortcutMonitor)),
      overlayWindowManager_(std::move(dependencies.overlayWindowManager)),
      events_(makeMainBound<CompanionUsageEvents>()),
      clients_(makeMainBound<CompanionServiceClients>(std::move(dependencies.serviceClients))) {}

void CompanionManager::wireParts() {
    std::weak_ptr<CompanionManager> weak = weak_from_this();
    pipeline_ = ResponsePipeline::create({state_, clients_, events_});
    onboarding_ = OnboardingFlow::create({state_, clients_, events_,
                                          [weak] {
                                              if (auto self = weak.lock()) self->showOverlayOnEveryScreen();
                                          },
                                          [overlay = overlayWindowManager_] { overlay->setHasShownOverlayBefore(false); }});
    pushToTalk_ =
        PushToTalkController::create({mirrinDictationManager_, events_, [state = state_] { return state->showOnboardingVideo.get(); },
                                      [weak] {
                                          if (auto self = weak.lock()) {
                                              self->pipeline_->interrupt();
                                              self->clearDetectedElementLocation();
                                              self->onboarding_->hideOnboardingPrompt();
                                          }
                                      },
                                      pipeline_->finalTranscriptHandler()});
}

// ---- the parts ----

std::shared_ptr<ClaudeAPI> CompanionManager::claudeAPI() {
    sequenceChecker_.check();
    return clients_->claudeAPI();
}

std::shared_ptr<ElevenLabsTTSClient> CompanionManager::elevenLabsTTSClient() {
    sequenceChecker_.check();
    return clients_->elevenLabsTTSClient();
}

const std::vector<ConversationExchange>& CompanionManager::conversationHistory() const {
    sequenceChecker_.check();
    return pipeline_->conversationHistory();
}

const Task<void>& CompanionManager::currentResponseTask() const {
    sequenceChecker_.check();
    return pipeline_->currentResponseTask();
}

MirrinDictationManaging& CompanionManager::dictationManager() {
    sequenceChecker_.check();
    return *mirrinDictationManager_;
}

PushToTalkShortcutMonitoring& CompanionManager::shortcutMonitor() {
    sequenceChecker_.check();
    return *globalPushToTalkShortcutMonitor_;
}

OverlayWindowManaging& CompanionManager::overlayWindowManager() {
    sequenceChecker_.check();
    return *overlayWindowManager_;
}

void CompanionManager::handleShortcutTransition(ShortcutTransition transition) {
    sequenceChecker_.check();
    pushToTalk_->handleShortcutTransition(transition);
}

void CompanionManager::submitTranscript(const std::string& transcript) {
    sequenceChecker_.check();
    pipeline_->submitTranscript(transcript);
}

// ---- start, stop, permissions ----

void CompanionManager::start() {
    sequenceChecker_.check();
    stopping_ = false;
    pipeline_->resume();
    refreshAllPermissions();
    logLine(std::string("🔑 Velmo start — accessibility: ") + boolText(state_->hasAccessibilityPermission) +
            ", screen: " + boolText(state_->hasScreenRecordingPermission) + ", mic: " + boolText(state_->hasMicrophonePermission) +
            ", screenContent: " + boolText(state_->hasScreenContentPermission) +
            ", onboarded: " + boolText(storedBool("hasCompletedOnboarding")));
    startPermissionPolling();

    std::weak_ptr<CompanionManager> weak = weak_from_this();
    voiceStateCancellable_ =
        combineLatest(mirrinDictationManager_->isRecordingFromKeyboardShortcutPublisher(),
                      mirrinDictationManager_->isFinalizingTranscriptPublisher(), mirrinDictationManager_->isPreparingToRecordPublisher())
            .receiveOnMain()
            .sink([weak](const std::tuple<bool, bool, bool>& flags) {
                if (auto self = weak.lock()) self->updateVoiceState(std::get<0>(flags), std::get<1>(flags), std::get<2>(flags));
            });
    audioPowerCancellable_ = mirrinDictationManager_->currentAudioPowerLevelPublisher().receiveOnMain().sink([weak](const double& level) {
        if (auto self = weak.lock()) self->state_->currentAudioPowerLevel = level;
    });
    shortcutTransitionCancellable_ =
        globalPushToTalkShortcutMonitor_->shortcutTransitions().receiveOnMain().sink([weak](const ShortcutTransition& t) {
            if (auto self = weak.lock()) self->handleShortcutTransition(t);
        });

    claudeAPI();  // made now so that its connection warm-up runs at launch

    if (storedBool("hasCompletedOnboarding") && allPermissionsGranted()) {
        overlayWindowManager_->setHasShownOverlayBefore(true);  // no welcome animation
        showOverlayOnEveryScreen();
    }
}

void CompanionManager::startPermissionPolling() {
    watchPermissionSources();
    std::weak_ptr<CompanionManager> weak = weak_from_this();
    accessibilityCheckTimer_ = Timer::scheduled(permissionPollInterval, true, [weak](Timer&) {
        if (auto self = weak.lock()) self->permissionPollDue();
    });
}

void CompanionManager::permissionPollDue() {
    std::weak_ptr<CompanionManager> weak = weak_from_this();
    startTask([weak]() -> Task<void> {
        if (auto self = weak.lock()) {
            self->refreshAllPermissions();
            self->restPermissionPollIfQuiet();
        }
        co_return;
    });
}

// Nothing the refresh reads can change unannounced: no poll is due until something changes.
void CompanionManager::restPermissionPollIfQuiet() {
    if (!accessibilityCheckTimer_ || !permissionSourcesAnnounceChanges()) return;
    accessibilityCheckTimer_->suspend();
}

// A change brings back the poll that is due next, so what changed is published when a poll
// that never rested would have published it.
void CompanionManager::permissionSourceChanged() {
    if (!accessibilityCheckTimer_ || stopping_) return;
    accessibilityCheckTimer_->resume();
}

void CompanionManager::watchPermissionSources() {
    // Ended before the sources they belong to may go.
    desktopPermissionChanges_.cancel();
    microphoneChanges_.cancel();
    defaultsChanges_.cancel();
    std::weak_ptr<CompanionManager> weak = weak_from_this();
    auto changed = [weak] {
        MainLoop::postToMain([weak] {
            if (auto self = weak.lock()) self->permissionSourceChanged();
        });
    };
    watchedDesktopPermissions_ = DesktopPermissions::current();
    desktopPermissionChanges_ = watchedDesktopPermissions_->observeChanges(changed);
    watchedMediaAuthorization_ = MediaAuthorization::current();
    microphoneChanges_ = watchedMediaAuthorization_->observeMicrophoneChanges(changed);
    watchedDefaults_ = &UserDefaults::standard();
    defaultsChanges_ = watchedDefaults_->observeChanges([changed](const std::string& key) {
        if (key == "hasScreenContentPermission") changed();
    });
}

bool CompanionManager::permissionSourcesAnnounceChanges() {
    if (DesktopPermissions::current() != watchedDesktopPermissions_ || MediaAuthorization::current() != watchedMediaAuthorization_ ||
        &UserDefaults::standard() != watchedDefaults_) {
        // Another source was installed: watched from now on, and polled until it is.
        watchPermissionSources();
        return false;
    }
    return watchedDesktopPermissions_->announcesChanges() && watchedMediaAuthorization_->announcesMicrophoneChanges();
}

void CompanionManager::stop() {
    sequenceChecker_.check();
    stopping_ = true;
    globalPushToTalkShortcutMonitor_->stop();
    mirrinDictationManager_->cancelDictation(true);
    overlayWindowManager_->hideOverlay();
    pipeline_->stop();
    shortcutTransitionCancellable_.cancel();
    voiceStateCancellable_.cancel();
    audioPowerCancellable_.cancel();
    if (accessibilityCheckTimer_) accessibilityCheckTimer_->invalidate();
    accessibilityCheckTimer_.reset();
    desktopPermissionChanges_.cancel();
    microphoneChanges_.cancel();
    defaultsChanges_.cancel();
    watchedDesktopPermissions_.reset();
    watchedMediaAuthorization_.reset();
    watchedDefaults_ = nullptr;
}

bool CompanionManager::allPermissionsGranted() const {
    sequenceChecker_.check();
    return state_->hasAccessibilityPermission && state_->hasScreenRecordingPermission && state_->hasMicrophonePermission &&
           state_->hasScreenContentPermission;
}

void CompanionManager::updateVoiceState(bool recording, bool finalizing, bool preparing) {
    if (state_->voiceState == CompanionVoiceState::responding) return;
    state_->voiceState = finalizing  ? CompanionVoiceState::processing
                         : recording ? CompanionVoiceState::listening
                         : preparing ? CompanionVoiceState::processing
                                     : CompanionVoiceState::idle;
}

void CompanionManager::refreshAllPermissions() {
    sequenceChecker_.check();
    const bool oldAccessibility = state_->hasAccessibilityPermission;
    const bool oldScreen = state_->hasScreenRecordingPermission;
    const bool oldMicrophone = state_->hasMicrophonePermission;
    const bool oldAll = allPermissionsGranted();

    auto desktop = DesktopPermissions::current();
    const bool accessibility = desktop->isAccessibilityTrusted();
    state_->hasAccessibilityPermission = accessibility;
    if (accessibility) {
        globalPushToTalkShortcutMonitor_->start();
    } else {
        globalPushToTalkShortcutMonitor_->stop();
    }

    const bool screen = desktop->preflightScreenCaptureAccess();
    if (screen) UserDefaults::standard().setBool("com.korvale.hasPreviouslyConfirmedScreenRecordingPermission", true);
    state_->hasScreenRecordingPermission = screen;

    const bool microphone = MediaAuthorization::current()->microphoneAuthorizationStatus() == MediaAuthorizationStatus::authorized;
    state_->hasMicrophonePermission = microphone;

    if (accessibility != oldAccessibility || screen != oldScreen || microphone != oldMicrophone)
        logLine(std::string("🔑 Permissions — accessibility: ") + boolText(accessibility) + ", screen: " + boolText(screen) +
                ", mic: " + boolText(microphone) + ", screenContent: " + boolText(state_->hasScreenContentPermission));

    if (!oldAccessibility && accessibility) events_->permissionGranted("accessibility");
    if (!oldScreen && screen) events_->permissionGranted("screen_recording");
    if (!oldMicrophone && microphone) events_->permissionGranted("microphone");

    if (!state_->hasScreenContentPermission) state_->hasScreenContentPermission = storedBool("hasScreenContentPermission");

    if (!oldAll && allPermissionsGranted()) events_->allPermissionsGranted();
}

Task<void> CompanionManager::requestScreenContentPermission() {
    sequenceChecker_.check();
    auto self = shared_from_this();
    auto layer = ScreenLayer::current();
    auto fail = [self](const std::exception_ptr& error) {
        logLine("⚠️ Screen content permission request failed: " + describeException(error));
        self->state_->isRequestingScreenContent = false;
    };

    auto content = co_await outcomeOf(layer->shareableContent(false, true));
    if (content.error) {
        fail(content.error);
        co_return;
    }
    if (content.value->displays.empty()) {
        state_->isRequestingScreenContent = false;
        co_return;
    }
    auto shot = co_await outcomeOf(layer->captureImage(ContentFilter{content.value->displays.front(), {}}, StreamConfiguration{320, 240}));
    if (shot.error) {
        fail(shot.error);
        co_return;
    }
    const Image& image = *shot.value;
    const bool didCapture = image.width >= 1 && image.height >= 1;
    logLine("🔑 Screen content capture result — width: " + std::to_string(image.width) + ", height: " + std::to_string(image.height) +
            ", didCapture: " + boolText(didCapture));
    completeScreenContentPermission(didCapture);
}

void CompanionManager::completeScreenContentPermission(bool didCapture) {
    state_->isRequestingScreenContent = false;
    if (!didCapture) return;  // the user can press Grant again
    state_->hasScreenContentPermission = true;
    UserDefaults::standard().setBool("hasScreenContentPermission", true);
    events_->permissionGranted("screen_content");
    if (storedBool("hasCompletedOnboarding") && allPermissionsGranted() && !state_->isOverlayVisible) {
        overlayWindowManager_->setHasShownOverlayBefore(true);
        showOverlayOnEveryScreen();
    }
}

void CompanionManager::showOverlayOnEveryScreen() {
    overlayWindowManager_->showOverlay(ScreenLayer::current()->screens(), *this);
    state_->isOverlayVisible = true;
}

void CompanionManager::clearDetectedElementLocation() {
    sequenceChecker_.check();
    state_->detectedElementScreenLocation = std::nullopt;
    state_->detectedElementDisplayFrame = std::nullopt;
    state_->detectedElementBubbleText = std::nullopt;
}

// ---- onboarding ----

void CompanionManager::triggerOnboarding() {
    sequenceChecker_.check();
    onboarding_->triggerOnboarding();
}

void CompanionManager::replayOnboarding() {
    sequenceChecker_.check();
    onboarding_->replayOnboarding();
}

void CompanionManager::startOnboardingMusic() {
    sequenceChecker_.check();
    onboarding_->startOnboardingMusic();
}

void CompanionManager::stopOnboardingMusic() {
    sequenceChecker_.check();
    onboarding_->stopOnboardingMusic();
}

void CompanionManager::fadeOutOnboardingMusic() {
    sequenceChecker_.check();
    onboarding_->fadeOutOnboardingMusic();
}

void CompanionManager::startOnboardingVideo() {
    sequenceChecker_.check();
    onboarding_->startOnboardingVideo();
}

void CompanionManager::stopOnboardingVideo() {
    sequenceChecker_.check();
    onboarding_->stopOnboardingVideo();
}

void CompanionManager::onboardingVideoDidFinish() {
    sequenceChecker_.check();
    onboarding_->onboardingVideoDidFinish();
}

void CompanionManager::finishOnboardingVideo() {
    sequenceChecker_.check();
    onboarding_->finishOnboardingVideo();
}

void CompanionManager::presentOnboardingPrompt() {
    sequenceChecker_.check();
    onboarding_->presentOnboardingPrompt();
}

void CompanionManager::hideOnboardingPrompt() {
    sequenceChecker_.check();
    onboarding_->hideOnboardingPrompt();
}

void CompanionManager::startOnboardingDemo() {
    sequenceChecker_.check();
    onboarding_->startOnboardingDemo();
}

void CompanionManager::handleOnboardingDemoResponse(const std::string& reply, const CompanionScreenCapture& cursorCapture) {
    sequenceChecker_.check();
    onboarding_->handleOnboardingDemoResponse(reply, cursorCapture);
}

const std::shared_ptr<AudioPlayer>& CompanionManager::onboardingMusicPlayer() const {
    sequenceChecker_.check();
    return onboarding_->onboardingMusicPlayer();
}

const std::shared_ptr<Timer>& CompanionManager::onboardingMusicFadeTimer() const {
    sequenceChecker_.check();
    return onboarding_->onboardingMusicFadeTimer();
}

const std::shared_ptr<Timer>& CompanionManager::onboardingPromptTypingTimer() const {
    sequenceChecker_.check();
    return onboarding_->onboardingPromptTypingTimer();
}

bool CompanionManager::hasOnboardingVideoObservers() const {
    sequenceChecker_.check();
    return onboarding_->hasOnboardingVideoObservers();
}

}  // namespace velmo
