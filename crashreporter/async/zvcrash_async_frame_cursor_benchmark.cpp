// Costs at crash time: walking one deep stack, and stopping and releasing the other threads.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "crashreporter/async/ParkedThreadsTesting.h"
#include "crashreporter/async/zvcrash_async_frame_cursor.h"
#include "crashreporter/async/zvcrash_async_image_feeder.h"
#include "crashreporter/async/zvcrash_async_thread_rendezvous.h"

namespace {

struct StackWalk {
    zvcrash_async_image_list* images;
    int depth;
    int frames;
    // Where the descent goes on below qsort, once.
    int resumeAt;
};

zvcrash_error_t walkToTheEnd(zvcrash_async_thread_state* state, void* context) {
    auto* walk = static_cast<StackWalk*>(context);
    zvcrash_async_frame_cursor cursor;
    zvcrash_async_frame_cursor_init(&cursor, zvcrash_async_task_self(), state, walk->images);
    int frames = 0;
    while (frames < 512 && zvcrash_async_frame_cursor_next(&cursor) == ZVCRASH_FRAME_OK) ++frames;
    zvcrash_async_frame_cursor_free(&cursor);
    walk->frames = frames;
    return ZVCRASH_OK;
}

StackWalk* g_walk = nullptr;
volatile int g_sink = 0;

void descend(int depth);

int compareAndDescend(const void* a, const void* b) {
    if (g_walk->resumeAt > 0) {
        const int depth = g_walk->resumeAt;
        g_walk->resumeAt = 0;
        descend(depth);
    }
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

// Halfway down, the descent goes through qsort, so that the walk crosses the C library.
__attribute__((noinline)) void descend(int depth) {
    if (depth >= g_walk->depth) {
        zvcrash_async_thread_state_current(walkToTheEnd, g_walk);
    } else if (depth == g_walk->depth / 2) {
        g_walk->resumeAt = depth + 2;
        int values[2] = {2, 1};
        qsort(values, 2, sizeof(int), compareAndDescend);
    } else {
        descend(depth + 1);
    }
    g_sink = g_sink + 1;
}

void BM_StackWalk(benchmark::State& state) {
    zvcrash_async_image_list images;
    zvcrash_async_image_list_init(&images, zvcrash_async_task_self());
    zvcrash_async_image_feeder feeder;
    zvcrash_async_image_feeder_init(&feeder, &images);
    StackWalk walk{&images, 64, 0, 0};
    for (auto _ : state) {
        walk.frames = 0;
        g_walk = &walk;
        descend(0);
        g_walk = nullptr;
        benchmark::DoNotOptimize(walk.frames);
    }
    state.counters["frames"] = walk.frames;
    zvcrash_async_image_list_free(&images);
}
BENCHMARK(BM_StackWalk)->Unit(benchmark::kMicrosecond);

void BM_ThreadRendezvous(benchmark::State& state) {
    if (zvcrash_async_thread_rendezvous_prepare(0) != ZVCRASH_OK) {
        state.SkipWithError("no rendezvous");
        return;
    }
    zvcrash::testing::ParkedThreads threads(static_cast<size_t>(state.range(0)));
    uint32_t answered = 0;
    for (auto _ : state) {
        zvcrash_async_thread_rendezvous_suspend();
        answered = 0;
        for (uint32_t i = 0; i < zvcrash_async_thread_rendezvous_count(); ++i) answered += zvcrash_async_thread_rendezvous_answered(i);
        zvcrash_async_thread_rendezvous_resume();
    }
    state.counters["answered"] = answered;
    threads.releaseAndJoin();
}
BENCHMARK(BM_ThreadRendezvous)->Arg(1)->Arg(16)->Arg(128)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
