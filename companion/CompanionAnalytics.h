#pragma once

#include <optional>
#include <string>

namespace velmo {

// The usage events that carry properties. Every event goes through the analytics client's
// shared instance; none of these reports a failure to its caller.
namespace CompanionAnalytics {

void trackAppOpened();
void trackUserMessageSent(const std::string& transcript);
void trackAIResponseReceived(const std::string& response);
void trackElementPointed(const std::optional<std::string>& elementLabel);

}  // namespace CompanionAnalytics
}  // namespace velmo
