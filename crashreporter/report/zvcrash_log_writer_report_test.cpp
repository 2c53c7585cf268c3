// Reports written by the report writer, read back with the report reader.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "crashreporter/async/ParkedThreadsTesting.h"
#include "crashreporter/async/WriterPackTesting.h"
#include "crashreporter/async/zvcrash_async_image_feeder.h"
#include "crashreporter/async/zvcrash_log_writer.h"
#include "crashreporter/report/ZVCrashReport.h"

namespace {

using zvcrash::ZVCrashReport;
using zvcrash::testing::CapturedFile;

std::string hex(const uint8_t* bytes, size_t length) {
    std::string text;
    char two[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    return text;
}

size_t threadsOfThisProcess() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

std::string selfPath() {
    char path[4096];
    const ssize_t used = readlink("/proc/self/exe", path, sizeof path);
    return used > 0 ? std::string(path, static_cast<size_t>(used)) : std::string();
}

// The live process: its images, a writer over it, and the calling thread's state captured where
// the test asks.
class LiveProcess : public ::testing::Test {
public:
    void SetUp() override {
        zvcrash_async_image_list_init(&images_, zvcrash_async_task_self());
        zvcrash_async_image_feeder_init(&feeder_, &images_);
        ASSERT_EQ(ZVCRASH_OK,
                  zvcrash_log_writer_init(&writer_, "com.velmo.tests", "7", "0.7.1", ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, true));
    }
    void TearDown() override {
        zvcrash_log_writer_free(&writer_);
        zvcrash_async_image_list_free(&images_);
    }

    struct Capture {
        LiveProcess* self;
        CapturedFile out;
        zvcrash_error_t result = ZVCRASH_ERR_UNKNOWN;
        zvcrash_log_crash_info crash = {{SIGTRAP, TRAP_TRACE, 0}, nullptr};
    };
    static zvcrash_error_t writeHere(zvcrash_async_thread_state* state, void* raw) {
        auto* capture = static_cast<Capture*>(raw);
        capture->result = zvcrash_log_writer_write(&capture->self->writer_, zvcrash_async_current_thread_port(), &capture->self->images_,
                                                   capture->out.file(), &capture->crash, state);
        return ZVCRASH_OK;
    }

    // A report written from the calling thread, decoded.
    std::optional<ZVCrashReport> reportFromHere(Capture* capture) {
        capture->self = this;
        zvcrash_async_thread_state_current(writeHere, capture);
        EXPECT_EQ(ZVCRASH_OK, capture->result);
        const std::vector<uint8_t> bytes = capture->out.bytes();
        std::optional<velmo::Error> error;
        auto report = ZVCrashReport::fromData(bytes, &error);
        EXPECT_TRUE(report.has_value()) << (error ? error->description() : std::string());
        return report;
    }

    const zvcrash::ZVCrashReportThreadInfo* crashedThread(const ZVCrashReport& report) {
        for (const auto& thread : report.threads()) {
            if (thread.crashed()) return &thread;
        }
        return nullptr;
    }

    zvcrash_async_image_list images_{};
    zvcrash_async_image_feeder feeder_{};
    zvcrash_log_writer_t writer_{};
};

TEST_F(LiveProcess, AReportOfThisProcessDecodesWithEveryThreadImageAndFact) {
    zvcrash::testing::ParkedThreads parked(3);
    const size_t threads = threadsOfThisProcess();
    Capture capture;
    std::optional<ZVCrashReport> report = reportFromHere(&capture);
    ASSERT_TRUE(report);

    // Every thread, the parked ones stopped where they wait.
    ASSERT_EQ(threads, report->threads().size());
    for (size_t i = 0; i < report->threads().size(); ++i) EXPECT_EQ(static_cast<int64_t>(i), report->threads()[i].threadNumber());
    for (size_t i = 0; i < parked.size(); ++i) {
        const uint64_t parkedAt = parked.parkedReturnAddress(i);
        const bool found = std::any_of(report->threads().begin(), report->threads().end(), [&](const auto& thread) {
            return std::any_of(thread.stackFrames().begin(), thread.stackFrames().end(),
                               [&](const auto& frame) { return frame.instructionPointer() == parkedAt; });
        });
        EXPECT_TRUE(found) << "parked thread " << i << " is not in the report";
    }

    // The crashed thread alone has registers, "rip" to "gs", and rip is its first frame.
    const auto* crashed = crashedThread(*report);
    ASSERT_NE(nullptr, crashed);
    EXPECT_EQ(1, std::count_if(report->threads().begin(), report->threads().end(), [](const auto& t) { return t.crashed(); }));
    for (const auto& thread : report->threads()) {
        if (&thread != crashed) {
            EXPECT_TRUE(thread.registers().empty());
        }
    }
    ASSERT_EQ(21u, crashed->registers().size());
    EXPECT_EQ("rip", crashed->registers().front().registerName());
    EXPECT_EQ("rsp", crashed->registers()[2].registerName());
    EXPECT_EQ("gs", crashed->registers().back().registerName());
    ASSERT_FALSE(crashed->stackFrames().empty());
    EXPECT_EQ(crashed->registers().front().registerValue(), crashed->stackFrames().front().instructionPointer());
    EXPECT_GE(crashed->stackFrames().size(), 3u) << "the walk stopped right away";

    // Images in list order, the executable and libc with their build-ids.
    std::vector<std::pair<std::string, std::string>> listed;
    zvcrash_async_image_list_set_reading(&images_, true);
    for (auto* image = zvcrash_async_image_list_next(&images_, nullptr); image != nullptr;
         image = zvcrash_async_image_list_next(&images_, image)) {
        uint8_t uuid[16];
        listed.emplace_back(zvcrash_async_image_path(image),
                            zvcrash_async_image_uuid(image, uuid) == ZVCRASH_OK ? hex(uuid, 16) : std::string());
    }
    zvcrash_async_image_list_set_reading(&images_, false);
    ASSERT_EQ(listed.size(), report->images().size());
    bool sawSelf = false;
    bool sawLibc = false;
    for (size_t i = 0; i < listed.size(); ++i) {
        const auto& image = report->images()[i];
        EXPECT_EQ(listed[i].first, image.imageName());
        if (!listed[i].second.empty()) {
            EXPECT_EQ(listed[i].second, image.imageUUID().value_or(""));
        }
        ASSERT_TRUE(image.codeType());
        EXPECT_EQ(0x1000007u, image.codeType()->type());
        if (image.imageName() == selfPath()) sawSelf = image.hasImageUUID();
        if (image.imageName().find("/libc.so") != std::string::npos) sawLibc = image.hasImageUUID();
    }
    EXPECT_TRUE(sawSelf) << "the test executable with its build-id";
    EXPECT_TRUE(sawLibc) << "libc with its build-id";
    EXPECT_NE(nullptr, report->imageForAddress(crashed->stackFrames().front().instructionPointer()));

    // Linux's facts.
    utsname names{};
    ASSERT_EQ(0, uname(&names));
    const auto& system = report->systemInfo();
    EXPECT_EQ(5u, system.operatingSystem());
    EXPECT_EQ(1u, system.architecture());
    EXPECT_EQ(std::string(names.version), system.operatingSystemBuild().value_or(""));
    EXPECT_EQ(0u, std::string(names.release).rfind(system.operatingSystemVersion(), 0))
        << system.operatingSystemVersion() << " is not how " << names.release << " begins";
    ASSERT_TRUE(report->machineInfo());
    EXPECT_EQ(0x1000007u, report->machineInfo()->processorInfo().type());
    EXPECT_EQ(3u, report->machineInfo()->processorInfo().subtype());
    EXPECT_EQ(static_cast<uint64_t>(sysconf(_SC_NPROCESSORS_CONF)), report->machineInfo()->logicalProcessorCount());
    ASSERT_TRUE(report->processInfo());
    EXPECT_EQ(static_cast<uint64_t>(getpid()), report->processInfo()->processID());
    EXPECT_EQ(static_cast<uint64_t>(getppid()), report->processInfo()->parentProcessID());
    EXPECT_EQ(selfPath(), report->processInfo()->processPath().value_or(""));
    EXPECT_TRUE(report->processInfo()->native());
    EXPECT_EQ("com.velmo.tests", report->applicationInfo().applicationIdentifier());
    EXPECT_EQ("0.7.1", report->applicationInfo().applicationMarketingVersion().value_or(""));
    EXPECT_EQ("SIGTRAP", report->signalInfo().name());
    EXPECT_EQ("TRAP_TRACE", report->signalInfo().code());
    EXPECT_TRUE(report->uuidRef());
    EXPECT_FALSE(report->hasExceptionInfo());
    EXPECT_FALSE(report->customData());

    EXPECT_TRUE(parked.releaseAndJoin());
}

// Recursion deeper than a report keeps.
extern "C" __attribute__((noinline, visibility("default"))) int zvcrash_writer_test_recurse(LiveProcess* test, int depth,
                                                                                            std::optional<ZVCrashReport>* report);

TEST_F(LiveProcess, ADeepRecursionWritesExactly512Frames) {
    std::optional<ZVCrashReport> report;
    zvcrash_writer_test_recurse(this, 700, &report);
    ASSERT_TRUE(report);
    const auto* crashed = crashedThread(*report);
    ASSERT_NE(nullptr, crashed);
    EXPECT_EQ(512u, crashed->stackFrames().size());
    // Named from the executable's symbols, most of them the recursion itself.
    const auto named = std::count_if(crashed->stackFrames().begin(), crashed->stackFrames().end(), [](const auto& frame) {
        return frame.symbolInfo() && frame.symbolInfo()->symbolName() == "zvcrash_writer_test_recurse";
    });
    EXPECT_GE(named, 500);
}

TEST_F(LiveProcess, TheExceptionAndCustomDataAreWrittenWhenSetAndNamelessSignalsByNumber) {
    const uint64_t returns[] = {reinterpret_cast<uint64_t>(&zvcrash_writer_test_recurse) + 4, 0x1234};
    zvcrash_log_writer_set_exception(&writer_, "std::logic_error", nullptr, returns, 2);
    const uint8_t custom[] = {0, 1, 2, 0xff};
    zvcrash_log_writer_set_custom_data(&writer_, custom, sizeof custom);

    struct Case {
        int signo;
        int code;
        const char* name;
        const char* codeName;
    } cases[] = {
        {33, 5, "#33", "#5"},
        {SIGABRT, 0, "SIGABRT", "#0"},
        {SIGSEGV, SEGV_ACCERR, "SIGSEGV", "SEGV_ACCERR"},
        {SIGBUS, -2147483647 - 1, "SIGBUS", "#-2147483648"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Capture capture;
        capture.crash = {{c.signo, c.code, 0x40}, nullptr};
        auto report = reportFromHere(&capture);
        ASSERT_TRUE(report);
        EXPECT_EQ(c.name, report->signalInfo().name());
        EXPECT_EQ(c.codeName, report->signalInfo().code());
        EXPECT_EQ(0x40u, report->signalInfo().address());
        ASSERT_TRUE(report->exceptionInfo());
        EXPECT_EQ("std::logic_error", report->exceptionInfo()->exceptionName());
        EXPECT_EQ("", report->exceptionInfo()->exceptionReason());
        ASSERT_TRUE(report->exceptionInfo()->stackFrames());
        const auto& frames = *report->exceptionInfo()->stackFrames();
        ASSERT_EQ(2u, frames.size());
        EXPECT_EQ(returns[1], frames[1].instructionPointer());
        ASSERT_TRUE(frames[0].symbolInfo());
        EXPECT_EQ("zvcrash_writer_test_recurse", frames[0].symbolInfo()->symbolName());
        EXPECT_EQ(std::vector<uint8_t>(custom, custom + sizeof custom), report->customData().value_or(std::vector<uint8_t>{}));
    }

    // Custom data set back to none is not written.
    zvcrash_log_writer_set_custom_data(&writer_, nullptr, 0);
    Capture capture;
    auto report = reportFromHere(&capture);
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->customData());
}

}  // namespace

extern "C" int zvcrash_writer_test_recurse(LiveProcess* test, int depth, std::optional<ZVCrashReport>* report) {
    if (depth == 0) {
        LiveProcess::Capture capture;
        *report = test->reportFromHere(&capture);
        return 0;
    }
    const int below = zvcrash_writer_test_recurse(test, depth - 1, report);
    asm volatile("" ::: "memory");
    return below + 1;
}
