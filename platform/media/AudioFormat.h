#pragma once

#include <cstdint>
#include <string>

namespace velmo {

// Sample representations a PCM buffer can hold. The numbering follows the usual common-format
// codes, so a format can be named by number in logs and tests.
enum class AudioCommonFormat : int {
    pcmFormatFloat32 = 1,
    pcmFormatInt16 = 3,
};

// The shape of linear PCM audio: sample type, rate, channels and layout. Two layouts are
// supported: 32-bit float planar (one buffer per channel, what capture devices deliver) and
// 16-bit signed integer interleaved (what speech services take).
struct AudioFormat {
    AudioCommonFormat commonFormat = AudioCommonFormat::pcmFormatFloat32;
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    bool interleaved = false;

    static AudioFormat float32Planar(double sampleRate, std::uint32_t channelCount) {
        return {AudioCommonFormat::pcmFormatFloat32, sampleRate, channelCount, false};
    }
    static AudioFormat int16Interleaved(double sampleRate, std::uint32_t channelCount) {
        return {AudioCommonFormat::pcmFormatInt16, sampleRate, channelCount, true};
    }

    static constexpr std::uint32_t maximumChannelCount = 64;

    // A positive, finite rate, 1 to 64 channels and one of the two supported layouts.
    bool isValid() const;
    bool hasValidSampleRate() const;
    // Bytes of one frame in one buffer: 2 x channels interleaved, 4 for each planar channel.
    std::uint32_t bytesPerFrame() const;
    std::uint32_t bitsPerChannel() const;
    // Text that is equal for equal formats and differs otherwise (used as a cache key).
    std::string settingsDescription() const;

    bool operator==(const AudioFormat&) const = default;
};

}  // namespace velmo
