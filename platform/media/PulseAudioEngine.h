#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/media/AudioEngine.h"

namespace velmo {

class PulseAudioSourceMonitor;

// Microphone capture through the PulseAudio server: records from one source (by name, or the
// server's default) at that source's own rate and channel count, in float samples, and hands the
// tap buffers of the requested size, planar, on PulseAudio's own thread. Nothing here waits for
// the sound server: the input format comes from the source monitor's cache, and `start` refuses
// at once when the monitor knows there is no such source, else returns while the connection
// opens on the audio thread; a failure to open (or to answer within five seconds), and the
// server or source going away while recording, go to the failure handler and end the run.
// `stop` waits for a buffer being delivered, so nothing reaches the tap once it returns.
// Called from one thread (the main thread); the tap and the failure handler run on the audio thread.
class PulseAudioEngine : public AudioEngine {
public:
    // The process-wide source monitor unless another is given.
    explicit PulseAudioEngine(std::string sourceName = {}, std::shared_ptr<PulseAudioSourceMonitor> monitor = nullptr);
    ~PulseAudioEngine() override;
    PulseAudioEngine(const PulseAudioEngine&) = delete;
    PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

    AudioFormat inputFormat() override;
    void installTap(std::uint32_t bufferSize, const AudioFormat& format, AudioTapBlock block) override;
    void removeTap() override;
    void prepare() override {}
    void start() override;
    void stop() override;
    // False once a failure was reported.
    bool isRunning() const override;
    void setFailureHandler(AudioEngineFailureHandler handler) override { failureHandler_ = std::move(handler); }

    struct Tap {
        std::uint32_t bufferSize;
        AudioFormat format;
        AudioTapBlock block;
    };
    struct Capture;

private:
    std::string sourceName_;
    std::shared_ptr<PulseAudioSourceMonitor> monitor_;
    AudioEngineFailureHandler failureHandler_;
    std::shared_ptr<std::mutex> tapMutex_ = std::make_shared<std::mutex>();
    std::shared_ptr<std::shared_ptr<const Tap>> tap_ = std::make_shared<std::shared_ptr<const Tap>>();
    std::unique_ptr<Capture> capture_;
};

}  // namespace velmo
