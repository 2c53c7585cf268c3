#include "companion/ElementLocationDetector.h"

namespace velmo {

ElementLocationDetector::ElementLocationDetector(std::string apiKey, std::string model)
    : fields_{std::move(apiKey), "https://api.anthropic.com/v1/messages", std::move(model), std::make_shared<URLSession>()} {}

}  // namespace velmo
