#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/media/MediaAuthorization.h"
#include "platform/runtime/OnceCallback.h"

namespace velmo {

// Test double. Statuses are set by the test; a request counts a prompt and, when an answer is
// scripted, answers at once (a grant makes the status authorised, a refusal denied). Without a
// scripted answer the prompt stays open until the test answers it. With `announces` set it
// vouches for the microphone's status between announcements (announceMicrophoneChange()).
class SimulatedMediaAuthorization : public MediaAuthorization {
public:
    MediaAuthorizationStatus microphoneAuthorizationStatus() override { return microphoneStatus.load(); }
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;
    MediaAuthorizationStatus speechRecognitionAuthorizationStatus() override { return speechStatus.load(); }
    void requestSpeechRecognitionAuthorization(std::function<void(MediaAuthorizationStatus)> completion) override;

    void scriptMicrophoneAnswer(std::optional<bool> granted);
    void scriptSpeechAnswer(std::optional<bool> granted);
    // Answer the open prompt; false when none is open.
    bool answerMicrophonePrompt(bool granted);
    bool answerSpeechPrompt(bool granted);
    bool hasOpenMicrophonePrompt() const;
    bool hasOpenSpeechPrompt() const;

    AudioInputAvailability audioInputAvailability() override { return inputAvailability.load(); }
    Cancellable observeMicrophoneChanges(std::function<void()> changed) override {
        return changes_.publisher().sink([changed = std::move(changed)](const bool&) { changed(); });
    }
    bool announcesMicrophoneChanges() override { return announces.load(); }
    void announceMicrophoneChange() const { changes_.send(true); }
    std::atomic<bool> announces{false};

    std::atomic<MediaAuthorizationStatus> microphoneStatus{MediaAuthorizationStatus::authorized};
    std::atomic<AudioInputAvailability> inputAvailability{AudioInputAvailability::available};
    std::atomic<MediaAuthorizationStatus> speechStatus{MediaAuthorizationStatus::authorized};
    std::atomic<int> microphonePrompts{0};
    std::atomic<int> speechPrompts{0};

private:
    struct Prompt {
        std::optional<bool> scripted;
        OnceCallback<bool> open;
    };
    void ask(Prompt& prompt, std::atomic<MediaAuthorizationStatus>& status, std::atomic<int>& prompts,
             std::function<void(bool)> completion);
    bool answer(Prompt& prompt, std::atomic<MediaAuthorizationStatus>& status, bool granted);

    mutable std::mutex mutex_;
    Subject<bool> changes_;
    Prompt microphone_;
    Prompt speech_;
};

}  // namespace velmo
