#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/media/AudioFormat.h"
#include "platform/media/AudioPCMBuffer.h"

namespace velmo {

// What an input block reports when the converter asks it for audio.
enum class AudioConverterInputStatus : int {
    haveData = 0,  // the returned buffer holds audio
    noDataNow = 1,  // nothing more for this call; more may come in a later call
    endOfStream = 2,  // nothing more ever: the converter drains what it holds
};

// How one conversion call ended.
enum class AudioConverterOutputStatus : int {
    haveData = 0,  // the output buffer was filled to capacity
    inputRanDry = 1,  // the input block had nothing more for now
    endOfStream = 2,  // the input ended and everything held has been written out
    error = 3,  // the output or the input did not match the converter's formats
};

// Called by `convert` whenever it needs input: returns a buffer in the converter's input format
// (valid until the block is called again or `convert` returns) or null, and sets the status.
using AudioConverterInputBlock = std::function<const AudioPCMBuffer*(AudioConverterInputStatus& status)>;

// A stateful converter between two PCM formats: down-mixes to mono (the mean of the channels)
// or keeps the channel count, resamples with libsoxr (high quality, linear phase) and writes
// 32-bit float or 16-bit integer samples, clipping at full scale. The resampler keeps its state
// from call to call, so a stream converted buffer by buffer is continuous. Not thread-safe: one
// thread at a time.
class AudioConverter {
public:
    // Null when either format is invalid (a rate that is not positive and finite, among others)
    // or the channel counts can be neither kept nor mixed down to one.
    static std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    const AudioFormat& inputFormat() const { return from_; }
    const AudioFormat& outputFormat() const { return to_; }

    // Fills `output` (which must be in the output format) from the beginning, pulling input
    // from `input` as needed. Input the resampler could not yet turn into output stays held
    // for the next call.
    AudioConverterOutputStatus convert(AudioPCMBuffer& output, const AudioConverterInputBlock& input);

    // Forgets held audio and the resampler's history; the next call starts a new stream.
    void reset();

private:
    AudioConverter(const AudioFormat& from, const AudioFormat& to);
    void appendInput(const AudioPCMBuffer& buffer);
    void writeOutput(AudioPCMBuffer& output, std::uint32_t at, const float* frames, std::uint32_t count) const;
    std::size_t pendingFrames() const;

    AudioFormat from_;
    AudioFormat to_;
    struct Resampler;
    std::unique_ptr<Resampler> resampler_;  // absent when the rates are equal
    std::vector<float> pending_;  // input in the output's channel count, interleaved
    std::size_t pendingOffset_ = 0;  // frames of `pending_` already consumed
    std::vector<float> scratch_;
    bool inputEnded_ = false;
    bool drained_ = false;
};

}  // namespace velmo
