#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "platform/base/Error.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "voice/MirrinAudioConversionSupport.h"

using namespace velmo;

namespace {

// `seconds` of a sine of `frequency` at `amplitude` (the same on every channel), in 1024-frame
// float planar buffers.
std::vector<std::shared_ptr<AudioPCMBuffer>> toneBuffers(double rate, std::uint32_t channels, double frequency, double amplitude,
                                                         double seconds) {
    std::vector<std::shared_ptr<AudioPCMBuffer>> buffers;
    const std::size_t total = std::size_t(rate * seconds);
    for (std::size_t start = 0; start < total; start += 1024) {
        auto b = AudioPCMBuffer::make(AudioFormat::float32Planar(rate, channels), 1024);
        std::uint32_t n = std::uint32_t(std::min<std::size_t>(1024, total - start));
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < n; ++i)
                b->floatChannelData(c)[i] = float(amplitude * std::sin(2 * M_PI * frequency * double(start + i) / rate));
        b->setFrameLength(n);
        buffers.push_back(b);
    }
    return buffers;
}

std::vector<std::int16_t> samplesOf(const MirrinPCM16Data& bytes) {
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = std::int16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

std::vector<std::int16_t> convertAll(MirrinPCM16AudioConverter& converter, const std::vector<std::shared_ptr<AudioPCMBuffer>>& buffers) {
    std::vector<std::int16_t> out;
    for (const auto& b : buffers) {
        auto s = samplesOf(converter.convert(*b));
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

// Root mean square of the signal at one frequency (Goertzel), over samples at 16 kHz.
double amplitudeAt(const std::vector<std::int16_t>& x, double frequency, std::size_t skip) {
    const double w = 2 * M_PI * frequency / 16000.0;
    double s1 = 0, s2 = 0;
    std::size_t n = 0;
    for (std::size_t i = skip; i < x.size(); ++i, ++n) {
        double s = double(x[i]) / 32768.0 + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return std::sqrt(power) * 2 / double(n);
}

double rms(const std::vector<std::int16_t>& x, std::size_t skip) {
    double sum = 0;
    for (std::size_t i = skip; i < x.size(); ++i) sum += (x[i] / 32768.0) * (x[i] / 32768.0);
    return std::sqrt(sum / double(x.size() - skip));
}

}  // namespace

TEST(MirrinPCM16AudioConverter, OutputCapacityIsTheRateRatioRoundedUpPlus32) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double rate;
        std::uint32_t capacity;
    } cases[] = {{48000, 374}, {16000, 1056}, {44100, 404}, {8000, 2080},
                 {0, 0},       {-48000, 0},   {nan, 0},     {std::numeric_limits<double>::infinity(), 0}};
    for (const auto& c : cases) EXPECT_EQ(MirrinPCM16AudioConverter::outputFrameCapacity(1024, c.rate), c.capacity) << c.rate;
}

TEST(MirrinPCM16AudioConverter, TargetIsSixteenKilohertzMonoInterleavedInt16) {
    MirrinPCM16AudioConverter converter;
    EXPECT_EQ(converter.targetAudioFormat(), AudioFormat::int16Interleaved(16000, 1));
    EXPECT_EQ(converter.targetAudioFormat().bytesPerFrame(), 2u);
    EXPECT_FALSE(converter.currentInputFormatDescription());
    EXPECT_FALSE(converter.hasAudioConverter());
}

TEST(MirrinPCM16AudioConverter, BuildsOneResamplerPerRunOfTheSameInputFormat) {
    int builds = 0;
    MirrinPCM16AudioConverter converter([&](const AudioFormat& from, const AudioFormat& to) {
        ++builds;
        return AudioConverter::make(from, to);
    });
    auto a = toneBuffers(48000, 2, 440, 0.5, 0.03)[0];
    auto b = toneBuffers(44100, 1, 440, 0.5, 0.03)[0];
    const std::pair<std::shared_ptr<AudioPCMBuffer>, int> sequence[] = {{a, 1}, {a, 1}, {b, 2}, {a, 3}};
    for (const auto& [buffer, expectedBuilds] : sequence) {
        converter.convert(*buffer);
        EXPECT_EQ(builds, expectedBuilds);
        EXPECT_EQ(converter.currentInputFormatDescription(), buffer->format().settingsDescription());
    }
}

TEST(MirrinPCM16AudioConverter, AFormatWithoutAUsableRateBuildsNoConverterAndYieldsEmptyOutput) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double rate : {0.0, -16000.0, nan, std::numeric_limits<double>::infinity()}) {
        const AudioFormat broken{AudioCommonFormat::pcmFormatFloat32, rate, 1, false};
        EXPECT_EQ(AudioConverter::make(broken, AudioFormat::int16Interleaved(16000, 1)), nullptr) << rate;
        EXPECT_EQ(AudioPCMBuffer::make(broken, 1024), nullptr) << rate;
        EXPECT_EQ(MirrinPCM16AudioConverter::outputFrameCapacity(1024, rate), 0u) << rate;
    }
    // When no converter can be built for a format, every buffer of it yields nothing, and the
    // refusal is remembered until the format changes.
    int builds = 0;
    MirrinPCM16AudioConverter converter([&](const AudioFormat&, const AudioFormat&) {
        ++builds;
        return std::unique_ptr<AudioConverter>();
    });
    auto buffer = toneBuffers(48000, 1, 440, 0.5, 0.03)[0];
    EXPECT_TRUE(converter.convert(*buffer).empty());
    EXPECT_TRUE(converter.convert(*buffer).empty());
    EXPECT_EQ(builds, 1);
    EXPECT_FALSE(converter.hasAudioConverter());
}

TEST(MirrinPCM16AudioConverter, ABufferThatYieldsNoFramesGivesNothingToSend) {
    MirrinPCM16AudioConverter converter;
    auto empty = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 2), 1024);
    EXPECT_TRUE(converter.convert(*empty).empty());
    EXPECT_TRUE(converter.hasAudioConverter());
}

TEST(MirrinPCM16AudioConverter, AOneKilohertzToneAt48kHzStereoComesOutAtOneKilohertz) {
    MirrinPCM16AudioConverter converter;
    auto out = convertAll(converter, toneBuffers(48000, 2, 1000, 0.5, 1.0));
    ASSERT_GT(out.size(), 15000u);
    EXPECT_LE(out.size(), 16000u);
    const std::size_t skip = 1024;
    double best = 0, bestFrequency = 0;
    for (double f = 100; f < 8000; f += 50) {
        double a = amplitudeAt(out, f, skip);
        if (a > best) {
            best = a;
            bestFrequency = f;
        }
    }
    EXPECT_EQ(bestFrequency, 1000);
    EXPECT_NEAR(best, 0.5, 0.02);  // the mean of two equal channels keeps the amplitude
}

TEST(MirrinPCM16AudioConverter, ATonePastEightKilohertzIsAtLeastFortyDecibelsDown) {
    MirrinPCM16AudioConverter passband, stopband;
    auto reference = convertAll(passband, toneBuffers(48000, 2, 1000, 0.5, 1.0));
    auto aliased = convertAll(stopband, toneBuffers(48000, 2, 10000, 0.5, 1.0));
    const double ratio = rms(aliased, 1024) / rms(reference, 1024);
    EXPECT_LT(20 * std::log10(ratio), -40.0) << "ratio " << ratio;
}

TEST(MirrinPCM16AudioConverter, FullScaleAndBeyondClipsWithoutWrapping) {
    for (float level : {1.0f, 1.5f, -1.0f, -1.5f}) {
        MirrinPCM16AudioConverter converter;
        std::vector<std::shared_ptr<AudioPCMBuffer>> buffers;
        for (int i = 0; i < 20; ++i) {
            auto b = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 1), 1024);
            std::fill(b->floatChannelData(0), b->floatChannelData(0) + 1024, level);
            b->setFrameLength(1024);
            buffers.push_back(b);
        }
        auto out = convertAll(converter, buffers);
        ASSERT_GT(out.size(), 4000u);
        const std::int16_t expected = level > 0 ? 32767 : -32768;
        for (std::size_t i = 1000; i < out.size(); ++i) ASSERT_EQ(out[i], expected) << "level " << level << " at " << i;
        for (auto s : out) ASSERT_TRUE(level > 0 ? s >= 0 : s <= 0) << "wrapped at level " << level;
    }
}

TEST(makeWAVData, HeadersMatchTheGoldenBytes) {
    const std::vector<std::uint8_t> emptyGolden = {'R', 'I', 'F', 'F', 36, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
                                                   ' ', 16,  0,   0,   0,  1, 0,   1,   0,   0x80, 0x3E, 0,   0,   0x00, 0x7D,
                                                   0,   0,   2,   0,   16, 0, 'd', 'a', 't', 'a',  0,    0,   0,   0};
    EXPECT_EQ(makeWAVData({}, 16000, 1, 16), emptyGolden);

    MirrinPCM16Data second(32000);
    for (std::size_t i = 0; i < second.size(); ++i) second[i] = std::uint8_t(i * 7);
    auto wav = makeWAVData(second, 16000, 1, 16);
    ASSERT_EQ(wav.size(), 32044u);
    std::vector<std::uint8_t> golden = emptyGolden;
    golden[4] = 0x24;  // 32036 = 0x7D24
    golden[5] = 0x7D;
    golden[40] = 0x00;  // 32000 = 0x7D00
    golden[41] = 0x7D;
    EXPECT_EQ(std::vector<std::uint8_t>(wav.begin(), wav.begin() + 44), golden);
    EXPECT_EQ(std::vector<std::uint8_t>(wav.begin() + 44, wav.end()), second);
}

TEST(makeWAVData, FieldsFollowTheFormatArguments) {
    auto wav = makeWAVData(MirrinPCM16Data(6), 44100, 2, 16);
    auto le32 = [&](int at) { return std::uint32_t(wav[at] | (wav[at + 1] << 8) | (wav[at + 2] << 16) | (wav[at + 3] << 24)); };
    auto le16 = [&](int at) { return std::uint16_t(wav[at] | (wav[at + 1] << 8)); };
    EXPECT_EQ(le32(4), 42u);
    EXPECT_EQ(le16(22), 2);
    EXPECT_EQ(le32(24), 44100u);
    EXPECT_EQ(le32(28), 176400u);
    EXPECT_EQ(le16(32), 4);
    EXPECT_EQ(le32(40), 6u);
}

TEST(MirrinPCM16AudioAccumulator, StopsAtItsCapWithOneLogLine) {
    static_assert(MirrinPCM16AudioAccumulator::defaultMaximumByteCount < maximumWAVDataByteCount / 64);
    LogCapture log;
    MirrinPCM16AudioAccumulator accumulator(10);
    EXPECT_TRUE(accumulator.append({1, 2, 3, 4}));
    EXPECT_TRUE(accumulator.append({5, 6, 7, 8}));
    EXPECT_FALSE(accumulator.append({9, 10, 11, 12}));
    EXPECT_FALSE(accumulator.append({13, 14}));
    EXPECT_EQ(accumulator.data(), (MirrinPCM16Data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_TRUE(accumulator.hasReachedLimit());
    ASSERT_EQ(log.linesStartingWith("⚠️ Transcription: recording reached its limit").size(), 1u);
    EXPECT_NO_THROW(makeWAVData(accumulator.data(), 16000, 1, 16));
    accumulator.clear();
    EXPECT_TRUE(accumulator.isEmpty());
    EXPECT_FALSE(accumulator.hasReachedLimit());
}

TEST(MirrinPCM16AudioAccumulator, TakeHandsTheSameStorageOverAndLeavesItEmpty) {
    MirrinPCM16AudioAccumulator accumulator(4);
    accumulator.append({1, 2});
    accumulator.append({3, 4, 5, 6});
    const std::uint8_t* storage = accumulator.data().data();
    MirrinPCM16Data taken = accumulator.take();
    EXPECT_EQ(taken, (MirrinPCM16Data{1, 2, 3, 4}));
    EXPECT_EQ(taken.data(), storage);  // moved, not copied
    EXPECT_TRUE(accumulator.isEmpty());
    EXPECT_TRUE(accumulator.hasReachedLimit());
}

TEST(MirrinPCM16AudioAccumulator, GrowsByHalfAndNeverReservesPastItsCap) {
    MirrinPCM16AudioAccumulator accumulator(3000);
    accumulator.append(MirrinPCM16Data(1000, 7));
    EXPECT_EQ(accumulator.data().capacity(), 1000u);
    accumulator.append(MirrinPCM16Data(10, 7));
    EXPECT_EQ(accumulator.data().capacity(), 1500u);
    accumulator.append(MirrinPCM16Data(1000, 7));
    EXPECT_EQ(accumulator.data().capacity(), 2250u);
    accumulator.append(MirrinPCM16Data(1000, 7));  // cut at the cap, reserved no further
    EXPECT_EQ(accumulator.size(), 3000u);
    EXPECT_EQ(accumulator.data().capacity(), 3000u);
}
