#include "platform/media/SimulatedAudioPlayer.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace velmo {

bool SimulatedAudioPlayer::play() {
    calls_.push_back("play");
    playing_ = true;
    return true;
}

void SimulatedAudioPlayer::stop() {
    calls_.push_back("stop");
    playing_ = false;
}

void SimulatedAudioPlayer::setVolume(float volume) {
    volume_ = std::clamp(volume, 0.0f, 1.0f);
    char text[32];
    std::snprintf(text, sizeof text, "volume %.2f", volume_);
    calls_.push_back(text);
}

int SimulatedAudioPlayer::playCount() const { return static_cast<int>(std::count(calls_.begin(), calls_.end(), "play")); }

void SimulatedAudioPlayer::finishPlayback(bool successfully) {
    if (!playing_) return;
    playing_ = false;
    notifyFinished(successfully);
}

std::shared_ptr<AudioPlayer> SimulatedAudioPlayerFactory::playerWithData(std::string data) {
    ++attempts_;
    if (!isPlayable || !isPlayable(data)) throw AudioPlayerError::notAudioData();
    auto player = std::make_shared<SimulatedAudioPlayer>(std::move(data));
    players_.push_back(player);
    return player;
}

std::shared_ptr<AudioPlayer> SimulatedAudioPlayerFactory::playerWithContentsOfFile(const std::string& path) {
    std::optional<std::string> contents = readFile ? readFile(path) : std::nullopt;
    if (!contents) {
        ++attempts_;
        throw AudioPlayerError::fileNotOpened(path);
    }
    return playerWithData(std::move(*contents));
}

}  // namespace velmo
