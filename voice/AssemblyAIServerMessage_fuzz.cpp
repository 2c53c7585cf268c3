// The streaming service's messages: any text either decodes or fails with the session's own
// error, and a decoded turn holds exactly the members the text has.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "voice/AssemblyAIStreamingTranscriptionProvider.h"

using Session = velmo::AssemblyAIStreamingTranscriptionSession;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Session::ServerMessage message;
    try {
        message = Session::decodeServerMessage(text);
    } catch (const velmo::AssemblyAIStreamingTranscriptionProviderError&) {
        return 0;
    } catch (const velmo::AssemblyAIMessageDecodingError&) {
        return 0;
    }
    const auto reference = nlohmann::json::parse(text, nullptr, false);
    if (!reference.is_object()) std::abort();
    if (message.kind == Session::ServerMessage::Kind::turn) {
        const auto transcript = reference.find("transcript");
        const bool hasText = transcript != reference.end() && transcript->is_string();
        if (message.turn.transcript.has_value() != hasText) std::abort();
        if (hasText && *message.turn.transcript != transcript->get<std::string>()) std::abort();
    }
    return 0;
}
