#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdlib>

#include "crashreporter/async/zvcrash_async_symbol.h"

namespace {

void keepName(uint64_t address, const char* name, void* context) { benchmark::DoNotOptimize(name[0]); }

}  // namespace

// One frame inside libc's abort named from the dynamic symbols, as the writer does per frame.
static void BM_FindSymbol(benchmark::State& state) {
    const void* function = reinterpret_cast<const void*>(&abort);
    Dl_info info{};
    zvcrash_async_image image;
    if (dladdr(function, &info) == 0 || zvcrash_async_image_init(&image, zvcrash_async_task_self(), info.dli_fname,
                                                                 reinterpret_cast<uint64_t>(info.dli_fbase)) != ZVCRASH_OK) {
        state.SkipWithError("libc's image cannot be read");
        return;
    }
    zvcrash_async_symbol_cache cache;
    zvcrash_async_symbol_cache_init(&cache);
    const uint64_t pc = reinterpret_cast<uint64_t>(function) + 4;
    for (auto _ : state) {
        if (zvcrash_async_find_symbol(&image, ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, &cache, pc, keepName, nullptr) != ZVCRASH_OK) {
            state.SkipWithError("abort was not named");
            break;
        }
    }
    zvcrash_async_symbol_cache_free(&cache);
    zvcrash_async_image_free(&image);
}
BENCHMARK(BM_FindSymbol);
