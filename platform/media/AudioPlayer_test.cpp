#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "platform/media/MpegAudioPlayer.h"
#include "platform/media/SimulatedAudioPlayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/PlaybackFinishedLog.h"
#include "testing/MpegTestClip.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::makeMpegToneClip;
using velmo::test::mpegToneClipSamples;

namespace {

AudioOutputOptions nullOutput() {
    AudioOutputOptions o;
    o.nullOutputOnly = true;
    return o;
}

}  // namespace

TEST(MpegAudioPlayer, DecodesARealClipAndPacesItThroughTheNullOutput) {
    VirtualMainLoopScope scope;
    const double seconds = 0.3;
    MpegAudioPlayerFactory factory(nullOutput());
    auto player = factory.playerWithData(makeMpegToneClip(seconds));
    auto* mpeg = dynamic_cast<MpegAudioPlayer*>(player.get());
    ASSERT_NE(mpeg, nullptr);
    EXPECT_EQ(mpeg->sampleRate(), 48000);
    EXPECT_EQ(mpeg->channels(), 1);
    velmo::test::PlaybackFinishedLog finished;
    player->setFinishedCallback(finished.callback());

    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(player->play());
    EXPECT_TRUE(player->isPlaying());
    ASSERT_TRUE(scope.loop().runUntil([&] { return !finished.results.empty(); }));
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(elapsed, seconds * 0.9);  // paced like the clip, not decoded in a rush
    EXPECT_EQ(finished.results, std::vector<bool>{true});
    EXPECT_TRUE(finished.onMainThread);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(mpeg->framesPlayed(), std::uint64_t(mpegToneClipSamples(seconds)));
    EXPECT_FALSE(mpeg->usedSoundServer());

    // Played again after its end, it starts from the beginning.
    EXPECT_TRUE(player->play());
    ASSERT_TRUE(scope.loop().runUntil([&] { return finished.results.size() == 2; }));
    EXPECT_EQ(mpeg->framesPlayed(), std::uint64_t(mpegToneClipSamples(seconds)));
}

TEST(MpegAudioPlayer, StopEndsPlaybackAtOnceWithoutTheFinishedCallback) {
    VirtualMainLoopScope scope;
    MpegAudioPlayerFactory factory(nullOutput());
    auto player = factory.playerWithData(makeMpegToneClip(5.0));
    velmo::test::PlaybackFinishedLog finished;
    player->setFinishedCallback(finished.callback());
    player->play();
    scope.loop().runUntil([] { return false; }, 0.1s);
    auto stopping = std::chrono::steady_clock::now();
    player->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(1));
    EXPECT_FALSE(player->isPlaying());
    scope.loop().runUntil([] { return false; }, 0.1s);
    EXPECT_TRUE(finished.results.empty());
    auto* mpeg = dynamic_cast<MpegAudioPlayer*>(player.get());
    EXPECT_LT(mpeg->framesPlayed(), std::uint64_t(mpegToneClipSamples(5.0)));
}

TEST(MpegAudioPlayer, BytesWithoutAnMpegFrameCannotBePlayed) {
    MpegAudioPlayerFactory factory(nullOutput());
    for (std::string data : {std::string(), std::string("{\"detail\":\"voice not found\"}"), std::string("RIFF\x24\0\0\0WAVEfmt ", 16),
                             std::string(4096, 'A')}) {
        try {
            factory.playerWithData(data);
            ADD_FAILURE() << "played " << data.size() << " bytes";
        } catch (const AudioPlayerError& e) {
            EXPECT_EQ(e.domain(), "AudioPlayer");
            EXPECT_EQ(e.code(), AudioPlayerError::notAudio);
        }
    }
}

TEST(MpegAudioPlayer, OpensFilesAndReportsMissingOnes) {
    VirtualMainLoopScope scope;
    std::string path = testing::TempDir() + "velmo_clip_" + std::to_string(::getpid()) + ".mp3";
    {
        std::ofstream out(path, std::ios::binary);
        out << makeMpegToneClip(0.05);
    }
    MpegAudioPlayerFactory factory(nullOutput());
    auto player = factory.playerWithContentsOfFile(path);
    player->setVolume(0.3f);
    EXPECT_FLOAT_EQ(player->volume(), 0.3f);
    player->setVolume(7.0f);
    EXPECT_FLOAT_EQ(player->volume(), 1.0f);
    player->setVolume(-1.0f);
    EXPECT_FLOAT_EQ(player->volume(), 0.0f);
    std::remove(path.c_str());
    try {
        factory.playerWithContentsOfFile(path);
        ADD_FAILURE() << "opened a missing file";
    } catch (const AudioPlayerError& e) {
        EXPECT_EQ(e.code(), AudioPlayerError::unreadableFile);
    }
}

TEST(SimulatedAudioPlayer, RecordsCallsAndFinishesWhenTold) {
    VirtualMainLoopScope scope;
    SimulatedAudioPlayerFactory factory;
    EXPECT_THROW(factory.playerWithData(""), AudioPlayerError);
    auto player = factory.playerWithData("clip");
    velmo::test::PlaybackFinishedLog finished;
    player->setFinishedCallback(finished.callback());
    player->setVolume(0.3f);
    player->play();
    EXPECT_TRUE(player->isPlaying());
    factory.lastPlayer()->finishPlayback();
    EXPECT_TRUE(finished.results.empty());  // delivered on the main loop
    scope.loop().runUntilIdle();
    EXPECT_EQ(finished.results, std::vector<bool>{true});
    player->play();
    player->stop();
    EXPECT_EQ(factory.lastPlayer()->calls(), (std::vector<std::string>{"volume 0.30", "play", "play", "stop"}));
    EXPECT_EQ(factory.attempts(), 2);
    factory.readFile = [](const std::string& path) -> std::optional<std::string> {
        if (path == "ff.mp3") return std::string("music");
        return std::nullopt;
    };
    EXPECT_EQ(std::dynamic_pointer_cast<SimulatedAudioPlayer>(factory.playerWithContentsOfFile("ff.mp3"))->data(), "music");
    EXPECT_THROW(factory.playerWithContentsOfFile("missing.mp3"), AudioPlayerError);
}
