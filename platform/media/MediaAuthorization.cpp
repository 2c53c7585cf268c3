#include "platform/media/MediaAuthorization.h"

#include "platform/media/PocketSphinxSpeechRecognizer.h"
#include "platform/media/PulseAudioSources.h"

namespace velmo {

namespace {
std::mutex& installMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<MediaAuthorization>& installed() {
    static std::shared_ptr<MediaAuthorization> a;
    return a;
}
MediaAuthorizationStatus statusFor(bool granted) {
    return granted ? MediaAuthorizationStatus::authorized : MediaAuthorizationStatus::denied;
}
}  // namespace

std::shared_ptr<MediaAuthorization> MediaAuthorization::current() {
    std::lock_guard lock(installMutex());
    if (!installed()) installed() = std::make_shared<LinuxMediaAuthorization>();
    return installed();
}

void MediaAuthorization::install(std::shared_ptr<MediaAuthorization> authorization) {
    std::lock_guard lock(installMutex());
    installed() = std::move(authorization);
}

MediaAuthorizationStatus LinuxMediaAuthorization::microphoneAuthorizationStatus() {
    return statusFor(findPulseAudioSource().has_value());
}

void LinuxMediaAuthorization::requestMicrophoneAccess(std::function<void(bool)> completion) {
    bool granted = microphoneAuthorizationStatus() == MediaAuthorizationStatus::authorized;
    if (completion) completion(granted);
}

MediaAuthorizationStatus LinuxMediaAuthorization::speechRecognitionAuthorizationStatus() {
    return statusFor(PocketSphinxSpeechRecognizer::isModelInstalled());
}

void LinuxMediaAuthorization::requestSpeechRecognitionAuthorization(std::function<void(MediaAuthorizationStatus)> completion) {
    auto status = speechRecognitionAuthorizationStatus();
    if (completion) completion(status);
}

void SimulatedMediaAuthorization::scriptMicrophoneAnswer(std::optional<bool> granted) {
    std::lock_guard lock(mutex_);
    microphoneAnswer_ = granted;
}

void SimulatedMediaAuthorization::scriptSpeechAnswer(std::optional<bool> granted) {
    std::lock_guard lock(mutex_);
    speechAnswer_ = granted;
}

void SimulatedMediaAuthorization::requestMicrophoneAccess(std::function<void(bool)> completion) {
    ++microphonePrompts;
    std::optional<bool> answer;
    {
        std::lock_guard lock(mutex_);
        answer = microphoneAnswer_;
        if (!answer) {
            openMicrophonePrompt_ = std::move(completion);
            return;
        }
    }
    microphoneStatus.store(statusFor(*answer));
    if (completion) completion(*answer);
}

void SimulatedMediaAuthorization::requestSpeechRecognitionAuthorization(std::function<void(MediaAuthorizationStatus)> completion) {
    ++speechPrompts;
    std::optional<bool> answer;
    {
        std::lock_guard lock(mutex_);
        answer = speechAnswer_;
        if (!answer) {
            openSpeechPrompt_ = std::move(completion);
            return;
        }
    }
    speechStatus.store(statusFor(*answer));
    if (completion) completion(statusFor(*answer));
}

bool SimulatedMediaAuthorization::answerMicrophonePrompt(bool granted) {
    std::function<void(bool)> prompt;
    {
        std::lock_guard lock(mutex_);
        prompt = std::move(openMicrophonePrompt_);
        openMicrophonePrompt_ = nullptr;
    }
    if (!prompt) return false;
    microphoneStatus.store(statusFor(granted));
    prompt(granted);
    return true;
}

bool SimulatedMediaAuthorization::answerSpeechPrompt(bool granted) {
    std::function<void(MediaAuthorizationStatus)> prompt;
    {
        std::lock_guard lock(mutex_);
        prompt = std::move(openSpeechPrompt_);
        openSpeechPrompt_ = nullptr;
    }
    if (!prompt) return false;
    speechStatus.store(statusFor(granted));
    prompt(statusFor(granted));
    return true;
}

bool SimulatedMediaAuthorization::hasOpenMicrophonePrompt() const {
    std::lock_guard lock(mutex_);
    return openMicrophonePrompt_ != nullptr;
}

bool SimulatedMediaAuthorization::hasOpenSpeechPrompt() const {
    std::lock_guard lock(mutex_);
    return openSpeechPrompt_ != nullptr;
}

}  // namespace velmo
