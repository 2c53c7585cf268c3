#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "voice/MirrinAudioConversionSupport.h"

using namespace velmo;

// 48 kHz stereo float tap buffers to 16 kHz mono 16-bit, as a session converts them; the
// "x_realtime" counter is seconds of audio converted per second of one core.
static void BM_PCM16Convert(benchmark::State& state) {
    const int buffersPerSecond = 48000 / 1024;
    std::vector<std::shared_ptr<AudioPCMBuffer>> buffers;
    for (int b = 0; b < buffersPerSecond; ++b) {
        auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 2), 1024);
        for (std::uint32_t c = 0; c < 2; ++c)
            for (int i = 0; i < 1024; ++i)
                buffer->floatChannelData(c)[i] = float(0.4 * std::sin(2 * M_PI * (440 + 200 * c) * (b * 1024 + i) / 48000.0));
        buffer->setFrameLength(1024);
        buffers.push_back(buffer);
    }
    MirrinPCM16AudioConverter converter;
    std::size_t bytes = 0;
    double audioSeconds = 0;
    for (auto _ : state) {
        for (const auto& buffer : buffers) {
            auto out = converter.convert(*buffer);
            bytes += out.size();
            benchmark::DoNotOptimize(out.data());
        }
        audioSeconds += double(buffersPerSecond * 1024) / 48000.0;
    }
    state.SetBytesProcessed(std::int64_t(bytes));
    state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PCM16Convert)->Unit(benchmark::kMillisecond);
