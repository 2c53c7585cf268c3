// Voice input end to end, once per transcription back-end: the chord held and released on the
// simulated key tap, the real chord monitor and dictation manager, the simulated engine's audio,
// one final transcript submitted to the companion object exactly once, and the request that
// follows at the loopback messages server.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

#include "companion/CompanionTestEnvironment.h"
#include "platform/desktop/SimulatedKeyEventTap.h"
#include "platform/media/SimulatedAudioEngine.h"
#include "platform/media/SimulatedSpeechRecognizer.h"
#include "testing/LoopbackWebSocketServer.h"
#include "voice/AppleSpeechTranscriptionProvider.h"
#include "voice/AssemblyAIStreamingTranscriptionProvider.h"
#include "voice/GlobalPushToTalkShortcutMonitor.h"
#include "voice/MirrinDictationManager.h"
#include "voice/OpenAIAudioTranscriptionProvider.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::CompanionTestEnvironment;
using velmo::test::LoopbackAnswer;
using velmo::test::LoopbackHttpServer;
using velmo::test::LoopbackWebSocketServer;
using json = nlohmann::json;
using Step = LoopbackWebSocketServer::Step;

namespace {

enum class Backend { streaming, upload, platform };

std::string backendName(const testing::TestParamInfo<Backend>& info) {
    switch (info.param) {
        case Backend::streaming:
            return "Streaming";
        case Backend::upload:
            return "Upload";
        case Backend::platform:
            return "PlatformRecogniser";
    }
    return "Unknown";
}

// One second of a 440 Hz tone as 48 kHz stereo buffers of 1024 frames.
std::vector<std::shared_ptr<const AudioPCMBuffer>> toneBuffers() {
    std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers;
    const double rate = 48000;
    for (std::uint32_t start = 0; start < 48000; start += 1024) {
        const std::uint32_t frames = std::min<std::uint32_t>(1024, 48000 - start);
        auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(rate, 2), frames);
        buffer->setFrameLength(frames);
        for (std::uint32_t channel = 0; channel < 2; ++channel)
            for (std::uint32_t i = 0; i < frames; ++i)
                buffer->floatChannelData(channel)[i] = float(0.3 * std::sin(2 * M_PI * 440 * (start + i) / rate));
        buffers.push_back(std::move(buffer));
    }
    return buffers;
}

class VoiceBackends : public testing::TestWithParam<Backend> {
protected:
    CompanionTestEnvironment env;
    SimulatedKeyEventTapScope taps;
    std::shared_ptr<SimulatedAudioEngine> engine = std::make_shared<SimulatedAudioEngine>(AudioFormat::float32Planar(48000, 2));
    std::shared_ptr<SimulatedSpeechRecognizer> recognizer = std::make_shared<SimulatedSpeechRecognizer>();
    LoopbackWebSocketServer streamingServer;
    LoopbackHttpServer uploadServer;
    OriginOverride::Scope toStreaming{"streaming.assemblyai.com", streamingServer.origin()};
    OriginOverride::Scope toUpload{"api.openai.com", uploadServer.origin()};

    std::unique_ptr<MirrinTranscriptionProvider> makeProvider() {
        switch (GetParam()) {
            case Backend::streaming:
                streamingServer.setStepsAfterUpgrade({Step::text(R"({"type":"Begin","id":"s1","expires_at":1900000000})")});
                streamingServer.addReply(
                    LoopbackWebSocketServer::jsonType("ForceEndpoint"),
                    {Step::text(
                        R"({"type":"Turn","transcript":"Hello world.","end_of_turn":true,"turn_is_formatted":true,"turn_order":0})")});
                return std::make_unique<AssemblyAIStreamingTranscriptionProvider>(std::string("aai-key"), std::nullopt);
            case Backend::upload:
                uploadServer.route("POST", "/v1/audio/transcriptions",
                                   LoopbackAnswer::text(200, R"({"text":"  Hello world.  "})", "application/json"));
                return std::make_unique<OpenAIAudioTranscriptionProvider>(std::string("sk-openai"), "gpt-4o-transcribe");
            case Backend::platform:
                return std::make_unique<AppleSpeechTranscriptionProvider>([this](const auto&) { return recognizer; },
                                                                          [] { return std::string("en-US"); });
        }
        return nullptr;
    }
};

}  // namespace

TEST_P(VoiceBackends, TheChordAndTheMicrophoneGiveOneTranscriptAndOneRequest) {
    env.grantEverything();
    env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}});
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {"data: [DONE]\n"}));
    MirrinDictationManager::Dependencies voice;
    voice.transcriptionProvider = makeProvider();
    voice.audioEngine = engine;
    voice.authorization = env.mediaAuthorization;
    auto dictation = MirrinDictationManager::create(std::move(voice));
    auto monitor = std::make_shared<GlobalPushToTalkShortcutMonitor>();
    auto companion = CompanionManager::create({dictation, monitor, env.overlay, velmo::test::bundleServiceClients()});
    companion->start();  // accessibility granted: the monitor installs its tap

    std::vector<std::string> transcripts;
    std::chrono::steady_clock::time_point submittedAt;
    Cancellable heard = companion->lastTranscript().publisher().sink([&](const std::optional<std::string>& t) {
        if (!t) return;
        transcripts.push_back(*t);
        submittedAt = std::chrono::steady_clock::now();
    });

    taps.factory().post({KeyEventType::flagsChanged, KeyEventFlag::control});
    taps.factory().post({KeyEventType::flagsChanged, KeyEventFlag::control | KeyEventFlag::alternate});
    ASSERT_TRUE(
        env.loop().runUntil([&] { return dictation->isRecordingFromKeyboardShortcut().get() && !dictation->isPreparingToRecord().get(); }));
    engine->deliver(toneBuffers());
    ASSERT_TRUE(engine->waitUntilDelivered());
    env.loop().runUntilIdle();

    const auto releasedAt = std::chrono::steady_clock::now();
    taps.factory().post({KeyEventType::flagsChanged, KeyEventFlag::control});
    if (GetParam() == Backend::platform) {
        ASSERT_TRUE(env.loop().runUntil([&] { return recognizer->lastTask() && recognizer->lastTask()->receivedEndOfAudio(); }));
        recognizer->lastTask()->deliverResult("Hello world.", true);
    }
    ASSERT_TRUE(env.loop().runUntil([&] { return env.messagesServer.requestsWith("POST", "/v1/messages").size() == 1; }));
    std::printf("%s: release to submitted transcript %.1f ms\n", backendName({GetParam(), 0}).c_str(),
                std::chrono::duration<double, std::milli>(submittedAt - releasedAt).count());
    env.loop().runUntil([&] { return companion->currentResponseTask().isDone(); });
    env.loop().runUntil([] { return false; }, 0.2s);  // a second submission would show now

    EXPECT_EQ(transcripts, std::vector<std::string>{"Hello world."});
    auto posts = env.messagesServer.requestsWith("POST", "/v1/messages");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(json::parse(posts[0].body)["messages"].back()["content"].back()["text"], "Hello world.");
    auto names = env.eventNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "user_message_sent"), 1);
    EXPECT_FALSE(dictation->isDictationBusy());
    if (GetParam() == Backend::streaming) {
        auto connections = streamingServer.connections();
        ASSERT_EQ(connections.size(), 1u);
        std::size_t pcm = 0;
        for (const auto& frame : connections[0].frames)
            if (frame.kind == LoopbackWebSocketServer::Frame::Kind::binary) pcm += frame.payload.size();
        EXPECT_GT(pcm, 28000u);  // about a second of 16 kHz 16-bit mono
        auto texts = connections[0].texts();
        EXPECT_NE(std::find(texts.begin(), texts.end(), R"({"type":"ForceEndpoint"})"), texts.end());
    }
    if (GetParam() == Backend::upload) {
        ASSERT_EQ(uploadServer.requestsWith("POST", "/v1/audio/transcriptions").size(), 1u);
        EXPECT_GT(uploadServer.requests()[0].body.size(), 28000u);  // about a second of 16 kHz PCM in a WAV
    }
    companion->stop();
    env.loop().runUntil([] { return false; }, 0.1s);
}

INSTANTIATE_TEST_SUITE_P(EveryBackend, VoiceBackends, testing::Values(Backend::streaming, Backend::upload, Backend::platform), backendName);
