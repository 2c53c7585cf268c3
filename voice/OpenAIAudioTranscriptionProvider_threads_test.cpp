#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/base/OriginOverride.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/MultipartFormData.h"
#include "testing/TaskProbe.h"
#include "voice/OpenAIAudioTranscriptionProvider.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::LoopbackAnswer;
using velmo::test::LoopbackHttpServer;
using velmo::test::MultipartFormData;

namespace {

constexpr std::uint32_t kFrames = 160;

// Buffer `index` at 16 kHz holds one value of its own, so its bytes show where it landed.
std::shared_ptr<const AudioPCMBuffer> numberedBuffer(int index) {
    auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(16000, 1), kFrames);
    std::fill(buffer->floatChannelData(0), buffer->floatChannelData(0) + kFrames, float(index + 1) / 4096.0f);
    buffer->setFrameLength(kFrames);
    return buffer;
}

struct Recorder {
    std::atomic<int> updates{0}, finals{0}, errors{0};
    std::atomic<bool> offMain{false};
    int total() const { return updates + finals + errors; }
};

std::shared_ptr<MirrinStreamingTranscriptionSession> openSession(VirtualMainLoop& loop, Recorder& r) {
    OpenAIAudioTranscriptionProvider provider("sk-test", "gpt-4o-transcribe");
    auto opening = provider.startStreamingSession(
        {"Velmo"},
        [&r](const std::string&) {
            r.offMain = r.offMain || !MainLoop::isMainThread();
            ++r.updates;
        },
        [&r](const std::string&) {
            r.offMain = r.offMain || !MainLoop::isMainThread();
            ++r.finals;
        },
        [&r](std::exception_ptr) {
            r.offMain = r.offMain || !MainLoop::isMainThread();
            ++r.errors;
        });
    auto probe = velmo::test::awaitTask(loop, std::move(opening));
    return probe.value() ? *probe.value() : nullptr;
}

}  // namespace

TEST(OpenAIAudioTranscriptionSessionThreads, TheUploadHoldsWholeBuffersInOrderUpToTheRequest) {
    VirtualMainLoopScope scope;
    LoopbackHttpServer server;
    OriginOverride::Scope redirect("api.openai.com", server.origin());
    server.route("POST", "/v1/audio/transcriptions", LoopbackAnswer::text(200, R"({"text":"ok"})", "application/json"));

    std::vector<MirrinPCM16Data> expected;
    MirrinPCM16AudioConverter oracle;  // same rate: each buffer converts on its own
    for (int i = 0; i < 400; ++i) expected.push_back(oracle.convert(*numberedBuffer(i)));

    for (int round = 0; round < 10; ++round) {
        Recorder recorder;
        auto session = openSession(scope.loop(), recorder);
        ASSERT_TRUE(session);
        std::atomic<int> appended{0};
        std::thread tap([&] {
            for (int i = 0; i < 400; ++i) {
                session->appendAudioBuffer(numberedBuffer(i));
                ++appended;
            }
        });
        while (appended.load() < 20 * (round + 1)) std::this_thread::yield();
        const int appendedBeforeRequest = appended.load();
        session->requestFinalTranscript();
        ASSERT_TRUE(scope.loop().runUntil([&] { return recorder.finals.load() == 1; })) << round;
        tap.join();

        auto posts = server.requestsWith("POST");
        ASSERT_EQ(posts.size(), std::size_t(round + 1));
        std::string pcm = MultipartFormData::parse(posts.back()).part("file")->data.substr(44);
        ASSERT_EQ(pcm.size() % (2 * kFrames), 0u) << round;
        const std::size_t kept = pcm.size() / (2 * kFrames);
        EXPECT_GE(kept, std::size_t(appendedBeforeRequest)) << round;
        std::string prefix;
        for (std::size_t i = 0; i < kept; ++i) prefix.append(expected[i].begin(), expected[i].end());
        EXPECT_TRUE(pcm == prefix) << round;
        EXPECT_FALSE(recorder.offMain.load());

        session->cancel();
        session.reset();
        scope.loop().runUntilIdle();
    }
}

TEST(OpenAIAudioTranscriptionSessionThreads, NothingIsCalledBackOnceCancelReturns) {
    VirtualMainLoopScope scope;
    LoopbackHttpServer server;
    OriginOverride::Scope redirect("api.openai.com", server.origin());
    server.route("POST", "/v1/audio/transcriptions", LoopbackAnswer::text(200, R"({"text":"ok"})", "application/json"));

    for (int round = 0; round < 20; ++round) {
        Recorder recorder;
        auto session = openSession(scope.loop(), recorder);
        ASSERT_TRUE(session);
        std::atomic<bool> stop{false};
        std::thread tap([&] {
            for (int i = 0; !stop.load(); i = (i + 1) % 400) session->appendAudioBuffer(numberedBuffer(i));
        });
        if (round % 4 != 0) {
            // Most rounds start the upload and let it get some way (not yet started, in flight or
            // answered) before the cancel; the others cancel while recording.
            session->requestFinalTranscript();
            scope.loop().runUntil([] { return false; }, Seconds(0.001 * round));
        }
        session->cancel();
        const int atCancel = recorder.total();
        session->requestFinalTranscript();  // after a cancel: nothing
        stop = true;
        tap.join();
        scope.loop().runUntil([] { return false; }, 0.1s);
        EXPECT_EQ(recorder.total(), atCancel) << round;
        EXPECT_LE(recorder.finals.load(), 1);
        session.reset();
        scope.loop().runUntilIdle();
    }
}
