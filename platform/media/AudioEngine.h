#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "platform/media/AudioFormat.h"
#include "platform/media/AudioPCMBuffer.h"

namespace velmo {

// Receives every captured buffer, on the engine's audio thread. It must return quickly and must
// not call back into the engine (stop, removeTap) from that thread.
using AudioTapBlock = std::function<void(const std::shared_ptr<const AudioPCMBuffer>& buffer)>;
// Hears that a started input failed (it could not be opened, or the device or server went away
// while recording), once per start, on the engine's audio thread.
using AudioEngineFailureHandler = std::function<void(std::exception_ptr error)>;

// The microphone side of an audio engine: one input whose bus 0 delivers the capture device's
// audio through a tap. Calls other than the tap itself come from one thread (the main thread).
// A buffer already being delivered when `stop` or `removeTap` is called may still reach the
// tap once; after that nothing does.
class AudioEngine {
public:
    virtual ~AudioEngine() = default;

    // The format the input delivers: float planar at the device's own rate and channel count.
    // A format with a zero rate and no channels means there is no input device.
    virtual AudioFormat inputFormat() = 0;
    // Replaces any tap on the input. `format` is normally `inputFormat()`.
    virtual void installTap(std::uint32_t bufferSize, const AudioFormat& format, AudioTapBlock block) = 0;
    virtual void removeTap() = 0;
    virtual void prepare() = 0;
    // Starts capturing; throws Error when the device cannot be opened. An engine may finish
    // opening in the background and report a failure to the failure handler instead.
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
    // Replaces the failure handler; takes effect at the next start.
    virtual void setFailureHandler(AudioEngineFailureHandler handler) = 0;
};

}  // namespace velmo
