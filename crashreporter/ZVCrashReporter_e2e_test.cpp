// Real crashes of forked children, each with a reporter enabled; the parent reads what was left.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "crashreporter/CrashChildTesting.h"
#include "crashreporter/ZVCrashReporter.h"
#include "crashreporter/report/ZVCrashReport.h"
#include "crashreporter/report/zvcrash.pb-c.h"
#include "platform/foundation/TestDirectory.h"

// The functions the reports must show, found by name through the executable's dynamic symbols.
extern "C" {
volatile int zvcrash_e2e_sink = 0;

__attribute__((noinline)) void zvcrash_e2e_f3() {
    int* volatile target = reinterpret_cast<int*>(0x10);
    *target = 1;
    zvcrash_e2e_sink = zvcrash_e2e_sink + 1;
}
__attribute__((noinline)) void zvcrash_e2e_f2() {
    zvcrash_e2e_f3();
    zvcrash_e2e_sink = zvcrash_e2e_sink + 1;
}
__attribute__((noinline)) void zvcrash_e2e_f1() {
    zvcrash_e2e_f2();
    zvcrash_e2e_sink = zvcrash_e2e_sink + 1;
}
__attribute__((noinline)) void zvcrash_e2e_calls_abort() {
    abort();
    zvcrash_e2e_sink = zvcrash_e2e_sink + 1;
}
__attribute__((noinline)) void zvcrash_e2e_throws() {
    throw std::runtime_error("boom");
    zvcrash_e2e_sink = zvcrash_e2e_sink + 1;
}
__attribute__((noinline)) int zvcrash_e2e_recurses(int depth) {
    volatile char frame[256];
    frame[0] = static_cast<char>(depth);
    // Never false, but the compiler cannot know.
    if (zvcrash_e2e_sink >= 0) return zvcrash_e2e_recurses(depth + 1) + frame[0];
    return frame[0];
}
__attribute__((noinline)) void* zvcrash_e2e_parked(void* ready) {
    static_cast<std::atomic<bool>*>(ready)->store(true);
    for (;;) pause();
    return nullptr;
}
}

namespace zvcrash {
namespace {

using testing::ChildOutcome;
using testing::runInChild;
using testing::writeText;
using velmo::test::TestDirectory;

const std::string identifier = "app.velmo.e2e";
const std::string customJSON = "{\"distinct_id\":\"u1\"}";

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// In the child: a reporter over base with the custom data, a helper thread parked in
// zvcrash_e2e_parked, and the handlers installed. Ends the child when enabling fails.
ZVCrashReporter& enabledReporter(const std::string& base, int out) {
    static std::optional<ZVCrashReporter> reporter;
    reporter.emplace(identifier, "7", "1.0", ZVCrashReporterConfig(0, 0, base));
    reporter->setCustomData(bytesOf(customJSON));
    static std::atomic<bool> parked{false};
    pthread_t helper;
    pthread_create(&helper, nullptr, zvcrash_e2e_parked, &parked);
    while (!parked) std::this_thread::yield();
    std::optional<ZVCrashReporterError> error;
    if (!reporter->enableCrashReporter(&error)) {
        writeText(out, ("enable failed: " + (error ? error->description() : std::string())).c_str());
        _exit(3);
    }
    return *reporter;
}

ZVCrashReporter reporterAt(const std::string& base) { return ZVCrashReporter(identifier, "7", "1.0", ZVCrashReporterConfig(0, 0, base)); }

std::string symbolAt(uint64_t address) {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_sname == nullptr) return "";
    return info.dli_sname;
}

// The function of each frame. Below the first, a frame holds a return address, which after a call
// to a function that never returns is already past the caller's end: look one byte back.
std::vector<std::string> symbolsOf(const std::vector<ZVCrashReportStackFrameInfo>& frames, bool firstIsExact = true) {
    std::vector<std::string> names;
    for (size_t i = 0; i < frames.size(); ++i) {
        const uint64_t pc = frames[i].instructionPointer();
        names.push_back(symbolAt(i == 0 && firstIsExact ? pc : pc - 1));
    }
    return names;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < 24; ++i) text += (names[i].empty() ? "?" : names[i]) + " ";
    return text;
}

// Index of the first name equal to wanted at or after from, or -1.
long indexOf(const std::vector<std::string>& names, const std::string& wanted, size_t from = 0) {
    for (size_t i = from; i < names.size(); ++i) {
        if (names[i] == wanted) return static_cast<long>(i);
    }
    return -1;
}

const ZVCrashReportThreadInfo* crashedThread(const ZVCrashReport& report, size_t* crashedCount) {
    const ZVCrashReportThreadInfo* crashed = nullptr;
    *crashedCount = 0;
    for (const auto& thread : report.threads()) {
        if (thread.crashed()) {
            crashed = &thread;
            ++*crashedCount;
        }
    }
    return crashed;
}

std::string executablePath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

struct Left {
    std::vector<uint8_t> bytes;
    std::optional<ZVCrashReport> report;
};

// What the child left: the file is there, starts with the header and decodes.
Left readReport(const std::string& base) {
    Left left;
    ZVCrashReporter reporter = reporterAt(base);
    EXPECT_TRUE(reporter.hasPendingCrashReport());
    auto bytes = reporter.loadPendingCrashReportData();
    if (!bytes) {
        ADD_FAILURE() << "no report at " << reporter.crashReportPath();
        return left;
    }
    left.bytes = *bytes;
    EXPECT_GE(left.bytes.size(), 8u);
    EXPECT_EQ(std::string(left.bytes.begin(), left.bytes.begin() + std::min<size_t>(8, left.bytes.size())), std::string("zvcrash\x01", 8));
    std::optional<velmo::Error> error;
    left.report = ZVCrashReport::fromData(left.bytes, &error);
    EXPECT_TRUE(left.report) << (error ? error->description() : "");
    return left;
}

std::string runCrashlog(const std::string& path) {
    std::string output;
    FILE* pipe = popen((std::string(VELMO_CRASHLOG) + " '" + path + "'").c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    return output;
}

TEST(ZVCrashReporterEndToEnd, NullStoreIsReportedWithItsFramesThreadsImagesAndCustomData) {
    TestDirectory dir;
    ChildOutcome outcome = runInChild([&](int out) {
        enabledReporter(dir.path(), out);
        zvcrash_e2e_f1();
    });
    ASSERT_TRUE(outcome.signaled(SIGSEGV)) << outcome.describe();
    Left left = readReport(dir.path());
    ASSERT_TRUE(left.report);
    const ZVCrashReport& report = *left.report;

    EXPECT_EQ(report.signalInfo().name(), "SIGSEGV");
    EXPECT_EQ(report.signalInfo().code(), "SEGV_MAPERR");
    EXPECT_EQ(report.signalInfo().address(), 0x10u);

    size_t crashedCount = 0;
    const ZVCrashReportThreadInfo* crashed = crashedThread(report, &crashedCount);
    ASSERT_EQ(crashedCount, 1u);
    const auto names = symbolsOf(crashed->stackFrames());
    const long f3 = indexOf(names, "zvcrash_e2e_f3");
    EXPECT_EQ(f3, 0) << joined(names);
    EXPECT_EQ(indexOf(names, "zvcrash_e2e_f2"), f3 + 1) << joined(names);
    EXPECT_EQ(indexOf(names, "zvcrash_e2e_f1"), f3 + 2) << joined(names);
    EXPECT_FALSE(crashed->registers().empty());

    bool helperSeen = false;
    for (const auto& thread : report.threads()) {
        if (!thread.crashed() && indexOf(symbolsOf(thread.stackFrames()), "zvcrash_e2e_parked") >= 0) helperSeen = true;
    }
    EXPECT_TRUE(helperSeen) << report.threads().size() << " threads";

    bool executable = false, libc = false;
    for (const auto& image : report.images()) {
        if (image.imageName() == executablePath()) executable = true;
        if (std::filesystem::path(image.imageName()).filename().string().rfind("libc.so", 0) == 0) libc = true;
    }
    EXPECT_TRUE(executable);
    EXPECT_TRUE(libc);
    EXPECT_EQ(report.customData(), bytesOf(customJSON));
    EXPECT_EQ(report.applicationInfo().applicationIdentifier(), identifier);

    ZVCrashReporter reporter = reporterAt(dir.path());
    struct stat info = {};
    ASSERT_EQ(stat(reporter.crashReportPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_NE(runCrashlog(reporter.crashReportPath()).find("Exception Type:  SIGSEGV"), std::string::npos);

    EXPECT_TRUE(reporter.purgePendingCrashReport());
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    EXPECT_FALSE(std::filesystem::exists(reporter.crashReportPath()));
}

TEST(ZVCrashReporterEndToEnd, AbortIsReportedWithTheAbortFramesThenTheCaller) {
    TestDirectory dir;
    ChildOutcome outcome = runInChild([&](int out) {
        enabledReporter(dir.path(), out);
        zvcrash_e2e_calls_abort();
    });
    ASSERT_TRUE(outcome.signaled(SIGABRT)) << outcome.describe();
    Left left = readReport(dir.path());
    ASSERT_TRUE(left.report);
    EXPECT_EQ(left.report->signalInfo().name(), "SIGABRT");
    size_t crashedCount = 0;
    const ZVCrashReportThreadInfo* crashed = crashedThread(*left.report, &crashedCount);
    ASSERT_EQ(crashedCount, 1u);
    const auto names = symbolsOf(crashed->stackFrames());
    const long caller = indexOf(names, "zvcrash_e2e_calls_abort");
    ASSERT_GT(caller, 0) << joined(names);
    // Above the caller: abort and the kill it ends in, in the C library (a sanitizer's runtime may
    // stand between them), never the executable.
    bool inLibc = false;
    for (long i = 0; i < caller; ++i) {
        const auto* image = left.report->imageForAddress(crashed->stackFrames()[i].instructionPointer());
        ASSERT_NE(image, nullptr) << i;
        EXPECT_NE(image->imageName(), executablePath()) << i;
        if (std::filesystem::path(image->imageName()).filename().string().rfind("libc.so", 0) == 0) inLibc = true;
    }
    EXPECT_TRUE(inLibc) << joined(names);
    EXPECT_FALSE(left.report->hasExceptionInfo());
}

TEST(ZVCrashReporterEndToEnd, UncaughtExceptionIsReportedWithNameReasonAndFrames) {
    TestDirectory dir;
    ChildOutcome outcome = runInChild([&](int out) {
        enabledReporter(dir.path(), out);
        // Escaping a thread's function, the exception reaches std::terminate.
        std::thread([] { zvcrash_e2e_throws(); }).join();
    });
    ASSERT_TRUE(outcome.signaled(SIGABRT)) << outcome.describe();
    Left left = readReport(dir.path());
    ASSERT_TRUE(left.report);
    EXPECT_EQ(left.report->signalInfo().name(), "SIGABRT");
    ASSERT_TRUE(left.report->exceptionInfo());
    EXPECT_EQ(left.report->exceptionInfo()->exceptionName(), "std::runtime_error");
    EXPECT_EQ(left.report->exceptionInfo()->exceptionReason(), "boom");
    ASSERT_TRUE(left.report->exceptionInfo()->stackFrames());
    const auto names = symbolsOf(*left.report->exceptionInfo()->stackFrames(), false);
    EXPECT_GE(indexOf(names, "zvcrash_e2e_throws"), 0) << joined(names);
}

TEST(ZVCrashReporterEndToEnd, StackOverflowOnTheEnablingThreadIsReportedFromTheAlternateStack) {
    TestDirectory dir;
    ChildOutcome outcome = runInChild([&](int out) {
        enabledReporter(dir.path(), out);
        zvcrash_e2e_sink = zvcrash_e2e_recurses(0);
    });
    ASSERT_TRUE(outcome.signaled(SIGSEGV)) << outcome.describe();
    Left left = readReport(dir.path());
    ASSERT_TRUE(left.report);
    EXPECT_EQ(left.report->signalInfo().name(), "SIGSEGV");
    size_t crashedCount = 0;
    const ZVCrashReportThreadInfo* crashed = crashedThread(*left.report, &crashedCount);
    ASSERT_EQ(crashedCount, 1u);
    const auto names = symbolsOf(crashed->stackFrames());
    // The overflow may hit inside a sanitizer's check the function calls.
    const long first = indexOf(names, "zvcrash_e2e_recurses");
    EXPECT_TRUE(first == 0 || first == 1) << joined(names);
    EXPECT_GT(crashed->stackFrames().size(), 100u);
}

TEST(ZVCrashReporterEndToEnd, TwoThreadsFaultingAtOnceLeaveOneReportAndTheProcessEnds) {
    TestDirectory dir;
    ChildOutcome outcome = runInChild([&](int out) {
        enabledReporter(dir.path(), out);
        std::barrier start(2);
        auto fault = [&] {
            start.arrive_and_wait();
            zvcrash_e2e_f3();
        };
        std::thread a(fault), b(fault);
        a.join();
        b.join();
    });
    ASSERT_TRUE(outcome.signaled(SIGSEGV)) << outcome.describe();
    Left left = readReport(dir.path());
    ASSERT_TRUE(left.report);
    size_t crashedCount = 0;
    crashedThread(*left.report, &crashedCount);
    EXPECT_EQ(crashedCount, 1u);
    EXPECT_EQ(left.report->signalInfo().address(), 0x10u);
}

TEST(ZVCrashReporterEndToEnd, LiveReportLeavesTheChildRunning) {
    TestDirectory dir;
    const std::string saved = dir / "live.zvcrash";
    ChildOutcome outcome = runInChild([&](int out) {
        ZVCrashReporter& reporter = enabledReporter(dir.path(), out);
        std::optional<ZVCrashReporterError> error;
        auto bytes = reporter.generateLiveReport(&error);
        if (!bytes) return writeText(out, ("live report failed: " + (error ? error->description() : std::string())).c_str());
        std::ofstream(saved, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
        writeText(out, "alive");
    });
    ASSERT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ(outcome.output, "alive");
    EXPECT_FALSE(reporterAt(dir.path()).hasPendingCrashReport());
    std::ifstream in(saved, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 8u);
    Zvcrash__CrashReport* message = zvcrash__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8);
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(message->report_info != nullptr && message->report_info->user_requested);
    zvcrash__crash_report__free_unpacked(message, nullptr);
    auto report = ZVCrashReport::fromData(bytes);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGTRAP");
    EXPECT_EQ(report->signalInfo().code(), "TRAP_TRACE");
    EXPECT_EQ(report->customData(), bytesOf(customJSON));
}

TEST(ZVCrashReporterEndToEnd, CustomDataReplacedWhileAnotherThreadCrashesIsNeverTorn) {
    for (int run = 0; run < 50; ++run) {
        TestDirectory dir;
        ChildOutcome outcome = runInChild([&](int out) {
            ZVCrashReporter& reporter = enabledReporter(dir.path(), out);
            std::thread crasher([run] {
                std::this_thread::sleep_for(std::chrono::microseconds(200 + 97 * run));
                zvcrash_e2e_f3();
            });
            // Values of changing lengths, so a torn read would show.
            for (unsigned i = 0;; ++i) {
                reporter.setCustomData(bytesOf("{\"distinct_id\":\"u" + std::string(1 + i % 13, static_cast<char>('a' + i % 26)) + "\"}"));
            }
        });
        ASSERT_TRUE(outcome.signaled(SIGSEGV)) << "run " << run << ": " << outcome.describe();
        Left left = readReport(dir.path());
        ASSERT_TRUE(left.report) << "run " << run;
        ASSERT_TRUE(left.report->customData()) << "run " << run;
        const std::string data(left.report->customData()->begin(), left.report->customData()->end());
        const std::string prefix = "{\"distinct_id\":\"u";
        bool wellFormed = data == customJSON;
        if (!wellFormed && data.size() >= prefix.size() + 3 && data.compare(0, prefix.size(), prefix) == 0 &&
            data.compare(data.size() - 2, 2, "\"}") == 0) {
            const std::string letters = data.substr(prefix.size(), data.size() - prefix.size() - 2);
            wellFormed = letters.size() <= 13 && letters.find_first_not_of(letters[0]) == std::string::npos;
        }
        EXPECT_TRUE(wellFormed) << "run " << run << ": " << data;
    }
}

// The descriptor the crashing child reports through.
int callbackOutput = -1;

void afterCrash(siginfo_t* info, ucontext_t* uap, void* context) {
    const char* path = static_cast<const char*>(context);
    writeText(callbackOutput, info->si_signo == SIGSEGV && uap != nullptr ? "callback SIGSEGV;" : "callback;");
    writeText(callbackOutput, access(path, F_OK) == 0 ? "report there" : "no report");
}

TEST(ZVCrashReporterEndToEnd, CrashCallbackRunsAfterTheReportIsWritten) {
    TestDirectory dir;
    const std::string path = reporterAt(dir.path()).crashReportPath();
    ChildOutcome outcome = runInChild([&](int out) {
        callbackOutput = out;
        ZVCrashReporter reporter = reporterAt(dir.path());
        reporter.setCrashCallbacks({0, const_cast<char*>(path.c_str()), afterCrash});
        if (!reporter.enableCrashReporter()) return writeText(out, "enable failed");
        zvcrash_e2e_f1();
    });
    ASSERT_TRUE(outcome.signaled(SIGSEGV)) << outcome.describe();
    EXPECT_EQ(outcome.output, "callback SIGSEGV;report there");
}

TEST(ZVCrashReporterEndToEnd, CustomDataOfAReporterThatIsNotEnabledStaysOutOfTheReport) {
    TestDirectory dir;
    ChildOutcome outcome = runInChild([&](int out) {
        enabledReporter(dir.path(), out);
        ZVCrashReporter other = reporterAt(dir / "other");
        other.setCustomData(bytesOf("{\"distinct_id\":\"someone else\"}"));
        zvcrash_e2e_f1();
    });
    ASSERT_TRUE(outcome.signaled(SIGSEGV)) << outcome.describe();
    Left left = readReport(dir.path());
    ASSERT_TRUE(left.report);
    EXPECT_EQ(left.report->customData(), bytesOf(customJSON));
}

}  // namespace
}  // namespace zvcrash
