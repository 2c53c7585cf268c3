#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/media/SimulatedAudioEngine.h"
#include "platform/media/SimulatedMediaAuthorization.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "voice/MirrinDictationManager.h"
#include "voice/SimulatedTranscriptionProvider.h"

using namespace velmo;

namespace {
std::vector<std::shared_ptr<const AudioPCMBuffer>> noise(int count) {
    std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers;
    for (int i = 0; i < count; ++i) {
        auto b = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 1), 1024);
        for (int j = 0; j < 1024; ++j) b->floatChannelData(0)[j] = float((i * 31 + j * 7) % 100) / 1000.0f;
        b->setFrameLength(1024);
        buffers.push_back(b);
    }
    return buffers;
}
}  // namespace

TEST(MirrinDictationManagerThreads, TheTapThreadFeedsOnlyTheActiveSessionWhileTheMainThreadSwapsIt) {
    VirtualMainLoopScope scope;
    auto engine = std::make_shared<SimulatedAudioEngine>();
    auto auth = std::make_shared<SimulatedMediaAuthorization>();
    auto p = std::make_unique<SimulatedTranscriptionProvider>();
    auto* provider = p.get();
    MirrinDictationManager::Dependencies d;
    d.transcriptionProvider = std::move(p);
    d.audioEngine = engine;
    d.authorization = auth;
    auto manager = MirrinDictationManager::create(std::move(d));
    std::atomic<int> submissions{0};

    for (int round = 0; round < 40; ++round) {
        auto start = startTask([manager, &submissions]() -> Task<void> {
            auto onUpdate = [](const std::string&) {};
            auto onSubmit = [&submissions](const std::string&) { ++submissions; };
            co_await manager->startPushToTalkFromKeyboardShortcut("", onUpdate, onSubmit);
        });
        ASSERT_TRUE(scope.loop().runUntil([&] { return *manager->isRecordingFromKeyboardShortcut() && !*manager->isPreparingToRecord(); }));
        auto session = provider->lastSession();
        engine->deliver(noise(40));
        // Callbacks arrive from a back-end thread while the tap thread is feeding.
        std::thread backEnd([session, round] { session->sendTranscriptUpdate("words " + std::to_string(round)); });
        ASSERT_TRUE(scope.loop().runUntil([&] { return session->appendedBufferCount.load() >= 5; }));
        backEnd.join();
        switch (round % 3) {
            case 0:
                manager->stopPushToTalk(MirrinDictationStartSource::keyboardShortcut);
                session->sendFinalTranscript("done");
                break;
            case 1:
                manager->cancelDictation(false);
                break;
            case 2:
                manager->stopPushToTalk(MirrinDictationStartSource::keyboardShortcut);
                break;  // the fallback finishes it
        }
        ASSERT_TRUE(scope.loop().runUntilAdvancing([&] { return !manager->isDictationBusy(); }));
        start.cancel();
        scope.loop().runUntilIdle();
        ASSERT_TRUE(engine->waitUntilDelivered());
    }
    scope.loop().runUntilIdle();

    for (const auto& session : provider->sessions()) {
        // A buffer already in flight when the engine stopped may still arrive, no more.
        EXPECT_LE(session->appendsAfterFinalRequestOrCancel(), 1);
        for (auto id : session->appendThreads()) EXPECT_EQ(id, engine->deliveryThreadId());
        EXPECT_EQ(session->cancelCount.load(), 1);
    }
    EXPECT_EQ(submissions.load(), 27);  // rounds 0, 2, 3, 5, ...: every stopped dictation had words
    manager.reset();
    scope.loop().runUntilIdle();
}

// Holders read the published state; only the manager assigns it.
static_assert(!std::is_assignable_v<decltype(std::declval<MirrinDictationManager&>().isPreparingToRecord()), bool>);
static_assert(!std::is_assignable_v<decltype(std::declval<MirrinDictationManager&>().lastErrorMessage()), std::string>);

#ifndef NDEBUG
TEST(MirrinDictationManagerThreads, APublicCallOffTheMainThreadFailsInDebugBuilds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    VirtualMainLoopScope scope;
    MirrinDictationManager::Dependencies d;
    d.transcriptionProvider = std::make_unique<SimulatedTranscriptionProvider>();
    d.audioEngine = std::make_shared<SimulatedAudioEngine>();
    d.authorization = std::make_shared<SimulatedMediaAuthorization>();
    auto manager = MirrinDictationManager::create(std::move(d));
    EXPECT_FALSE(manager->isDictationBusy());  // binds it to this thread
    EXPECT_DEATH(std::thread([&] { manager->stopPushToTalk(MirrinDictationStartSource::keyboardShortcut); }).join(),
                 "stopPushToTalk called .*MirrinDictationManager.cpp");
    EXPECT_DEATH(std::thread([&] { manager->cancelDictation(false); }).join(), "cancelDictation called .*MirrinDictationManager.cpp");
    EXPECT_DEATH(std::thread([&] { (void)manager->isDictationBusy(); }).join(), "isDictationBusy called .*MirrinDictationManager.cpp");
}
#endif
