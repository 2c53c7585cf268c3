// The two hosted services a spoken request reaches, as loopback servers: the messages service
// streams one text reply, the speech service answers with audio bytes.
#pragma once

#include <string>

#include "platform/base/OriginOverride.h"
#include "testing/LoopbackHttpServer.h"

namespace velmo::test {

struct ScriptedMessagesAndSpeech {
    // Replies `replyText` to every message; speaks for the voice "voice-e2e".
    explicit ScriptedMessagesAndSpeech(const std::string& replyText) {
        messages.route("HEAD", "/", LoopbackAnswer::text(200, ""));
        messages.route(
            "POST", "/v1/messages",
            LoopbackAnswer::streamed(
                200, {"data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"" + replyText + "\"}}\n",
                      "data: [DONE]\n"}));
        speech.route("POST", "/v1/text-to-speech/voice-e2e", LoopbackAnswer::text(200, std::string(4096, '\xFF'), "audio/mpeg"));
    }

    LoopbackHttpServer messages, speech;
    OriginOverride::Scope toMessages{"api.anthropic.com", messages.origin()};
    OriginOverride::Scope toSpeech{"api.elevenlabs.io", speech.origin()};
};

}  // namespace velmo::test
