#include <gtest/gtest.h>

#include <map>

#include "platform/foundation/Logger.h"
#include "platform/foundation/URLComponents.h"
#include "voice/AssemblyAIStreamingTranscriptionProvider.h"
#include "voice/MirrinTranscriptionProvider.h"

using namespace velmo;

namespace {

MirrinConfigurationLookup lookupOf(std::map<std::string, std::string> values) {
    return [values](const std::string& key) -> std::optional<std::string> {
        auto it = values.find(key);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
}

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

TEST(AssemblyAIStreamingTranscriptionProvider, TheStandardSelectionBuildsItForItsRows) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> config;
        std::optional<std::string> key, token;
        std::vector<std::string> lines;
    } cases[] = {
        {"key, no preference", {{"AssemblyAIAPIKey", " key-1 "}, {"OpenAIAPIKey", "sk"}}, "key-1", std::nullopt, {}},
        {"token only", {{"AssemblyAIStreamingToken", "tok"}}, std::nullopt, "tok", {}},
        {"preferred", {{"VoiceTranscriptionProvider", "AssemblyAI"}, {"AssemblyAIAPIKey", "k"}, {"AssemblyAIStreamingToken", "t"}}, "k", "t", {}},
        {"fallback from the upload service",
         {{"VoiceTranscriptionProvider", "openai"}, {"AssemblyAIAPIKey", "k"}},
         "k",
         std::nullopt,
         {"⚠️ Transcription: OpenAI preferred but not configured, falling back", "⚠️ Transcription: using AssemblyAI as fallback"}},
    };
    for (const auto& c : cases) {
        LogCapture log;
        auto provider = makeTranscriptionProvider(lookupOf(c.config), MirrinTranscriptionProviderFactories::standard());
        auto* streaming = dynamic_cast<AssemblyAIStreamingTranscriptionProvider*>(provider.get());
        ASSERT_NE(streaming, nullptr) << c.name << ": " << provider->displayName();
        EXPECT_EQ(streaming->apiKey(), c.key) << c.name;
        EXPECT_EQ(streaming->temporaryToken(), c.token) << c.name;
        EXPECT_EQ(log.linesStartingWith("⚠️ Transcription:"), c.lines) << c.name;
    }
    LogCapture log;
    auto fallback = makeTranscriptionProvider(lookupOf({{"VoiceTranscriptionProvider", "assemblyai"}}),
                                              MirrinTranscriptionProviderFactories::standard());
    EXPECT_EQ(fallback->displayName(), "Apple Speech");
    EXPECT_EQ(log.linesStartingWith("⚠️ Transcription:"),
              (std::vector<std::string>{"⚠️ Transcription: AssemblyAI preferred but not configured, falling back",
                                        "⚠️ Transcription: using Apple Speech as fallback"}));
}

TEST(AssemblyAIStreamingTranscriptionSession, TheURLIsTheServiceWithItsQueryItems) {
    const std::string url = AssemblyAIStreamingTranscriptionSession::makeWebSocketURL({"SwiftUI"}, std::string("a b"));
    EXPECT_EQ(url,
              "wss://streaming.assemblyai.com/v3/ws?sample_rate=16000&encoding=pcm_s16le&format_turns=true&speech_model=u3-rt-pro"
              "&keyterms_prompt=%5B%22SwiftUI%22%5D&token=a%20b");
    EXPECT_EQ(errorText([] { AssemblyAIStreamingTranscriptionSession::makeWebSocketURL({}, std::nullopt, "wss://bad host/v3/ws"); }),
              "AssemblyAI websocket URL is invalid.");
}
