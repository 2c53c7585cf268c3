#include <benchmark/benchmark.h>

#include <vector>

#include "crashreporter/async/MachOFixtureBuilderTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_image_feeder.h"
#include "crashreporter/async/zvcrash_async_image_list.h"

namespace {

using zvcrash::testing::MachOFixtureBuilder;
using zvcrash::testing::SimulatedTask;

// A resync when nothing was loaded or unloaded since the last one.
void BM_ImageListResync(benchmark::State& state) {
    zvcrash_async_image_list list;
    zvcrash_async_image_list_init(&list, zvcrash_async_task_self());
    zvcrash_async_image_feeder feeder;
    zvcrash_async_image_feeder_init(&feeder, &list);
    for (auto _ : state) zvcrash_async_image_feeder_resync(&feeder);
    zvcrash_async_image_list_free(&list);
}
BENCHMARK(BM_ImageListResync);

// The lookup of an address in the last of 300 images, as the crash path makes it.
void BM_ImageContainingAddress(benchmark::State& state) {
    const auto fixture = MachOFixtureBuilder(MachOFixtureBuilder::Width::Bits64, MachOFixtureBuilder::Order::Host)
                             .section("__TEXT", "__text", std::vector<uint8_t>(0x400, 0xcc))
                             .build();
    SimulatedTask task;
    zvcrash_async_image_list list;
    zvcrash_async_image_list_init(&list, task.task());
    constexpr int kImages = 300;
    for (int i = 0; i < kImages; ++i) {
        const uint64_t at = 0x10000000ull + static_cast<uint64_t>(i) * 0x10000;
        task.map(at, fixture.bytes);
        zvcrash_async_image_list_append(&list, at, "/image");
    }
    const uint64_t last = 0x10000000ull + static_cast<uint64_t>(kImages - 1) * 0x10000 + 0x100;
    for (auto _ : state) {
        zvcrash_async_image_list_set_reading(&list, true);
        benchmark::DoNotOptimize(zvcrash_async_image_containing_address(&list, last));
        zvcrash_async_image_list_set_reading(&list, false);
    }
    zvcrash_async_image_list_free(&list);
}
BENCHMARK(BM_ImageContainingAddress);

}  // namespace
