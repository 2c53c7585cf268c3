#include "platform/media/AudioFormat.h"

#include <cmath>
#include <cstdio>

namespace velmo {

bool AudioFormat::hasValidSampleRate() const { return std::isfinite(sampleRate) && sampleRate > 0; }

bool AudioFormat::isValid() const {
    if (!hasValidSampleRate() || channelCount == 0 || channelCount > maximumChannelCount) return false;
    switch (commonFormat) {
        case AudioCommonFormat::pcmFormatFloat32:
            return !interleaved;
        case AudioCommonFormat::pcmFormatInt16:
            return interleaved;
    }
    return false;
}

std::uint32_t AudioFormat::bitsPerChannel() const { return commonFormat == AudioCommonFormat::pcmFormatInt16 ? 16 : 32; }

std::uint32_t AudioFormat::bytesPerFrame() const {
    std::uint32_t sampleBytes = bitsPerChannel() / 8;
    return interleaved ? sampleBytes * channelCount : sampleBytes;
}

std::string AudioFormat::settingsDescription() const {
    char text[160];
    std::snprintf(text, sizeof text, "{format=%d, sampleRate=%.17g, channels=%u, interleaved=%d}", static_cast<int>(commonFormat),
                  sampleRate, channelCount, interleaved ? 1 : 0);
    return text;
}

}  // namespace velmo
