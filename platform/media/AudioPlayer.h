#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/base/Error.h"

namespace velmo {

// Why a clip cannot be played, in the domain "AudioPlayer".
class AudioPlayerError : public Error {
public:
    enum Code : long { notAudio = 1, unreadableFile = 2 };
    AudioPlayerError(Code code, std::string message)
        : Error("AudioPlayer", code, std::move(message)) {}
    static AudioPlayerError notAudioData() { return {notAudio, "The data holds no MPEG audio that can be played."}; }
    static AudioPlayerError fileNotOpened(const std::string& path) {
        return {unreadableFile, "The file \"" + path + "\" could not be opened."};
    }
};

// Plays one clip. Made by an AudioPlayerFactory; every call comes from the main thread.
class AudioPlayer {
public:
    virtual ~AudioPlayer() = default;

    // Starts playback (from the start after a clip ended, else where it stopped). False when
    // playback could not start.
    virtual bool play() = 0;
    // Stops playback; the finished callback is not called.
    virtual void stop() = 0;
    virtual bool isPlaying() const = 0;
    // 0 (silent) to 1 (as recorded); other values are clamped.
    virtual void setVolume(float volume) = 0;
    virtual float volume() const = 0;

    // Called on the main loop when the clip has played to its end (true) or playback failed
    // part way (false).
    void setFinishedCallback(std::function<void(bool successfully)> callback) {
        std::lock_guard lock(callbackMutex_);
        finished_ = std::make_shared<std::function<void(bool)>>(std::move(callback));
    }

protected:
    // Posts the finished callback to the main loop (from any thread).
    void notifyFinished(bool successfully);

private:
    std::mutex callbackMutex_;
    std::shared_ptr<std::function<void(bool)>> finished_;
};

// Makes players; the seam through which tests put the simulated player in place.
class AudioPlayerFactory {
public:
    virtual ~AudioPlayerFactory() = default;
    // Throws AudioPlayerError::notAudio when the bytes hold no decodable MPEG audio frame.
    virtual std::shared_ptr<AudioPlayer> playerWithData(std::string data) = 0;
    // Throws AudioPlayerError::unreadableFile or ::notAudio.
    virtual std::shared_ptr<AudioPlayer> playerWithContentsOfFile(const std::string& path) = 0;

    // The factory that clients use unless they are handed one: real playback main installed,
    // or what a test installed; none is a fault. Thread-safe.
    static std::shared_ptr<AudioPlayerFactory> shared();
    // Installs `factory` for the process; null: none.
    static void install(std::shared_ptr<AudioPlayerFactory> factory);
};

}  // namespace velmo
