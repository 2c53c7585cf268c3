#include "voice/MirrinDictationState.h"

namespace velmo {

std::optional<MirrinDictationState> nextDictationState(MirrinDictationState state, MirrinDictationEvent event) {
    using S = MirrinDictationState;
    using E = MirrinDictationEvent;
    // Starts that passed their busy check before another one went ahead (the short wait before
    // the first prompt) may still request, give up or begin in any state but finishing; their
    // moves follow the flags they assign.
    switch (event) {
        case E::startRequested:
            switch (state) {
                case S::idle:
                case S::preparing:
                    return S::preparing;
                case S::startingSession:
                case S::recording:
                    return S::startingSession;
                case S::finalizingWhileStarting:
                case S::finalizing:
                    return S::finalizingWhileStarting;
                case S::finishing:
                    return std::nullopt;
            }
            break;
        case E::preparationEnded:
            switch (state) {
                case S::idle:
                case S::preparing:
                    return S::idle;
                case S::startingSession:
                case S::recording:
                    return S::recording;
                case S::finalizingWhileStarting:
                case S::finalizing:
                    return S::finalizing;
                case S::finishing:
                    return S::finishing;
            }
            break;
        case E::dictationBegan:
            switch (state) {
                case S::preparing:
                case S::startingSession:
                case S::finalizingWhileStarting:
                    return S::startingSession;
                case S::idle:  // another start's give-up already ended the preparing
                case S::recording:
                case S::finalizing:
                    return S::recording;
                case S::finishing:
                    return std::nullopt;
            }
            break;
        case E::stopRequested:
            switch (state) {
                case S::startingSession:
                    return S::finalizingWhileStarting;
                case S::recording:
                    return S::finalizing;
                default:
                    return std::nullopt;
            }
        case E::finishBegan:
            if (isFinalizingState(state)) return S::finishing;
            return std::nullopt;
        case E::reset:
            return S::idle;
    }
    return std::nullopt;
}

MirrinDictationFlags dictationFlags(MirrinDictationState state, std::optional<MirrinDictationStartSource> source) {
    using S = MirrinDictationState;
    const bool keyboard = source == MirrinDictationStartSource::keyboardShortcut;
    const bool microphone = source == MirrinDictationStartSource::microphoneButton;
    MirrinDictationFlags flags;
    flags.isPreparingToRecord = state == S::preparing || state == S::startingSession || state == S::finalizingWhileStarting;
    const bool recording = state == S::startingSession || state == S::recording;
    flags.isRecordingFromMicrophoneButton = recording && microphone;
    flags.isRecordingFromKeyboardShortcut = recording && keyboard;
    flags.isKeyboardShortcutSessionActiveOrFinalizing = state != S::idle && state != S::preparing && keyboard;
    flags.isFinalizingTranscript = isFinalizingState(state) || state == S::finishing;
    return flags;
}

bool isFinalizingState(MirrinDictationState state) {
    return state == MirrinDictationState::finalizingWhileStarting || state == MirrinDictationState::finalizing;
}

std::string caseName(MirrinDictationState state) {
    switch (state) {
        case MirrinDictationState::idle:
            return "idle";
        case MirrinDictationState::preparing:
            return "preparing";
        case MirrinDictationState::startingSession:
            return "startingSession";
        case MirrinDictationState::recording:
            return "recording";
        case MirrinDictationState::finalizingWhileStarting:
            return "finalizingWhileStarting";
        case MirrinDictationState::finalizing:
            return "finalizing";
        case MirrinDictationState::finishing:
            return "finishing";
    }
    return "unknown";
}

std::string caseName(MirrinDictationEvent event) {
    switch (event) {
        case MirrinDictationEvent::startRequested:
            return "startRequested";
        case MirrinDictationEvent::preparationEnded:
            return "preparationEnded";
        case MirrinDictationEvent::dictationBegan:
            return "dictationBegan";
        case MirrinDictationEvent::stopRequested:
            return "stopRequested";
        case MirrinDictationEvent::finishBegan:
            return "finishBegan";
        case MirrinDictationEvent::reset:
            return "reset";
    }
    return "unknown";
}

}  // namespace velmo
