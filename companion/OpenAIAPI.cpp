#include "companion/OpenAIAPI.h"

namespace velmo {

OpenAIAPI::OpenAIAPI(std::string apiKey, std::string model)
    : apiKey_(std::move(apiKey)),
      apiURL_("https://api.openai.com/v1/chat/completions"),
      model_(std::move(model)),
      session_(std::make_shared<URLSession>()) {}

}  // namespace velmo
