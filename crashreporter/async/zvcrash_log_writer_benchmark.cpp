#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "crashreporter/async/zvcrash_async_image_feeder.h"
#include "crashreporter/async/zvcrash_log_writer.h"

namespace {

constexpr int kThreads = 20;
constexpr int kDepth = 64;

// Threads that wait, each kDepth frames deep, until the pipe is written to.
class DeepThreads {
public:
    DeepThreads() {
        if (pipe(pipe_) != 0) return;
        for (int i = 0; i < kThreads; ++i) threads_.emplace_back([this] { descend(this, kDepth); });
        while (waiting_.load() < kThreads) std::this_thread::yield();
    }
    ~DeepThreads() {
        const char wake[kThreads] = {};
        (void)!write(pipe_[1], wake, sizeof wake);
        for (auto& thread : threads_) thread.join();
        close(pipe_[0]);
        close(pipe_[1]);
    }

private:
    __attribute__((noinline)) static int descend(DeepThreads* self, int depth) {
        if (depth <= 1) {
            self->waiting_.fetch_add(1);
            char byte;
            return static_cast<int>(read(self->pipe_[0], &byte, 1));
        }
        const int result = descend(self, depth - 1);
        asm volatile("" ::: "memory");
        return result + 1;
    }

    int pipe_[2] = {-1, -1};
    std::atomic<int> waiting_{0};
    std::vector<std::thread> threads_;
};

struct Run {
    zvcrash_log_writer_t* writer;
    zvcrash_async_image_list* images;
    int fd;
};

zvcrash_error_t writeHere(zvcrash_async_thread_state* state, void* raw) {
    auto* run = static_cast<Run*>(raw);
    zvcrash_async_file file;
    zvcrash_async_file_init(&file, run->fd, 0);
    const zvcrash_log_crash_info crash = {{SIGSEGV, SEGV_MAPERR, 0}, nullptr};
    zvcrash_error_t result = zvcrash_log_writer_write(run->writer, zvcrash_async_current_thread_port(), run->images, &file, &crash, state);
    zvcrash_async_file_flush(&file);
    return result;
}

// The whole write of a process of 21 threads, each with 64 frames, with the strategy of the
// argument (0: no names; 1: symbol tables).
void BM_ReportWrite(benchmark::State& state) {
    zvcrash_async_image_list images;
    zvcrash_async_image_list_init(&images, zvcrash_async_task_self());
    zvcrash_async_image_feeder feeder;
    zvcrash_async_image_feeder_init(&feeder, &images);
    zvcrash_log_writer_t writer;
    zvcrash_log_writer_init(&writer, "com.velmo.bench", "1", nullptr, static_cast<uint32_t>(state.range(0)), false);
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    {
        DeepThreads threads;
        Run run{&writer, &images, fd};
        for (auto _ : state) {
            if (zvcrash_async_thread_state_current(writeHere, &run) != ZVCRASH_OK) state.SkipWithError("the write failed");
        }
    }
    close(fd);
    zvcrash_log_writer_free(&writer);
    zvcrash_async_image_list_free(&images);
}
BENCHMARK(BM_ReportWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
