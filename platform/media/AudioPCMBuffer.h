#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media/AudioFormat.h"

namespace velmo {

// A block of PCM audio in one AudioFormat: room for `frameCapacity` frames, of which the first
// `frameLength` are valid. Float formats keep one buffer per channel; 16-bit formats keep one
// interleaved buffer. A buffer is filled by one thread and then shared read-only.
class AudioPCMBuffer {
public:
    // Largest capacity accepted (about 23 minutes at 48 kHz): bigger requests are mistakes.
    static constexpr std::uint32_t maximumFrameCapacity = 1u << 26;

    // Null when the format is not valid or the capacity is 0 or too large.
    static std::shared_ptr<AudioPCMBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t frames);

    // Channel `channel` of a float buffer; null for 16-bit buffers or a channel out of range.
    float* floatChannelData(std::uint32_t channel);
    const float* floatChannelData(std::uint32_t channel) const;
    // The interleaved samples of a 16-bit buffer; null for float buffers.
    std::int16_t* int16ChannelData();
    const std::int16_t* int16ChannelData() const;

    // The raw buffers: one per channel when planar, one when interleaved. Each holds
    // frameCapacity x bytesPerFrame bytes, of which frameLength x bytesPerFrame are valid.
    std::uint32_t bufferCount() const;
    const std::uint8_t* bufferData(std::uint32_t index) const;
    std::size_t validByteCount() const { return std::size_t(frameLength_) * format_.bytesPerFrame(); }

private:
    AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    std::vector<float> floats_;
    std::vector<std::int16_t> int16s_;
};

}  // namespace velmo
