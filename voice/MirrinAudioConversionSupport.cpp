#include "voice/MirrinAudioConversionSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "platform/base/Error.h"
#include "platform/base/Logger.h"

namespace velmo {

MirrinPCM16AudioConverter::MirrinPCM16AudioConverter()
    : MirrinPCM16AudioConverter(&AudioConverter::make) {}

MirrinPCM16AudioConverter::MirrinPCM16AudioConverter(ConverterFactory makeConverter)
    : makeConverter_(std::move(makeConverter)) {}

std::uint32_t MirrinPCM16AudioConverter::outputFrameCapacity(std::uint32_t inputFrames, double inputSampleRate, double targetSampleRate) {
    if (!std::isfinite(inputSampleRate) || inputSampleRate <= 0) return 0;
    const double frames = std::ceil(double(inputFrames) * (targetSampleRate / inputSampleRate)) + 32;
    if (!std::isfinite(frames) || frames > double(AudioPCMBuffer::maximumFrameCapacity)) return 0;
    return std::uint32_t(frames);
}

MirrinPCM16Data MirrinPCM16AudioConverter::convert(const AudioPCMBuffer& buffer) {
    const std::string key = buffer.format().settingsDescription();
    if (!currentInputFormatDescription_ || *currentInputFormatDescription_ != key) {
        audioConverter_ = makeConverter_ ? makeConverter_(buffer.format(), targetAudioFormat_) : nullptr;
        currentInputFormatDescription_ = key;
    }
    if (!audioConverter_) return {};

    const std::uint32_t capacity = outputFrameCapacity(buffer.frameLength(), buffer.format().sampleRate, targetAudioFormat_.sampleRate);
    auto output = capacity > 0 ? AudioPCMBuffer::make(targetAudioFormat_, capacity) : nullptr;
    if (!output) return {};

    bool consumed = false;
    const auto status = audioConverter_->convert(*output, [&](AudioConverterInputStatus& inputStatus) -> const AudioPCMBuffer* {
        if (consumed) {
            inputStatus = AudioConverterInputStatus::noDataNow;
            return nullptr;
        }
        consumed = true;
        inputStatus = AudioConverterInputStatus::haveData;
        return &buffer;
    });
    if (status == AudioConverterOutputStatus::error) return {};

    const std::uint8_t* data = output->bufferData(0);
    const std::size_t byteCount = std::size_t(targetAudioFormat_.bytesPerFrame()) * output->frameLength();
    if (!data || byteCount == 0) return {};
    return MirrinPCM16Data(data, data + byteCount);
}

namespace {
// Writes the header fields in place, little-endian, at increasing offsets.
struct HeaderWriter {
    std::uint8_t* at;
    void tag(const char* t) {
        std::memcpy(at, t, 4);
        at += 4;
    }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) *at++ = std::uint8_t(v >> (8 * i));
    }
    void u16(std::uint16_t v) {
        *at++ = std::uint8_t(v);
        *at++ = std::uint8_t(v >> 8);
    }
};
}  // namespace

std::vector<std::uint8_t> makeWAVData(const MirrinPCM16Data& pcmData, std::uint32_t sampleRate, std::uint16_t channels,
                                      std::uint16_t bitsPerSample) {
    if (pcmData.size() > maximumWAVDataByteCount) throw MessageError("MirrinAudioConversion", "the recording is too long for a WAV file.");
    const auto n = std::uint32_t(pcmData.size());
    std::vector<std::uint8_t> out(44 + pcmData.size());
    HeaderWriter w{out.data()};
    w.tag("RIFF");
    w.u32(36 + n);
    w.tag("WAVE");
    w.tag("fmt ");
    w.u32(16);
    w.u16(1);
    w.u16(channels);
    w.u32(sampleRate);
    w.u32(std::uint32_t(std::uint64_t(sampleRate) * channels * bitsPerSample / 8));
    w.u16(std::uint16_t(std::uint32_t(channels) * bitsPerSample / 8));
    w.u16(bitsPerSample);
    w.tag("data");
    w.u32(n);
    if (n > 0) std::memcpy(out.data() + 44, pcmData.data(), n);
    return out;
}

MirrinPCM16AudioAccumulator::MirrinPCM16AudioAccumulator(std::size_t maximumByteCount)
    : maximumByteCount_(std::min<std::size_t>(maximumByteCount, maximumWAVDataByteCount) & ~std::size_t(1)) {}

bool MirrinPCM16AudioAccumulator::append(const MirrinPCM16Data& bytes) {
    const std::size_t room = maximumByteCount_ - data_.size();
    const std::size_t taken = std::min(bytes.size(), room);
    const std::size_t needed = data_.size() + taken;
    if (needed > data_.capacity()) {
        // Grows by half rather than doubling, and never past the cap: while a recording is
        // being copied into its upload, the slack left in this buffer is held too.
        data_.reserve(std::min(std::max(needed, data_.capacity() + data_.capacity() / 2), maximumByteCount_));
    }
    if (bytes.size() <= room) {
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        return true;
    }
    data_.insert(data_.end(), bytes.begin(), bytes.begin() + std::ptrdiff_t(room));
    if (!reachedLimit_) {
        reachedLimit_ = true;
        logLine("⚠️ Transcription: recording reached its limit of " + std::to_string(maximumByteCount_) +
                " bytes of audio, later audio is left out");
    }
    return false;
}

void MirrinPCM16AudioAccumulator::clear() {
    data_.clear();
    reachedLimit_ = false;
}

MirrinPCM16Data MirrinPCM16AudioAccumulator::take() { return std::exchange(data_, MirrinPCM16Data()); }

}  // namespace velmo
