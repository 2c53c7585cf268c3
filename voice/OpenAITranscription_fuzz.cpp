// The upload transcription service's answer: decoding any body never fails hard, and a decoded
// text is exactly the body's "text" member.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "voice/OpenAIAudioTranscriptionProvider.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto decoded = velmo::TranscriptionResponse::decode(body);
    const auto reference = nlohmann::json::parse(body, nullptr, false);
    const bool expected = reference.is_object() && reference.contains("text") && reference["text"].is_string();
    if (decoded.has_value() != expected) std::abort();
    if (decoded && decoded->text != reference["text"].get<std::string>()) std::abort();
    return 0;
}
