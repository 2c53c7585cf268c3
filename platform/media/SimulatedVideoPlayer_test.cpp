#include <gtest/gtest.h>

#include "platform/media/SimulatedVideoPlayer.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

namespace {
struct Notifications {
    std::vector<std::string> seen;
    NotificationCenter::Token end, failure;
    Notifications() {
        end = NotificationCenter::defaultCenter().addObserver(VideoPlayer::didPlayToEndTimeNotification, [this](const Notification& n) {
            seen.push_back(std::string("end ") + (std::any_cast<const VideoPlayer*>(n.object) ? "player" : "?"));
        });
        failure = NotificationCenter::defaultCenter().addObserver(VideoPlayer::failedToPlayNotification,
                                                                  [this](const Notification&) { seen.push_back("failure"); });
    }
    ~Notifications() {
        NotificationCenter::defaultCenter().removeObserver(end);
        NotificationCenter::defaultCenter().removeObserver(failure);
    }
};
}  // namespace

TEST(SimulatedVideoPlayer, BoundariesAndTheEndFireAtExactVirtualTimesAndPausingHoldsThemBack) {
    VirtualMainLoopScope scope;
    Notifications notes;
    auto player = std::make_shared<SimulatedVideoPlayer>("file:///v.m3u8", 45);
    std::vector<double> fired;
    player->addBoundaryTimeObserver({40.0, 10.0}, [&] { fired.push_back(player->currentTime()); });
    player->play();
    scope.loop().advance(9.999s);
    EXPECT_TRUE(fired.empty());
    scope.loop().advance(0.001s);
    EXPECT_EQ(fired, std::vector<double>{10.0});
    player->pause();
    scope.loop().advance(100s);  // paused: time stands still
    EXPECT_DOUBLE_EQ(player->currentTime(), 10.0);
    player->play();
    scope.loop().advance(30s);
    EXPECT_EQ(fired, (std::vector<double>{10.0, 40.0}));
    EXPECT_TRUE(notes.seen.empty());
    scope.loop().advance(5s);
    EXPECT_EQ(notes.seen, std::vector<std::string>{"end player"});
    EXPECT_FALSE(player->isPlaying());
    scope.loop().advance(60s);
    EXPECT_EQ(fired.size(), 2u);
    EXPECT_EQ(notes.seen.size(), 1u);
}

TEST(SimulatedVideoPlayer, ARemovedBoundaryNeverFiresAndVolumeWritesAreRecordedAsWritten) {
    VirtualMainLoopScope scope;
    auto player = std::make_shared<SimulatedVideoPlayer>("file:///v.m3u8", 60);
    int fired = 0;
    auto token = player->addBoundaryTimeObserver({40.0}, [&] { ++fired; });
    player->setMuted(false);
    player->setVolume(0);
    player->setVolume(1.25f);
    player->play();
    scope.loop().advance(20s);
    player->removeTimeObserver(token);
    scope.loop().advance(30s);
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(player->volumeWrites(), (std::vector<float>{0.0f, 1.25f}));
    EXPECT_FLOAT_EQ(player->volume(), 1.0f);  // clamped
    EXPECT_EQ(player->calls(), (std::vector<std::string>{"muted false", "volume 0.00", "volume 1.25", "play"}));
}

TEST(SimulatedVideoPlayer, AFailureStopsPlaybackWithOneNotificationAndNoEnd) {
    VirtualMainLoopScope scope;
    Notifications notes;
    auto player = std::make_shared<SimulatedVideoPlayer>("file:///v.m3u8", 10);
    int fired = 0;
    player->addBoundaryTimeObserver({5.0}, [&] { ++fired; });
    player->play();
    scope.loop().advance(2s);
    player->fail("stream broke");
    scope.loop().advance(20s);
    EXPECT_EQ(notes.seen, std::vector<std::string>{"failure"});
    EXPECT_EQ(player->error(), "stream broke");
    EXPECT_EQ(fired, 0);
    EXPECT_DOUBLE_EQ(player->currentTime(), 2.0);
}

TEST(SimulatedVideoPlayer, FrameObserversHearEachNewPicture) {
    VirtualMainLoopScope scope;
    auto player = std::make_shared<SimulatedVideoPlayer>("file:///v.m3u8", 10);
    int heard = 0;
    auto token = player->addFrameObserver([&] { ++heard; });
    auto frame = std::make_shared<VideoFrame>(VideoFrame{2, 1, 8, std::vector<std::uint8_t>(8, 0xFF)});
    player->showFrame(frame);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(player->currentFrame(), frame);
    player->removeFrameObserver(token);
    player->showFrame(frame);
    EXPECT_EQ(heard, 1);
}
