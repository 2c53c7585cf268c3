#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/media/AudioEngine.h"

namespace velmo {

// Microphone capture through the PulseAudio server: records from one source (by name, or the
// server's default) at that source's own rate and channel count, in float samples, and hands the
// tap buffers of the requested size, planar, on PulseAudio's own thread. `stop` waits for a
// buffer being delivered, so nothing reaches the tap once it returns.
class PulseAudioEngine : public AudioEngine {
public:
    explicit PulseAudioEngine(std::string sourceName = {});
    ~PulseAudioEngine() override;
    PulseAudioEngine(const PulseAudioEngine&) = delete;
    PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

    AudioFormat inputFormat() override;
    void installTap(std::uint32_t bufferSize, const AudioFormat& format, AudioTapBlock block) override;
    void removeTap() override;
    void prepare() override {}
    void start() override;
    void stop() override;
    bool isRunning() const override;

    struct Tap {
        std::uint32_t bufferSize;
        AudioFormat format;
        AudioTapBlock block;
    };
    struct Capture;

private:
    std::string sourceName_;
    std::shared_ptr<std::mutex> tapMutex_ = std::make_shared<std::mutex>();
    std::shared_ptr<std::shared_ptr<const Tap>> tap_ = std::make_shared<std::shared_ptr<const Tap>>();
    std::unique_ptr<Capture> capture_;
};

}  // namespace velmo
