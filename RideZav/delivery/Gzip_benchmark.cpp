#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <string>

#include "RideZav/delivery/Gzip.h"

namespace {

// A batch body of 50 events of about 2 KB each, with the repetition real events have.
std::string batchBody() {
    std::mt19937 random(42);
    std::string body = R"({"api_key":"phc_test","batch":[)";
    for (int i = 0; i < 50; ++i) {
        if (i) body += ',';
        body += R"({"event":"screen_viewed","distinct_id":"0190c1b2-7d3e-7a1b-9c4d-)" + std::to_string(random()) + R"(","properties":{)";
        while (body.size() < static_cast<std::size_t>(i + 1) * 2000 + 30) {
            body += "\"$prop_" + std::to_string(random() % 200) + "\":\"value " + std::to_string(random() % 100000) + "\",";
        }
        body += R"("$lib":"ridezav"},"timestamp":"2024-01-01T00:00:00.000Z"})";
    }
    body += R"(],"sent_at":"2024-01-01T00:00:01.000Z"})";
    return body;
}

void BM_BatchGzip(benchmark::State& state) {
    const std::string body = batchBody();
    std::size_t out = 0;
    for (auto _ : state) {
        std::string compressed = ridezav::gzipped(body);
        out = compressed.size();
        benchmark::DoNotOptimize(compressed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
    state.counters["in_bytes"] = static_cast<double>(body.size());
    state.counters["ratio"] = static_cast<double>(body.size()) / static_cast<double>(out);
}
BENCHMARK(BM_BatchGzip)->Unit(benchmark::kMicrosecond);

// Bare deflate of the same bytes, for comparison.
void BM_BatchGzip_compress2(benchmark::State& state) {
    const std::string body = batchBody();
    std::string compressed(compressBound(body.size()), '\0');
    uLongf out = 0;
    for (auto _ : state) {
        out = compressed.size();
        compress2(reinterpret_cast<Bytef*>(compressed.data()), &out, reinterpret_cast<const Bytef*>(body.data()), body.size(),
                  Z_DEFAULT_COMPRESSION);
        benchmark::DoNotOptimize(compressed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
    state.counters["in_bytes"] = static_cast<double>(body.size());
    state.counters["ratio"] = static_cast<double>(body.size()) / static_cast<double>(out);
}
BENCHMARK(BM_BatchGzip_compress2)->Unit(benchmark::kMicrosecond);

}  // namespace
