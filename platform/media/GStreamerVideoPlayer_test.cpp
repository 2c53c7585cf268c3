// The real player on the rendition the build makes, decoded as fast as it goes, in silence.
#include <gtest/gtest.h>

#include "platform/media/GStreamerVideoPlayer.h"

#include <cstdio>

#include "platform/foundation/TestDirectory.h"
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

namespace {

// Playlists written for one test, naming the bundled segments by their full address.
class LocalPlaylists {
public:
    std::string write(const std::string& name, const std::string& text) { return "file://" + dir_.write(name, text); }
    std::string path(const std::string& name) const { return dir_ / name; }
    static std::string segment(int n) {
        char name[32];
        std::snprintf(name, sizeof name, "/segment%05d.ts", n);
        return std::string("file://") + VELMO_ONBOARDING_VIDEO_DIR + name;
    }

private:
    velmo::test::TestDirectory dir_;
};

}  // namespace

TEST_F(GStreamerVideoPlayerTest, PlaylistsThatReferToThemselvesNestTooDeepOrNeverEndFailWithinBoundedTime) {
    LocalPlaylists playlists;
    const std::string twoSegments = "#EXTINF:4,\n" + LocalPlaylists::segment(0) + "\n#EXTINF:4,\n" + LocalPlaylists::segment(1) + "\n";
    struct Case {
        const char* what;
        std::string url;
        std::string error;  // empty: any
    };
    const std::string tooDeep = "The playlist refers to itself or nests more than 4 playlists deep.";
    std::vector<Case> cases;
    // A master playlist whose only variant is itself.
    cases.push_back({"variant is itself",
                     playlists.write("master.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=100000\n" + playlists.path("master.m3u8") + "\n"),
                     ""});
    // A media playlist whose segment is itself.
    cases.push_back({"segment is itself",
                     playlists.write("self.m3u8",
                                     "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4,\n" + playlists.path("self.m3u8") + "\n#EXT-X-ENDLIST\n"),
                     tooDeep});
    // A chain of ten playlists, each the only segment of the one before.
    for (int n = 9; n >= 0; --n) {
        const std::string next = n == 9 ? twoSegments : "#EXTINF:4,\n" + playlists.path("chain" + std::to_string(n + 1) + ".m3u8") + "\n";
        playlists.write("chain" + std::to_string(n) + ".m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n" + next + "#EXT-X-ENDLIST\n");
    }
    cases.push_back({"ten deep", "file://" + playlists.path("chain0.m3u8"), tooDeep});
    // Two segments and no end marker: after the last picture it waits for more.
    cases.push_back({"never ends", playlists.write("live.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n" + twoSegments), "Playback stalled."});

    for (const auto& c : cases) {
        seen.clear();
        VideoOutputOptions options = fast();
        options.stallTimeout = 3s;
        auto player = GStreamerVideoPlayer::make(c.url, options);
        player->play();
        ASSERT_TRUE(loop->runUntil([&] { return !seen.empty(); }, 20s)) << c.what << ": neither end nor failure";
        loop->runUntil([] { return false; }, 0.2s);
        EXPECT_EQ(seen, std::vector<std::string>{"failure"}) << c.what;
        if (c.error.empty())
            EXPECT_FALSE(player->error().empty()) << c.what;
        else
            EXPECT_EQ(player->error(), c.error) << c.what;
        EXPECT_FALSE(player->isPlaying()) << c.what;
        const auto before = std::chrono::steady_clock::now();
        player.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << c.what;
    }
}

TEST_F(GStreamerVideoPlayerTest, DestructionReturnsWithinASecondInEveryState) {
    LocalPlaylists playlists;
    const std::string self =
        playlists.write("self.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4,\n" + playlists.path("self.m3u8") + "\n#EXT-X-ENDLIST\n");
    enum class State { made, playing, paused, playingItself };
    for (const State state : {State::made, State::playing, State::paused, State::playingItself}) {
        VideoOutputOptions options;
        options.nullAudioOutput = true;
        auto player = GStreamerVideoPlayer::make(state == State::playingItself ? self : kPlaylist, options);
        if (state != State::made) player->play();
        loop->runUntil([] { return false; }, 0.5s);
        if (state == State::paused) player->pause();
        const auto before = std::chrono::steady_clock::now();
        player.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << int(state);
    }
}
