#pragma once

#include <functional>
#include <memory>
#include <string>

#include "companion/CompanionUsageEvents.h"
#include "platform/runtime/SequenceChecker.h"
#include "platform/runtime/Task.h"
#include "voice/MirrinDictationManaging.h"
#include "voice/PushToTalkShortcutMonitoring.h"

namespace velmo {

// Posted on every accepted press of the chord (and by the onboarding's entry points); the
// menu-bar panel hides itself when it arrives.
inline constexpr const char* velmoDismissPanel = "velmoDismissPanel";

// The push-to-talk chord: a press interrupts whatever the companion is doing and starts
// dictation, whose final transcript goes to `submitTranscript`; a release stops it. Bound to
// the main thread.
class PushToTalkController : public std::enable_shared_from_this<PushToTalkController> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    struct Dependencies {
        std::shared_ptr<MirrinDictationManaging> dictationManager;
        std::shared_ptr<CompanionUsageEvents> events;
        // True while a press is to be ignored besides while dictation is busy.
        std::function<bool()> isPressBlocked;
        // What an accepted press ends before dictation starts.
        std::function<void()> interrupt;
        // Handed to the dictation manager as its submit callback.
        std::function<void(const std::string&)> submitTranscript;
    };

    // Throws std::invalid_argument when a dependency is missing.
    static std::shared_ptr<PushToTalkController> create(Dependencies dependencies);
    PushToTalkController(PrivateTag, Dependencies dependencies);

    void handleShortcutTransition(ShortcutTransition transition);
    // The start of dictation after the last press, until the next press or release.
    const Task<void>& pendingKeyboardShortcutStartTask() const;

private:
    void pressed();
    void released();

    [[no_unique_address]] SequenceChecker sequenceChecker_;
    std::shared_ptr<MirrinDictationManaging> dictationManager_;
    std::shared_ptr<CompanionUsageEvents> events_;
    std::function<bool()> isPressBlocked_;
    std::function<void()> interrupt_;
    std::function<void(const std::string&)> submitTranscript_;
    Task<void> pendingKeyboardShortcutStartTask_;
};

}  // namespace velmo
