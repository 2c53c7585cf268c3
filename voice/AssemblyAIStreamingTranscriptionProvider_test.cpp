#include <gtest/gtest.h>

#include "voice/AssemblyAIStreamingTranscriptionProvider.h"

using namespace velmo;

namespace {

std::string errorText(const std::function<void()>& run) {
    try {
        run();
    } catch (const AssemblyAIStreamingTranscriptionProviderError& e) {
        return e.description();
    }
    return "no error";
}

}  // namespace

TEST(AssemblyAIStreamingTranscriptionProvider, IsConfiguredByAKeyOrAToken) {
    struct Case {
        std::optional<std::string> key, token;
        bool configured;
    } cases[] = {{"k", std::nullopt, true}, {std::nullopt, "t", true}, {"k", "t", true}, {std::nullopt, std::nullopt, false}};
    for (const auto& c : cases) {
        AssemblyAIStreamingTranscriptionProvider provider(c.key, c.token);
        EXPECT_EQ(provider.displayName(), "AssemblyAI");
        EXPECT_FALSE(provider.requiresSpeechRecognitionPermission());
        EXPECT_EQ(provider.isConfigured(), c.configured);
        EXPECT_EQ(provider.unavailableExplanation(),
                  c.configured ? std::nullopt
                               : std::optional<std::string>(
                                     "AssemblyAI is not configured. Add AssemblyAIAPIKey or AssemblyAIStreamingToken to Info.plist."));
        EXPECT_EQ(provider.apiKey(), c.key);
        EXPECT_EQ(provider.temporaryToken(), c.token);
    }
}

TEST(AssemblyAIStreamingTranscriptionSession, TheURLIsTheServiceWithItsQueryItems) {
    const std::string url = AssemblyAIStreamingTranscriptionSession::makeWebSocketURL({"SwiftUI"}, std::string("a b"));
    EXPECT_EQ(url,
              "wss://streaming.assemblyai.com/v3/ws?sample_rate=16000&encoding=pcm_s16le&format_turns=true&speech_model=u3-rt-pro"
              "&keyterms_prompt=%5B%22SwiftUI%22%5D&token=a%20b");
    EXPECT_EQ(errorText([] { AssemblyAIStreamingTranscriptionSession::makeWebSocketURL({}, std::nullopt, "wss://bad host/v3/ws"); }),
              "AssemblyAI websocket URL is invalid.");
}
