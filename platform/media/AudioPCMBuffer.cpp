#include "platform/media/AudioPCMBuffer.h"

#include <algorithm>

namespace velmo {

std::shared_ptr<AudioPCMBuffer> AudioPCMBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
    if (!format.isValid() || frameCapacity == 0 || frameCapacity > maximumFrameCapacity) return nullptr;
    return std::shared_ptr<AudioPCMBuffer>(new AudioPCMBuffer(format, frameCapacity));
}

AudioPCMBuffer::AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format),
      frameCapacity_(frameCapacity) {
    std::size_t samples = std::size_t(frameCapacity) * format.channelCount;
    if (format.commonFormat == AudioCommonFormat::pcmFormatFloat32) {
        floats_.assign(samples, 0.0f);
    } else {
        int16s_.assign(samples, 0);
    }
}

void AudioPCMBuffer::setFrameLength(std::uint32_t frames) { frameLength_ = std::min(frames, frameCapacity_); }

float* AudioPCMBuffer::floatChannelData(std::uint32_t channel) {
    if (floats_.empty() || channel >= format_.channelCount) return nullptr;
    return floats_.data() + std::size_t(channel) * frameCapacity_;
}

const float* AudioPCMBuffer::floatChannelData(std::uint32_t channel) const {
    return const_cast<AudioPCMBuffer*>(this)->floatChannelData(channel);
}

std::int16_t* AudioPCMBuffer::int16ChannelData() { return int16s_.empty() ? nullptr : int16s_.data(); }

const std::int16_t* AudioPCMBuffer::int16ChannelData() const { return int16s_.empty() ? nullptr : int16s_.data(); }

std::uint32_t AudioPCMBuffer::bufferCount() const { return format_.interleaved ? 1 : format_.channelCount; }

const std::uint8_t* AudioPCMBuffer::bufferData(std::uint32_t index) const {
    if (index >= bufferCount()) return nullptr;
    if (!floats_.empty()) return reinterpret_cast<const std::uint8_t*>(floatChannelData(index));
    return reinterpret_cast<const std::uint8_t*>(int16s_.data());
}

}  // namespace velmo
