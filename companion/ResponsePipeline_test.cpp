// The pipeline on its own: the published state it writes, the real clients made by a factory
// with the keys it is given, loopback messages and speech servers, simulated displays.
#include "companion/ResponsePipeline.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "companion/CompanionTestEnvironment.h"

using namespace velmo;
using velmo::test::CompanionTestEnvironment;
using velmo::test::LoopbackAnswer;
using velmo::test::sseReply;

namespace {

struct Pipeline : testing::Test {
    CompanionTestEnvironment env;
    std::shared_ptr<CompanionPublishedState> state = std::make_shared<CompanionPublishedState>();
    std::shared_ptr<CompanionServiceClients> clients = std::make_shared<CompanionServiceClients>(
        CompanionServiceClientFactory::standard([](const std::string& key) -> std::optional<std::string> {
            const std::map<std::string, std::string> keys{{"AnthropicAPIKey", "sk-given"}, {"ElevenLabsVoiceID", "voice9"}};
            auto found = keys.find(key);
            if (found == keys.end()) return std::nullopt;
            return found->second;
        }));
    std::shared_ptr<ResponsePipeline> pipeline = ResponsePipeline::create({state, clients, std::make_shared<CompanionUsageEvents>()});
    std::vector<CompanionVoiceState> voiceTrace;
    Cancellable voiceSub = state->voiceState.publisher().sink([this](const CompanionVoiceState& s) { voiceTrace.push_back(s); });

    Pipeline() {
        env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}});
        env.screens->setMouseLocation({100, 100});
        env.speechServer.route("POST", "/v1/text-to-speech/voice9", LoopbackAnswer::text(200, std::string(2048, '\xFF'), "audio/mpeg"));
        voiceTrace.clear();
    }
    bool replied() { return pipeline->currentResponseTask().isValid() && pipeline->currentResponseTask().isDone(); }
};

}  // namespace

TEST_F(Pipeline, ATaggedReplyIsPointedStoredAndSpoken) {
    env.messagesServer.route("POST", "/v1/messages",
                             LoopbackAnswer::streamed(200, {sseReply({"up there [POINT:1100,42:color inspector]"})}));
    pipeline->submitTranscript("how do i grade?");
    ASSERT_TRUE(env.loop().runUntil([&] { return replied(); }));

    ASSERT_EQ(env.messagesServer.requestsWith("POST", "/v1/messages").size(), 1u);
    EXPECT_EQ(env.messagesServer.requestsWith("POST", "/v1/messages")[0].header("x-api-key"), "sk-given");
    // (1100, 42) on the 1280x800 shot of the 1440x900 display.
    EXPECT_EQ(state->detectedElementScreenLocation.get(), (Point{1237.5, 852.75}));
    EXPECT_EQ(state->detectedElementDisplayFrame.get(), (Rect{0, 0, 1440, 900}));
    EXPECT_FALSE(state->detectedElementBubbleText->has_value());
    ASSERT_EQ(pipeline->conversationHistory().size(), 1u);
    EXPECT_EQ(pipeline->conversationHistory()[0].userTranscript, "how do i grade?");
    EXPECT_EQ(pipeline->conversationHistory()[0].assistantResponse, "up there");
    EXPECT_EQ(env.eventNames(), (std::vector<std::string>{"element_pointed", "ai_response_received"}));
    ASSERT_EQ(env.speechServer.requestsWith("POST").size(), 1u);
    EXPECT_EQ(env.speechServer.requestsWith("POST")[0].header("xi-api-key"), "");  // not configured: sent empty
    EXPECT_EQ(voiceTrace, (std::vector<CompanionVoiceState>{CompanionVoiceState::processing, CompanionVoiceState::idle,
                                                            CompanionVoiceState::responding, CompanionVoiceState::idle}));

    // An interruption stops the clip being spoken.
    auto clip = env.players->lastPlayer();
    ASSERT_TRUE(clip && clip->isPlaying());
    pipeline->interrupt();
    EXPECT_FALSE(clip->isPlaying());
    EXPECT_EQ(clients->elevenLabsTTSClient()->audioPlayer, nullptr);
}

TEST_F(Pipeline, TheTranscriptHandlerStillLogsAndCountsOnceThePipelineIsGone) {
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {sseReply({"[POINT:none]"})}));
    auto handler = pipeline->finalTranscriptHandler();
    handler("first");
    EXPECT_EQ(state->lastTranscript.get(), std::optional<std::string>("first"));
    ASSERT_TRUE(env.loop().runUntil([&] { return replied(); }));
    EXPECT_TRUE(env.log.contains("🎯 Element pointing: none"));
    EXPECT_EQ(state->voiceState.get(), CompanionVoiceState::idle);  // nothing to say
    EXPECT_TRUE(env.speechServer.requestsWith("POST").empty());

    pipeline.reset();
    env.loop().runUntilIdle();
    handler("second");
    env.loop().runUntilIdle();
    EXPECT_EQ(state->lastTranscript.get(), std::optional<std::string>("first"));
    EXPECT_EQ(env.log.linesStartingWith("🗣️"),
              (std::vector<std::string>{"🗣️ Companion received transcript: first", "🗣️ Companion received transcript: second"}));
    EXPECT_EQ(env.eventNames(), (std::vector<std::string>{"user_message_sent", "ai_response_received", "user_message_sent"}));
    EXPECT_EQ(env.messagesServer.requestsWith("POST", "/v1/messages").size(), 1u);
}

TEST(ResponsePipeline, EachMissingDependencyIsRefused) {
    auto state = std::make_shared<CompanionPublishedState>();
    auto clients = std::make_shared<CompanionServiceClients>(CompanionServiceClientFactory::standard(nullptr));
    auto events = std::make_shared<CompanionUsageEvents>();
    const ResponsePipeline::Dependencies cases[] = {{nullptr, clients, events}, {state, nullptr, events}, {state, clients, nullptr}};
    for (const auto& dependencies : cases) EXPECT_THROW(ResponsePipeline::create(dependencies), std::invalid_argument);
}
