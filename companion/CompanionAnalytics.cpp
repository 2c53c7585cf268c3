#include "companion/CompanionAnalytics.h"

#include "RideZav/RideZavSDK.h"
#include "platform/foundation/InfoPlistString.h"
#include "platform/foundation/Unicode.h"

namespace velmo::CompanionAnalytics {

using ridezav::RideZavSDK;

void trackAppOpened() { RideZavSDK::shared().capture("app_opened", {{"app_version", bundleShortVersionString()}}); }

void trackUserMessageSent(const std::string& transcript) {
    RideZavSDK::shared().capture(
        "user_message_sent", {{"transcript", transcript}, {"character_count", static_cast<long long>(graphemeClusterCount(transcript))}});
}

void trackAIResponseReceived(const std::string& response) {
    RideZavSDK::shared().capture("ai_response_received",
                                 {{"response", response}, {"character_count", static_cast<long long>(graphemeClusterCount(response))}});
}

void trackElementPointed(const std::optional<std::string>& elementLabel) {
    RideZavSDK::shared().capture("element_pointed", {{"element_label", elementLabel.value_or("unknown")}});
}

}  // namespace velmo::CompanionAnalytics
