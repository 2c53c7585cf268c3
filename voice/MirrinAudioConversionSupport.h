#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/AudioConverter.h"
#include "platform/media/AudioFormat.h"
#include "platform/media/AudioPCMBuffer.h"

namespace velmo {

// Raw speech audio on the wire: 16 kHz, mono, signed 16-bit little-endian samples, no header.
using MirrinPCM16Data = std::vector<std::uint8_t>;

// Turns microphone tap buffers, in whatever format the device has, into MirrinPCM16Data for
// the network transcription back-ends. One converter belongs to one session and is used from the
// one thread that appends that session's audio. The resampler is built for the first buffer's
// format and reused, with its state, while the format stays the same; a buffer in another format
// (a device switch) builds a new one.
class MirrinPCM16AudioConverter {
public:
    using ConverterFactory = std::function<std::unique_ptr<AudioConverter>(const AudioFormat& from, const AudioFormat& to)>;

    MirrinPCM16AudioConverter();
    // Builds resamplers with `makeConverter` instead of AudioConverter::make.
    explicit MirrinPCM16AudioConverter(ConverterFactory makeConverter);

    // The 16-bit samples of one buffer; empty when there is nothing to send: no converter could
    // be built for the format (a rate that is not positive and finite, for one), no output frame
    // came out yet, or the conversion failed. Never throws.
    MirrinPCM16Data convert(const AudioPCMBuffer& buffer);

    const AudioFormat& targetAudioFormat() const { return targetAudioFormat_; }
    const std::optional<std::string>& currentInputFormatDescription() const { return currentInputFormatDescription_; }
    bool hasAudioConverter() const { return audioConverter_ != nullptr; }

    // Output frames allowed for one input buffer: ceiling(frames x target / input rate) + 32;
    // 0 when the input rate is not positive and finite.
    static std::uint32_t outputFrameCapacity(std::uint32_t inputFrames, double inputSampleRate, double targetSampleRate = 16000.0);

private:
    ConverterFactory makeConverter_;
    AudioFormat targetAudioFormat_ = AudioFormat::int16Interleaved(16000.0, 1);
    std::unique_ptr<AudioConverter> audioConverter_;
    std::optional<std::string> currentInputFormatDescription_;
};

// The WAV size fields are 32 bits: the container describes at most this many sample bytes.
inline constexpr std::uint64_t maximumWAVDataByteCount = 0xFFFFFFFFull - 36;

// A complete WAV file: the 44-byte PCM header followed by `pcmData` unchanged. Throws a
// MessageError when `pcmData` is longer than maximumWAVDataByteCount.
std::vector<std::uint8_t> makeWAVData(const MirrinPCM16Data& pcmData, std::uint32_t sampleRate, std::uint16_t channels,
                                      std::uint16_t bitsPerSample);

// The converted audio of one recording, kept for a single upload. It holds at most
// `maximumByteCount` bytes (30 minutes, far below the WAV limit); audio beyond that is left out
// with one log line. Its storage grows by half at a time and never past the cap. Not
// thread-safe.
class MirrinPCM16AudioAccumulator {
public:
    static constexpr std::size_t defaultMaximumByteCount = 30 * 60 * 32000;

    explicit MirrinPCM16AudioAccumulator(std::size_t maximumByteCount = defaultMaximumByteCount);

    // Appends what fits (in whole samples); false once the cap has cut something off.
    bool append(const MirrinPCM16Data& bytes);
    const MirrinPCM16Data& data() const { return data_; }
    std::size_t size() const { return data_.size(); }
    bool isEmpty() const { return data_.empty(); }
    bool hasReachedLimit() const { return reachedLimit_; }
    void clear();
    // Hands the audio over without copying it and leaves the accumulator empty; whether the
    // limit was reached is kept.
    MirrinPCM16Data take();

private:
    std::size_t maximumByteCount_;
    MirrinPCM16Data data_;
    bool reachedLimit_ = false;
};

}  // namespace velmo
