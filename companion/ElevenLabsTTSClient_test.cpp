#include "companion/ElevenLabsTTSClient.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/media/MpegAudioPlayer.h"
#include "platform/media/SimulatedAudioPlayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/MpegTestClip.h"
#include "testing/TaskProbe.h"

using namespace velmo;
using velmo::test::errorIdentity;
using velmo::test::ErrorIdentity;
using velmo::test::Gate;
using velmo::test::LoopbackAnswer;
using velmo::test::LoopbackHttpServer;
using velmo::test::TaskProbe;
using json = nlohmann::json;

namespace {

constexpr const char* kVoice = "21m00Tcm4TlvDq8ikWAM";

class ElevenLabsTTSClientTest : public testing::Test {
protected:
    VirtualMainLoopScope scope;
    LoopbackHttpServer server;
    OriginOverride::Scope redirect{"api.elevenlabs.io", server.origin()};
    std::shared_ptr<SimulatedAudioPlayerFactory> players = std::make_shared<SimulatedAudioPlayerFactory>();

    std::unique_ptr<ElevenLabsTTSClient> client(std::string key = "xi-key", std::string voice = kVoice,
                                                std::shared_ptr<AudioPlayerFactory> factory = nullptr) {
        return std::make_unique<ElevenLabsTTSClient>(std::move(key), std::move(voice), nullptr, nullptr, factory ? factory : players);
    }
    void answerWith(LoopbackAnswer answer, const std::string& voice = kVoice) {
        server.route("POST", "/v1/text-to-speech/" + voice, std::move(answer));
    }
    static LoopbackAnswer audio(int status, std::string bytes) { return LoopbackAnswer::text(status, std::move(bytes), "audio/mpeg"); }
    TaskProbe<void> speak(ElevenLabsTTSClient& c, std::string text = "Hello there.") {
        return velmo::test::awaitTask(scope.loop(), c.speakText(std::move(text)));
    }
};

}  // namespace

TEST_F(ElevenLabsTTSClientTest, PostsTheTextWithItsThreeHeadersAndPlaysTheClip) {
    answerWith(audio(200, std::string(45 * 1024 + 920, '\xFF')));
    auto tts = client();
    LogCapture log;
    auto out = speak(*tts, "Hello there.");
    ASSERT_TRUE(out.value()) << out.errorDescription();

    auto posts = server.requestsWith("POST");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].target, std::string("/v1/text-to-speech/") + kVoice);
    velmo::test::HeaderList own;
    for (const auto& [n, v] : posts[0].headers)
        if (n != "Host" && n != "Accept-Encoding" && n != "Content-Length") own.emplace_back(n, v);
    EXPECT_EQ(own, (velmo::test::HeaderList{{"xi-api-key", "xi-key"}, {"Content-Type", "application/json"}, {"Accept", "audio/mpeg"}}));
    EXPECT_EQ(
        json::parse(posts[0].body),
        json::parse(
            R"({"text":"Hello there.","model_id":"eleven_multilingual_v2","voice_settings":{"stability":0.5,"similarity_boost":0.75}})"));

    auto player = players->lastPlayer();
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(tts->audioPlayer, player);
    EXPECT_EQ(player->calls(), std::vector<std::string>{"play"});
    EXPECT_EQ(player->data().size(), 45u * 1024 + 920);
    EXPECT_EQ(log.linesStartingWith("🔊"), std::vector<std::string>{"🔊 ElevenLabs TTS: playing 45KB audio"});
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("xi-key"), std::string::npos);
}

TEST_F(ElevenLabsTTSClientTest, SuccessIsTwoHundredToTwoNinetyNineAndErrorsCarryTheBodyText) {
    auto tts = client();
    struct Case {
        int status;
        std::string body;
        std::optional<std::string> message;  // nothing: plays
    } cases[] = {
        {200, std::string(1023, 'a'), std::nullopt},
        {299, "audio", std::nullopt},
        {300, "multiple", "TTS API error (300): multiple"},
        {401, "{\"detail\":{\"status\":\"invalid_api_key\"}}", "TTS API error (401): {\"detail\":{\"status\":\"invalid_api_key\"}}"},
        {422, "caf\xC3\xA9 \xF0\x9F\x94\x8A", "TTS API error (422): caf\xC3\xA9 \xF0\x9F\x94\x8A"},
        {500, "\xFF\xFE not text", "TTS API error (500): Unknown error"},
        {503, "\xC3\x28", "TTS API error (503): Unknown error"},
        {404, "\xED\xA0\x80", "TTS API error (404): Unknown error"},
    };
    for (const auto& c : cases) {
        answerWith(audio(c.status, c.body));
        tts->audioPlayer = nullptr;
        LogCapture log;
        auto out = speak(*tts);
        if (!c.message) {
            ASSERT_TRUE(out.value()) << c.status << ": " << out.errorDescription();
            EXPECT_NE(tts->audioPlayer, nullptr);
            if (c.body.size() == 1023) {
                EXPECT_TRUE(log.contains("🔊 ElevenLabs TTS: playing 0KB audio"));
            }
        } else {
            EXPECT_EQ(errorIdentity(out.error()), (ErrorIdentity{"ElevenLabsTTS", c.status, *c.message})) << c.status;
            EXPECT_EQ(tts->audioPlayer, nullptr);
            EXPECT_TRUE(log.linesStartingWith("🔊").empty());
        }
    }
}

TEST_F(ElevenLabsTTSClientTest, RealPlayerPlaysMpegAndRefusesABodyThatIsNotAudio) {
    AudioOutputOptions silent;
    silent.nullOutputOnly = true;
    auto real = std::make_shared<MpegAudioPlayerFactory>(silent);
    auto tts = client("k", kVoice, real);

    answerWith(audio(200, velmo::test::makeMpegToneClip(0.05)));
    auto played = speak(*tts);
    ASSERT_TRUE(played.value()) << played.errorDescription();
    ASSERT_NE(tts->audioPlayer, nullptr);
    EXPECT_TRUE(tts->audioPlayer->isPlaying());
    auto previous = tts->audioPlayer;

    answerWith(LoopbackAnswer::text(200, "{\"status\":\"ok\"}", "application/json"));
    auto refused = speak(*tts);
    auto identity = errorIdentity(refused.error());
    ASSERT_TRUE(identity) << refused.errorDescription();
    EXPECT_EQ(identity->domain, "AudioPlayer");
    EXPECT_EQ(identity->code, AudioPlayerError::notAudio);
    EXPECT_EQ(tts->audioPlayer, previous);  // unchanged after a failure
    tts->audioPlayer->stop();
}

TEST_F(ElevenLabsTTSClientTest, CancellationBeforePlaybackPlaysNothing) {
    auto tts = client();

    // While the request is in flight: the transfer's own cancellation error.
    auto gate = std::make_shared<Gate>();
    answerWith(audio(200, "audio").heldBy(gate));
    TaskProbe<void> inFlight(tts->speakText("wait"));
    ASSERT_TRUE(scope.loop().runUntil([&] { return !server.requestsWith("POST").empty(); }));
    inFlight.cancel();
    ASSERT_TRUE(inFlight.finish(scope.loop()));
    auto identity = errorIdentity(inFlight.error());
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->domain, "NSURLErrorDomain");
    EXPECT_EQ(identity->code, URLError::cancelled);
    gate->release();
    ASSERT_TRUE(scope.loop().runUntil([&] { return server.closedConnectionCount() == 1; }));  // the cancelled transfer's

    // After the audio arrived, before playback: the task's cancellation error. The answer is held
    // until the loop has stopped being driven, so the finished transfer's resumption waits in its
    // queue instead of racing the loop that sends the request.
    auto answerGate = std::make_shared<Gate>();
    answerWith(audio(200, "audio").heldBy(answerGate));
    const std::size_t requestsBefore = server.requests().size();
    TaskProbe<void> arrived(tts->speakText("late"));
    scope.loop().runUntilIdle();  // the request goes out
    ASSERT_TRUE(server.waitForRequests(requestsBefore + 1));
    ASSERT_EQ(scope.loop().pendingPostCount(), 0u);
    answerGate->release();
    bool posted = false;
    for (int i = 0; i < 3000 && !(posted = scope.loop().pendingPostCount() > 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(posted) << "the transfer never finished";
    arrived.cancel();
    ASSERT_TRUE(arrived.finish(scope.loop()));
    EXPECT_TRUE(isCancellationError(arrived.error())) << arrived.errorDescription();

    EXPECT_EQ(players->attempts(), 0);
    EXPECT_EQ(tts->audioPlayer, nullptr);
}

TEST_F(ElevenLabsTTSClientTest, VoiceIdentifiersAreOneEscapedPathSegment) {
    struct Case {
        std::string voice;
        std::string target;
    } cases[] = {
        {kVoice, std::string("/v1/text-to-speech/") + kVoice},
        {"", "/v1/text-to-speech/"},
        {"../../v1/user", "/v1/text-to-speech/..%2F..%2Fv1%2Fuser"},
        {"voice?x=1#f", "/v1/text-to-speech/voice%3Fx%3D1%23f"},
        {"..", "/v1/text-to-speech/%2E%2E"},
    };
    server.setFallback([](const velmo::test::RecordedRequest&) { return LoopbackAnswer::text(404, "{\"detail\":\"voice not found\"}"); });
    for (const auto& c : cases) {
        auto tts = client("k", c.voice);
        EXPECT_EQ(ElevenLabsTTSClient::requestURL(c.voice), "https://api.elevenlabs.io" + c.target);
        auto out = speak(*tts);
        EXPECT_EQ(errorIdentity(out.error()),
                  (ErrorIdentity{"ElevenLabsTTS", 404, "TTS API error (404): {\"detail\":\"voice not found\"}"}));
        ASSERT_FALSE(server.requestsWith("POST").empty());
        EXPECT_EQ(server.requestsWith("POST").back().target, c.target);
    }
}

TEST_F(ElevenLabsTTSClientTest, EmptyTextAndKeyAreSentButAKeyWithALineBreakIsRefused) {
    answerWith(audio(200, "audio"));
    auto empty = client("");
    ASSERT_TRUE(speak(*empty, "").value());
    auto post = server.requestsWith("POST").back();
    EXPECT_EQ(post.header("xi-api-key"), "");
    EXPECT_EQ(json::parse(post.body)["text"], "");

    LogCapture log;
    auto split = client("xi-secret\r\nX-Other: 1");
    auto out = speak(*split);
    auto identity = errorIdentity(out.error());
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->domain, "ElevenLabsTTS");
    EXPECT_EQ(identity->code, -3);
    EXPECT_EQ(server.requestsWith("POST").size(), 1u);
    for (const auto& line : log.lines()) EXPECT_EQ(line.find("xi-secret"), std::string::npos);

    // Text the serialiser refuses is never sent.
    auto text = client();
    auto refused = speak(*text, "bad \xC3\x28 utf-8");
    EXPECT_TRUE(refused.error());
    EXPECT_FALSE(refused.value());
    EXPECT_EQ(server.requestsWith("POST").size(), 1u);
}

TEST_F(ElevenLabsTTSClientTest, UsesTheInstalledPlayerFactoryWhenHandedNone) {
    answerWith(audio(200, "audio"));
    AudioPlayerFactory::install(players);
    ElevenLabsTTSClient tts("k", kVoice);
    auto out = speak(tts);
    AudioPlayerFactory::install(nullptr);
    ASSERT_TRUE(out.value()) << out.errorDescription();
    EXPECT_EQ(tts.audioPlayer, players->lastPlayer());
}

TEST_F(ElevenLabsTTSClientTest, AnErrorBodyIsKeptToItsFirstFourKibibytesAndAudioPastTheLimitFailsWithOneLine) {
    auto tts = client();
    // 20 MB of error text, with a two-byte character across the cut.
    std::string huge = std::string(4095, 'e') + "\xC3\xA9" + std::string(20'000'000, 'x');
    answerWith(audio(500, huge));
    {
        LogCapture log;
        auto out = speak(*tts);
        auto identity = errorIdentity(out.error());
        ASSERT_TRUE(identity);
        EXPECT_EQ(identity->message, "TTS API error (500): " + std::string(4095, 'e'));
        for (const auto& line : log.lines()) EXPECT_LT(line.size(), 8192u);
    }
    // Audio just inside the bound plays; one byte more fails before any player is made.
    const std::size_t limit = ElevenLabsTTSClient::maximumAudioBytes;
    EXPECT_GE(limit, 10u * 60 * 128000 / 8);  // ten minutes at 128 kbit/s
    answerWith(audio(200, std::string(limit, '\xFF')));
    ASSERT_TRUE(speak(*tts).value());
    EXPECT_EQ(players->lastPlayer()->data().size(), limit);
    tts->audioPlayer = nullptr;
    auto before = players->lastPlayer();
    answerWith(audio(200, std::string(limit + 1, '\xFF')));
    LogCapture log;
    auto out = speak(*tts);
    EXPECT_EQ(errorIdentity(out.error()), (ErrorIdentity{"ElevenLabsTTS", -4, "The spoken reply is longer than 32 MiB of audio."}));
    EXPECT_EQ(players->lastPlayer(), before);
    EXPECT_EQ(tts->audioPlayer, nullptr);
    EXPECT_EQ(log.linesStartingWith("⚠️"),
              std::vector<std::string>{"⚠️ ElevenLabs TTS audio longer than 33554432 bytes; nothing is played"});
}
