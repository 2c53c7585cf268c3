#include "platform/media/SimulatedVideoPlayer.h"

#include <algorithm>
#include <cstdio>

namespace velmo {

SimulatedVideoPlayer::SimulatedVideoPlayer(std::string url, double durationSeconds)
    : url_(std::move(url)),
      duration_(durationSeconds) {}

SimulatedVideoPlayer::~SimulatedVideoPlayer() { unschedule(); }

double SimulatedVideoPlayer::currentTime() const {
    if (!playing_) return position_;
    return std::min(duration_, position_ + (MainLoop::mainNow() - startedAt_));
}

void SimulatedVideoPlayer::play() {
    calls_.push_back("play");
    if (playing_ || !error_.empty()) return;
    if (ended_) return;  // at its end it stays there, as a real item does
    playing_ = true;
    startedAt_ = MainLoop::mainNow();
    schedule();
}

void SimulatedVideoPlayer::pause() {
    calls_.push_back("pause");
    if (!playing_) return;
    position_ = currentTime();
    playing_ = false;
    unschedule();
}

void SimulatedVideoPlayer::setVolume(float volume) {
    volumeWrites_.push_back(volume);
    volume_ = std::clamp(volume, 0.0f, 1.0f);
    char text[32];
    std::snprintf(text, sizeof text, "volume %.2f", volume);
    calls_.push_back(text);
}

void SimulatedVideoPlayer::setMuted(bool muted) {
    muted_ = muted;
    calls_.push_back(muted ? "muted true" : "muted false");
}

void SimulatedVideoPlayer::showFrame(std::shared_ptr<const VideoFrame> frame) {
    frame_ = std::move(frame);
    notifyFrame();
}

void SimulatedVideoPlayer::fail(const std::string& message) {
    if (!playing_ && !error_.empty()) return;
    position_ = currentTime();
    playing_ = false;
    unschedule();
    error_ = message;
    postFailure();
}

void SimulatedVideoPlayer::boundariesChanged() {
    if (playing_) schedule();
}

void SimulatedVideoPlayer::unschedule() {
    for (auto& w : pending_) w.cancel();
    pending_.clear();
}

// One timer per boundary ahead and one for the end, at their exact loop times.
void SimulatedVideoPlayer::schedule() {
    unschedule();
    const double now = currentTime();
    lastReported_ = now;  // boundaries behind the position are passed, not crossed
    std::vector<double> times;
    for (const auto& [token, boundary] : boundaries())
        for (double t : boundary.times)
            if (t > now && t <= duration_) times.push_back(t);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    std::weak_ptr<VideoPlayer> weak = weak_from_this();
    for (double t : times)
        pending_.push_back(MainLoop::postToMainAfter(Seconds(t - now), [weak, t] {
            if (auto self = std::static_pointer_cast<SimulatedVideoPlayer>(weak.lock())) self->reachTime(t);
        }));
    pending_.push_back(MainLoop::postToMainAfter(Seconds(duration_ - now), [weak] {
        auto self = std::static_pointer_cast<SimulatedVideoPlayer>(weak.lock());
        if (!self) return;
        self->reachTime(self->duration_);
        if (!self->playing_) return;
        self->position_ = self->duration_;
        self->playing_ = false;
        self->ended_ = true;
        self->pending_.clear();
        self->postEnd();
    }));
}

void SimulatedVideoPlayer::reachTime(double time) {
    if (!playing_ || time <= lastReported_) return;
    double from = lastReported_;
    lastReported_ = time;
    fireBoundariesCrossed(from, time);
}

std::shared_ptr<VideoPlayer> SimulatedVideoPlayerFactory::playerWithURL(const std::string& url) {
    auto player = std::make_shared<SimulatedVideoPlayer>(url, duration_);
    players_.push_back(player);
    return player;
}

}  // namespace velmo
