#include "crashreporter/async/zvcrash_log_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "crashreporter/async/MachOFixtureBuilderTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/WriterPackTesting.h"
#include "crashreporter/async/zvcrash_async_image_feeder.h"
#include "crashreporter/async/zvcrash_async_thread_rendezvous.h"

namespace {

using Bytes = std::vector<uint8_t>;
using zvcrash::testing::CapturedFile;
using zvcrash::testing::MachOFixtureBuilder;
using zvcrash::testing::SimulatedTask;

constexpr uint64_t kHeader = 0x100000000;
constexpr uint64_t kStack = 0x7f0000000000;

// Simulated threads: a fixed list that nothing has to stop, and their registers in a table the
// register reads look in.
struct SimulatedThreads {
    std::vector<pid_t> ids;
    static zvcrash_error_t suspend(void*) { return ZVCRASH_OK; }
    static uint32_t count(void* self) { return static_cast<uint32_t>(static_cast<SimulatedThreads*>(self)->ids.size()); }
    static pid_t thread(void* self, uint32_t index) { return static_cast<SimulatedThreads*>(self)->ids[index]; }
    static void resume(void*) {}
    zvcrash_log_writer_thread_source source{suspend, count, thread, resume, this};
};

time_t fixedClock(time_t* out) {
    const time_t now = 1765400000;
    if (out != nullptr) *out = now;
    return now;
}

// A simulated process: one Mach-O image with symbols, three threads walked through their frame
// pointers, fixed facts, an exception and custom data.
class SimulatedReport {
public:
    SimulatedReport() {
        // The same load commands either way, so a first build tells where __text lands.
        auto build = [](uint64_t text) {
            return MachOFixtureBuilder(MachOFixtureBuilder::Width::Bits64, MachOFixtureBuilder::Order::Host)
                .section("__TEXT", "__text", std::vector<uint8_t>(0x400, 0x90))
                .uuid({0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef})
                .symbol("_zv_main", text, true)
                .symbol("_zv_run", text + 0x100, true)
                .build();
        };
        const uint64_t textOffset = build(0).sectionOffset("__TEXT", "__text");
        const auto image = build(textOffset);
        text_ = kHeader + textOffset;
        task_.map(kHeader, image.bytes);

        // Thread i: rip in the image, two saved frames on its stack, then a zero frame pointer.
        Bytes stack(0x3000, 0);
        auto put = [&](uint64_t offset, uint64_t value) { memcpy(stack.data() + offset, &value, 8); };
        for (size_t i = 0; i < 3; ++i) {
            const uint64_t base = 0x1000 * i;
            put(base + 0x100, kStack + base + 0x200);
            put(base + 0x108, text_ + 0x120 + i);
            put(base + 0x200, 0);
            put(base + 0x208, text_ + 0x10 + i);
            mcontext_t& context = slots_[i].context;
            memset(&context, 0, sizeof context);
            context.gregs[REG_RIP] = static_cast<greg_t>(text_ + 0x140 + i);
            context.gregs[REG_RBP] = static_cast<greg_t>(kStack + base + 0x100);
            context.gregs[REG_RSP] = static_cast<greg_t>(kStack + base + 0xf0);
            context.gregs[REG_RAX] = static_cast<greg_t>(0x1111 * (i + 1));
            slots_[i].word = zvcrash_async_thread_slot_answered_word(kThreads[i]);
            threads_.ids.push_back(kThreads[i]);
        }
        task_.map(kStack, stack);
        table_ = {slots_.data(), static_cast<uint32_t>(slots_.size()), static_cast<uint32_t>(slots_.size())};
        previous_ = zvcrash_async_thread_table_install(&table_);

        zvcrash_async_image_list_init(&list_, task_.task());
        zvcrash_async_image_list_append(&list_, kHeader, "/opt/velmo/Velmo");

        zvcrash_log_writer_facts facts{};
        for (uint8_t i = 0; i < 16; ++i) facts.uuid[i] = static_cast<uint8_t>(0xa0 + i);
        facts.os_version = "6.1.55";
        facts.os_build = "#1 SMP PREEMPT_DYNAMIC Debian 6.1.55-1 (2023-09-29)";
        facts.model = "Standard PC";
        facts.cpu_type = 0x1000007;
        facts.cpu_subtype = 3;
        facts.physical_cpu_count = 4;
        facts.logical_cpu_count = 8;
        facts.process_name = "Velmo";
        facts.process_id = 4242;
        facts.process_path = "/opt/velmo/Velmo";
        facts.start_time = 1765399000;
        facts.parent_process_name = "systemd";
        facts.parent_process_id = 1;
        facts.native = true;
        EXPECT_EQ(ZVCRASH_OK, zvcrash_log_writer_init_with_facts(&writer_, "com.velmo.Velmo", "42", "1.2.0",
                                                                 ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, false, &facts));
        writer_.threads = &threads_.source;
        writer_.clock = fixedClock;
        const uint64_t returns[] = {text_ + 0x104, text_ + 0x8};
        zvcrash_log_writer_set_exception(&writer_, "std::runtime_error", "the disk is full", returns, 2);
        const char custom[] = "{\"distinct_id\":\"person\"}";
        zvcrash_log_writer_set_custom_data(&writer_, custom, sizeof custom - 1);
    }
    ~SimulatedReport() {
        zvcrash_log_writer_free(&writer_);
        zvcrash_async_image_list_free(&list_);
        zvcrash_async_thread_table_install(previous_);
    }

    // The report with the file's byte limit (0: none) and the write's result.
    Bytes write(uint64_t limit, zvcrash_error_t* result) {
        CapturedFile out;
        out.file()->limit = limit;
        const zvcrash_log_crash_info crash = {{SIGSEGV, SEGV_MAPERR, 0xdeadbeef}, nullptr};
        *result = zvcrash_log_writer_write(&writer_, kThreads[1], &list_, out.file(), &crash, nullptr);
        return out.bytes();
    }

    static constexpr pid_t kThreads[3] = {7001, 7002, 7003};

private:
    SimulatedTask task_;
    uint64_t text_ = 0;
    std::array<zvcrash_async_thread_slot, 3> slots_{};
    zvcrash_async_thread_table table_{};
    zvcrash_async_thread_table* previous_ = nullptr;
    SimulatedThreads threads_;
    zvcrash_async_image_list list_{};
    zvcrash_log_writer_t writer_{};
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(ZVCrashLogWriter, ASimulatedProcessGivesTheGoldenReport) {
    SimulatedReport report;
    zvcrash_error_t result = ZVCRASH_ERR_UNKNOWN;
    const Bytes bytes = report.write(0, &result);
    ASSERT_EQ(ZVCRASH_OK, result);
    const std::string golden = std::string(VELMO_CRASH_WRITER_TESTDATA) + "/simulated_report.zvcrash";
    if (getenv("VELMO_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(golden, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    EXPECT_EQ(readFile(golden), bytes) << "rerun with VELMO_UPDATE_GOLDEN=1 after an intended change, and read the diff of " << golden
                                       << " with velmo-crashlog";
}

TEST(ZVCrashLogWriter, AWriteThatPassesTheByteLimitIsReportedIncompleteAndStopsThere) {
    SimulatedReport report;
    zvcrash_error_t result = ZVCRASH_ERR_UNKNOWN;
    const Bytes full = report.write(0, &result);
    ASSERT_EQ(ZVCRASH_OK, result);

    EXPECT_EQ(full, report.write(full.size(), &result));
    EXPECT_EQ(ZVCRASH_OK, result);

    // Cut inside the threads: the later, smaller fields (the signal, the custom data) would fit in
    // what is left, but must not follow a field whose body is missing.
    for (uint64_t limit : {uint64_t{9}, uint64_t{full.size() / 2}, uint64_t{full.size() - 1}}) {
        SCOPED_TRACE(limit);
        const Bytes cut = report.write(limit, &result);
        EXPECT_EQ(ZVCRASH_ERR_OUTPUT, result);
        ASSERT_LE(cut.size(), limit);
        EXPECT_TRUE(std::equal(cut.begin(), cut.end(), full.begin())) << "the incomplete report is not a prefix of the whole one";
    }
}

TEST(ZVCrashLogWriterDeathTest, ASecondExceptionStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    zvcrash_log_writer_t writer;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_log_writer_init_with_facts(&writer, "id", "1", nullptr, 0, false, nullptr));
    zvcrash_log_writer_set_exception(&writer, "first", nullptr, nullptr, 0);
    EXPECT_DEATH(zvcrash_log_writer_set_exception(&writer, "second", "again", nullptr, 0),
                 "writer->uncaught_exception.has_exception == false, function zvcrash_log_writer_set_exception");
    zvcrash_log_writer_free(&writer);
}

// ---- The alternate-stack budget.

constexpr size_t kAltStackSize = 64 * 1024;
constexpr uint8_t kPattern = 0xa5;

struct BudgetRun {
    zvcrash_log_writer_t* writer;
    zvcrash_async_image_list* images;
    uint8_t* altStack;
    uintptr_t handlerEntry;
    zvcrash_error_t result;
};
BudgetRun* g_budget = nullptr;

void budgetHandler(int, siginfo_t*, void* raw) {
    volatile char marker = 0;
    g_budget->handlerEntry = reinterpret_cast<uintptr_t>(&marker);
    zvcrash_async_thread_state state;
    zvcrash_async_thread_state_ucontext_init(&state, static_cast<const ucontext_t*>(raw));
    zvcrash_async_file file;
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    zvcrash_async_file_init(&file, fd, 0);
    const zvcrash_log_crash_info crash = {{SIGSEGV, SEGV_MAPERR, 0x10}, nullptr};
    g_budget->result =
        zvcrash_log_writer_write(g_budget->writer, zvcrash_async_current_thread_port(), g_budget->images, &file, &crash, &state);
    zvcrash_async_file_close(&file);
}

void* budgetThread(void*) {
    stack_t stack{};
    stack.ss_sp = g_budget->altStack;
    stack.ss_size = kAltStackSize;
    // The stack in place before (a sanitizer's own) comes back afterwards: a sanitizer unmaps
    // whatever alternate stack a thread has when it ends.
    stack_t previous{};
    if (sigaltstack(&stack, &previous) != 0) return nullptr;
    struct sigaction action {};
    action.sa_sigaction = budgetHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, nullptr);
    pthread_kill(pthread_self(), SIGUSR2);
    sigaltstack(&previous, nullptr);
    return nullptr;
}

// In a child: the whole write of this process, run from a signal handler on a 64 KiB alternate
// stack filled with a pattern; reports the kernel's frame and the bytes never touched.
[[noreturn]] void measureBudget(int out) {
    alarm(30);
    zvcrash_async_image_list images;
    zvcrash_async_image_list_init(&images, zvcrash_async_task_self());
    zvcrash_async_image_feeder feeder;
    zvcrash_async_image_feeder_init(&feeder, &images);
    zvcrash_log_writer_t writer;
    zvcrash_log_writer_init(&writer, "com.velmo.budget", "1", nullptr, ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE | ZVCRASH_SYMBOL_STRATEGY_OBJC,
                            false);
    auto* alt = static_cast<uint8_t*>(mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    memset(alt, kPattern, kAltStackSize);
    BudgetRun run{&writer, &images, alt, 0, ZVCRASH_ERR_UNKNOWN};
    g_budget = &run;
    pthread_t thread;
    pthread_create(&thread, nullptr, budgetThread, nullptr);
    pthread_join(thread, nullptr);
    size_t untouched = 0;
    while (untouched < kAltStackSize && alt[untouched] == kPattern) ++untouched;
    const uint64_t figures[3] = {static_cast<uint64_t>(run.result), reinterpret_cast<uintptr_t>(alt) + kAltStackSize - run.handlerEntry,
                                 untouched};
    (void)!::write(out, figures, sizeof figures);
    _exit(0);
}

TEST(ZVCrashLogWriter, TheWholeWriteFitsTheAlternateStackWithRoomToSpare) {
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        close(pipeFds[0]);
        measureBudget(pipeFds[1]);
    }
    close(pipeFds[1]);
    uint64_t figures[3] = {};
    const ssize_t got = read(pipeFds[0], figures, sizeof figures);
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    ASSERT_EQ(static_cast<ssize_t>(sizeof figures), got);
    EXPECT_EQ(ZVCRASH_OK, figures[0]);
    const uint64_t kernelFrame = figures[1];
    const uint64_t untouched = figures[2];
    const uint64_t used = kAltStackSize - untouched;
    std::printf("alternate stack: kernel signal frame %llu bytes, whole handler %llu bytes, %llu bytes never touched\n",
                static_cast<unsigned long long>(kernelFrame), static_cast<unsigned long long>(used),
                static_cast<unsigned long long>(untouched));
    RecordProperty("kernel_frame_bytes", static_cast<int>(kernelFrame));
    RecordProperty("untouched_bytes", static_cast<int>(untouched));
    EXPECT_GT(kernelFrame, 1024u);
    // Machines with larger register files have larger signal frames (about 13.5 KiB with AVX-512
    // and AMX state): the write must leave 8 KiB free even there.
    const uint64_t largestFrame = std::max<uint64_t>(kernelFrame, 13824);
    const uint64_t writeUse = used - kernelFrame;
    EXPECT_GE(kAltStackSize - largestFrame - writeUse, 8u * 1024u) << "the write takes " << writeUse << " bytes of the alternate stack";
}

}  // namespace
