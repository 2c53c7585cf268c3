#include "voice/MirrinDictationManager.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>

#include "platform/base/Error.h"
#include "platform/base/Logger.h"
#include "platform/foundation/Unicode.h"
#include "platform/runtime/MainThreadBound.h"

namespace velmo {

namespace {
constexpr double kDistantPast = -std::numeric_limits<double>::infinity();
const char* kGenericErrorDescription = "The operation couldn\u2019t be completed.";
}  // namespace

// What the tap thread reads: the session to feed and the tag it belongs to.
struct MirrinDictationManager::TapState {
    std::mutex mutex;
    std::shared_ptr<MirrinStreamingTranscriptionSession> session;
    std::uint64_t sessionTag = 0;
};

std::string caseName(MirrinDictationStartSource source) {
    switch (source) {
        case MirrinDictationStartSource::microphoneButton:
            return "microphoneButton";
        case MirrinDictationStartSource::keyboardShortcut:
            return "keyboardShortcut";
    }
    return "unknown";
}

std::shared_ptr<MirrinDictationManager> MirrinDictationManager::create(Dependencies dependencies) {
    if (!dependencies.transcriptionProvider || !dependencies.audioEngine || !dependencies.authorization)
        throw std::invalid_argument(
            "MirrinDictationManager: a transcription provider, an audio engine and the media authorization are needed");
    return makeMainBound<MirrinDictationManager>(PrivateTag{}, std::move(dependencies));
}

MirrinDictationManager::MirrinDictationManager(PrivateTag, Dependencies dependencies)
    : transcriptionProvider_(std::move(dependencies.transcriptionProvider)),
      audioEngine_(std::move(dependencies.audioEngine)),
      authorization_(std::move(dependencies.authorization)),
      activateApplication_(std::move(dependencies.activateApplication)),
      tapState_(std::make_shared<TapState>()),
      lastRecordedAudioPowerSampleDate_(kDistantPast) {
    transcriptionProviderDisplayName_.set(transcriptionProvider_->displayName());
}

MirrinDictationManager::~MirrinDictationManager() = default;

const std::vector<std::string>& MirrinDictationManager::builtInKeyterms() {
    static const std::vector<std::string> terms = {"tinkerloom", "Korvale", "Codex",  "Claude",  "Anthropic", "OpenAI",
                                                   "SwiftUI",    "Xcode",   "Vercel", "Next.js", "localhost"};
    return terms;
}

bool MirrinDictationManager::isDictationBusy() const {
    sequenceChecker_.check();
    return state_ != MirrinDictationState::idle;
}

namespace {
enum class Flag { preparing, microphone, keyboard, keyboardSession, finalizing };
constexpr Flag kAllFlags[] = {Flag::preparing, Flag::microphone, Flag::keyboard, Flag::keyboardSession, Flag::finalizing};

// The flags an event assigns, in the order it assigns them.
std::span<const Flag> flagsAssignedBy(MirrinDictationEvent event) {
    static constexpr Flag preparingOnly[] = {Flag::preparing};
    static constexpr Flag began[] = {Flag::finalizing, Flag::microphone, Flag::keyboard, Flag::keyboardSession};
    static constexpr Flag stopped[] = {Flag::microphone, Flag::keyboard, Flag::finalizing};
    switch (event) {
        case MirrinDictationEvent::startRequested:
        case MirrinDictationEvent::preparationEnded:
            return preparingOnly;
        case MirrinDictationEvent::dictationBegan:
            return began;
        case MirrinDictationEvent::stopRequested:
            return stopped;
        case MirrinDictationEvent::finishBegan:
            return {};
        case MirrinDictationEvent::reset:
            return kAllFlags;
    }
    return {};
}
}  // namespace

bool MirrinDictationManager::transition(MirrinDictationEvent event) {
    const auto next = nextDictationState(state_, event);
    if (!next) {
        logLine("⚠️ MirrinDictationManager: " + caseName(event) + " refused while " + caseName(state_));
        return false;
    }
    state_ = *next;
    const MirrinDictationFlags flags = dictationFlags(state_, activeStartSource_);
    auto field = [&](Flag flag) -> std::pair<Published<bool>*, bool> {
        switch (flag) {
            case Flag::preparing:
                return {&isPreparingToRecord_, flags.isPreparingToRecord};
            case Flag::microphone:
                return {&isRecordingFromMicrophoneButton_, flags.isRecordingFromMicrophoneButton};
            case Flag::keyboard:
                return {&isRecordingFromKeyboardShortcut_, flags.isRecordingFromKeyboardShortcut};
            case Flag::keyboardSession:
                return {&isKeyboardShortcutSessionActiveOrFinalizing_, flags.isKeyboardShortcutSessionActiveOrFinalizing};
            case Flag::finalizing:
                return {&isFinalizingTranscript_, flags.isFinalizingTranscript};
        }
        return {nullptr, false};
    };
    // The flags the event names are assigned (subscribers hear them even when equal); any
    // other flag only when it no longer matches the state.
    const auto named = flagsAssignedBy(event);
    for (Flag flag : named) {
        auto [published, value] = field(flag);
        *published = value;
    }
    for (Flag flag : kAllFlags) {
        auto [published, value] = field(flag);
        if (**published != value) *published = value;
    }
    return true;
}

Task<void> MirrinDictationManager::startPushToTalkFromKeyboardShortcut(std::string currentDraftText,
                                                                       std::function<void(const std::string&)> updateDraftText,
                                                                       std::function<void(const std::string&)> submitDraftText) {
    sequenceChecker_.check();
    const bool submit = trimWhitespaceAndNewlines(currentDraftText).empty();
    return startDictation(MirrinDictationStartSource::keyboardShortcut, std::move(currentDraftText),
                          MirrinDictationDraftCallbacks{std::move(updateDraftText), std::move(submitDraftText)}, submit);
}

Task<void> MirrinDictationManager::startDictation(MirrinDictationStartSource source, std::string draftText,
                                                  MirrinDictationDraftCallbacks callbacks, bool shouldAutomaticallySubmitFinalDraft) {
    sequenceChecker_.check();
    return runStartDictation(shared_from_this(), source, std::move(draftText), std::move(callbacks), shouldAutomaticallySubmitFinalDraft);
}

namespace {
// Why a start found no usable microphone: a missing sound server or capture device is no denial.
std::string refusalLine(AudioInputAvailability availability) {
    switch (availability) {
        case AudioInputAvailability::noSoundServer:
            return "🎙️ MirrinDictationManager: no audio input source (no sound server)";
        case AudioInputAvailability::noCaptureDevice:
            return "🎙️ MirrinDictationManager: no audio input source (no capture device)";
        case AudioInputAvailability::available:
            break;
    }
    return "🎙️ MirrinDictationManager: permissions missing or denied";
}
}  // namespace

void MirrinDictationManager::abandonStart(const std::string& line, StartProgress progress) {
    logLine(line);
    switch (progress) {
        case StartProgress::preparing:
            transition(MirrinDictationEvent::preparationEnded);
            return;
        case StartProgress::sessionOpening:
            stopAudioEngineAndRemoveTap();
            if (activeTranscriptionSession_) activeTranscriptionSession_->cancel();
            [[fallthrough]];
        case StartProgress::stateSet:
            resetDictationState();
            return;
    }
}

Task<void> MirrinDictationManager::runStartDictation(std::shared_ptr<MirrinDictationManager> self, MirrinDictationStartSource source,
                                                     std::string draftText, MirrinDictationDraftCallbacks callbacks, bool autoSubmit) {
    MirrinDictationManager& m = *self;
    if (m.isDictationBusy()) co_return;
    logLine("🎙️ MirrinDictationManager: start requested (" + caseName(source) + ")");

    if (m.shouldRequestInitialPermissions()) {
        logLine("🎙️ MirrinDictationManager: requesting initial permissions");
        if (m.activateApplication_) m.activateApplication_();
        try {
            co_await sleepFor(initialPermissionsSettleDelay);
        } catch (const CancellationError&) {
            // A release during the wait is noticed by the checks below.
        }
    }

    const std::uint64_t requestIdentifier = m.newIdentifier();
    m.pendingStartRequestIdentifier_ = requestIdentifier;
    m.lastErrorMessage_ = std::nullopt;
    m.currentPermissionProblem_ = std::nullopt;
    m.transition(MirrinDictationEvent::startRequested);

    Task<bool> permissions = requestPermissionsIfNeeded(self);
    const bool granted = co_await permissions;
    if (!granted) {
        // A missing sound server or capture device is no denial: the line says which it is.
        m.abandonStart(refusalLine(m.authorization_->audioInputAvailability()), StartProgress::preparing);
        co_return;
    }
    if (Task<>::isCurrentCancelled()) {
        m.abandonStart("🎙️ MirrinDictationManager: start cancelled (shortcut released during permission check)",
                       StartProgress::preparing);
        co_return;
    }
    if (m.pendingStartRequestIdentifier_ != requestIdentifier) {
        m.abandonStart("🎙️ MirrinDictationManager: start request superseded", StartProgress::preparing);
        co_return;
    }

    m.draftTextBeforeCurrentDictation_ = draftText;
    m.latestRecognizedText_.clear();
    m.draftCallbacks_ = callbacks;
    m.activeStartSource_ = source;
    m.shouldAutomaticallySubmitFinalDraft_ = autoSubmit;
    m.transition(MirrinDictationEvent::dictationBegan);
    m.currentAudioPowerLevel_ = 0.0;
    m.recordedAudioPowerHistory_ = std::vector<double>(audioPowerHistoryLength, audioPowerHistoryFloor);
    m.microphoneButtonRecordingStartedAt_ = std::nullopt;
    m.lastRecordedAudioPowerSampleDate_ = kDistantPast;

    if (Task<>::isCurrentCancelled()) {
        m.abandonStart("🎙️ MirrinDictationManager: start cancelled (shortcut released before recording began)",
                       StartProgress::stateSet);
        co_return;
    }

    const std::uint64_t sessionTag = m.newIdentifier();
    std::exception_ptr failure;
    bool stillCurrent = true;
    try {
        Task<bool> opening = openTranscriptionSession(self, sessionTag);
        stillCurrent = co_await opening;
    } catch (...) {
        failure = std::current_exception();
    }
    if (m.activeSessionTag_ != sessionTag || !stillCurrent) {
        // The dictation was torn down (cancelled, or failed) while the session was opening; what
        // this start opened is already cancelled and the newer state is not ours to touch.
        logLine("🎙️ MirrinDictationManager: start request superseded");
        co_return;
    }
    if (failure) {
        m.transition(MirrinDictationEvent::preparationEnded);
        m.lastErrorMessage_ = userFacingErrorMessage(failure, "couldn't start voice input. try again.");
        // An engine that failed to start leaves an open session behind: cancel it, not only release it.
        m.abandonStart("❌ MirrinDictationManager: failed to start recognition session (" + m.transcriptionProvider_->displayName() +
                           "): " + describeException(failure),
                       StartProgress::sessionOpening);
        co_return;
    }
    if (Task<>::isCurrentCancelled()) {
        m.abandonStart("🎙️ MirrinDictationManager: start cancelled (shortcut released during session start)",
                       StartProgress::sessionOpening);
        co_return;
    }

    if (source == MirrinDictationStartSource::microphoneButton) m.microphoneButtonRecordingStartedAt_ = std::chrono::system_clock::now();
    m.transition(MirrinDictationEvent::preparationEnded);
    logLine("🎙️ MirrinDictationManager: recognition session started");
}

Task<bool> MirrinDictationManager::openTranscriptionSession(std::shared_ptr<MirrinDictationManager> self, std::uint64_t sessionTag) {
    MirrinDictationManager& m = *self;
    if (m.activeTranscriptionSession_) m.activeTranscriptionSession_->cancel();
    m.setActiveTranscriptionSession(nullptr);
    m.activeSessionTag_ = sessionTag;
    const std::string displayName = m.transcriptionProvider_->displayName();
    logLine("🎙️ MirrinDictationManager: opening transcription provider " + displayName);

    std::weak_ptr<MirrinDictationManager> weak = self;
    // Each callback hops to the main thread and is dropped there unless its session is still
    // the active one.
    auto onMain = [weak, sessionTag](auto handle) {
        MainLoop::postToMain([weak, sessionTag, handle = std::move(handle)] {
            auto manager = weak.lock();
            if (manager && manager->activeSessionTag_ == sessionTag) handle(*manager);
        });
    };
    MirrinTranscriptUpdateCallback onTranscriptUpdate = [onMain](const std::string& text) {
        onMain([text](MirrinDictationManager& manager) { manager.handleTranscriptUpdate(text); });
    };
    MirrinFinalTranscriptCallback onFinalTranscriptReady = [onMain](const std::string& text) {
        onMain([text](MirrinDictationManager& manager) { manager.handleFinalTranscriptReady(text); });
    };
    MirrinTranscriptionErrorCallback onError = [onMain](std::exception_ptr error) {
        // Moved, not copied: the back-end's thread keeps no share of the error to release later.
        onMain([error = std::move(error)](MirrinDictationManager& manager) { manager.handleTranscriptionError(error); });
    };
    // The awaited task is a named local: g++ 12 destroys the temporaries of a co_await
    // expression twice when the awaited coroutine throws.
    auto opening = m.transcriptionProvider_->startStreamingSession(m.mergedKeyterms(), std::move(onTranscriptUpdate),
                                                                   std::move(onFinalTranscriptReady), std::move(onError));
    auto session = co_await opening;
    if (!session) throw MessageError("MirrinDictationManager", "the transcription provider opened no session.");
    if (m.activeSessionTag_ != sessionTag) {
        session->cancel();
        co_return false;
    }
    m.setActiveTranscriptionSession(session);
    logLine("🎙️ MirrinDictationManager: provider ready, starting audio engine");
    m.installAudioTap(sessionTag);
    co_return true;
}

void MirrinDictationManager::setActiveTranscriptionSession(std::shared_ptr<MirrinStreamingTranscriptionSession> session) {
    std::shared_ptr<MirrinStreamingTranscriptionSession> previous;
    {
        std::lock_guard lock(tapState_->mutex);
        previous = std::move(tapState_->session);
        tapState_->session = session;
        tapState_->sessionTag = session ? activeSessionTag_ : 0;
    }
    activeTranscriptionSession_ = std::move(session);
}

void MirrinDictationManager::installAudioTap(std::uint64_t sessionTag) {
    const AudioFormat format = audioEngine_->inputFormat();
    audioEngine_->removeTap();
    std::weak_ptr<MirrinDictationManager> weak = weak_from_this();
    audioEngine_->installTap(tapBufferSize, format,
                             [state = tapState_, weak, sessionTag](const std::shared_ptr<const AudioPCMBuffer>& buffer) {
                                 // Audio thread: a snapshot of the session under the lock, then the hand-over.
                                 std::shared_ptr<MirrinStreamingTranscriptionSession> session;
                                 {
                                     std::lock_guard lock(state->mutex);
                                     if (state->sessionTag == sessionTag) session = state->session;
                                 }
                                 if (session && !weak.expired()) session->appendAudioBuffer(buffer);
                                 session.reset();
                                 const auto level = measureAudioPowerLevel(*buffer);
                                 if (!level) return;
                                 MainLoop::postToMain([weak, sessionTag, level = *level] {
                                     auto manager = weak.lock();
                                     if (manager && manager->activeSessionTag_ == sessionTag) manager->applyAudioPowerLevel(level);
                                 });
                             });
    // A failure while opening in the background or while recording ends this dictation.
    audioEngine_->setFailureHandler([weak, sessionTag](std::exception_ptr error) {
        MainLoop::postToMain([weak, sessionTag, error = std::move(error)] {
            auto manager = weak.lock();
            if (manager && manager->activeSessionTag_ == sessionTag) manager->handleAudioInputFailure(error);
        });
    });
    audioEngine_->prepare();
    audioEngine_->start();
}

void MirrinDictationManager::handleAudioInputFailure(std::exception_ptr error) {
    if (state_ == MirrinDictationState::finishing) return;
    logLine("❌ MirrinDictationManager: audio input failed: " + describeException(error));
    lastErrorMessage_ = userFacingErrorMessage(error, "couldn't record from the microphone. try again.");
    cancelDictation(false);
}

void MirrinDictationManager::stopAudioEngineAndRemoveTap() {
    audioEngine_->stop();
    audioEngine_->removeTap();
}

std::vector<std::string> MirrinDictationManager::mergedKeyterms() const {
    sequenceChecker_.check();
    return mergeKeyterms(builtInKeyterms(), contextualKeyterms);
}

std::vector<std::string> MirrinDictationManager::mergeKeyterms(const std::vector<std::string>& builtIn,
                                                               const std::vector<std::string>& contextual) {
    std::vector<std::string> merged;
    std::vector<std::string> seen;
    auto add = [&](const std::string& term) {
        std::string trimmed = trimWhitespaceAndNewlines(term);
        if (trimmed.empty()) return;
        std::string lower = toLowerCase(trimmed);
        if (std::find(seen.begin(), seen.end(), lower) != seen.end()) return;
        seen.push_back(std::move(lower));
        merged.push_back(std::move(trimmed));
    };
    for (const auto& term : builtIn) add(term);
    for (const auto& term : contextual) add(term);
    return merged;
}

bool MirrinDictationManager::shouldRequestInitialPermissions() {
    if (authorization_->microphoneAuthorizationStatus() == MediaAuthorizationStatus::notDetermined) return true;
    return transcriptionProvider_->requiresSpeechRecognitionPermission() &&
           authorization_->speechRecognitionAuthorizationStatus() == MediaAuthorizationStatus::notDetermined;
}

Task<bool> MirrinDictationManager::requestPermissionsIfNeeded(std::shared_ptr<MirrinDictationManager> self) {
    MirrinDictationManager& m = *self;
    if (m.activePermissionRequestTask_) {
        Task<bool> shared = *m.activePermissionRequestTask_;
        co_return co_await shared;
    }
    if (m.lastPermissionRequestCompletedAt_ && MainLoop::mainNow() - *m.lastPermissionRequestCompletedAt_ < permissionRequestReuseWindow) {
        const auto status = m.authorization_->microphoneAuthorizationStatus();
        co_return status != MediaAuthorizationStatus::denied&& status != MediaAuthorizationStatus::restricted;
    }
    Task<bool> task = startTask([self]() -> Task<bool> {
        Task<bool> request = runPermissionRequest(self);
        co_return co_await request;
    });
    m.activePermissionRequestTask_ = task;
    const bool result = co_await task;
    m.activePermissionRequestTask_.reset();
    m.lastPermissionRequestCompletedAt_ = MainLoop::mainNow();
    co_return result;
}

Task<bool> MirrinDictationManager::runPermissionRequest(std::shared_ptr<MirrinDictationManager> self) {
    MirrinDictationManager& m = *self;
    auto authorization = m.authorization_;
    Task<bool> microphone = m.requestPermissionIfNeeded(
        authorization->microphoneAuthorizationStatus(),
        [authorization](std::function<void(bool)> answer) { authorization->requestMicrophoneAccess(std::move(answer)); },
        MirrinDictationPermissionProblem::microphoneAccessDenied);
    if (!co_await microphone) {
        m.lastErrorMessage_ = authorization->audioInputAvailability() == AudioInputAvailability::available
                                  ? std::string("microphone permission is required for push to talk.")
                                  : std::string("no microphone is available.");
        co_return false;
    }
    if (m.transcriptionProvider_->requiresSpeechRecognitionPermission()) {
        Task<bool> speech = m.requestPermissionIfNeeded(
            authorization->speechRecognitionAuthorizationStatus(),
            [authorization](std::function<void(bool)> answer) {
                authorization->requestSpeechRecognitionAuthorization(
                    [answer](MediaAuthorizationStatus status) { answer(status == MediaAuthorizationStatus::authorized); });
            },
            MirrinDictationPermissionProblem::speechRecognitionDenied);
        if (!co_await speech) {
            m.lastErrorMessage_ = std::string("speech recognition permission is required for push to talk.");
            co_return false;
        }
    }
    co_return true;
}

Task<bool> MirrinDictationManager::requestPermissionIfNeeded(MediaAuthorizationStatus status,
                                                             std::function<void(std::function<void(bool)>)> ask,
                                                             MirrinDictationPermissionProblem problem) {
    bool granted = status == MediaAuthorizationStatus::authorized;
    if (status == MediaAuthorizationStatus::notDetermined) {
        Completion<bool> answer;
        ask([answer](bool g) { answer.resolve(g); });
        granted = co_await answer;
    }
    currentPermissionProblem_ = granted ? std::nullopt : std::optional<MirrinDictationPermissionProblem>(problem);
    co_return granted;
}

std::optional<double> MirrinDictationManager::measureAudioPowerLevel(const AudioPCMBuffer& buffer) {
    const float* samples = buffer.floatChannelData(0);
    const std::uint32_t frames = buffer.frameLength();
    if (!samples || frames == 0) return std::nullopt;
    float sumOfSquares = 0;
    for (std::uint32_t i = 0; i < frames; ++i) sumOfSquares += samples[i] * samples[i];
    const float rms = std::sqrt(sumOfSquares / float(frames));
    return double(std::clamp(rms * float(audioPowerGain), 0.0f, 1.0f));
}

void MirrinDictationManager::applyAudioPowerLevel(double level) {
    currentAudioPowerLevel_ = std::max(level, audioPowerDecayFactor * *currentAudioPowerLevel_);
    const double now = MainLoop::mainNow();
    if (Seconds(now - lastRecordedAudioPowerSampleDate_) >= audioPowerHistorySampleInterval) {
        lastRecordedAudioPowerSampleDate_ = now;
        appendAudioPowerSample(std::max(level, audioPowerHistoryFloor));
    }
}

void MirrinDictationManager::appendAudioPowerSample(double level) {
    std::vector<double> history = *recordedAudioPowerHistory_;
    history.push_back(level);
    if (history.size() > audioPowerHistoryLength)
        history.erase(history.begin(), history.begin() + std::ptrdiff_t(history.size() - audioPowerHistoryLength));
    recordedAudioPowerHistory_ = std::move(history);
}

void MirrinDictationManager::handleTranscriptUpdate(const std::string& text) { latestRecognizedText_ = text; }

void MirrinDictationManager::handleFinalTranscriptReady(const std::string& text) {
    latestRecognizedText_ = text;
    if (isFinalizingState(state_)) finishDictation(shouldAutomaticallySubmitFinalDraft_);
}

void MirrinDictationManager::handleTranscriptionError(std::exception_ptr error) {
    if (state_ == MirrinDictationState::finishing) return;
    if (isFinalizingState(state_) && !trimWhitespaceAndNewlines(latestRecognizedText_).empty()) {
        finishDictation(shouldAutomaticallySubmitFinalDraft_);  // the partial text stands in for the final one
        return;
    }
    logLine("❌ Mirrin dictation error (" + transcriptionProvider_->displayName() + "): " + describeException(error));
    lastErrorMessage_ = userFacingErrorMessage(error, "couldn't transcribe that. try again.");
    cancelDictation(false);
}

void MirrinDictationManager::stopPushToTalk(MirrinDictationStartSource source) {
    sequenceChecker_.check();
    pendingStartRequestIdentifier_ = newIdentifier();
    if (!activeStartSource_ || *activeStartSource_ != source) {
        transition(MirrinDictationEvent::preparationEnded);
        return;
    }
    if (isFinalizingState(state_) || state_ == MirrinDictationState::finishing) return;
    logLine("🎙️ MirrinDictationManager: stop requested (" + caseName(source) + ")");
    if (!transition(MirrinDictationEvent::stopRequested)) return;
    const double delay =
        activeTranscriptionSession_ ? activeTranscriptionSession_->finalTranscriptFallbackDelaySeconds() : fallbackDelayWithoutSession;
    stopAudioEngineAndRemoveTap();
    if (activeTranscriptionSession_) activeTranscriptionSession_->requestFinalTranscript();
    finalizeFallbackWorkItem_.cancel();
    std::weak_ptr<MirrinDictationManager> weak = weak_from_this();
    const bool submit = shouldAutomaticallySubmitFinalDraft_;
    finalizeFallbackWorkItem_ = MainLoop::postToMainAfter(Seconds(delay), [weak, submit] {
        if (auto manager = weak.lock()) manager->finishDictation(submit);
    });
}

void MirrinDictationManager::finishDictation(bool submit) {
    if (!transition(MirrinDictationEvent::finishBegan)) return;
    finalizeFallbackWorkItem_.cancel();
    finalizeFallbackWorkItem_ = WorkItem();
    const std::string draft = composeDraftText(draftTextBeforeCurrentDictation_, latestRecognizedText_);
    const std::string transcript = trimWhitespaceAndNewlines(latestRecognizedText_);
    const auto callbacks = draftCallbacks_;
    if (!submit && !draft.empty() && callbacks && callbacks->updateDraftText) callbacks->updateDraftText(draft);
    stopAudioEngineAndRemoveTap();
    if (activeTranscriptionSession_) activeTranscriptionSession_->cancel();
    resetDictationState();
    // Handed over once the manager is idle again; a blank transcript submits nothing.
    if (submit && !transcript.empty() && callbacks && callbacks->submitDraftText) callbacks->submitDraftText(draft);
}

void MirrinDictationManager::cancelDictation(bool keepPartialTranscript) {
    sequenceChecker_.check();
    pendingStartRequestIdentifier_ = newIdentifier();
    if (!isDictationBusy()) return;
    finalizeFallbackWorkItem_.cancel();
    finalizeFallbackWorkItem_ = WorkItem();
    if (keepPartialTranscript && draftCallbacks_ && draftCallbacks_->updateDraftText)
        draftCallbacks_->updateDraftText(composeDraftText(draftTextBeforeCurrentDictation_, latestRecognizedText_));
    stopAudioEngineAndRemoveTap();
    if (activeTranscriptionSession_) activeTranscriptionSession_->cancel();
    resetDictationState();
}

void MirrinDictationManager::resetDictationState() {
    pendingStartRequestIdentifier_ = newIdentifier();
    // A fallback still waiting belongs to the dictation being torn down; left alone it would
    // finish the next one.
    finalizeFallbackWorkItem_.cancel();
    finalizeFallbackWorkItem_ = WorkItem();
    activeSessionTag_ = 0;
    setActiveTranscriptionSession(nullptr);
    draftCallbacks_.reset();
    activeStartSource_.reset();
    draftTextBeforeCurrentDictation_.clear();
    latestRecognizedText_.clear();
    shouldAutomaticallySubmitFinalDraft_ = false;
    transition(MirrinDictationEvent::reset);
    currentAudioPowerLevel_ = 0.0;
    recordedAudioPowerHistory_ = std::vector<double>(audioPowerHistoryLength, audioPowerHistoryFloor);
    microphoneButtonRecordingStartedAt_ = std::nullopt;
    lastRecordedAudioPowerSampleDate_ = kDistantPast;
}

std::string MirrinDictationManager::composeDraftText(const std::string& draftBeforeDictation, const std::string& transcript) {
    const std::string t = trimWhitespaceAndNewlines(transcript);
    if (t.empty()) return draftBeforeDictation;
    if (trimWhitespaceAndNewlines(draftBeforeDictation).empty()) return t;
    const char last = draftBeforeDictation.back();
    if (last == ' ' || last == '\n') return draftBeforeDictation + t;
    return draftBeforeDictation + " " + t;
}

std::string MirrinDictationManager::userFacingErrorMessage(std::exception_ptr error, const std::string& fallback) {
    if (!error) return fallback;
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        // Our errors carry their own description for people.
        std::string text = trimWhitespaceAndNewlines(e.localizedDescription());
        if (!text.empty()) return text;
        return fallback;
    } catch (const std::exception& e) {
        std::string text = trimWhitespaceAndNewlines(e.what());
        if (text.empty() || text == kGenericErrorDescription) return fallback;
        return text;
    } catch (...) {
        return fallback;
    }
}

}  // namespace velmo
