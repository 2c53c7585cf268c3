// The real player on the rendition the build makes, decoded as fast as it goes, in silence.
#include <gtest/gtest.h>

#include "platform/media/GStreamerVideoPlayer.h"
#include "platform/runtime/NotificationCenter.h"

using namespace std::chrono_literals;

using namespace velmo;

namespace {

const std::string kPlaylist = std::string("file://") + VELMO_ONBOARDING_VIDEO_DIR + "/e5jB8UuSrtFABVnTHCR7k3sIsmcUHCyhtLu1tzqLlfs.m3u8";

class GStreamerVideoPlayerTest : public testing::Test {
protected:
    std::shared_ptr<RealMainLoop> loop = std::make_shared<RealMainLoop>();
    std::shared_ptr<MainLoop> previous = MainLoop::current();
    std::vector<std::string> seen;
    NotificationCenter::Token end, failure;

    void SetUp() override {
        MainLoop::install(loop);
        end = NotificationCenter::defaultCenter().addObserver(VideoPlayer::didPlayToEndTimeNotification,
                                                              [this](const Notification&) { seen.push_back("end"); });
        failure = NotificationCenter::defaultCenter().addObserver(VideoPlayer::failedToPlayNotification,
                                                                  [this](const Notification&) { seen.push_back("failure"); });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(end);
        NotificationCenter::defaultCenter().removeObserver(failure);
        loop->runUntil([] { return false; }, 0.05s);
        MainLoop::install(previous);
    }
    static VideoOutputOptions fast() {
        VideoOutputOptions o;
        o.nullAudioOutput = true;
        o.paced = false;
        o.positionPollInterval = 0.01s;
        return o;
    }
};

}  // namespace

TEST_F(GStreamerVideoPlayerTest, PlaysTheBundledRenditionWithFramesTheBoundaryAndItsEnd) {
    auto player = GStreamerVideoPlayer::make(kPlaylist, fast());
    int frames = 0;
    std::vector<double> boundary;
    player->addFrameObserver([&] { ++frames; });
    player->addBoundaryTimeObserver({40.0}, [&] { boundary.push_back(player->currentTime()); });
    player->setMuted(false);
    player->setVolume(0.5f);
    player->play();
    ASSERT_TRUE(loop->runUntil([&] { return !seen.empty(); }, 60s)) << "no end";
    EXPECT_EQ(seen, std::vector<std::string>{"end"}) << player->error();
    EXPECT_GT(frames, 0);
    auto frame = player->currentFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, 640);
    EXPECT_EQ(frame->height, 360);
    EXPECT_EQ(frame->pixels.size(), std::size_t(640 * 4 * 360));
    EXPECT_EQ(frame->pixels[3], 0xFF);  // opaque
    EXPECT_GT(frame->time, 40.0);  // the last pictures of a 48 s item
    ASSERT_EQ(boundary.size(), 1u);
    EXPECT_GE(boundary[0], 40.0);
    EXPECT_GE(player->currentTime(), 45.0);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_FLOAT_EQ(player->volume(), 0.5f);
}

TEST_F(GStreamerVideoPlayerTest, ABrokenAddressFailsOnceWithoutAnEnd) {
    for (const std::string& url : {std::string("file:///nonexistent/velmo/video.m3u8"), std::string("not an address")}) {
        seen.clear();
        auto player = GStreamerVideoPlayer::make(url, fast());
        int boundaries = 0;
        player->addBoundaryTimeObserver({0.5}, [&] { ++boundaries; });
        player->play();
        ASSERT_TRUE(loop->runUntil([&] { return !seen.empty(); }, 20s)) << url;
        loop->runUntil([] { return false; }, 0.2s);
        EXPECT_EQ(seen, std::vector<std::string>{"failure"}) << url;
        EXPECT_FALSE(player->error().empty()) << url;
        EXPECT_FALSE(player->isPlaying());
        EXPECT_EQ(boundaries, 0);
    }
}

// Paced, but eight times faster than recorded: the boundary and the end come in stream time.
TEST_F(GStreamerVideoPlayerTest, AFasterRatePlaysTheWholeItemPacedWithItsBoundaryAndEnd) {
    VideoOutputOptions options;
    options.nullAudioOutput = true;
    options.rate = 8.0;
    auto player = GStreamerVideoPlayer::make(kPlaylist, options);
    EXPECT_DOUBLE_EQ(player->playbackRate(), 1.0);  // not yet prerolled
    int frames = 0;
    std::vector<std::pair<double, double>> boundary;  // (position, rate) when it fired
    player->addFrameObserver([&] { ++frames; });
    player->addBoundaryTimeObserver({40.0}, [&] { boundary.emplace_back(player->currentTime(), player->playbackRate()); });
    player->play();
    ASSERT_TRUE(loop->runUntil([&] { return !seen.empty(); }, 120s)) << "no end";
    EXPECT_EQ(seen, std::vector<std::string>{"end"}) << player->error();
    EXPECT_GT(frames, 0);
    ASSERT_EQ(boundary.size(), 1u);
    EXPECT_GE(boundary[0].first, 40.0);
    EXPECT_DOUBLE_EQ(boundary[0].second, 8.0);
    EXPECT_GE(player->currentTime(), 45.0);
}
