#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "voice/MirrinDictationManaging.h"

namespace velmo {

// Where one dictation stands. Every published flag of the dictation manager is read off this
// (with the dictation's source), and every change of it goes through `nextDictationState`.
enum class MirrinDictationState : std::uint8_t {
    idle,  // nothing in progress
    preparing,  // a start checks the permissions
    startingSession,  // the dictation is set up and records; its session is still opening
    recording,  // the session is open (or a stop for the other source ended the preparing)
    finalizingWhileStarting,  // released before the session finished opening
    finalizing,  // recording stopped; the final transcript is awaited
    finishing,  // the transcript is being handed back; nothing may finish it again
};

// What happens to a dictation; each names the flags it assigns.
enum class MirrinDictationEvent : std::uint8_t {
    startRequested,  // a start took its request identifier: isPreparingToRecord
    preparationEnded,  // a start gave up or its session started, or a stop for another source: isPreparingToRecord
    dictationBegan,  // a start set up its dictation: isFinalizingTranscript and the three recording flags
    stopRequested,  // a stop for the recording source: the two recording flags, isFinalizingTranscript
    finishBegan,  // the final transcript, the partial text or the fallback finishes: none
    reset,  // every way out of a dictation: all five flags
};

// The published flags as the state (and the dictation's source) make them.
struct MirrinDictationFlags {
    bool isPreparingToRecord = false;
    bool isRecordingFromMicrophoneButton = false;
    bool isRecordingFromKeyboardShortcut = false;
    bool isKeyboardShortcutSessionActiveOrFinalizing = false;
    bool isFinalizingTranscript = false;
    bool operator==(const MirrinDictationFlags&) const = default;
};

// The state after `event`, or nothing when the event cannot happen in `state`.
std::optional<MirrinDictationState> nextDictationState(MirrinDictationState state, MirrinDictationEvent event);
MirrinDictationFlags dictationFlags(MirrinDictationState state, std::optional<MirrinDictationStartSource> source);
// Finalizing, with or without a session still opening (not finishing).
bool isFinalizingState(MirrinDictationState state);
std::string caseName(MirrinDictationState state);
std::string caseName(MirrinDictationEvent event);

}  // namespace velmo
