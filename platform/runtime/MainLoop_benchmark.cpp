#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/runtime/MainLoop.h"
#include "platform/runtime/Timer.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

using namespace velmo;

// Posts run per second on the loop's own thread.
static void BM_MainLoopPost(benchmark::State& state) {
    auto loop = std::make_shared<RealMainLoop>();
    const int batch = 10'000;
    long ran = 0;
    for (auto _ : state) {
        int left = batch;
        for (int i = 0; i < batch; ++i)
            loop->post([&] {
                --left;
                ++ran;
            });
        loop->runUntil([&] { return left == 0; }, 10s);
    }
    state.SetItemsProcessed(ran);
    state.counters["posts_per_second"] = benchmark::Counter(double(ran), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MainLoopPost)->Unit(benchmark::kMillisecond);

// From a post on another thread to the work running on the loop (median and p99).
static void BM_MainLoopCrossThreadWake(benchmark::State& state) {
    auto loop = std::make_shared<RealMainLoop>();
    std::thread loopThread([&] {
        loop->post([] {});
        loop->run();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the loop thread settle into epoll_wait
    std::vector<double> samples;
    for (auto _ : state) {
        std::atomic<long long> ranAt{0};
        auto postedAt = std::chrono::steady_clock::now();
        loop->post([&] { ranAt = std::chrono::steady_clock::now().time_since_epoch().count(); });
        while (ranAt.load() == 0) {
        }
        samples.push_back(double(ranAt.load() - postedAt.time_since_epoch().count()) / 1000.0);
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // let the loop go back to sleep
        state.ResumeTiming();
    }
    loop->stop();
    loopThread.join();
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    }
}
BENCHMARK(BM_MainLoopCrossThreadWake)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// A repeating 0.03 s timer driven through 10,000 virtual seconds (333,333 firings).
static void BM_VirtualTimerTenThousandSeconds(benchmark::State& state) {
    for (auto _ : state) {
        VirtualMainLoopScope scope;
        long fires = 0;
        auto timer = Timer::scheduled(0.03s, true, [&](Timer&) { ++fires; });
        scope.loop().advance(10'000s);
        timer->invalidate();
        benchmark::DoNotOptimize(fires);
    }
}
BENCHMARK(BM_VirtualTimerTenThousandSeconds)->Unit(benchmark::kMillisecond);
