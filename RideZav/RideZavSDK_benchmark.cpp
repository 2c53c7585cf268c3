#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "RideZav/RideZavSDK.h"
#include "RideZav/storage/RideZavStorage.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/EnvironmentVariable.h"

namespace {

using namespace ridezav;

// Scratch folders live until the process ends: removing one case's thousands of event files
// would slow the next case's file creation (ext4 passes over recently freed inodes for a minute).
velmo::test::TestDirectory& newScratchFolder() {
    static auto* folders = new std::vector<std::unique_ptr<velmo::test::TestDirectory>>();
    static const int removeAtExit = std::atexit([] { folders->clear(); });
    (void)removeAtExit;
    return *folders->emplace_back(std::make_unique<velmo::test::TestDirectory>());
}

// A facade over a scratch data folder with `superProperties` registered properties; nothing is
// uploaded (the depth trigger is out of reach, no timer).
struct Facade {
    velmo::test::TestDirectory& scratch = newScratchFolder();
    std::shared_ptr<RideZavSDK> sdk;
    explicit Facade(int superProperties, int cachedFlags = 0) {
        velmo::test::EnvironmentVariable data("XDG_DATA_HOME", scratch.path());
        RideZavConfig config("phc_bench", "http://127.0.0.1:9");
        config.flushAt = 1 << 30;
        config.maxQueueSize = 1 << 30;
        config.disableReachabilityForTesting = true;
        config.disableQueueTimerForTesting = true;
        config.disableFlushOnBackgroundForTesting = true;
        Object registered;
        for (int i = 0; i < superProperties; ++i) registered.set("super_property_" + std::to_string(i), "value " + std::to_string(i));
        if (superProperties > 0) RideZavStorage(config).setJSON(StorageKey::registerProperties, Value(registered));
        // Flags as a previous run stored them; no request goes out.
        config.disableRemoteConfigForTesting = true;
        Object flags;
        for (int i = 0; i < cachedFlags; ++i) {
            const std::string key = "flag_" + std::to_string(i);
            if (i % 3 == 0)
                flags.set(key, "variant-" + std::to_string(i));
            else
                flags.set(key, i % 3 == 1);
        }
        if (cachedFlags > 0) RideZavStorage(config).setJSON(StorageKey::enabledFeatureFlags, Value(flags));
        sdk = RideZavSDK::create(config);
        sdk->setup(config);
    }
};

// Times capture(name, properties) on the calling thread, the copy into the queue's journal
// included, and reports p50 and p99 in µs. Paced captures come a millisecond apart (untimed), as
// the application's do at most, so the queue's writer keeps up; back to back, it falls behind.
void timeCaptures(benchmark::State& state, Facade& facade, bool paced) {
    const RideZavProperties properties{{"transcript", "where is the file menu?"}, {"character_count", 23}};
    std::vector<double> micros;
    for (auto _ : state) {
        if (paced) {
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            state.ResumeTiming();
        }
        const auto start = std::chrono::steady_clock::now();
        facade.sdk->capture("user_message_sent", properties);
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["p50_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}

// Arguments: the number of registered super properties; 1 for paced captures.
void BM_Capture(benchmark::State& state) {
    Facade facade(static_cast<int>(state.range(0)));
    timeCaptures(state, facade, state.range(1) != 0);
}
BENCHMARK(BM_Capture)
    ->ArgNames({"super", "paced"})
    ->Args({0, 0})
    ->Args({20, 0})
    ->Args({0, 1})
    ->Args({20, 1})
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

// Arguments: the number of cached feature flags (a third of them variants, a third off); 1 for
// paced captures.
void BM_CaptureWithFlags(benchmark::State& state) {
    Facade facade(0, static_cast<int>(state.range(0)));
    timeCaptures(state, facade, state.range(1) != 0);
}
BENCHMARK(BM_CaptureWithFlags)
    ->ArgNames({"flags", "paced"})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

// Captures per second from 8 threads at once.
void BM_Capture_8Threads(benchmark::State& state) {
    Facade facade(20);
    const RideZavProperties properties{{"transcript", "where is the file menu?"}, {"character_count", 23}};
    constexpr int threads = 8, perThread = 250;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&] {
                for (int i = 0; i < perThread; ++i) facade.sdk->capture("user_message_sent", properties);
            });
        for (auto& w : workers) w.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["captures_per_s"] = threads * perThread / seconds;
    }
}
BENCHMARK(BM_Capture_8Threads)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
