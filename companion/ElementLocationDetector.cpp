#include "companion/ElementLocationDetector.h"

namespace velmo {

ElementLocationDetector::ElementLocationDetector(std::string apiKey, std::string model)
    : apiKey_(std::move(apiKey)),
      apiURL_("https://api.anthropic.com/v1/messages"),
      model_(std::move(model)),
      session_(std::make_shared<URLSession>()) {}

}  // namespace velmo
