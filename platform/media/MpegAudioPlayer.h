#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/media/AudioPlayer.h"

namespace velmo {

struct AudioOutputOptions {
    // The sound server to play through; empty: the default one.
    std::string pulseServer;
    // The sink to play into; empty: the server's default sink.
    std::string sink;
    // Skip the sound server and pace the decoded audio in silence.
    bool nullOutputOnly = false;
};

// Plays MPEG audio (layers I-III): libmpg123 decodes it on the player's own thread, and the
// samples go to PulseAudio, or, where no sound server answers, to a null output that keeps the
// clip's pace without sound, so playback still ends when the clip would.
class MpegAudioPlayer : public AudioPlayer {
public:
    // Throws AudioPlayerError::notAudio when no MPEG frame in `data` can be decoded.
    explicit MpegAudioPlayer(std::string data, AudioOutputOptions options = {});
    ~MpegAudioPlayer() override;

    bool play() override;
    void stop() override;
    bool isPlaying() const override { return playing_.load(); }
    void setVolume(float volume) override;
    float volume() const override { return volume_.load(); }

    int sampleRate() const { return rate_; }
    int channels() const { return channels_; }
    // Sample frames handed to the output since the clip last started from its beginning.
    std::uint64_t framesPlayed() const { return framesPlayed_.load(); }
    // Whether the last playback went to the sound server (false: the null output).
    bool usedSoundServer() const { return usedSoundServer_.load(); }

private:
    struct Decoder;
    void run();
    void joinThread();

    std::string data_;
    AudioOutputOptions options_;
    std::unique_ptr<Decoder> decoder_;
    int rate_ = 0;
    int channels_ = 0;
    std::atomic<bool> playing_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> atEnd_{false};
    std::atomic<float> volume_{1.0f};
    std::atomic<std::uint64_t> framesPlayed_{0};
    std::atomic<bool> usedSoundServer_{false};
    std::mutex waitMutex_;
    std::condition_variable waitCv_;
    std::thread thread_;
};

class MpegAudioPlayerFactory : public AudioPlayerFactory {
public:
    explicit MpegAudioPlayerFactory(AudioOutputOptions options = {})
        : options_(std::move(options)) {}
    std::shared_ptr<AudioPlayer> playerWithData(std::string data) override;
    std::shared_ptr<AudioPlayer> playerWithContentsOfFile(const std::string& path) override;

private:
    AudioOutputOptions options_;
};

}  // namespace velmo
