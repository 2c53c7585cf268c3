#include "companion/CompanionManager.h"

#include <stdexcept>
#include <tuple>

#include "RideZav/RideZavSDK.h"
#include "companion/CompanionAnalytics.h"
#include "companion/CompanionSystemPrompt.h"
#include "platform/desktop/Permissions.h"
#include "platform/desktop/ScreenLayer.h"
#include "platform/foundation/InfoPlistString.h"
#include "platform/base/Logger.h"
#include "platform/foundation/Unicode.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/runtime/MainThreadBound.h"
#include "platform/runtime/NotificationCenter.h"

namespace velmo {

namespace {
const char* boolText(bool b) { return b ? "true" : "false"; }

void capture(const std::string& event) { ridezav::RideZavSDK::shared().capture(event); }
void capture(const std::string& event, const ridezav::RideZavProperties& properties) {
    ridezav::RideZavSDK::shared().capture(event, properties);
}

bool storedBool(const std::string& key) { return UserDefaults::standard().boolForKey(key); }
}  // namespace

const char* caseName(CompanionVoiceState state) {
    switch (state) {
        case CompanionVoiceState::idle:
            return "idle";
        case CompanionVoiceState::listening:
            return "listening";
        case CompanionVoiceState::processing:
            return "processing";
        case CompanionVoiceState::responding:
            return "responding";
    }
    return "idle";
}

std::shared_ptr<CompanionManager> CompanionManager::create(Dependencies dependencies) {
    if (!dependencies.dictationManager || !dependencies.shortcutMonitor || !dependencies.overlayWindowManager)
        throw std::invalid_argument("CompanionManager: a dictation manager, a shortcut monitor and an overlay window manager are needed");
    return makeMainBound<CompanionManager>(PrivateTag{}, std::move(dependencies));
}

CompanionManager::CompanionManager(PrivateTag, Dependencies dependencies)
    : mirrinDictationManager_(std::move(dependencies.dictationManager)),
      globalPushToTalkShortcutMonitor_(std::move(dependencies.shortcutMonitor)),
      overlayWindowManager_(std::move(dependencies.overlayWindowManager)),
      configuration_(dependencies.configuration ? std::move(dependencies.configuration)
                                                : [](const std::string& key) { return infoPlistString(key); }) {}

// ---- lazy clients ----

std::shared_ptr<ClaudeAPI> CompanionManager::claudeAPI() {
    sequenceChecker_.check();
    if (!claudeAPI_) claudeAPI_ = std::make_shared<ClaudeAPI>(configuration_("AnthropicAPIKey").value_or(""), claudeModel);
    return claudeAPI_;
}

std::shared_ptr<ElevenLabsTTSClient> CompanionManager::elevenLabsTTSClient() {
    sequenceChecker_.check();
    if (!elevenLabsTTSClient_)
        elevenLabsTTSClient_ = std::make_shared<ElevenLabsTTSClient>(configuration_("ElevenLabsAPIKey").value_or(""),
                                                                     configuration_("ElevenLabsVoiceID").value_or(""));
    return elevenLabsTTSClient_;
}

// ---- start, stop, permissions ----

void CompanionManager::start() {
    sequenceChecker_.check();
    stopping_ = false;
    refreshAllPermissions();
    logLine(std::string("🔑 Velmo start — accessibility: ") + boolText(hasAccessibilityPermission_) +
            ", screen: " + boolText(hasScreenRecordingPermission_) + ", mic: " + boolText(hasMicrophonePermission_) +
            ", screenContent: " + boolText(hasScreenContentPermission_) + ", onboarded: " + boolText(storedBool("hasCompletedOnboarding")));
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
        if (auto self = weak.lock()) self->currentAudioPowerLevel_ = level;
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
    if (currentResponseTask_.isValid()) currentResponseTask_.cancel();
    currentResponseTask_ = Task<void>();
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
    return hasAccessibilityPermission_ && hasScreenRecordingPermission_ && hasMicrophonePermission_ && hasScreenContentPermission_;
}

void CompanionManager::updateVoiceState(bool recording, bool finalizing, bool preparing) {
    if (voiceState_ == CompanionVoiceState::responding) return;
    voiceState_ = finalizing  ? CompanionVoiceState::processing
                  : recording ? CompanionVoiceState::listening
                  : preparing ? CompanionVoiceState::processing
                              : CompanionVoiceState::idle;
}

void CompanionManager::refreshAllPermissions() {
    sequenceChecker_.check();
    const bool oldAccessibility = hasAccessibilityPermission_;
    const bool oldScreen = hasScreenRecordingPermission_;
    const bool oldMicrophone = hasMicrophonePermission_;
    const bool oldAll = allPermissionsGranted();

    auto desktop = DesktopPermissions::current();
    const bool accessibility = desktop->isAccessibilityTrusted();
    hasAccessibilityPermission_ = accessibility;
    if (accessibility) {
        globalPushToTalkShortcutMonitor_->start();
    } else {
        globalPushToTalkShortcutMonitor_->stop();
    }

    const bool screen = desktop->preflightScreenCaptureAccess();
    if (screen) UserDefaults::standard().setBool("com.korvale.hasPreviouslyConfirmedScreenRecordingPermission", true);
    hasScreenRecordingPermission_ = screen;

    const bool microphone = MediaAuthorization::current()->microphoneAuthorizationStatus() == MediaAuthorizationStatus::authorized;
    hasMicrophonePermission_ = microphone;

    if (accessibility != oldAccessibility || screen != oldScreen || microphone != oldMicrophone)
        logLine(std::string("🔑 Permissions — accessibility: ") + boolText(accessibility) + ", screen: " + boolText(screen) +
                ", mic: " + boolText(microphone) + ", screenContent: " + boolText(hasScreenContentPermission_));

    if (!oldAccessibility && accessibility) capture("permission_granted", {{"permission", "accessibility"}});
    if (!oldScreen && screen) capture("permission_granted", {{"permission", "screen_recording"}});
    if (!oldMicrophone && microphone) capture("permission_granted", {{"permission", "microphone"}});

    if (!hasScreenContentPermission_) hasScreenContentPermission_ = storedBool("hasScreenContentPermission");

    if (!oldAll && allPermissionsGranted()) capture("all_permissions_granted");
}

Task<void> CompanionManager::requestScreenContentPermission() {
    sequenceChecker_.check();
    auto self = shared_from_this();
    auto layer = ScreenLayer::current();
    auto fail = [self](const std::exception_ptr& error) {
        logLine("⚠️ Screen content permission request failed: " + describeException(error));
        self->isRequestingScreenContent_ = false;
    };

    auto content = co_await outcomeOf(layer->shareableContent(false, true));
    if (content.error) {
        fail(content.error);
        co_return;
    }
    if (content.value->displays.empty()) {
        isRequestingScreenContent_ = false;
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
    isRequestingScreenContent_ = false;
    if (!didCapture) return;  // the user can press Grant again
    hasScreenContentPermission_ = true;
    UserDefaults::standard().setBool("hasScreenContentPermission", true);
    capture("permission_granted", {{"permission", "screen_content"}});
    if (storedBool("hasCompletedOnboarding") && allPermissionsGranted() && !isOverlayVisible_) {
        overlayWindowManager_->setHasShownOverlayBefore(true);
        showOverlayOnEveryScreen();
    }
}

ClaudeAPI::Image CompanionManager::imageOf(const CompanionScreenCapture& c) {
    std::string label = c.label + " (image dimensions: " + std::to_string(c.screenshotWidthInPixels) + "x" +
                        std::to_string(c.screenshotHeightInPixels) + " pixels)";
    return {std::string(c.imageData.begin(), c.imageData.end()), std::move(label)};
}

const CompanionScreenCapture* CompanionManager::cursorCaptureIn(const std::vector<CompanionScreenCapture>& captures) {
    for (const auto& c : captures)
        if (c.isCursorScreen) return &c;
    return nullptr;
}

Point CompanionManager::screenPointOf(PixelPoint pixel, const CompanionScreenCapture& c) {
    return mapScreenshotPointToScreen(pixel, double(c.screenshotWidthInPixels), double(c.screenshotHeightInPixels),
                                      double(c.displayWidthInPoints), double(c.displayHeightInPoints), c.displayFrame);
}

void CompanionManager::showOverlayOnEveryScreen() {
    overlayWindowManager_->showOverlay(ScreenLayer::current()->screens(), *this);
    isOverlayVisible_ = true;
}

void CompanionManager::clearDetectedElementLocation() {
    sequenceChecker_.check();
    detectedElementScreenLocation_ = std::nullopt;
    detectedElementDisplayFrame_ = std::nullopt;
    detectedElementBubbleText_ = std::nullopt;
}

// ---- push to talk ----

void CompanionManager::stopSpeech() {
    auto tts = elevenLabsTTSClient();
    if (tts->audioPlayer) tts->audioPlayer->stop();
    tts->audioPlayer = nullptr;
}

void CompanionManager::handleShortcutTransition(ShortcutTransition transition) {
    sequenceChecker_.check();
    switch (transition) {
        case ShortcutTransition::pressed: {
            if (mirrinDictationManager_->isDictationBusy()) return;
            if (showOnboardingVideo_) return;
            NotificationCenter::defaultCenter().post(velmoDismissPanel);
            if (currentResponseTask_.isValid()) currentResponseTask_.cancel();
            stopSpeech();
            clearDetectedElementLocation();
            hideOnboardingPrompt();
            capture("push_to_talk_started");
            if (pendingKeyboardShortcutStartTask_.isValid()) pendingKeyboardShortcutStartTask_.cancel();
            auto self = shared_from_this();
            std::weak_ptr<CompanionManager> weak = self;
            pendingKeyboardShortcutStartTask_ = startTask([self, weak]() -> Task<void> {
                auto begin = self->mirrinDictationManager_->startPushToTalkFromKeyboardShortcut(
                    "", [](const std::string&) {}, [weak](const std::string& text) { handleFinalTranscript(weak, text); });
                co_await begin;
            });
            return;
        }
        case ShortcutTransition::released:
            capture("push_to_talk_released");
            if (pendingKeyboardShortcutStartTask_.isValid()) pendingKeyboardShortcutStartTask_.cancel();
            pendingKeyboardShortcutStartTask_ = Task<void>();
            mirrinDictationManager_->stopPushToTalk(MirrinDictationStartSource::keyboardShortcut);
            return;
        case ShortcutTransition::none:
            return;
    }
}

void CompanionManager::handleFinalTranscript(const std::weak_ptr<CompanionManager>& weakSelf, const std::string& transcript) {
    if (auto self = weakSelf.lock()) self->lastTranscript_ = transcript;
    logLine("🗣️ Companion received transcript: " + transcript);
    CompanionAnalytics::trackUserMessageSent(transcript);
    if (auto self = weakSelf.lock()) self->submitTranscript(transcript);
}

void CompanionManager::submitTranscript(const std::string& transcript) {
    sequenceChecker_.check();
    if (currentResponseTask_.isValid()) currentResponseTask_.cancel();
    stopSpeech();
    auto self = shared_from_this();
    currentResponseTask_ = startTask([self, transcript]() -> Task<void> {
        auto response = runResponse(self, transcript);
        co_await response;
    });
}

Task<void> CompanionManager::runResponse(std::shared_ptr<CompanionManager> self, std::string transcript) {
    auto cancelled = [] { return Task<>::isCurrentCancelled(); };
    // The application is going away: the transfer it cut short is not worth a report.
    auto stoppedByApplication = [&] { return self->stopping_ && cancelled(); };
    auto requestFailed = [&](const std::exception_ptr& error) {
        if (!isCancellationError(error) && !stoppedByApplication()) {
            capture("response_error", {{"error", localizedDescriptionOf(error)}});
            logLine("⚠️ Companion response error: " + describeException(error));
        }
        if (!cancelled()) self->voiceState_ = CompanionVoiceState::idle;
    };

    self->voiceState_ = CompanionVoiceState::processing;

    auto captured = co_await outcomeOf(captureAllDisplays());
    if (captured.error) {
        requestFailed(captured.error);
        co_return;
    }
    if (cancelled()) co_return;
    const std::vector<CompanionScreenCapture>& captures = *captured.value;

    std::vector<ClaudeAPI::Image> images;
    images.reserve(captures.size());
    for (const auto& c : captures) images.push_back(imageOf(c));
    std::vector<ClaudeAPI::HistoryPair> history;
    for (const auto& exchange : self->conversationHistory_) history.push_back({exchange.userTranscript, exchange.assistantResponse});

    auto replied = co_await outcomeOf(
        self->claudeAPI()->streamMessage(std::move(images), std::string(companionSystemPrompt), std::move(history), transcript));
    if (replied.error) {
        requestFailed(replied.error);
        co_return;
    }
    if (cancelled()) co_return;

    ParsedPointTag parsed = parsePointTag(*replied.value);
    const CompanionScreenCapture* cursorCapture = nullptr;
    if (parsed.coordinate) {
        self->voiceState_ = CompanionVoiceState::idle;  // the cursor flies while the answer is spoken
        cursorCapture = cursorCaptureIn(captures);
    }
    if (parsed.coordinate && cursorCapture) {
        self->detectedElementScreenLocation_ = screenPointOf(*parsed.coordinate, *cursorCapture);
        self->detectedElementDisplayFrame_ = cursorCapture->displayFrame;
        CompanionAnalytics::trackElementPointed(parsed.elementLabel);
        logLine("🎯 Element pointing: (" + std::to_string(saturatedWholeNumber(parsed.coordinate->x)) + ", " +
                std::to_string(saturatedWholeNumber(parsed.coordinate->y)) + ") → \"" + parsed.elementLabel.value_or("element") + "\"");
    } else {
        logLine("🎯 Element pointing: " + parsed.elementLabel.value_or("no element"));
    }

    auto& history_ = self->conversationHistory_;
    history_.push_back({transcript, parsed.spokenText});
    if (history_.size() > maximumConversationExchanges)
        history_.erase(history_.begin(), history_.begin() + std::ptrdiff_t(history_.size() - maximumConversationExchanges));
    logLine("🧠 Conversation history: " + std::to_string(history_.size()) + " exchanges");

    CompanionAnalytics::trackAIResponseReceived(parsed.spokenText);

    if (trimWhitespaceAndNewlines(parsed.spokenText).empty()) {
        if (!cancelled()) self->voiceState_ = CompanionVoiceState::idle;
        co_return;
    }
    auto spoken = co_await outcomeOf(self->elevenLabsTTSClient()->speakText(parsed.spokenText));
    if (spoken.error) {
        if (stoppedByApplication()) co_return;
        capture("tts_error", {{"error", localizedDescriptionOf(spoken.error)}});
        logLine("⚠️ ElevenLabs TTS error: " + describeException(spoken.error));
        if (!cancelled()) self->voiceState_ = CompanionVoiceState::idle;
        co_return;
    }
    self->voiceState_ = CompanionVoiceState::responding;  // playback has begun
    if (!cancelled()) self->voiceState_ = CompanionVoiceState::idle;
}

}  // namespace velmo
