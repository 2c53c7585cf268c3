#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/Error.h"
#include "platform/media/SimulatedAudioEngine.h"

using namespace velmo;

namespace {
std::vector<std::shared_ptr<const AudioPCMBuffer>> silence(int count, double rate = 48000) {
    std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers;
    for (int i = 0; i < count; ++i) {
        auto b = AudioPCMBuffer::make(AudioFormat::float32Planar(rate, 1), 1024);
        b->setFrameLength(1024);
        buffers.push_back(b);
    }
    return buffers;
}
}  // namespace

TEST(SimulatedAudioEngine, DeliversOnItsOwnThreadOnlyWhileRunningWithATap) {
    SimulatedAudioEngine engine(AudioFormat::float32Planar(44100, 2));
    EXPECT_EQ(engine.inputFormat(), AudioFormat::float32Planar(44100, 2));
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    auto tap = [&](const std::shared_ptr<const AudioPCMBuffer>&) {
        std::lock_guard lock(mutex);
        threads.push_back(std::this_thread::get_id());
    };

    engine.deliver(silence(2));  // stopped: dropped
    ASSERT_TRUE(engine.waitUntilDelivered());
    engine.installTap(1024, engine.inputFormat(), tap);
    engine.prepare();
    engine.start();
    engine.deliver(silence(3));
    ASSERT_TRUE(engine.waitUntilDelivered());
    engine.removeTap();
    engine.deliver(silence(1));  // running without a tap: dropped
    ASSERT_TRUE(engine.waitUntilDelivered());
    engine.stop();

    EXPECT_EQ(engine.droppedCount.load(), 3);
    EXPECT_EQ(engine.deliveredCount.load(), 3);
    EXPECT_EQ(engine.lastTapBufferSize(), 1024u);
    std::lock_guard lock(mutex);
    ASSERT_EQ(threads.size(), 3u);
    for (auto id : threads) {
        EXPECT_EQ(id, engine.deliveryThreadId());
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST(SimulatedAudioEngine, ScriptedStartFailureThrowsAndLeavesItStopped) {
    SimulatedAudioEngine engine;
    engine.setStartFailure("the microphone is busy");
    try {
        engine.start();
        FAIL() << "start succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), "the microphone is busy");
    }
    EXPECT_FALSE(engine.isRunning());
    engine.setStartFailure(std::nullopt);
    engine.start();
    EXPECT_TRUE(engine.isRunning());
}

TEST(SimulatedAudioEngine, StopAndTapChangesWhileBuffersStreamAreSafe) {
    SimulatedAudioEngine engine;
    std::atomic<int> heard{0};
    engine.installTap(1024, engine.inputFormat(), [&](const auto&) { ++heard; });
    engine.start();
    engine.deliver(silence(2000));
    for (int i = 0; i < 200; ++i) {
        if (i % 2) {
            engine.stop();
            engine.removeTap();
        } else {
            engine.installTap(1024, engine.inputFormat(), [&](const auto&) { ++heard; });
            engine.start();
        }
    }
    ASSERT_TRUE(engine.waitUntilDelivered());
    EXPECT_EQ(engine.deliveredCount.load() + engine.droppedCount.load(), 2000);
    EXPECT_EQ(heard.load(), engine.deliveredCount.load());
}
