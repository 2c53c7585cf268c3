#include "companion/OpenAIAPI.h"

namespace velmo {

OpenAIAPI::OpenAIAPI(std::string apiKey, std::string model)
    : fields_{std::move(apiKey), "https://api.openai.com/v1/chat/completions", std::move(model), std::make_shared<URLSession>()} {}

}  // namespace velmo
