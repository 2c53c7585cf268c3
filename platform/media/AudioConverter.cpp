#include "platform/media/AudioConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace velmo {

struct AudioConverter::Resampler {
    soxr_t soxr = nullptr;
    ~Resampler() {
        if (soxr) soxr_delete(soxr);
    }
};

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& from, const AudioFormat& to) {
    if (!from.isValid() || !to.isValid()) return nullptr;
    if (to.channelCount != 1 && to.channelCount != from.channelCount) return nullptr;
    std::unique_ptr<AudioConverter> converter(new AudioConverter(from, to));
    if (from.sampleRate != to.sampleRate) {
        soxr_error_t error = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_LINEAR_PHASE);
        soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        converter->resampler_ = std::make_unique<Resampler>();
        converter->resampler_->soxr = soxr_create(from.sampleRate, to.sampleRate, to.channelCount, &error, &io, &quality, &runtime);
        if (error || !converter->resampler_->soxr) return nullptr;
    }
    return converter;
}

AudioConverter::AudioConverter(const AudioFormat& from, const AudioFormat& to)
    : from_(from),
      to_(to) {}

AudioConverter::~AudioConverter() = default;

void AudioConverter::reset() {
    if (resampler_) soxr_clear(resampler_->soxr);
    pending_.clear();
    pendingOffset_ = 0;
    inputEnded_ = false;
    drained_ = false;
}

std::size_t AudioConverter::pendingFrames() const { return pending_.size() / to_.channelCount - pendingOffset_; }

void AudioConverter::appendInput(const AudioPCMBuffer& buffer) {
    if (pendingOffset_ > 0) {
        pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(pendingOffset_ * to_.channelCount));
        pendingOffset_ = 0;
    }
    const std::uint32_t frames = buffer.frameLength();
    const std::uint32_t inChannels = from_.channelCount;
    const std::uint32_t outChannels = to_.channelCount;
    std::size_t base = pending_.size();
    pending_.resize(base + std::size_t(frames) * outChannels);
    float* out = pending_.data() + base;
    if (from_.commonFormat == AudioCommonFormat::pcmFormatFloat32) {
        if (outChannels == 1) {
            const float scale = 1.0f / float(inChannels);
            const float* first = buffer.floatChannelData(0);
            for (std::uint32_t i = 0; i < frames; ++i) out[i] = first[i];
            for (std::uint32_t c = 1; c < inChannels; ++c) {
                const float* channel = buffer.floatChannelData(c);
                for (std::uint32_t i = 0; i < frames; ++i) out[i] += channel[i];
            }
            if (inChannels > 1)
                for (std::uint32_t i = 0; i < frames; ++i) out[i] *= scale;
        } else {
            for (std::uint32_t c = 0; c < inChannels; ++c) {
                const float* channel = buffer.floatChannelData(c);
                for (std::uint32_t i = 0; i < frames; ++i) out[std::size_t(i) * outChannels + c] = channel[i];
            }
        }
    } else {
        const std::int16_t* samples = buffer.int16ChannelData();
        const float scale = 1.0f / 32768.0f;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::int16_t* frame = samples + std::size_t(i) * inChannels;
            if (outChannels == 1) {
                float sum = 0;
                for (std::uint32_t c = 0; c < inChannels; ++c) sum += float(frame[c]);
                out[i] = sum * scale / float(inChannels);
            } else {
                for (std::uint32_t c = 0; c < inChannels; ++c) out[std::size_t(i) * outChannels + c] = float(frame[c]) * scale;
            }
        }
    }
}

void AudioConverter::writeOutput(AudioPCMBuffer& output, std::uint32_t at, const float* frames, std::uint32_t count) const {
    const std::uint32_t channels = to_.channelCount;
    if (to_.commonFormat == AudioCommonFormat::pcmFormatInt16) {
        std::int16_t* out = output.int16ChannelData() + std::size_t(at) * channels;
        const std::size_t samples = std::size_t(count) * channels;
        for (std::size_t i = 0; i < samples; ++i) {
            // Scale by 2^15 and clip, so full scale saturates instead of wrapping round.
            float v = frames[i] * 32768.0f;
            v = std::clamp(v, -32768.0f, 32767.0f);
            out[i] = static_cast<std::int16_t>(std::lrintf(v));
        }
    } else {
        for (std::uint32_t c = 0; c < channels; ++c) {
            float* out = output.floatChannelData(c) + at;
            for (std::uint32_t i = 0; i < count; ++i) out[i] = frames[std::size_t(i) * channels + c];
        }
    }
}

AudioConverterOutputStatus AudioConverter::convert(AudioPCMBuffer& output, const AudioConverterInputBlock& input) {
    if (!(output.format() == to_)) return AudioConverterOutputStatus::error;
    output.setFrameLength(0);
    const std::uint32_t capacity = output.frameCapacity();
    const std::uint32_t channels = to_.channelCount;
    std::uint32_t produced = 0;
    bool inputDry = false;

    for (;;) {
        const std::uint32_t room = capacity - produced;
        if (room == 0) return AudioConverterOutputStatus::haveData;

        if (pendingFrames() == 0 && !inputDry && !inputEnded_) {
            AudioConverterInputStatus status = AudioConverterInputStatus::noDataNow;
            const AudioPCMBuffer* buffer = input ? input(status) : nullptr;
            if (status == AudioConverterInputStatus::haveData) {
                if (!buffer || !(buffer->format() == from_)) return AudioConverterOutputStatus::error;
                if (buffer->frameLength() == 0) {
                    inputDry = true;
                } else {
                    appendInput(*buffer);
                }
            } else if (status == AudioConverterInputStatus::endOfStream) {
                inputEnded_ = true;
            } else {
                inputDry = true;
            }
        }

        bool progress = false;
        const std::size_t available = pendingFrames();
        const float* pendingStart = pending_.data() + pendingOffset_ * channels;
        if (!resampler_) {
            std::uint32_t n = std::uint32_t(std::min<std::size_t>(available, room));
            if (n > 0) {
                writeOutput(output, produced, pendingStart, n);
                pendingOffset_ += n;
                produced += n;
                progress = true;
            }
        } else {
            scratch_.resize(std::size_t(room) * channels);
            std::size_t consumed = 0, made = 0;
            if (available > 0) {
                soxr_process(resampler_->soxr, pendingStart, available, &consumed, scratch_.data(), room, &made);
                pendingOffset_ += consumed;
            } else if (inputEnded_ && !drained_) {
                soxr_process(resampler_->soxr, nullptr, 0, nullptr, scratch_.data(), room, &made);
                if (made == 0) drained_ = true;
            }
            if (made > 0) {
                writeOutput(output, produced, scratch_.data(), std::uint32_t(made));
                produced += std::uint32_t(made);
            }
            progress = consumed > 0 || made > 0;
        }
        output.setFrameLength(produced);
        if (pendingFrames() == 0 && pendingOffset_ > 0) {
            pending_.clear();
            pendingOffset_ = 0;
        }

        if (!progress) {
            if (pendingFrames() > 0) return AudioConverterOutputStatus::haveData;  // no room left to drain into
            if (inputEnded_ && (!resampler_ || drained_)) return AudioConverterOutputStatus::endOfStream;
            if (inputDry) return AudioConverterOutputStatus::inputRanDry;
        }
    }
}

}  // namespace velmo
