#pragma once

#include <functional>
#include <string>

#include "platform/runtime/Published.h"
#include "platform/runtime/Task.h"

namespace velmo {

// Who started a dictation; the case name is what the log lines print.
enum class MirrinDictationStartSource { microphoneButton, keyboardShortcut };
std::string caseName(MirrinDictationStartSource source);

// The caller's callbacks for one dictation: replace its draft, or submit text as its request.
struct MirrinDictationDraftCallbacks {
    std::function<void(const std::string&)> updateDraftText;
    std::function<void(const std::string&)> submitDraftText;
};

// What the companion object needs of its dictation manager: the busy test, the chord's start,
// stop and cancel, and the flags and level it folds into its voice state.
class MirrinDictationManaging {
public:
    virtual ~MirrinDictationManaging() = default;
    // Preparing, recording from either source, or finalizing.
    virtual bool isDictationBusy() const = 0;
    // Starts a chord dictation; it submits at the end exactly when the draft is blank.
    virtual Task<void> startPushToTalkFromKeyboardShortcut(std::string currentDraftText,
                                                           std::function<void(const std::string&)> updateDraftText,
                                                           std::function<void(const std::string&)> submitDraftText) = 0;
    virtual void stopPushToTalk(MirrinDictationStartSource source) = 0;
    virtual void cancelDictation(bool keepPartialTranscript) = 0;
    // Each gives the current value on subscription, then every assignment.
    virtual Publisher<bool> isRecordingFromKeyboardShortcutPublisher() const = 0;
    virtual Publisher<bool> isFinalizingTranscriptPublisher() const = 0;
    virtual Publisher<bool> isPreparingToRecordPublisher() const = 0;
    virtual Publisher<double> currentAudioPowerLevelPublisher() const = 0;
};

}  // namespace velmo
