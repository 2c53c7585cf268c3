#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/media/SimulatedSpeechRecognizer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "voice/AppleSpeechTranscriptionProvider.h"

using namespace velmo;

TEST(AppleSpeechTranscriptionSessionThreads, TheTapThreadSeesTheFinalRequestAndResultsComeFromAnotherThread) {
    VirtualMainLoopScope scope;
    auto recognizer = std::make_shared<SimulatedSpeechRecognizer>();
    AppleSpeechTranscriptionProvider provider([&](const auto&) { return recognizer; }, [] { return std::string("en-US"); });
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> updates{0}, finals{0};
        std::shared_ptr<MirrinStreamingTranscriptionSession> session;
        startTask([&]() -> Task<void> {
            auto opening = provider.startStreamingSession(
                {}, [&](const std::string&) { ++updates; }, [&](const std::string&) { ++finals; }, [](std::exception_ptr) {});
            session = co_await opening;
        });
        scope.loop().runUntilIdle();
        ASSERT_TRUE(session);
        auto task = recognizer->lastTask();
        auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 1), 1024);
        buffer->setFrameLength(1024);
        std::shared_ptr<const AudioPCMBuffer> audio = buffer;

        std::atomic<bool> requested{false};
        std::atomic<int> appendedAfterRequest{0};
        std::thread tap([&] {
            for (int i = 0; i < 300; ++i) {
                bool after = requested.load();
                session->appendAudioBuffer(audio);
                if (after) ++appendedAfterRequest;
            }
        });
        std::thread delivery([&] {
            for (int i = 0; i < 50; ++i) task->deliverResult("partial", false);
            task->deliverResult("final words", true);
        });
        session->requestFinalTranscript();
        requested = true;
        session->requestFinalTranscript();
        tap.join();
        delivery.join();
        session->cancel();

        EXPECT_EQ(task->endOfAudioCount(), 1);
        EXPECT_LE(task->receivedBufferCount(), 300 - appendedAfterRequest.load());
        EXPECT_EQ(updates.load(), 51);
        EXPECT_EQ(finals.load(), 1);
        session.reset();
        scope.loop().runUntilIdle();
    }
}
