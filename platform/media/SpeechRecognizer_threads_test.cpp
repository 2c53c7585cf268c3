#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/media/SimulatedSpeechRecognizer.h"
#include "platform/media/SpeechRecognizer.h"

using namespace velmo;

namespace {
std::shared_ptr<const AudioPCMBuffer> someAudio() {
    auto b = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 1), 1024);
    b->setFrameLength(1024);
    return b;
}
}  // namespace

TEST(SpeechAudioBufferRecognitionRequest, BacklogIsHandedOverInOrderAndNothingFollowsTheEnd) {
    SpeechAudioBufferRecognitionRequest request;
    auto first = someAudio(), second = someAudio(), late = someAudio();
    request.appendAudioPCMBuffer(first);
    std::vector<const AudioPCMBuffer*> seen;
    request.attach([&](const std::shared_ptr<const AudioPCMBuffer>& b) { seen.push_back(b.get()); });
    request.appendAudioPCMBuffer(second);
    request.endAudio();
    request.endAudio();
    request.appendAudioPCMBuffer(late);
    EXPECT_EQ(seen, (std::vector<const AudioPCMBuffer*>{first.get(), second.get(), nullptr}));
    EXPECT_TRUE(request.hasEnded());
}

TEST(SpeechAudioBufferRecognitionRequest, AppendsFromManyThreadsAgainstEndAndDetach) {
    for (int round = 0; round < 20; ++round) {
        SpeechAudioBufferRecognitionRequest request;
        std::atomic<int> buffers{0}, ends{0};
        bool afterEnd = false;  // only touched by the serialised consumer
        std::atomic<bool> appendedAfterEnd{false};
        request.attach([&](const std::shared_ptr<const AudioPCMBuffer>& b) {
            if (b) {
                if (afterEnd) appendedAfterEnd = true;
                ++buffers;
            } else {
                afterEnd = true;
                ++ends;
            }
        });
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 200; ++i) request.appendAudioPCMBuffer(someAudio());
            });
        request.endAudio();
        for (auto& t : threads) t.join();
        request.detach();
        request.appendAudioPCMBuffer(someAudio());
        EXPECT_EQ(ends.load(), 1);
        EXPECT_FALSE(appendedAfterEnd.load());
        EXPECT_LE(buffers.load(), 600);
    }
}

TEST(SimulatedSpeechRecognizer, CountsAudioOfItsTasksAndDeliversFromAnyThread) {
    SimulatedSpeechRecognizer recognizer("en-US", false);
    auto request = std::make_shared<SpeechAudioBufferRecognitionRequest>();
    std::atomic<int> results{0};
    auto task = recognizer.recognitionTask(request, [&](const auto& result, std::exception_ptr) {
        if (result) ++results;
    });
    std::thread tap([&] {
        for (int i = 0; i < 50; ++i) request->appendAudioPCMBuffer(someAudio());
    });
    std::thread delivery([&] {
        for (int i = 0; i < 50; ++i) recognizer.lastTask()->deliverResult("partial", false);
    });
    tap.join();
    delivery.join();
    request->endAudio();
    EXPECT_EQ(recognizer.lastTask()->receivedBufferCount(), 50);
    EXPECT_TRUE(recognizer.lastTask()->receivedEndOfAudio());
    EXPECT_EQ(results.load(), 50);
    EXPECT_FALSE(recognizer.supportsOnDeviceRecognition());
    task->cancel();
    EXPECT_TRUE(task->isCancelled());
}
