#pragma once

#include <memory>
#include <string>

#include "platform/net/URLSession.h"
#include "platform/media/AudioPlayer.h"
#include "platform/runtime/Task.h"

namespace velmo {

// Speaks a reply: one request to the text-to-speech service, the whole MPEG clip back, played
// by a player the client keeps so its owner can stop it. Bound to the main thread. A call
// touches the client again only if it was not cancelled, so an owner that cancels its calls may
// let the client go at once.
class ElevenLabsTTSClient {
public:
    static constexpr const char* errorDomain = "ElevenLabsTTS";
    // What is read of an answer: an error body is kept to its first 4 KiB; audio beyond 32 MiB
    // (over half an hour at the service's 128 kbit/s) fails the request.
    static constexpr std::size_t maximumErrorBodyBytes = 4096;
    static constexpr std::size_t maximumAudioBytes = 32 * 1024 * 1024;

    // A null session: the client's own (30 s per request, 60 s per resource). A null factory:
    // AudioPlayerFactory::shared().
    ElevenLabsTTSClient(std::string apiKey, std::string voiceId, std::shared_ptr<AudioPlayer> audioPlayer = nullptr,
                        std::shared_ptr<URLSession> session = nullptr, std::shared_ptr<AudioPlayerFactory> playerFactory = nullptr);

    const std::string& apiKey() const { return apiKey_; }
    const std::string& voiceId() const { return voiceId_; }
    const std::shared_ptr<URLSession>& session() const { return session_; }

    // Returns once the clip has started playing. Throws the transport's and the player's errors
    // unchanged, CancellationError when cancelled after the audio arrived, and
    // Error("ElevenLabsTTS", status, "TTS API error (...") for a status outside 200-299.
    Task<void> speakText(std::string text);

    // The player of the most recent clip; the owner stops it and sets it back to null.
    std::shared_ptr<AudioPlayer> audioPlayer;

    // The URL the client posts to for `voiceId`.
    static std::string requestURL(const std::string& voiceId);
    static std::shared_ptr<URLSession> makeDefaultSession();

private:
    std::string apiKey_;
    std::string voiceId_;
    std::shared_ptr<URLSession> session_;
    std::shared_ptr<AudioPlayerFactory> playerFactory_;
};

}  // namespace velmo
