#include "platform/media/VideoPlayer.h"

#include <algorithm>

#include "platform/runtime/NotificationCenter.h"

namespace velmo {

VideoPlayer::ObserverToken VideoPlayer::addBoundaryTimeObserver(std::vector<double> times, std::function<void()> block) {
    std::sort(times.begin(), times.end());
    ObserverToken token = nextToken_++;
    boundaries_[token] = Boundary{std::move(times), std::move(block)};
    boundariesChanged();
    return token;
}

VideoPlayer::ObserverToken VideoPlayer::addFrameObserver(std::function<void()> block) {
    ObserverToken token = nextToken_++;
    frameObservers_[token] = std::move(block);
    return token;
}

void VideoPlayer::removeTimeObserver(ObserverToken token) {
    frameObservers_.erase(token);
    if (boundaries_.erase(token)) boundariesChanged();
}

void VideoPlayer::fireBoundariesCrossed(double from, double to) {
    if (!(to > from)) return;
    struct Due {
        double time;
        ObserverToken token;
    };
    std::vector<Due> due;
    for (const auto& [token, boundary] : boundaries_)
        for (double t : boundary.times)
            if (t > from && t <= to) due.push_back({t, token});
    std::stable_sort(due.begin(), due.end(), [](const Due& a, const Due& b) { return a.time < b.time; });
    auto keepAlive = weak_from_this().lock();  // a block may let go of the player
    for (const Due& d : due) {
        auto it = boundaries_.find(d.token);  // an earlier block may have removed it
        if (it == boundaries_.end()) continue;
        auto block = it->second.block;
        if (block) block();
    }
}

void VideoPlayer::notifyFrame() {
    auto keepAlive = weak_from_this().lock();
    std::vector<ObserverToken> tokens;
    for (const auto& [token, block] : frameObservers_) tokens.push_back(token);
    for (ObserverToken token : tokens) {
        auto it = frameObservers_.find(token);
        if (it == frameObservers_.end()) continue;
        auto block = it->second;
        if (block) block();
    }
}

void VideoPlayer::postEnd() {
    NotificationCenter::defaultCenter().post(didPlayToEndTimeNotification, static_cast<const VideoPlayer*>(this));
}

void VideoPlayer::postFailure() {
    NotificationCenter::defaultCenter().post(failedToPlayNotification, static_cast<const VideoPlayer*>(this));
}

}  // namespace velmo
