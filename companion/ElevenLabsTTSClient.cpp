#include "companion/ElevenLabsTTSClient.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

#include "platform/base/Logger.h"
#include "platform/base/UTF8.h"

using namespace std::chrono_literals;

namespace velmo {

std::shared_ptr<URLSession> ElevenLabsTTSClient::makeDefaultSession() {
    URLSessionConfiguration configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForRequest = 30s;
    configuration.timeoutIntervalForResource = 60s;
    return std::make_shared<URLSession>(configuration);
}

ElevenLabsTTSClient::ElevenLabsTTSClient(std::string apiKey, std::string voiceId, std::shared_ptr<AudioPlayer> player,
                                         std::shared_ptr<URLSession> session, std::shared_ptr<AudioPlayerFactory> playerFactory)
    : audioPlayer(std::move(player)),
      apiKey_(std::move(apiKey)),
      voiceId_(std::move(voiceId)),
      session_(session ? std::move(session) : makeDefaultSession()),
      playerFactory_(std::move(playerFactory)) {}

std::string ElevenLabsTTSClient::requestURL(const std::string& voiceId) {
    // Escaped as one segment, so an identifier cannot reach another path or a query.
    return "https://api.elevenlabs.io/v1/text-to-speech/" + percentEncodedPathSegment(voiceId);
}

Task<void> ElevenLabsTTSClient::speakText(std::string text) {
    if (!isValidHTTPHeaderValue(apiKey_))
        throw Error(errorDomain, -3, "The API key holds a line break (CR or LF) and cannot be sent; nothing was sent.");
    auto session = session_;
    auto factory = playerFactory_ ? playerFactory_ : AudioPlayerFactory::shared();

    URLRequest request(requestURL(voiceId_), Seconds(60));
    request.httpMethod = "POST";
    request.setValue(apiKey_, "xi-api-key");
    request.setValue("application/json", "Content-Type");
    request.setValue("audio/mpeg", "Accept");
    nlohmann::json body = {
        {"text", text},
        {"model_id", "eleven_multilingual_v2"},
        {"voice_settings", {{"stability", 0.5}, {"similarity_boost", 0.75}}},
    };
    request.httpBody = body.dump();
    request.maximumBodyBytes = maximumAudioBytes;
    // A few bytes more, so the cut below sees whether a character crosses the bound.
    request.maximumErrorBodyBytes = maximumErrorBodyBytes + 4;

    URLDataResponse result;
    try {
        result = co_await session->data(std::move(request));
    } catch (const URLError& error) {
        if (error.urlCode() != URLError::dataLengthExceedsMaximum) throw;
        logLine("⚠️ ElevenLabs TTS audio longer than " + std::to_string(maximumAudioBytes) + " bytes; nothing is played");
        throw Error(errorDomain, -4,
                    "The spoken reply is longer than " + std::to_string(maximumAudioBytes / (1024 * 1024)) + " MiB of audio.");
    }
    if (!result.response.isHTTP()) throw Error(errorDomain, -1, "Invalid response");
    int status = result.response.statusCode;
    if (status < 200 || status > 299) {
        const std::string_view kept = utf8Prefix(result.data, maximumErrorBodyBytes);
        std::string detail = isValidUTF8(kept) ? std::string(kept) : "Unknown error";
        throw Error(errorDomain, status, "TTS API error (" + std::to_string(status) + "): " + detail);
    }
    Task<>::checkCancellation();

    std::size_t size = result.data.size();
    std::shared_ptr<AudioPlayer> player = factory->playerWithData(std::move(result.data));
    audioPlayer = player;
    player->play();
    logLine("🔊 ElevenLabs TTS: playing " + std::to_string(size / 1024) + "KB audio");
}

}  // namespace velmo
