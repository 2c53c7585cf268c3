// The facade's crash-time step with the allocator shut: an enabled reporter's signal handler
// writes the pending report, and the process then dies by the signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <ucontext.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crashreporter/CrashChildTesting.h"
#include "crashreporter/ZVCrashReporter.h"
#include "crashreporter/async/NoAllocationTesting.h"
#include "crashreporter/async/zvcrash_async_signal_handler.h"
#include "crashreporter/report/ZVCrashReport.h"

namespace zvcrash {
namespace {

TEST(ZVCrashNoAllocationCrashPath, FacadeWritesThePendingReportFromTheSignalHandler) {
    char base[] = "/tmp/velmo_noalloc_facade.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(base));
    ZVCrashReporter reporter("app.velmo.noalloc", "42", "1.2", ZVCrashReporterConfig(0, 0, base));
    const std::string reportPath = reporter.crashReportPath();
    auto outcome = testing::runInChild([&](int out) {
        // The sanitizers' own handlers would otherwise be the earlier actions the chain ends in.
        signal(SIGSEGV, SIG_DFL);
        if (!reporter.enableCrashReporter()) return testing::writeText(out, "enable failed");
        siginfo_t info{};
        info.si_signo = SIGSEGV;
        info.si_code = SEGV_MAPERR;
        ucontext_t context{};
        getcontext(&context);
        testing::writeText(out, "writing;");
        testing::NoAllocation shut;
        zvcrash_async_signal_handler_entry(SIGSEGV, &info, &context);
        testing::writeText(out, "came back");
    });
    // An allocation would have ended the child by SIGABRT.
    EXPECT_TRUE(outcome.signaled(SIGSEGV)) << outcome.describe() << " " << outcome.output;
    EXPECT_EQ("writing;", outcome.output);
    // The report is whole: it decodes, with the crashed thread walked and the images listed.
    std::ifstream in(reportPath, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto decoded = ZVCrashReport::fromData(bytes);
    ASSERT_TRUE(decoded.has_value()) << reportPath << ", " << bytes.size() << " bytes";
    bool crashedWalked = false;
    for (const auto& thread : decoded->threads()) crashedWalked |= thread.crashed() && thread.stackFrames().size() > 2;
    EXPECT_TRUE(crashedWalked);
    bool hasLibc = false;
    for (const auto& image : decoded->images()) hasLibc |= image.imageName().find("/libc.so") != std::string::npos;
    EXPECT_TRUE(hasLibc);
    std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace zvcrash
