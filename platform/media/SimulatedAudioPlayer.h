#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/AudioPlayer.h"

namespace velmo {

// A player for tests: records every call and plays nothing; the test ends a clip with
// `finishPlayback`.
class SimulatedAudioPlayer : public AudioPlayer {
public:
    explicit SimulatedAudioPlayer(std::string data)
        : data_(std::move(data)) {}

    bool play() override;
    void stop() override;
    bool isPlaying() const override { return playing_; }
    void setVolume(float volume) override;
    float volume() const override { return volume_; }

    const std::string& data() const { return data_; }
    // Calls in order: "play", "stop", "volume 0.30".
    const std::vector<std::string>& calls() const { return calls_; }
    int playCount() const;
    // Ends the clip as if it had played to its end (or failed), with the callback posted.
    void finishPlayback(bool successfully = true);

private:
    std::string data_;
    bool playing_ = false;
    float volume_ = 1.0f;
    std::vector<std::string> calls_;
};

// Makes simulated players and keeps them for the test to inspect. Data that `isPlayable`
// rejects throws the same AudioPlayerError the real player does.
class SimulatedAudioPlayerFactory : public AudioPlayerFactory {
public:
    std::function<bool(const std::string& data)> isPlayable = [](const std::string& data) { return !data.empty(); };
    // Files the factory can open, by path.
    std::function<std::optional<std::string>(const std::string& path)> readFile;

    std::shared_ptr<AudioPlayer> playerWithData(std::string data) override;
    std::shared_ptr<AudioPlayer> playerWithContentsOfFile(const std::string& path) override;

    const std::vector<std::shared_ptr<SimulatedAudioPlayer>>& players() const { return players_; }
    std::shared_ptr<SimulatedAudioPlayer> lastPlayer() const { return players_.empty() ? nullptr : players_.back(); }
    // Attempts, including the refused ones.
    int attempts() const { return attempts_; }

private:
    std::vector<std::shared_ptr<SimulatedAudioPlayer>> players_;
    int attempts_ = 0;
};

}  // namespace velmo
