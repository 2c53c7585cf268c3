#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "RideZav/RideZavConfig.h"
#include "RideZav/delivery/RideZavFileBackedQueue.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/runtime/SerialQueue.h"

namespace {

namespace fs = std::filesystem;

void reportPercentiles(benchmark::State& state, std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    if (micros.empty()) return;
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

// One add on the capturing thread: serialise and copy into the store's journal, while the
// dispatch queue writes the event files. Arguments: event size in bytes; 1 when events arrive
// slower than the dispatch queue writes them (the usual pace: it waits for the queue between adds,
// untimed), 0 for adds back to back (the writer then falls behind and makes journals ahead).
void BM_QueueAdd(benchmark::State& state) {
    velmo::test::TestDirectory scratch;
    ridezav::RideZavConfig config("phc_bench");
    config.flushAt = 1 << 30;
    config.maxQueueSize = 1 << 30;
    auto store = std::make_shared<ridezav::RideZavFileBackedQueue>(fs::path(scratch / "ridezav.queueFolder"));
    auto dispatchQueue = std::make_shared<velmo::SerialQueue>("com.ridezav.Queue");
    auto queue = ridezav::RideZavQueue::create(config, nullptr, nullptr, ridezav::RideZavApiEndpoint::batch, dispatchQueue, store);
    const bool paced = state.range(1) != 0;
    const ridezav::RideZavEvent event("bench", "user", ridezav::Object{{"pad", std::string(state.range(0), 'x')}},
                                      std::chrono::system_clock::now(), velmo::UUID::random());
    std::vector<double> micros;
    micros.reserve(20000);
    for (auto _ : state) {
        if (paced) {
            state.PauseTiming();
            dispatchQueue->sync([] {});
            state.ResumeTiming();
        }
        const auto start = std::chrono::steady_clock::now();
        queue->add(event);
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    dispatchQueue->sync([] {});
    reportPercentiles(state, micros);
}
BENCHMARK(BM_QueueAdd)
    ->Args({1000, 1})
    ->Args({10000, 1})
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Iterations(5000)
    ->Unit(benchmark::kMicrosecond);

// Set-up over a folder left with N event files: listing, temporary clean-up and numeric sort.
void BM_StoreSetup(benchmark::State& state) {
    velmo::test::TestDirectory scratch;
    const fs::path folder = fs::path(scratch / "ridezav.queueFolder");
    fs::create_directories(folder);
    double seconds = 1704067200.0;
    for (int i = 0; i < state.range(0); ++i) {
        seconds += 0.137;
        std::ofstream(folder / ridezav::RideZavFileBackedQueue::fileName(seconds)) << R"({"event":"e"})";
    }
    for (auto _ : state) {
        ridezav::RideZavFileBackedQueue store(folder);
        benchmark::DoNotOptimize(store.depth());
    }
}
BENCHMARK(BM_StoreSetup)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
