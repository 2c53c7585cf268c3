#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/AudioPCMBuffer.h"

namespace velmo::test {

// A phrase spoken by espeak-ng: its 16-bit samples as espeak wrote them (mono, 22 050 Hz).
struct SpokenPhrase {
    std::vector<std::int16_t> samples;
    double sampleRate = 0;
    std::uint32_t channelCount = 0;

    // The audio as a capture device would deliver it: float planar buffers of `frames` frames
    // (the last one shorter).
    std::vector<std::shared_ptr<const AudioPCMBuffer>> floatBuffers(std::uint32_t frames = 1024) const;
};

// Speaks `text` into a WAV file with espeak-ng and reads it back; absent (with the reason in
// `failure`) when espeak-ng is missing or wrote nothing usable.
std::optional<SpokenPhrase> speakPhrase(const std::string& text, std::string* failure = nullptr, const std::string& voice = "en-us",
                                        int wordsPerMinute = 140);

// Reads a PCM WAV file of 16-bit samples.
std::optional<SpokenPhrase> readWAVFile(const std::string& path);

}  // namespace velmo::test
