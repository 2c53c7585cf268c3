#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "crashreporter/report/ZVCrashReport.h"
#include "crashreporter/report/ZVCrashReportTesting.h"

namespace {

// A crash of a busy process: 100 threads of 512 symbolicated frames over 300 images.
void BM_CrashReportDecode(benchmark::State& state) {
    const auto bytes = zvcrash::testing::encodeCrashReport(zvcrash::testing::largeCrashReport(100, 512, 300));
    for (auto _ : state) {
        auto report = zvcrash::ZVCrashReport::fromData(bytes);
        if (!report) state.SkipWithError("the report did not decode");
        benchmark::DoNotOptimize(report);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["report_bytes"] = static_cast<double>(bytes.size());
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_CrashReportDecode)->Unit(benchmark::kMillisecond);

}  // namespace
