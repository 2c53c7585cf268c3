#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/media/VideoPlayer.h"
#include "platform/runtime/MainLoop.h"

namespace velmo {

// A player for tests: its position advances with the main loop's (virtual) clock while it
// plays, so boundaries and the end fire at exact times; it records every call.
class SimulatedVideoPlayer : public VideoPlayer {
public:
    SimulatedVideoPlayer(std::string url, double durationSeconds);
    ~SimulatedVideoPlayer() override;

    const std::string& url() const override { return url_; }
    void play() override;
    void pause() override;
    bool isPlaying() const override { return playing_; }
    void setVolume(float volume) override;
    float volume() const override { return volume_; }
    void setMuted(bool muted) override;
    bool isMuted() const override { return muted_; }
    double currentTime() const override;
    std::shared_ptr<const VideoFrame> currentFrame() const override { return frame_; }
    std::string error() const override { return error_; }

    // Calls in order: "play", "pause", "muted false", "volume 0.05".
    const std::vector<std::string>& calls() const { return calls_; }
    // Every volume written, as written (before clamping).
    const std::vector<float>& volumeWrites() const { return volumeWrites_; }
    // Makes `frame` the current picture and tells the frame observers.
    void showFrame(std::shared_ptr<const VideoFrame> frame);
    // Stops playback as a broken stream would, with the failure notification.
    void fail(const std::string& message);

private:
    void boundariesChanged() override;
    void schedule();
    void unschedule();
    void reachTime(double time);

    std::string url_;
    double duration_;
    bool playing_ = false;
    bool ended_ = false;
    float volume_ = 1.0f;
    bool muted_ = false;
    double position_ = 0;  // while paused; while playing, at `startedAt_`
    double startedAt_ = 0;  // loop time of the last play
    double lastReported_ = 0;  // boundaries up to here have fired
    std::vector<WorkItem> pending_;
    std::shared_ptr<const VideoFrame> frame_;
    std::string error_;
    std::vector<std::string> calls_;
    std::vector<float> volumeWrites_;
};

// Makes simulated players of a fixed duration and keeps them for the test.
class SimulatedVideoPlayerFactory : public VideoPlayerFactory {
public:
    explicit SimulatedVideoPlayerFactory(double durationSeconds = 60)
        : duration_(durationSeconds) {}
    std::shared_ptr<VideoPlayer> playerWithURL(const std::string& url) override;

    std::shared_ptr<SimulatedVideoPlayer> lastPlayer() const { return players_.empty() ? nullptr : players_.back(); }

private:
    double duration_;
    std::vector<std::shared_ptr<SimulatedVideoPlayer>> players_;
};

}  // namespace velmo
