#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "platform/base/OriginOverride.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackWebSocketServer.h"
#include "testing/TaskProbe.h"
#include "voice/AssemblyAIStreamingTranscriptionProvider.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::LoopbackWebSocketServer;

// One 1024-frame 48 kHz stereo tap buffer appended to an open streaming session whose server has
// stopped reading, so the connection backs up; the tap thread (this one) must not feel it.
// Appends come back to back, a harsher pace than a microphone's one per 21 ms. Reports the
// median, p99 and worst append in microseconds.
static void BM_StreamingAppend(benchmark::State& state) {
    VirtualMainLoopScope loopScope;
    LoopbackWebSocketServer server;
    OriginOverride::Scope origin("streaming.assemblyai.com", server.origin());
    server.setStepsAfterUpgrade({LoopbackWebSocketServer::Step::text(R"({"type":"Begin"})")});
    auto owner = std::make_shared<int>(0);  // held by the session's callbacks until its teardown
    std::shared_ptr<MirrinStreamingTranscriptionSession> session;
    {
        AssemblyAIStreamingTranscriptionProvider provider(std::string("benchmark-key"), std::nullopt);
        auto opening = provider.startStreamingSession(
            {}, [owner](const std::string&) {}, [owner](const std::string&) {}, [owner](std::exception_ptr) {});
        velmo::test::TaskProbe<std::shared_ptr<MirrinStreamingTranscriptionSession>> probe(opening);
        if (!probe.finish(loopScope.loop()) || !probe.value()) {
            state.SkipWithError(("the session did not open: " + probe.errorDescription()).c_str());
            return;
        }
        session = *probe.value();
    }
    server.setReadsStalled(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::vector<std::shared_ptr<AudioPCMBuffer>> buffers;
    for (int b = 0; b < 47; ++b) {
        auto buffer = AudioPCMBuffer::make(AudioFormat::float32Planar(48000, 2), 1024);
        for (std::uint32_t c = 0; c < 2; ++c)
            for (int i = 0; i < 1024; ++i)
                buffer->floatChannelData(c)[i] = float(0.4 * std::sin(2 * M_PI * 440 * (b * 1024 + i) / 48000.0));
        buffer->setFrameLength(1024);
        buffers.push_back(buffer);
    }
    for (int i = 0; i < 10; ++i) session->appendAudioBuffer(buffers[i]);  // builds the resampler

    std::vector<double> samples;
    samples.reserve(std::size_t(state.max_iterations));
    std::size_t next = 0;
    for (auto _ : state) {
        const auto before = std::chrono::steady_clock::now();
        session->appendAudioBuffer(buffers[next]);
        samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - before).count());
        next = (next + 1) % buffers.size();
    }

    session->cancel();
    server.setReadsStalled(false);
    session.reset();
    loopScope.loop().runUntil([&] { return owner.use_count() == 1; }, 30s);
    loopScope.loop().runUntilIdle();

    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
        state.counters["max_us"] = samples.back();
    }
}
// 20,000 buffers are about seven minutes of audio (some 14 MB held for the stalled connection).
BENCHMARK(BM_StreamingAppend)->Iterations(20000)->Unit(benchmark::kMicrosecond);
