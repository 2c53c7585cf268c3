#include "companion/CompanionUsageEvents.h"

#include "RideZav/RideZavSDK.h"
#include "companion/CompanionAnalytics.h"

namespace velmo {

namespace {
void capture(const std::string& event) { ridezav::RideZavSDK::shared().capture(event); }
void capture(const std::string& event, const ridezav::RideZavProperties& properties) {
    ridezav::RideZavSDK::shared().capture(event, properties);
}
}  // namespace

void CompanionUsageEvents::permissionGranted(const std::string& permission) {
    sequenceChecker_.check();
    capture("permission_granted", {{"permission", permission}});
}

void CompanionUsageEvents::allPermissionsGranted() {
    sequenceChecker_.check();
    capture("all_permissions_granted");
}

void CompanionUsageEvents::pushToTalkStarted() {
    sequenceChecker_.check();
    capture("push_to_talk_started");
}

void CompanionUsageEvents::pushToTalkReleased() {
    sequenceChecker_.check();
    capture("push_to_talk_released");
}

void CompanionUsageEvents::userMessageSent(const std::string& transcript) {
    sequenceChecker_.check();
    CompanionAnalytics::trackUserMessageSent(transcript);
}

void CompanionUsageEvents::aiResponseReceived(const std::string& response) {
    sequenceChecker_.check();
    CompanionAnalytics::trackAIResponseReceived(response);
}

void CompanionUsageEvents::elementPointed(const std::optional<std::string>& elementLabel) {
    sequenceChecker_.check();
    CompanionAnalytics::trackElementPointed(elementLabel);
}

void CompanionUsageEvents::responseError(const std::string& localizedDescription) {
    sequenceChecker_.check();
    capture("response_error", {{"error", localizedDescription}});
}

void CompanionUsageEvents::ttsError(const std::string& localizedDescription) {
    sequenceChecker_.check();
    capture("tts_error", {{"error", localizedDescription}});
}

void CompanionUsageEvents::onboardingStarted() {
    sequenceChecker_.check();
    capture("onboarding_started");
}

void CompanionUsageEvents::onboardingReplayed() {
    sequenceChecker_.check();
    capture("onboarding_replayed");
}

void CompanionUsageEvents::onboardingVideoCompleted() {
    sequenceChecker_.check();
    capture("onboarding_video_completed");
}

void CompanionUsageEvents::onboardingDemoTriggered() {
    sequenceChecker_.check();
    capture("onboarding_demo_triggered");
}

}  // namespace velmo
