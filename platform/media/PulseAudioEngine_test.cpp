#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/Error.h"
#include "platform/media/PulseAudioEngine.h"
#include "platform/media/PulseAudioSources.h"
#include "platform/media/PulseAudioSourceMonitor.h"
#include "testing/BlockingQueue.h"
#include "testing/EnvironmentVariable.h"
#include "testing/PulseAudioServer.h"

using namespace std::chrono_literals;

using namespace velmo;

namespace {

// Writes `seconds` of a 1 kHz stereo tone as raw 16-bit samples for pacat.
std::string writeToneFile(double seconds) {
    char path[] = "/tmp/velmo-tone-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    std::ofstream out(path, std::ios::binary);
    const int rate = 44100;
    for (int i = 0; i < int(seconds * rate); ++i) {
        std::int16_t v = std::int16_t(16000 * std::sin(2 * M_PI * 1000 * i / rate));
        out.write(reinterpret_cast<const char*>(&v), 2);
        out.write(reinterpret_cast<const char*>(&v), 2);
    }
    return path;
}

}  // namespace

TEST(PulseAudioEngine, CapturesTheSourceAtItsOwnFormatInTapBuffersOnAnAudioThread) {
    velmo::test::PulseAudioServer pulse("velmo_capture_sink");
    ASSERT_TRUE(pulse.isRunning()) << pulse.failure();
    pulse.exportToEnvironment();

    auto source = findPulseAudioSource(pulse.monitorSourceName());
    ASSERT_TRUE(source);
    auto monitor = std::make_shared<PulseAudioSourceMonitor>();
    ASSERT_TRUE(monitor->waitUntilSettled(std::chrono::seconds(5)));
    PulseAudioEngine engine(pulse.monitorSourceName(), monitor);
    AudioFormat format = engine.inputFormat();
    EXPECT_EQ(format, AudioFormat::float32Planar(source->sampleRate, source->channelCount));
    ASSERT_TRUE(format.isValid());

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers;
    bool heardTone = false;
    std::thread::id tapThread;
    engine.installTap(1024, format, [&](const std::shared_ptr<const AudioPCMBuffer>& buffer) {
        std::lock_guard lock(mutex);
        buffers.push_back(buffer);
        tapThread = std::this_thread::get_id();
        double sum = 0;
        for (std::uint32_t i = 0; i < buffer->frameLength(); ++i) sum += buffer->floatChannelData(0)[i] * buffer->floatChannelData(0)[i];
        if (std::sqrt(sum / buffer->frameLength()) > 0.1) heardTone = true;
        cv.notify_all();
    });
    engine.prepare();
    engine.start();
    EXPECT_TRUE(engine.isRunning());

    std::string tone = writeToneFile(4.0);
    std::string play =
        "pacat --playback --device=" + pulse.sinkName() + " --format=s16le --rate=44100 --channels=2 --raw " + tone + " >/dev/null 2>&1 &";
    ASSERT_EQ(std::system(play.c_str()), 0);
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return heardTone; }));
        ASSERT_FALSE(buffers.empty());
        for (const auto& b : buffers) {
            EXPECT_EQ(b->format(), format);
            EXPECT_EQ(b->frameLength(), 1024u);
        }
        EXPECT_NE(tapThread, std::this_thread::get_id());
    }

    engine.stop();
    EXPECT_FALSE(engine.isRunning());
    std::size_t afterStop;
    {
        std::lock_guard lock(mutex);
        afterStop = buffers.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(buffers.size(), afterStop);  // nothing reaches the tap once stop has returned
    }
    engine.removeTap();
    std::remove(tone.c_str());
}

TEST(PulseAudioEngine, WithoutASoundServerThereIsNoInputAndStartFailsAtOnce) {
    velmo::test::EnvironmentVariable server("PULSE_SERVER", "unix:/nonexistent/velmo-no-server");
    auto monitor = std::make_shared<PulseAudioSourceMonitor>();
    ASSERT_TRUE(monitor->waitUntilSettled(std::chrono::seconds(5)));
    PulseAudioEngine engine({}, monitor);
    AudioFormat format = engine.inputFormat();
    EXPECT_FALSE(format.isValid());
    EXPECT_EQ(format.sampleRate, 0);
    engine.installTap(1024, AudioFormat::float32Planar(44100, 2), [](const auto&) {});
    EXPECT_THROW(engine.start(), Error);
    EXPECT_FALSE(engine.isRunning());
}

TEST(PulseAudioEngine, SourcesTheServerDoesNotHaveAreRefusedAtOnce) {
    velmo::test::PulseAudioServer pulse("velmo_refuse_sink");
    ASSERT_TRUE(pulse.isRunning()) << pulse.failure();
    pulse.exportToEnvironment();
    auto monitor = std::make_shared<PulseAudioSourceMonitor>();
    ASSERT_TRUE(monitor->waitUntilSettled(std::chrono::seconds(5)));
    PulseAudioEngine engine("no_such_source", monitor);
    EXPECT_FALSE(engine.inputFormat().isValid());
    engine.installTap(1024, AudioFormat::float32Planar(44100, 2), [](const auto&) {});
    try {
        engine.start();
        FAIL() << "start succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(e.domain(), "PulseAudioEngine");
        EXPECT_EQ(e.message(), "no microphone is available.");
    }
    EXPECT_FALSE(engine.isRunning());
}

TEST(PulseAudioEngine, ASoundServerThatDiesWhileRecordingFailsTheRunOnce) {
    auto pulse = std::make_unique<velmo::test::PulseAudioServer>("velmo_dying_sink");
    ASSERT_TRUE(pulse->isRunning()) << pulse->failure();
    pulse->exportToEnvironment();
    auto monitor = std::make_shared<PulseAudioSourceMonitor>();
    ASSERT_TRUE(monitor->waitUntilSettled(std::chrono::seconds(5)));
    PulseAudioEngine engine(pulse->monitorSourceName(), monitor);
    auto failures = std::make_shared<velmo::test::BlockingQueue<std::string>>();
    engine.setFailureHandler([failures](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const Error& error) {
            failures->push(error.message());
        }
    });
    auto buffers = std::make_shared<std::atomic<int>>(0);
    engine.installTap(1024, engine.inputFormat(), [buffers](const auto&) { ++*buffers; });
    const auto before = std::chrono::steady_clock::now();
    engine.start();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));  // opens in the background
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (buffers->load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(buffers->load(), 0);
    EXPECT_TRUE(engine.isRunning());

    pulse.reset();
    auto message = failures->pop();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->rfind("the sound server went away while recording", 0), 0u) << *message;
    EXPECT_FALSE(engine.isRunning());
    EXPECT_FALSE(failures->pop(0.3s));  // once
    engine.stop();
}
