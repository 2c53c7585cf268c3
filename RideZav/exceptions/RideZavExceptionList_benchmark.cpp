#include <benchmark/benchmark.h>

#include "RideZav/exceptions/RideZavExceptionList.h"
#include "RideZav/integrations/RideZavErrorTrackingConfig.h"

using namespace ridezav;

namespace {

// Builds the exception properties of a caught error at the bottom of `depth` nested calls.
__attribute__((noinline)) std::size_t captureAtDepth(int depth, const PlatformError& error,
                                                     const RideZavErrorTrackingConfig& config) {
    if (depth > 0) {
        const std::size_t size = captureAtDepth(depth - 1, error, config);
        benchmark::DoNotOptimize(depth);
        return size;
    }
    Object properties{{"$exception_level", "error"}};
    addExceptionProperties(exceptionListForError(error, true, "generic", config), properties);
    return properties.size();
}

}  // namespace

// A caught error with a live stack of about 30 frames, its images enumerated.
static void BM_CaptureException(benchmark::State& state) {
    const RideZavErrorTrackingConfig config;
    const PlatformError error("com.korvale.velmo.Benchmark", 7, "benchmark");
    for (auto _ : state) benchmark::DoNotOptimize(captureAtDepth(26, error, config));
}
BENCHMARK(BM_CaptureException)->Unit(benchmark::kMicrosecond);
