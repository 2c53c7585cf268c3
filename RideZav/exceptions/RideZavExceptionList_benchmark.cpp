#include <benchmark/benchmark.h>

#include "RideZav/exceptions/RideZavExceptionList.h"
#include "RideZav/integrations/RideZavErrorTrackingConfig.h"

using namespace ridezav;

namespace {

// Builds the exception properties of a caught error at the bottom of `depth` nested calls.
__attribute__((noinline)) Object captureAtDepth(int depth, const PlatformError& error, const RideZavErrorTrackingConfig& config) {
    if (depth > 0) {
        Object properties = captureAtDepth(depth - 1, error, config);
        benchmark::DoNotOptimize(depth);
        return properties;
    }
    Object properties{{"$exception_level", "error"}};
    addExceptionProperties(exceptionListForError(error, true, "generic", config), properties);
    return properties;
}

std::size_t sizeOf(const Object& properties, std::string_view key) {
    const Value* value = properties.find(key);
    return value && value->isArray() ? value->get<Array>()->size() : 0;
}

}  // namespace

// A caught error with a live stack of about 30 frames, its images enumerated.
static void BM_CaptureException(benchmark::State& state) {
    const RideZavErrorTrackingConfig config;
    const PlatformError error("com.korvale.velmo.Benchmark", 7, "benchmark");
    Object last;
    for (auto _ : state) {
        last = captureAtDepth(14, error, config);
        benchmark::DoNotOptimize(last);
    }
    const Object& exception = *last.find("$exception_list")->get<Array>()->front().get<Object>();
    state.counters["frames"] = static_cast<double>(sizeOf(*exception.find("stacktrace")->get<Object>(), "frames"));
    state.counters["images"] = static_cast<double>(sizeOf(last, "$debug_images"));
}
BENCHMARK(BM_CaptureException)->Unit(benchmark::kMicrosecond);
