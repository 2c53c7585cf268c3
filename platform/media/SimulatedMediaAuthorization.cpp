#include "platform/media/SimulatedMediaAuthorization.h"

namespace velmo {

namespace {
MediaAuthorizationStatus statusFor(bool granted) {
    return granted ? MediaAuthorizationStatus::authorized : MediaAuthorizationStatus::denied;
}
}  // namespace

void SimulatedMediaAuthorization::scriptMicrophoneAnswer(std::optional<bool> granted) {
    std::lock_guard lock(mutex_);
    microphone_.scripted = granted;
}

void SimulatedMediaAuthorization::scriptSpeechAnswer(std::optional<bool> granted) {
    std::lock_guard lock(mutex_);
    speech_.scripted = granted;
}

void SimulatedMediaAuthorization::requestMicrophoneAccess(std::function<void(bool)> completion) {
    ask(microphone_, microphoneStatus, microphonePrompts, std::move(completion));
}

void SimulatedMediaAuthorization::requestSpeechRecognitionAuthorization(std::function<void(MediaAuthorizationStatus)> completion) {
    std::function<void(bool)> answer;
    if (completion) answer = [completion](bool granted) { completion(statusFor(granted)); };
    ask(speech_, speechStatus, speechPrompts, std::move(answer));
}

bool SimulatedMediaAuthorization::answerMicrophonePrompt(bool granted) { return answer(microphone_, microphoneStatus, granted); }

bool SimulatedMediaAuthorization::answerSpeechPrompt(bool granted) { return answer(speech_, speechStatus, granted); }

bool SimulatedMediaAuthorization::hasOpenMicrophonePrompt() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(microphone_.open);
}

bool SimulatedMediaAuthorization::hasOpenSpeechPrompt() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(speech_.open);
}

void SimulatedMediaAuthorization::ask(Prompt& prompt, std::atomic<MediaAuthorizationStatus>& status, std::atomic<int>& prompts,
                                      std::function<void(bool)> completion) {
    ++prompts;
    std::optional<bool> scripted;
    {
        std::lock_guard lock(mutex_);
        scripted = prompt.scripted;
        if (!scripted) {
            prompt.open = std::move(completion);
            return;
        }
    }
    status.store(statusFor(*scripted));
    if (completion) completion(*scripted);
}

bool SimulatedMediaAuthorization::answer(Prompt& prompt, std::atomic<MediaAuthorizationStatus>& status, bool granted) {
    OnceCallback<bool> open;
    {
        std::lock_guard lock(mutex_);
        open = std::move(prompt.open);
    }
    if (!open) return false;
    status.store(statusFor(granted));
    open(granted);
    return true;
}

}  // namespace velmo
