#include <benchmark/benchmark.h>

#include <string>

#include "RideZav/core/RideZavUtils.h"
#include "RideZav/core/TimeBasedEpochGenerator.h"

namespace {

void BM_GenerateV7(benchmark::State& state) {
    auto& generator = ridezav::TimeBasedEpochGenerator::shared();
    for (auto _ : state) benchmark::DoNotOptimize(generator.generateV7());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GenerateV7)->Threads(1)->Threads(8)->UseRealTime();

// 1,000 entries of mixed kinds, every tenth a nested array of strings and numbers.
ridezav::Object makeProperties() {
    ridezav::Object properties;
    properties.reserve(1000);
    for (int i = 0; i < 1000; ++i) {
        std::string key = "property_" + std::to_string(i);
        switch (i % 5) {
            case 0:
                properties.append(std::move(key), ridezav::Array{"a", i, 1.5, ridezav::Array{true, "nested"}});
                break;
            case 1:
                properties.append(std::move(key), "value " + std::to_string(i));
                break;
            case 2:
                properties.append(std::move(key), i);
                break;
            case 3:
                properties.append(std::move(key), i * 0.25);
                break;
            default:
                properties.append(std::move(key), ridezav::Object{{"k", i}, {"list", ridezav::Array{1, 2, 3}}});
                break;
        }
    }
    return properties;
}

void BM_SanitizeProperties(benchmark::State& state) {
    const std::optional<ridezav::Object> properties = makeProperties();
    for (auto _ : state) benchmark::DoNotOptimize(ridezav::sanitize(properties));
}
BENCHMARK(BM_SanitizeProperties)->Unit(benchmark::kMicrosecond);

}  // namespace
