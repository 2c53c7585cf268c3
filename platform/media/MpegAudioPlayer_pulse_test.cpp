#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "testing/PlaybackFinishedLog.h"
#include "platform/media/MpegAudioPlayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/MpegTestClip.h"
#include "testing/PulseAudioServer.h"

using namespace velmo;
using velmo::test::makeMpegToneClip;

// Kept apart from the threads tests: the sound server's client library runs threads of its own
// that ThreadSanitizer cannot see into.
TEST(MpegAudioPlayer, PlaysThroughTheSoundServerWhenOneAnswersAndFallsBackWhenNone) {
    VirtualMainLoopScope scope;
    velmo::test::PulseAudioServer pulse("velmo_player_sink");
    ASSERT_TRUE(pulse.isRunning()) << pulse.failure();

    // Record the sink's monitor while the clip plays, and measure the tone's level.
    std::atomic<bool> recording{true};
    std::atomic<double> peakRms{0};
    pa_sample_spec spec{PA_SAMPLE_S16NE, 48000, 1};
    int error = 0;
    pa_simple* recorder = pa_simple_new(pulse.serverAddress().c_str(), "velmo-test", PA_STREAM_RECORD, pulse.monitorSourceName().c_str(),
                                        "monitor", &spec, nullptr, nullptr, &error);
    ASSERT_NE(recorder, nullptr) << error;
    std::thread listen([&] {
        std::vector<std::int16_t> block(4800);
        while (recording.load()) {
            if (pa_simple_read(recorder, block.data(), block.size() * 2, nullptr) < 0) break;
            double sum = 0;
            for (auto s : block) sum += double(s) * s;
            double rms = std::sqrt(sum / block.size());
            if (rms > peakRms.load()) peakRms = rms;
        }
    });

    AudioOutputOptions options;
    options.pulseServer = pulse.serverAddress();
    options.sink = pulse.sinkName();
    // Plays a clip to its end; true when the finished callback reported success.
    auto playToEnd = [&](const AudioOutputOptions& output, double seconds) {
        MpegAudioPlayerFactory factory(output);
        auto player = factory.playerWithData(makeMpegToneClip(seconds));
        velmo::test::PlaybackFinishedLog finished;
        player->setFinishedCallback(finished.callback());
        player->play();
        EXPECT_TRUE(scope.loop().runUntil([&] { return !finished.results.empty(); }));
        EXPECT_EQ(finished.results, std::vector<bool>{true});
        return dynamic_cast<MpegAudioPlayer*>(player.get())->usedSoundServer();
    };
    EXPECT_TRUE(playToEnd(options, 0.6));
    recording = false;
    listen.join();
    pa_simple_free(recorder);
    EXPECT_GT(peakRms.load(), 300.0) << "rms " << peakRms.load();  // the tone reached the sink

    // A server that does not answer: the clip still plays to its end, in silence.
    AudioOutputOptions nowhere;
    nowhere.pulseServer = "unix:/nonexistent/velmo/pulse/native";
    EXPECT_FALSE(playToEnd(nowhere, 0.1));
}
