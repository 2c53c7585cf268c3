#include <benchmark/benchmark.h>

#include <cstdlib>

#include "crashreporter/async/EhFrameTesting.h"
#include "crashreporter/async/zvcrash_async_dwarf_unwind.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"

namespace {

using namespace zvcrash::async;
using zvcrash::testing::LiveEhFrame;

// Both sections of one image, mapped for the whole run.
struct MappedImage {
    LiveEhFrame image;
    zvcrash_async_mobject section;
    zvcrash_async_mobject hdr;
    zvcrash_async_dwarf_frame_reader reader;

    bool map(const LiveEhFrame& live) {
        image = live;
        if (live.path.empty()) return false;
        if (zvcrash_async_mobject_init(&section, zvcrash_async_task_self(), live.ehFrame, live.ehFrameLength, true) != ZVCRASH_OK)
            return false;
        if (zvcrash_async_mobject_init(&hdr, zvcrash_async_task_self(), live.ehFrameHdr, live.ehFrameHdrLength, true) != ZVCRASH_OK)
            return false;
        zvcrash_async_dwarf_frame_reader_init(&reader, &section, zvcrash_async_byteorder_direct(), true, false);
        return true;
    }
    void unmap() {
        zvcrash_async_mobject_free(&hdr);
        zvcrash_async_mobject_free(&section);
    }
};

struct Run {
    benchmark::State* state;
    bool indexed;
    MappedImage executable;
    MappedImage libc;
};
Run* gRun = nullptr;

// Runs inside the comparator that libc's qsort calls: the comparator's frame is unwound once
// with this executable's rules, which gives a frame inside libc; the measured step unwinds that.
zvcrash_error_t measure(zvcrash_async_thread_state* comparator, void*) {
    Run& run = *gRun;
    zvcrash_async_thread_state inLibc, caller;
    zvcrash_error_t error = zvcrash_async_dwarf_unwind_frame<unsigned long long, long long>(
        zvcrash_async_task_self(), &run.executable.reader, nullptr, comparator, false, &inLibc, nullptr);
    if (error != ZVCRASH_OK) {
        run.state->SkipWithError("the comparator's frame does not unwind");
        return error;
    }
    const zvcrash_async_mobject* hdr = run.indexed ? &run.libc.hdr : nullptr;
    for (auto _ : *run.state) {
        error = zvcrash_async_dwarf_unwind_frame<unsigned long long, long long>(zvcrash_async_task_self(), &run.libc.reader, hdr, &inLibc,
                                                                                false, &caller, nullptr);
        if (error != ZVCRASH_OK) break;
        benchmark::DoNotOptimize(caller);
    }
    if (error != ZVCRASH_OK) run.state->SkipWithError(zvcrash_async_strerror(error));
    return error;
}

int compare(const void* a, const void* b) {
    zvcrash_async_thread_state_current(measure, nullptr);
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

// One unwinding step through a libc frame (qsort's, calling back into this executable), its
// section already mapped. Argument 0 walks .eh_frame from its start; 1 searches .eh_frame_hdr.
void BM_DwarfStep(benchmark::State& state) {
    Run run{&state, state.range(0) == 1, {}, {}};
    if (!run.executable.map(zvcrash::testing::liveEhFrameOf("/proc/self/exe")) ||
        !run.libc.map(zvcrash::testing::liveEhFrameOf("libc.so"))) {
        state.SkipWithError("unwind sections not found");
        return;
    }
    gRun = &run;
    int values[2] = {2, 1};
    qsort(values, 2, sizeof(int), compare);
    gRun = nullptr;
    run.libc.unmap();
    run.executable.unmap();
}
BENCHMARK(BM_DwarfStep)->Arg(0)->Arg(1);

}  // namespace
