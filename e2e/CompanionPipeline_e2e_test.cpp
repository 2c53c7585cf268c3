// The road from a press of the chord to a spoken answer with a pointed spot: the real messages
// and speech clients against loopback servers, two simulated displays, the owned objects as
// test doubles.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "companion/CompanionManager.h"
#include "companion/CompanionTestEnvironment.h"
#include "platform/net/Base64.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/JpegTestImage.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::CompanionTestEnvironment;
using velmo::test::Gate;
using velmo::test::LoopbackAnswer;
using velmo::test::sseReply;
using json = nlohmann::json;

namespace {

const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.velmo.test</string>
<key>AnthropicAPIKey</key><string>sk-test-messages</string>
<key>ElevenLabsAPIKey</key><string>xi-test-speech</string>
<key>ElevenLabsVoiceID</key><string>voice123</string>
</dict></plist>)";

class CompanionPipeline : public testing::Test {
protected:
    CompanionTestEnvironment env;
    velmo::test::TestDirectory bundleDir;
    std::unique_ptr<Bundle::Scope> bundle;
    std::shared_ptr<CompanionManager> companion;
    std::vector<CompanionVoiceState> voiceTrace;
    Cancellable voiceSub;

    void SetUp() override {
        bundleDir.write("Velmo.app/Contents/Info.plist", kInfoPlist);
        bundle = std::make_unique<Bundle::Scope>(bundleDir / "Velmo.app");
        env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}, {2, 1920, 1080, {1440, 0, 1920, 1080}}});
        env.screens->setMouseLocation({2000, 500});
        env.grantEverything();
        env.speechServer.route("POST", "/v1/text-to-speech/voice123", LoopbackAnswer::text(200, std::string(2048, '\xFF'), "audio/mpeg"));
        companion = env.makeCompanion();
        companion->start();
        env.loop().runUntilIdle();
        env.events.clear();
        voiceSub = companion->voiceState().publisher().sink([this](const CompanionVoiceState& s) { voiceTrace.push_back(s); });
        voiceTrace.clear();
    }
    void TearDown() override {
        companion->stop();
        env.loop().runUntil([&] { return !companion->currentResponseTask().isValid() || companion->currentResponseTask().isDone(); });
        env.loop().runUntilIdle();
    }

    bool responseDone() { return companion->currentResponseTask().isValid() && companion->currentResponseTask().isDone(); }
    void say(const std::string& transcript) {
        ASSERT_TRUE(env.dictation->submitDraftText) << "no dictation was started";
        env.dictation->submitDraftText(transcript);
    }
    void pressAndRelease() {
        env.shortcut->transitions.send(ShortcutTransition::pressed);
        env.loop().runUntilIdle();
        env.shortcut->transitions.send(ShortcutTransition::released);
        env.loop().runUntilIdle();
    }
};

}  // namespace

TEST_F(CompanionPipeline, ATranscriptBecomesOneRequestASpokenAnswerAndAPointedSpot) {
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::bytewise(200, sseReply({"open the ", "menu [POINT:12,7:file menu]"})));
    pressAndRelease();
    say("where is the file menu?");
    ASSERT_TRUE(env.loop().runUntil([&] { return responseDone(); }));

    // The request: the display under the mouse first, each image followed by its label.
    auto posts = env.messagesServer.requestsWith("POST", "/v1/messages");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].header("x-api-key"), "sk-test-messages");
    json body = json::parse(posts[0].body);
    auto content = body["messages"].back()["content"];
    ASSERT_EQ(content.size(), 5u);
    EXPECT_EQ(content[1]["text"], "screen 1 of 2 \u2014 cursor is on this screen (primary focus) (image dimensions: 1280x720 pixels)");
    EXPECT_EQ(content[3]["text"], "screen 2 of 2 \u2014 secondary screen (image dimensions: 1280x800 pixels)");
    EXPECT_EQ(content[4]["text"], "where is the file menu?");
    for (auto [index, width, height] : {std::tuple{0, 1280, 720}, std::tuple{2, 1280, 800}}) {
        EXPECT_EQ(content[index]["source"]["media_type"], "image/jpeg");
        auto bytes = Base64::decode(content[index]["source"]["data"].get<std::string>());
        ASSERT_TRUE(bytes.has_value());
        auto jpeg = velmo::test::decodeJpeg(std::vector<std::uint8_t>(bytes->begin(), bytes->end()));
        ASSERT_TRUE(jpeg.has_value());
        EXPECT_EQ(jpeg->width, width);
        EXPECT_EQ(jpeg->height, height);
    }

    // (12, 7) on the 1280x720 shot of the 1920x1080 display at x = 1440.
    EXPECT_EQ(companion->detectedElementScreenLocation().get(), (Point{1458, 1069.5}));
    EXPECT_EQ(companion->detectedElementDisplayFrame().get(), (Rect{1440, 0, 1920, 1080}));
    EXPECT_FALSE(companion->detectedElementBubbleText()->has_value());
    EXPECT_TRUE(env.log.contains("🎯 Element pointing: (12, 7) → \"file menu\""));
    EXPECT_TRUE(env.log.contains("🧠 Conversation history: 1 exchanges"));

    auto events = env.events.events();
    ASSERT_EQ(env.eventNames(), (std::vector<std::string>{"push_to_talk_started", "push_to_talk_released", "user_message_sent",
                                                          "element_pointed", "ai_response_received"}));
    EXPECT_EQ(events[2].properties, (json{{"transcript", "where is the file menu?"}, {"character_count", 23}}));
    EXPECT_EQ(events[3].properties, (json{{"element_label", "file menu"}}));
    EXPECT_EQ(events[4].properties, (json{{"response", "open the menu"}, {"character_count", 13}}));

    auto speech = env.speechServer.requestsWith("POST");
    ASSERT_EQ(speech.size(), 1u);
    EXPECT_EQ(speech[0].header("xi-api-key"), "xi-test-speech");
    EXPECT_EQ(
        json::parse(speech[0].body),
        json::parse(
            R"({"text":"open the menu","model_id":"eleven_multilingual_v2","voice_settings":{"stability":0.5,"similarity_boost":0.75}})"));
    ASSERT_NE(env.players->lastPlayer(), nullptr);
    EXPECT_EQ(env.players->lastPlayer()->calls(), std::vector<std::string>{"play"});
    EXPECT_EQ(voiceTrace, (std::vector<CompanionVoiceState>{CompanionVoiceState::processing, CompanionVoiceState::idle,
                                                            CompanionVoiceState::responding, CompanionVoiceState::idle}));
    ASSERT_EQ(companion->conversationHistory().size(), 1u);
    EXPECT_EQ(companion->conversationHistory()[0].assistantResponse, "open the menu");
}

TEST_F(CompanionPipeline, ALaterTranscriptCancelsAHeldReplyWhichThenChangesNothing) {
    auto held = std::make_shared<Gate>();
    env.messagesServer.route("POST", "/v1/messages", [held](const velmo::test::RecordedRequest& r) {
        if (r.body.find("first question") != std::string::npos)
            return LoopbackAnswer::streamed(200, {sseReply({"stale answer [POINT:1,1:old]"})}).heldBy(held);
        return LoopbackAnswer::streamed(200, {sseReply({"fresh answer"})});
    });
    pressAndRelease();
    say("first question");
    ASSERT_TRUE(env.messagesServer.waitForRequests(1));
    env.loop().runUntilIdle();
    say("second question");
    ASSERT_TRUE(env.loop().runUntil([&] { return responseDone() && env.players->lastPlayer() != nullptr; }));
    held->release();
    env.loop().runUntil([] { return false; }, 0.2s);  // give the stale reply every chance to arrive

    ASSERT_EQ(companion->conversationHistory().size(), 1u);
    EXPECT_EQ(companion->conversationHistory()[0].userTranscript, "second question");
    EXPECT_FALSE(companion->detectedElementScreenLocation()->has_value());
    EXPECT_EQ(env.speechServer.requestsWith("POST").size(), 1u);
    EXPECT_EQ(json::parse(env.speechServer.requestsWith("POST")[0].body)["text"], "fresh answer");
    // The interrupted transfer fails with its own cancellation error, which is reported.
    EXPECT_EQ(env.log.linesStartingWith("⚠️ Companion response error: ").size(), 1u);
    EXPECT_EQ(companion->voiceState().get(), CompanionVoiceState::idle);
}

TEST_F(CompanionPipeline, StoppingDuringAHeldReplyReportsNoError) {
    auto held = std::make_shared<Gate>();
    env.messagesServer.route("POST", "/v1/messages", [held](const velmo::test::RecordedRequest&) {
        return LoopbackAnswer::streamed(200, {sseReply({"late answer"})}).heldBy(held);
    });
    pressAndRelease();
    say("a question");
    ASSERT_TRUE(env.messagesServer.waitForRequests(1));
    env.loop().runUntilIdle();
    companion->stop();
    env.loop().runUntil([] { return false; }, 0.2s);
    held->release();
    env.loop().runUntil([] { return false; }, 0.2s);

    EXPECT_TRUE(env.log.linesStartingWith("⚠️ Companion response error: ").empty());
    EXPECT_TRUE(env.log.linesStartingWith("⚠️ ElevenLabs TTS error: ").empty());
    auto names = env.eventNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "response_error"), 0);
    EXPECT_TRUE(companion->conversationHistory().empty());
    EXPECT_TRUE(env.speechServer.requestsWith("POST").empty());
}

TEST_F(CompanionPipeline, TheEleventhExchangeDropsTheFirstAndHistoryTravelsWithTheRequest) {
    env.messagesServer.route("POST", "/v1/messages", [](const velmo::test::RecordedRequest& r) {
        std::string question = json::parse(r.body)["messages"].back()["content"].back()["text"];
        return LoopbackAnswer::streamed(200, {sseReply({"answer to " + question + " [POINT:none]"})});
    });
    pressAndRelease();
    for (int i = 1; i <= 11; ++i) {
        say("q" + std::to_string(i));
        ASSERT_TRUE(
            env.loop().runUntil([&] { return responseDone() && companion->conversationHistory().size() == std::size_t(std::min(i, 10)); }));
    }
    const auto& history = companion->conversationHistory();
    ASSERT_EQ(history.size(), 10u);
    EXPECT_EQ(history.front().userTranscript, "q2");
    EXPECT_EQ(history.back().assistantResponse, "answer to q11");
    EXPECT_EQ(env.log.linesStartingWith("🧠").back(), "🧠 Conversation history: 10 exchanges");
    EXPECT_TRUE(env.log.contains("🎯 Element pointing: none"));

    json last = json::parse(env.messagesServer.requestsWith("POST", "/v1/messages").back().body);
    ASSERT_EQ(last["messages"].size(), 21u);  // ten remembered pairs, then the new turn
    EXPECT_EQ(last["messages"][0]["content"], "q1");
    EXPECT_EQ(last["messages"][1]["content"], "answer to q1");
}

TEST_F(CompanionPipeline, FailuresAreReportedAndLeaveTheHistoryAlone) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* event;
        const char* logPrefix;
    } cases[] = {
        {"messages 500", [&] { env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::text(500, "overloaded")); },
         "response_error", "⚠️ Companion response error: "},
        {"screenshot refused",
         [&] {
             env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {sseReply({"hi"})}));
             env.screens->failScreenshot(2, std::make_exception_ptr(Error("SCStream", -3801, "refused")));
         },
         "response_error", "⚠️ Companion response error: "},
        {"speech 401",
         [&] {
             env.screens->failScreenshot(2, nullptr);
             env.speechServer.route("POST", "/v1/text-to-speech/voice123", LoopbackAnswer::text(401, "{\"detail\":\"bad key\"}"));
         },
         "tts_error", "⚠️ ElevenLabs TTS error: "},
    };
    pressAndRelease();
    std::size_t expectedHistory = 0;
    for (auto& c : cases) {
        c.arrange();
        env.events.clear();
        env.log.clear();
        say(c.name);
        ASSERT_TRUE(env.loop().runUntil([&] { return responseDone(); })) << c.name;
        if (std::string(c.event) == "tts_error") ++expectedHistory;  // the reply itself arrived
        auto names = env.events.names();
        ASSERT_FALSE(names.empty()) << c.name;
        EXPECT_EQ(names.back(), c.event) << c.name;
        EXPECT_EQ(env.log.linesStartingWith(c.logPrefix).size(), 1u) << c.name;
        EXPECT_EQ(companion->conversationHistory().size(), expectedHistory) << c.name;
        EXPECT_EQ(companion->voiceState().get(), CompanionVoiceState::idle) << c.name;
    }
}

TEST_F(CompanionPipeline, AReplyOfOnlyATagIsNotSpokenAndAPressStopsSpeech) {
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {sseReply({"[POINT:none]"})}));
    pressAndRelease();
    say("anything?");
    ASSERT_TRUE(env.loop().runUntil([&] { return responseDone(); }));
    EXPECT_TRUE(env.speechServer.requestsWith("POST").empty());
    EXPECT_EQ(companion->voiceState().get(), CompanionVoiceState::idle);
    EXPECT_EQ(env.events.events().back().properties, (json{{"response", ""}, {"character_count", 0}}));

    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {sseReply({"a long answer"})}));
    say("talk to me");
    ASSERT_TRUE(env.loop().runUntil([&] { return responseDone() && env.players->lastPlayer(); }));
    auto player = env.players->lastPlayer();
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    EXPECT_EQ(player->calls(), (std::vector<std::string>{"play", "stop"}));
    EXPECT_EQ(companion->elevenLabsTTSClient()->audioPlayer, nullptr);
}
