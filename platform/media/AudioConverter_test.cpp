#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "platform/media/AudioConverter.h"

using namespace velmo;

namespace {

// A float planar buffer whose channel c holds f(frame, c).
template <class F>
std::shared_ptr<AudioPCMBuffer> planar(double rate, std::uint32_t channels, std::uint32_t frames, F f) {
    auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(rate, channels), frames);
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < frames; ++i) buffer->floatChannelData(c)[i] = f(i, c);
    buffer->setFrameLength(frames);
    return buffer;
}

// Pulls every buffer through once per call, the way a capture tap feeds a converter.
struct Feeder {
    const AudioPCMBuffer* next = nullptr;
    bool end = false;
    AudioConverterInputBlock block() {
        return [this](AudioConverterInputStatus& status) -> const AudioPCMBuffer* {
            if (next) {
                status = AudioConverterInputStatus::haveData;
                return std::exchange(next, nullptr);
            }
            status = end ? AudioConverterInputStatus::endOfStream : AudioConverterInputStatus::noDataNow;
            return nullptr;
        };
    }
};

std::vector<std::int16_t> int16Frames(const AudioPCMBuffer& b) {
    return std::vector<std::int16_t>(b.int16ChannelData(), b.int16ChannelData() + b.frameLength() * b.format().channelCount);
}

// Converts `input` buffer by buffer into output buffers of `capacity` frames, then drains.
std::vector<std::int16_t> convertStream(AudioConverter& converter, const std::vector<std::shared_ptr<AudioPCMBuffer>>& input,
                                        std::uint32_t capacity) {
    std::vector<std::int16_t> out;
    auto output = AudioPCMBuffer::make(converter.outputFormat(), capacity);
    Feeder feeder;
    auto collect = [&](AudioConverterOutputStatus status) {
        EXPECT_NE(status, AudioConverterOutputStatus::error);
        auto frames = int16Frames(*output);
        out.insert(out.end(), frames.begin(), frames.end());
        return status;
    };
    for (const auto& buffer : input) {
        feeder.next = buffer.get();
        while (collect(converter.convert(*output, feeder.block())) == AudioConverterOutputStatus::haveData) {
        }
    }
    feeder.end = true;
    while (collect(converter.convert(*output, feeder.block())) != AudioConverterOutputStatus::endOfStream) {
    }
    return out;
}

}  // namespace

TEST(AudioPCMBuffer, RefusesInvalidFormatsAndCapacities) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        AudioFormat format;
        std::uint32_t capacity;
    } cases[] = {
        {AudioFormat::float32Planar(0, 1), 1024},
        {AudioFormat::float32Planar(-48000, 1), 1024},
        {AudioFormat::float32Planar(nan, 1), 1024},
        {AudioFormat::float32Planar(inf, 1), 1024},
        {AudioFormat::float32Planar(48000, 0), 1024},
        {AudioFormat::float32Planar(48000, 65), 1024},
        {{AudioCommonFormat::pcmFormatInt16, 16000, 1, false}, 1024},
        {{AudioCommonFormat::pcmFormatFloat32, 16000, 2, true}, 1024},
        {AudioFormat::float32Planar(48000, 2), 0},
        {AudioFormat::float32Planar(48000, 2), AudioPCMBuffer::maximumFrameCapacity + 1},
    };
    for (const auto& c : cases) EXPECT_EQ(AudioPCMBuffer::make(c.format, c.capacity), nullptr) << c.format.settingsDescription();
}

TEST(AudioPCMBuffer, PlanarFloatAndInterleavedInt16Layouts) {
    auto stereo = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 2), 1024);
    ASSERT_TRUE(stereo);
    EXPECT_EQ(stereo->bufferCount(), 2u);
    EXPECT_EQ(stereo->format().bytesPerFrame(), 4u);
    EXPECT_NE(stereo->floatChannelData(1), nullptr);
    EXPECT_EQ(stereo->floatChannelData(2), nullptr);
    EXPECT_EQ(stereo->int16ChannelData(), nullptr);
    EXPECT_EQ(stereo->bufferData(1), reinterpret_cast<const std::uint8_t*>(stereo->floatChannelData(1)));
    stereo->setFrameLength(5000);
    EXPECT_EQ(stereo->frameLength(), 1024u);  // clamped to the capacity

    auto pcm = AudioPCMBuffer::make(AudioFormat::int16Interleaved(16000, 1), 374);
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->bufferCount(), 1u);
    EXPECT_EQ(pcm->format().bytesPerFrame(), 2u);
    EXPECT_EQ(pcm->floatChannelData(0), nullptr);
    pcm->setFrameLength(10);
    EXPECT_EQ(pcm->validByteCount(), 20u);
}

TEST(AudioFormat, SettingsDescriptionSeparatesEveryField) {
    std::vector<AudioFormat> formats = {
        AudioFormat::float32Planar(48000, 1),   AudioFormat::float32Planar(48000, 2),    AudioFormat::float32Planar(44100, 1),
        AudioFormat::float32Planar(48000.5, 1), AudioFormat::int16Interleaved(48000, 1),
    };
    for (std::size_t i = 0; i < formats.size(); ++i)
        for (std::size_t j = 0; j < formats.size(); ++j)
            EXPECT_EQ(formats[i].settingsDescription() == formats[j].settingsDescription(), i == j);
    EXPECT_EQ(AudioFormat::float32Planar(48000, 2).settingsDescription(), AudioFormat::float32Planar(48000, 2).settingsDescription());
}

TEST(AudioConverter, CannotBeMadeForInvalidOrUnmixableFormats) {
    const auto target = AudioFormat::int16Interleaved(16000, 1);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        AudioFormat from, to;
    } cases[] = {
        {AudioFormat::float32Planar(0, 1), target},
        {AudioFormat::float32Planar(-1, 1), target},
        {AudioFormat::float32Planar(nan, 2), target},
        {AudioFormat::float32Planar(std::numeric_limits<double>::infinity(), 2), target},
        {AudioFormat::float32Planar(48000, 0), target},
        {AudioFormat::float32Planar(48000, 2), AudioFormat::int16Interleaved(16000, 3)},
        {AudioFormat::float32Planar(48000, 2), AudioFormat::int16Interleaved(0, 1)},
    };
    for (const auto& c : cases) EXPECT_EQ(AudioConverter::make(c.from, c.to), nullptr) << c.from.settingsDescription();
    EXPECT_NE(AudioConverter::make(AudioFormat::float32Planar(48000, 2), target), nullptr);
    EXPECT_NE(AudioConverter::make(AudioFormat::int16Interleaved(44100, 2), AudioFormat::float32Planar(16000, 2)), nullptr);
}

TEST(AudioConverter, EqualRatesMixDownAndQuantiseSampleBySample) {
    auto converter = AudioConverter::make(AudioFormat::float32Planar(16000, 2), AudioFormat::int16Interleaved(16000, 1));
    ASSERT_TRUE(converter);
    const float left[] = {0.5f, -1.0f, 1.0f, 0.0f};
    const float right[] = {0.25f, -1.0f, 1.0f, 2.0f / 32768.0f};
    auto input = planar(16000, 2, 4, [&](std::uint32_t i, std::uint32_t c) { return c == 0 ? left[i] : right[i]; });
    auto output = AudioPCMBuffer::make(converter->outputFormat(), 1056);
    Feeder feeder{input.get()};
    EXPECT_EQ(converter->convert(*output, feeder.block()), AudioConverterOutputStatus::inputRanDry);
    EXPECT_EQ(int16Frames(*output), (std::vector<std::int16_t>{12288, -32768, 32767, 1}));
}

TEST(AudioConverter, Int16InputKeepsItsChannels) {
    auto converter = AudioConverter::make(AudioFormat::int16Interleaved(8000, 2), AudioFormat::float32Planar(8000, 2));
    ASSERT_TRUE(converter);
    auto input = AudioPCMBuffer::make(AudioFormat::int16Interleaved(8000, 2), 2);
    const std::int16_t samples[] = {16384, -16384, 32767, -32768};
    std::copy(std::begin(samples), std::end(samples), input->int16ChannelData());
    input->setFrameLength(2);
    auto output = AudioPCMBuffer::make(converter->outputFormat(), 8);
    Feeder feeder{input.get()};
    converter->convert(*output, feeder.block());
    ASSERT_EQ(output->frameLength(), 2u);
    EXPECT_FLOAT_EQ(output->floatChannelData(0)[0], 0.5f);
    EXPECT_FLOAT_EQ(output->floatChannelData(1)[0], -0.5f);
    EXPECT_FLOAT_EQ(output->floatChannelData(1)[1], -1.0f);
}

TEST(AudioConverter, MismatchedBuffersAreErrors) {
    auto converter = AudioConverter::make(AudioFormat::float32Planar(48000, 1), AudioFormat::int16Interleaved(16000, 1));
    auto wrongOutput = AudioPCMBuffer::make(AudioFormat::int16Interleaved(16000, 2), 100);
    auto rightOutput = AudioPCMBuffer::make(AudioFormat::int16Interleaved(16000, 1), 100);
    auto wrongInput = planar(44100, 1, 100, [](auto, auto) { return 0.0f; });
    Feeder none;
    EXPECT_EQ(converter->convert(*wrongOutput, none.block()), AudioConverterOutputStatus::error);
    Feeder feeder{wrongInput.get()};
    EXPECT_EQ(converter->convert(*rightOutput, feeder.block()), AudioConverterOutputStatus::error);
}

TEST(AudioConverter, StreamIsContinuousWhateverTheBufferSizesAndDrainsToTheExactLength) {
    // One second at 48 kHz, stereo, fed in 1024-frame buffers.
    std::vector<std::shared_ptr<AudioPCMBuffer>> input;
    std::uint32_t total = 0;
    for (int b = 0; total < 48000; ++b) {
        std::uint32_t frames = std::min<std::uint32_t>(1024, 48000 - total);
        std::uint32_t offset = total;
        input.push_back(planar(48000, 2, frames, [&](std::uint32_t i, std::uint32_t c) {
            double t = double(offset + i) / 48000.0;
            return float(0.3 * std::sin(2 * M_PI * 440 * t) + (c ? 0.2 : -0.2) * std::sin(2 * M_PI * 2500 * t));
        }));
        total += frames;
    }
    auto a = AudioConverter::make(AudioFormat::float32Planar(48000, 2), AudioFormat::int16Interleaved(16000, 1));
    auto b = AudioConverter::make(AudioFormat::float32Planar(48000, 2), AudioFormat::int16Interleaved(16000, 1));
    auto large = convertStream(*a, input, 374);
    auto small = convertStream(*b, input, 7);
    EXPECT_EQ(large.size(), 16000u);
    EXPECT_EQ(large, small);

    // After a reset the converter starts a fresh stream with the same result.
    a->reset();
    EXPECT_EQ(convertStream(*a, input, 374), large);
}
