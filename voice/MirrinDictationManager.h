#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/AudioEngine.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/Published.h"
#include "platform/runtime/SequenceChecker.h"
#include "platform/runtime/Task.h"
#include "voice/MirrinDictationManaging.h"
#include "voice/MirrinDictationState.h"
#include "voice/MirrinTranscriptionProvider.h"
#include "platform/runtime/Duration.h"

namespace velmo {

enum class MirrinDictationPermissionProblem { microphoneAccessDenied, speechRecognitionDenied };

// Turns one push-to-talk recording into one piece of text. A start checks the microphone (and,
// for back-ends that need it, speech-recognition) authorisation, opens a session of the back-end
// chosen at creation, taps the microphone and feeds every buffer to the session while publishing
// a smoothed level and a short level history. A stop asks for the final transcript, with the
// session's fallback delay as a timer, and the dictation finishes exactly once: the transcript is
// merged into the caller's draft and handed back through its callbacks.
//
// Bound to the main thread (made with `create`, destroyed there; its public methods check it in
// debug builds). The owner sees it only through its read-only published properties,
// `isDictationBusy` and the draft callbacks. Callbacks of a session that
// is no longer the active one are dropped, so a late error or transcript never touches a newer
// dictation.
class MirrinDictationManager : public MirrinDictationManaging, public std::enable_shared_from_this<MirrinDictationManager> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    // What the manager works with; the first three are required.
    struct Dependencies {
        std::unique_ptr<MirrinTranscriptionProvider> transcriptionProvider;
        std::shared_ptr<AudioEngine> audioEngine;
        std::shared_ptr<MediaAuthorization> authorization;
        // Brings the application to the front before the first permission prompt.
        std::function<void()> activateApplication;
    };

    static constexpr std::size_t audioPowerHistoryLength = 44;
    static constexpr double audioPowerHistoryFloor = 0.02;
    static constexpr Seconds audioPowerHistorySampleInterval{0.07};
    static constexpr double audioPowerDecayFactor = 0.72;
    static constexpr double audioPowerGain = 10.2;
    static constexpr double fallbackDelayWithoutSession = 2.4;
    static constexpr Seconds initialPermissionsSettleDelay{0.2};
    static constexpr double permissionRequestReuseWindow = 1.0;
    static constexpr std::uint32_t tapBufferSize = 1024;

    // Throws std::invalid_argument when a required dependency is missing.
    static std::shared_ptr<MirrinDictationManager> create(Dependencies dependencies);
    MirrinDictationManager(PrivateTag, Dependencies dependencies);
    ~MirrinDictationManager();
    MirrinDictationManager(const MirrinDictationManager&) = delete;
    MirrinDictationManager& operator=(const MirrinDictationManager&) = delete;

    // The published state, read-only: only the manager assigns it. The change announcement
    // comes before any of these takes a new value.
    const ObjectWillChange& objectWillChange() const { return objectWillChange_; }
    const Published<bool>& isRecordingFromMicrophoneButton() const { return isRecordingFromMicrophoneButton_; }
    const Published<bool>& isRecordingFromKeyboardShortcut() const { return isRecordingFromKeyboardShortcut_; }
    // A chord-started dictation is recording or finalizing (cleared only at teardown).
    const Published<bool>& isKeyboardShortcutSessionActiveOrFinalizing() const { return isKeyboardShortcutSessionActiveOrFinalizing_; }
    const Published<bool>& isFinalizingTranscript() const { return isFinalizingTranscript_; }
    const Published<bool>& isPreparingToRecord() const { return isPreparingToRecord_; }
    // Smoothed microphone level, 0 to 1.
    const Published<double>& currentAudioPowerLevel() const { return currentAudioPowerLevel_; }
    // The last 44 sampled levels, oldest first.
    const Published<std::vector<double>>& recordedAudioPowerHistory() const { return recordedAudioPowerHistory_; }
    const Published<std::optional<std::chrono::system_clock::time_point>>& microphoneButtonRecordingStartedAt() const {
        return microphoneButtonRecordingStartedAt_;
    }
    const Published<std::string>& transcriptionProviderDisplayName() const { return transcriptionProviderDisplayName_; }
    // The last message for the user (cleared at the next start).
    const Published<std::optional<std::string>>& lastErrorMessage() const { return lastErrorMessage_; }
    const Published<std::optional<MirrinDictationPermissionProblem>>& currentPermissionProblem() const { return currentPermissionProblem_; }

    // Extra vocabulary hints added after the built-in ones.
    std::vector<std::string> contextualKeyterms;

    // Preparing, recording from either source, or finalizing.
    bool isDictationBusy() const override;
    // Where the current dictation stands; the published flags are read off it.
    MirrinDictationState dictationState() const { return state_; }
    // Starts a chord dictation; it submits at the end exactly when the draft is blank.
    Task<void> startPushToTalkFromKeyboardShortcut(std::string currentDraftText, std::function<void(const std::string&)> updateDraftText,
                                                   std::function<void(const std::string&)> submitDraftText) override;
    // Returns once recording has begun or the start was given up; outcomes show in the
    // published properties.
    Task<void> startDictation(MirrinDictationStartSource source, std::string draftText, MirrinDictationDraftCallbacks callbacks,
                              bool shouldAutomaticallySubmitFinalDraft);
    void stopPushToTalk(MirrinDictationStartSource source) override;
    void cancelDictation(bool keepPartialTranscript) override;
    Publisher<bool> isRecordingFromKeyboardShortcutPublisher() const override { return isRecordingFromKeyboardShortcut_.publisher(); }
    Publisher<bool> isFinalizingTranscriptPublisher() const override { return isFinalizingTranscript_.publisher(); }
    Publisher<bool> isPreparingToRecordPublisher() const override { return isPreparingToRecord_.publisher(); }
    Publisher<double> currentAudioPowerLevelPublisher() const override { return currentAudioPowerLevel_.publisher(); }

    const MirrinTranscriptionProvider& transcriptionProvider() const { return *transcriptionProvider_; }
    static const std::vector<std::string>& builtInKeyterms();
    // The built-in hints, then the contextual ones: trimmed, blank ones dropped, the first
    // spelling of each (without regard to case) kept, in order.
    std::vector<std::string> mergedKeyterms() const;
    static std::vector<std::string> mergeKeyterms(const std::vector<std::string>& builtIn, const std::vector<std::string>& contextual);
    // The transcript (trimmed) merged into the earlier draft.
    static std::string composeDraftText(const std::string& draftBeforeDictation, const std::string& transcript);
    // The error's own text for the user, else the fallback.
    static std::string userFacingErrorMessage(std::exception_ptr error, const std::string& fallback);
    // Root mean square of channel 0 x 10.2, clamped to 0..1; absent for buffers without float
    // samples or frames.
    static std::optional<double> measureAudioPowerLevel(const AudioPCMBuffer& buffer);

private:
    struct TapState;
    // How far a start got when it gives up, so that its exit undoes just that much: the
    // preparing flag, the dictation state it set, or the session it was opening as well.
    enum class StartProgress { preparing, stateSet, sessionOpening };

    static Task<void> runStartDictation(std::shared_ptr<MirrinDictationManager> self, MirrinDictationStartSource source,
                                        std::string draftText, MirrinDictationDraftCallbacks callbacks, bool autoSubmit);
    static Task<bool> openTranscriptionSession(std::shared_ptr<MirrinDictationManager> self, std::uint64_t sessionTag);
    static Task<bool> requestPermissionsIfNeeded(std::shared_ptr<MirrinDictationManager> self);
    static Task<bool> runPermissionRequest(std::shared_ptr<MirrinDictationManager> self);
    // Authorised: granted. Undetermined: `ask` prompts and its answer decides. Otherwise refused.
    Task<bool> requestPermissionIfNeeded(MediaAuthorizationStatus status, std::function<void(std::function<void(bool)>)> ask,
                                         MirrinDictationPermissionProblem problem);
    bool shouldRequestInitialPermissions();
    void installAudioTap(std::uint64_t sessionTag);
    void stopAudioEngineAndRemoveTap();
    void setActiveTranscriptionSession(std::shared_ptr<MirrinStreamingTranscriptionSession> session);
    void handleTranscriptUpdate(const std::string& text);
    void handleFinalTranscriptReady(const std::string& text);
    void handleTranscriptionError(std::exception_ptr error);
    void handleAudioInputFailure(std::exception_ptr error);
    void applyAudioPowerLevel(double level);
    void appendAudioPowerSample(double level);
    void finishDictation(bool submit);
    void resetDictationState();
    // Moves the state by `event` and assigns the published flags it changes; an event that
    // cannot happen in the current state is logged and changes nothing (false).
    bool transition(MirrinDictationEvent event);
    // Logs the line and undoes what the start did so far.
    void abandonStart(const std::string& line, StartProgress progress);
    std::uint64_t newIdentifier() { return ++identifierCounter_; }

    MirrinDictationState state_ = MirrinDictationState::idle;
    ObjectWillChange objectWillChange_;
    Published<bool> isRecordingFromMicrophoneButton_{false, &objectWillChange_};
    Published<bool> isRecordingFromKeyboardShortcut_{false, &objectWillChange_};
    Published<bool> isKeyboardShortcutSessionActiveOrFinalizing_{false, &objectWillChange_};
    Published<bool> isFinalizingTranscript_{false, &objectWillChange_};
    Published<bool> isPreparingToRecord_{false, &objectWillChange_};
    Published<double> currentAudioPowerLevel_{0.0, &objectWillChange_};
    Published<std::vector<double>> recordedAudioPowerHistory_{std::vector<double>(audioPowerHistoryLength, audioPowerHistoryFloor),
                                                              &objectWillChange_};
    Published<std::optional<std::chrono::system_clock::time_point>> microphoneButtonRecordingStartedAt_{std::nullopt, &objectWillChange_};
    Published<std::string> transcriptionProviderDisplayName_{std::string(), &objectWillChange_};
    Published<std::optional<std::string>> lastErrorMessage_{std::nullopt, &objectWillChange_};
    Published<std::optional<MirrinDictationPermissionProblem>> currentPermissionProblem_{std::nullopt, &objectWillChange_};
    std::unique_ptr<MirrinTranscriptionProvider> transcriptionProvider_;
    std::shared_ptr<AudioEngine> audioEngine_;
    std::shared_ptr<MediaAuthorization> authorization_;
    std::function<void()> activateApplication_;
    std::shared_ptr<MirrinStreamingTranscriptionSession> activeTranscriptionSession_;
    // The tag of the session being opened or active; 0 when none. Callbacks, level posts and
    // opens carry the tag they were made for and are dropped when it is no longer current.
    std::uint64_t activeSessionTag_ = 0;
    std::shared_ptr<TapState> tapState_;
    std::optional<MirrinDictationStartSource> activeStartSource_;
    std::optional<MirrinDictationDraftCallbacks> draftCallbacks_;
    std::string draftTextBeforeCurrentDictation_;
    std::string latestRecognizedText_;
    bool shouldAutomaticallySubmitFinalDraft_ = false;
    WorkItem finalizeFallbackWorkItem_;
    std::uint64_t identifierCounter_ = 0;
    std::uint64_t pendingStartRequestIdentifier_ = 0;
    double lastRecordedAudioPowerSampleDate_;  // main-loop seconds; -infinity is the distant past
    std::optional<Task<bool>> activePermissionRequestTask_;
    std::optional<double> lastPermissionRequestCompletedAt_;
    [[no_unique_address]] SequenceChecker sequenceChecker_;
};

}  // namespace velmo
