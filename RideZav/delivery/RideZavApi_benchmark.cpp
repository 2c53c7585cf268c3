#include <benchmark/benchmark.h>

#include <optional>
#include <vector>

#include "RideZav/delivery/RideZavApi.h"
#include "platform/base/OriginOverride.h"
#include "platform/base/UUID.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackIngestionServer.h"

using namespace std::chrono_literals;

namespace {

// One batch of 50 events, each about 500 bytes of properties: the body built, gzipped, sent to
// the loopback ingestion server, inflated and parsed there, answered, and the answer read.
void BM_BatchUploadLoopback(benchmark::State& state) {
    velmo::VirtualMainLoopScope mainLoop;
    velmo::test::LoopbackIngestionServer server;
    velmo::OriginOverride::Scope redirect("ingest.bench.test", server.origin());
    ridezav::RideZavApi api(ridezav::RideZavConfig("phc_bench", "https://ingest.bench.test"));
    std::vector<ridezav::RideZavEvent> events;
    for (int n = 0; n < 50; ++n) {
        ridezav::Object properties;
        for (int p = 0; p < 20; ++p) properties.append("$prop_" + std::to_string(p), "value " + std::to_string(n * 31 + p));
        events.emplace_back("screen_viewed", "user-" + std::to_string(n), std::move(properties), std::chrono::system_clock::now(),
                            velmo::UUID::random());
    }
    for (auto _ : state) {
        std::optional<int> status;
        api.batch(events, [&](ridezav::RideZavBatchUploadInfo info) { status = info.statusCode.value_or(-1); });
        if (!mainLoop.loop().runUntil([&] { return status.has_value(); }, 30s) || *status != 200) {
            state.SkipWithError("the batch was not answered with 200");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_BatchUploadLoopback)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
