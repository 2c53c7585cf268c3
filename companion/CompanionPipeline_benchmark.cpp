#include <benchmark/benchmark.h>

#include "companion/CompanionManager.h"
#include "companion/CompanionTestEnvironment.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::CompanionTestEnvironment;
using velmo::test::LoopbackAnswer;

namespace {
void setUpDisplays(CompanionTestEnvironment& env) {
    env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}, {2, 1920, 1080, {1440, 0, 1920, 1080}}});
    env.screens->setMouseLocation({2000, 500});
}
}  // namespace

// From a submitted transcript to the whole request at the loopback messages server: capture of
// two displays, JPEG, Base64, the body and the transfer.
static void BM_TranscriptToRequest(benchmark::State& state) {
    CompanionTestEnvironment env;
    setUpDisplays(env);
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::streamed(200, {"data: [DONE]\n"}));
    auto companion = env.makeCompanion();
    // Counted, not copied: a copy of every recorded body on each look would grow with the run.
    std::size_t sent = 0;
    for (auto _ : state) {
        companion->submitTranscript("what is on my screen?");
        ++sent;
        env.loop().runUntil([&] { return env.messagesServer.requestCountWith("POST", "/v1/messages") == sent; }, 30s);
        state.PauseTiming();
        env.loop().runUntil([&] { return companion->currentResponseTask().isDone(); }, 30s);
        state.ResumeTiming();
    }
    companion->stop();
}
BENCHMARK(BM_TranscriptToRequest)->Unit(benchmark::kMillisecond)->UseRealTime();

// Capture and encoding of the same two displays alone.
static void BM_CaptureAllDisplaysOnly(benchmark::State& state) {
    CompanionTestEnvironment env;
    setUpDisplays(env);
    for (auto _ : state) {
        bool done = false;
        startTask([&]() -> Task<void> {
            auto capture = captureAllDisplays();
            auto captures = co_await capture;
            benchmark::DoNotOptimize(captures.data());
            done = true;
        });
        env.loop().runUntil([&] { return done; }, 30s);
    }
}
BENCHMARK(BM_CaptureAllDisplaysOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
