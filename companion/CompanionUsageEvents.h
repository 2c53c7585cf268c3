#pragma once

#include <optional>
#include <string>

#include "platform/runtime/SequenceChecker.h"

namespace velmo {

// The usage events of the companion and its parts, one operation per event. Each goes to the
// analytics client's shared instance and never reports a failure. Bound to the main thread.
class CompanionUsageEvents {
public:
    // "permission_granted" with "permission" = accessibility, screen_recording, microphone or
    // screen_content.
    void permissionGranted(const std::string& permission);
    void allPermissionsGranted();

    void pushToTalkStarted();
    void pushToTalkReleased();
    void userMessageSent(const std::string& transcript);
    void aiResponseReceived(const std::string& response);
    void elementPointed(const std::optional<std::string>& elementLabel);
    void responseError(const std::string& localizedDescription);
    void ttsError(const std::string& localizedDescription);

    void onboardingStarted();
    void onboardingReplayed();
    void onboardingVideoCompleted();
    void onboardingDemoTriggered();

private:
    [[no_unique_address]] SequenceChecker sequenceChecker_;
};

}  // namespace velmo
