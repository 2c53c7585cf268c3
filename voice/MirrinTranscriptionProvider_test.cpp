#include <gtest/gtest.h>

#include <map>

#include "platform/foundation/Bundle.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/foundation/TestDirectory.h"
#include "voice/AppleSpeechTranscriptionProvider.h"
#include "voice/AssemblyAIStreamingTranscriptionProvider.h"
#include "voice/MirrinTranscriptionProvider.h"

using namespace velmo;

namespace {

// Stands in for a hosted back-end: only its name and how it was built matter here.
class NamedProvider : public MirrinTranscriptionProvider {
public:
    explicit NamedProvider(std::string name)
        : name_(std::move(name)) {}
    std::string displayName() const override { return name_; }
    bool requiresSpeechRecognitionPermission() const override { return false; }
    bool isConfigured() const override { return true; }
    std::optional<std::string> unavailableExplanation() const override { return std::nullopt; }
    Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> startStreamingSession(std::vector<std::string>,
                                                                                     MirrinTranscriptUpdateCallback,
                                                                                     MirrinFinalTranscriptCallback,
                                                                                     MirrinTranscriptionErrorCallback) override {
        co_return nullptr;
    }

private:
    std::string name_;
};

struct Built {
    int streaming = 0, upload = 0;
    std::optional<std::string> streamingKey, streamingToken, uploadKey;
    std::string model;
};

MirrinTranscriptionProviderFactories hostedFactories(Built& built) {
    MirrinTranscriptionProviderFactories f = MirrinTranscriptionProviderFactories::standard();
    f.makeStreamingProvider = [&built](std::optional<std::string> key, std::optional<std::string> token) {
        ++built.streaming;
        built.streamingKey = key;
        built.streamingToken = token;
        return std::make_unique<NamedProvider>("AssemblyAI");
    };
    f.makeUploadProvider = [&built](std::optional<std::string> key, std::string model) {
        ++built.upload;
        built.uploadKey = key;
        built.model = model;
        return std::make_unique<NamedProvider>("OpenAI");
    };
    return f;
}

MirrinConfigurationLookup lookupOf(std::map<std::string, std::string> values) {
    return [values](const std::string& key) -> std::optional<std::string> {
        auto it = values.find(key);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
}

const char* kAssemblyFallingBack = "⚠️ Transcription: AssemblyAI preferred but not configured, falling back";
const char* kOpenAIFallingBack = "⚠️ Transcription: OpenAI preferred but not configured, falling back";
const char* kUsingOpenAI = "⚠️ Transcription: using OpenAI as fallback";
const char* kUsingAssembly = "⚠️ Transcription: using AssemblyAI as fallback";
const char* kUsingApple = "⚠️ Transcription: using Apple Speech as fallback";

}  // namespace

TEST(makeTranscriptionProvider, FollowsThePreferenceAndFallbackTable) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> config;
        std::string chosen;
        std::vector<std::string> lines;
    } cases[] = {
        {"nothing configured", {}, "Apple Speech", {}},
        {"streaming key", {{"AssemblyAIAPIKey", "k"}}, "AssemblyAI", {}},
        {"streaming token only", {{"AssemblyAIStreamingToken", "t"}}, "AssemblyAI", {}},
        {"upload key", {{"OpenAIAPIKey", "k"}}, "OpenAI", {}},
        {"both keys", {{"AssemblyAIAPIKey", "k"}, {"OpenAIAPIKey", "k"}}, "AssemblyAI", {}},
        {"apple over both keys",
         {{"VoiceTranscriptionProvider", "apple"}, {"AssemblyAIAPIKey", "k"}, {"OpenAIAPIKey", "k"}},
         "Apple Speech",
         {}},
        {"assemblyai configured", {{"VoiceTranscriptionProvider", "assemblyai"}, {"AssemblyAIAPIKey", "k"}}, "AssemblyAI", {}},
        {"assemblyai falls back to openai",
         {{"VoiceTranscriptionProvider", "assemblyai"}, {"OpenAIAPIKey", "k"}},
         "OpenAI",
         {kAssemblyFallingBack, kUsingOpenAI}},
        {"assemblyai falls back to apple",
         {{"VoiceTranscriptionProvider", "AssemblyAI"}},
         "Apple Speech",
         {kAssemblyFallingBack, kUsingApple}},
        {"openai in any case", {{"VoiceTranscriptionProvider", "OpenAI"}, {"OpenAIAPIKey", "k"}}, "OpenAI", {}},
        {"openai over a streaming key",
         {{"VoiceTranscriptionProvider", "openai"}, {"OpenAIAPIKey", "k"}, {"AssemblyAIAPIKey", "k"}},
         "OpenAI",
         {}},
        {"openai falls back to assemblyai",
         {{"VoiceTranscriptionProvider", "OPENAI"}, {"AssemblyAIStreamingToken", "t"}},
         "AssemblyAI",
         {kOpenAIFallingBack, kUsingAssembly}},
        {"openai falls back to apple", {{"VoiceTranscriptionProvider", "openai"}}, "Apple Speech", {kOpenAIFallingBack, kUsingApple}},
        {"unknown name is no preference", {{"VoiceTranscriptionProvider", "whisper"}, {"OpenAIAPIKey", "k"}}, "OpenAI", {}},
        {"blank key is absent", {{"AssemblyAIAPIKey", "   "}, {"OpenAIAPIKey", " \n\t"}}, "Apple Speech", {}},
        {"preference is trimmed", {{"VoiceTranscriptionProvider", " apple\n"}, {"AssemblyAIAPIKey", "k"}}, "Apple Speech", {}},
    };
    for (const auto& c : cases) {
        LogCapture log;
        Built built;
        auto provider = makeTranscriptionProvider(lookupOf(c.config), hostedFactories(built));
        ASSERT_TRUE(provider) << c.name;
        EXPECT_EQ(provider->displayName(), c.chosen) << c.name;
        EXPECT_EQ(log.linesStartingWith("⚠️ Transcription:"), c.lines) << c.name;
        EXPECT_EQ(built.streaming, 1) << c.name;  // both hosted back-ends are built every time
        EXPECT_EQ(built.upload, 1) << c.name;

        // Chosen ahead (the start-up's configuration), the same back-end is built without a line:
        // the lines are the choice's, for the caller to write once.
        LogCapture quiet;
        const MirrinTranscriptionChoice choice = chooseTranscriptionBackend(lookupOf(c.config));
        EXPECT_EQ(choice.lines, c.lines) << c.name;
        auto again = makeTranscriptionProvider(choice, lookupOf(c.config), hostedFactories(built));
        EXPECT_EQ(again->displayName(), c.chosen) << c.name;
        EXPECT_TRUE(quiet.linesStartingWith("⚠️ Transcription:").empty()) << c.name;
    }
}

TEST(makeTranscriptionProvider, HandsTrimmedKeysAndTheDefaultModelToTheBackEnds) {
    Built built;
    makeTranscriptionProvider(lookupOf({{"AssemblyAIAPIKey", " key \n"}, {"OpenAIAPIKey", "sk"}}), hostedFactories(built));
    EXPECT_EQ(built.streamingKey, "key");
    EXPECT_EQ(built.streamingToken, std::nullopt);
    EXPECT_EQ(built.uploadKey, "sk");
    EXPECT_EQ(built.model, "gpt-4o-transcribe");

    makeTranscriptionProvider(lookupOf({{"OpenAITranscriptionModel", " whisper-1 "}}), hostedFactories(built));
    EXPECT_EQ(built.model, "whisper-1");
    makeTranscriptionProvider(lookupOf({{"OpenAITranscriptionModel", "  "}}), hostedFactories(built));
    EXPECT_EQ(built.model, "gpt-4o-transcribe");
}

TEST(makeTranscriptionProvider, ABackEndThatCannotBeMadeCountsAsNotConfigured) {
    // This build may not carry every hosted back-end: their rows fall back as when unconfigured.
    MirrinTranscriptionProviderFactories withoutHosted = MirrinTranscriptionProviderFactories::standard();
    withoutHosted.makeStreamingProvider = nullptr;
    withoutHosted.makeUploadProvider = [](std::optional<std::string>, std::string) { return nullptr; };
    LogCapture log;
    auto provider = makeTranscriptionProvider(
        lookupOf({{"VoiceTranscriptionProvider", "assemblyai"}, {"AssemblyAIAPIKey", "k"}, {"OpenAIAPIKey", "k"}}), withoutHosted);
    EXPECT_EQ(provider->displayName(), "Apple Speech");
    EXPECT_EQ(log.linesStartingWith("⚠️ Transcription:"), (std::vector<std::string>{kAssemblyFallingBack, kUsingApple}));

    LogCapture quiet;
    EXPECT_EQ(makeTranscriptionProvider(lookupOf({{"AssemblyAIAPIKey", "k"}}), withoutHosted)->displayName(), "Apple Speech");
    EXPECT_TRUE(quiet.linesStartingWith("⚠️").empty());
}

TEST(makeTranscriptionProvider, TheStandardFactoriesBuildTheStreamingBackEndForItsRows) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> config;
        std::optional<std::string> key, token;
        std::vector<std::string> lines;
    } cases[] = {
        {"key, no preference", {{"AssemblyAIAPIKey", " key-1 "}, {"OpenAIAPIKey", "sk"}}, "key-1", std::nullopt, {}},
        {"token only", {{"AssemblyAIStreamingToken", "tok"}}, std::nullopt, "tok", {}},
        {"preferred",
         {{"VoiceTranscriptionProvider", "AssemblyAI"}, {"AssemblyAIAPIKey", "k"}, {"AssemblyAIStreamingToken", "t"}},
         "k",
         "t",
         {}},
        {"fallback from the upload service",
         {{"VoiceTranscriptionProvider", "openai"}, {"AssemblyAIAPIKey", "k"}},
         "k",
         std::nullopt,
         {kOpenAIFallingBack, kUsingAssembly}},
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
    EXPECT_EQ(log.linesStartingWith("⚠️ Transcription:"), (std::vector<std::string>{kAssemblyFallingBack, kUsingApple}));
}

TEST(makeTranscriptionProvider, ReadsTheBundleConfiguration) {
    velmo::test::TestDirectory dir;
    dir.write("Velmo.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>VoiceTranscriptionProvider</key><string>OpenAI</string>
</dict></plist>)");
    Bundle::Scope scope(dir / "Velmo.app");
    LogCapture log;
    auto provider = makeTranscriptionProvider();
    EXPECT_EQ(provider->displayName(), "Apple Speech");
    EXPECT_EQ(log.linesStartingWith("⚠️ Transcription:"), (std::vector<std::string>{kOpenAIFallingBack, kUsingApple}));
}

TEST(AppleSpeechTranscriptionProvider, IsTheUnconfiguredPlatformBackEnd) {
    AppleSpeechTranscriptionProvider provider;
    EXPECT_EQ(provider.displayName(), "Apple Speech");
    EXPECT_TRUE(provider.requiresSpeechRecognitionPermission());
    EXPECT_TRUE(provider.isConfigured());
    EXPECT_EQ(provider.unavailableExplanation(), std::nullopt);
}
