#include "crashreporter/ZVCrashReporter.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "crashreporter/CrashChildTesting.h"
#include "crashreporter/report/ZVCrashReport.h"
#include "crashreporter/report/zvcrash.pb-c.h"
#include "platform/base/LogCapture.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"

namespace zvcrash {
namespace {

using testing::runInChild;
using testing::writeText;
using velmo::PlistValue;
using velmo::test::TestDirectory;

ZVCrashReporter reporterAt(const std::string& base, const std::string& identifier = "app.velmo.test") {
    return ZVCrashReporter(identifier, "42", "1.2", ZVCrashReporterConfig(0, 0, base));
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

mode_t modeOf(const std::string& path) {
    struct stat info = {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(ZVCrashReporterTest, KeepsReportsUnderTheBaseFolderWithSlashesOfTheIdentifierReplaced) {
    ZVCrashReporter reporter = reporterAt("/base", "com.example/tool/x");
    EXPECT_EQ(reporter.crashReportDirectory(), "/base/app.velmo.crashreporter/com.example_tool_x");
    EXPECT_EQ(reporter.crashReportPath(), "/base/app.velmo.crashreporter/com.example_tool_x/live_report.zvcrash");
    EXPECT_EQ(reporter.queuedCrashReportDirectory(), "/base/app.velmo.crashreporter/com.example_tool_x/queued_reports");
}

TEST(ZVCrashReporterTest, WithoutABaseFolderUsesTheCachesFolder) {
    {
        ScopedEnv cache("XDG_CACHE_HOME", "/xdg/cache");
        ZVCrashReporter reporter("id", "1", std::nullopt, ZVCrashReporterConfig());
        EXPECT_EQ(reporter.crashReportDirectory(), "/xdg/cache/app.velmo.crashreporter/id");
    }
    ScopedEnv home("HOME", "/home/someone");
    for (const char* cache : {static_cast<const char*>(nullptr), "", "relative/cache"}) {
        ScopedEnv unset("XDG_CACHE_HOME", cache);
        EXPECT_EQ(ZVCrashReporter::userCachesDirectory(), "/home/someone/.cache") << (cache ? cache : "unset");
    }
}

TEST(ZVCrashReporterTest, CreatesNothingUntilAskedThenBothFoldersWithMode0755WhateverTheUmask) {
    TestDirectory dir;
    ZVCrashReporter reporter = reporterAt(dir / "deep/base");
    EXPECT_FALSE(std::filesystem::exists(dir / "deep"));
    const mode_t old = umask(077);
    std::optional<ZVCrashReporterError> error;
    const bool made = reporter.populateCrashReportDirectory(&error);
    umask(old);
    ASSERT_TRUE(made) << (error ? error->description() : "");
    EXPECT_EQ(modeOf(reporter.crashReportDirectory()), 0755u);
    EXPECT_EQ(modeOf(reporter.queuedCrashReportDirectory()), 0755u);
    EXPECT_EQ(modeOf(dir / "deep/base/app.velmo.crashreporter"), 0755u);
    EXPECT_TRUE(reporter.populateCrashReportDirectory(&error)) << "folders that exist already";
}

TEST(ZVCrashReporterTest, AFileInTheWayOfTheFoldersIsAnOperatingSystemError) {
    TestDirectory dir;
    dir.write("base", "not a folder");
    std::optional<ZVCrashReporterError> error;
    EXPECT_FALSE(reporterAt(dir / "base").populateCrashReportDirectory(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), ZVCrashReporterErrorDomain);
    EXPECT_EQ(error->code(), ZVCrashReporterErrorOperatingSystem);
    ASSERT_TRUE(error->underlyingError());
    EXPECT_EQ(error->underlyingError()->code(), ENOTDIR);
}

TEST(ZVCrashReporterTest, PendingReportIsFoundLoadedAndPurged) {
    TestDirectory dir;
    ZVCrashReporter reporter = reporterAt(dir.path());
    std::optional<ZVCrashReporterError> error;
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    EXPECT_EQ(reporter.loadPendingCrashReportData(&error), std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->underlyingError()->code(), ENOENT);
    EXPECT_FALSE(reporter.purgePendingCrashReport());

    ASSERT_TRUE(reporter.populateCrashReportDirectory());
    std::ofstream(reporter.crashReportPath(), std::ios::binary) << std::string("zvcrash\x01\x00\xff", 10);
    EXPECT_TRUE(reporter.hasPendingCrashReport());
    EXPECT_EQ(reporter.loadPendingCrashReportData(), (std::vector<uint8_t>{'z', 'v', 'c', 'r', 'a', 's', 'h', 1, 0, 0xff}));
    EXPECT_TRUE(reporter.purgePendingCrashReport());
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    EXPECT_FALSE(std::filesystem::exists(reporter.crashReportPath()));
}

TEST(ZVCrashReporterTest, TakesIdentityFromTheBundle) {
    TestDirectory dir;
    using Dict = PlistValue::Dictionary;
    dir.write("Full.app/Contents/Info.plist", velmo::PropertyList::toXML(Dict{
                                                  {"CFBundleIdentifier", "com.example.full"},
                                                  {"CFBundleVersion", "812"},
                                                  {"CFBundleShortVersionString", "3.1"},
                                              }));
    dir.write("NoVersion.app/Contents/Info.plist", velmo::PropertyList::toXML(Dict{{"CFBundleIdentifier", "com.example.bare"}}));
    velmo::LogCapture log;

    ZVCrashReporter full(velmo::Bundle(dir / "Full.app"), ZVCrashReporterConfig(dir.path()));
    EXPECT_EQ(full.applicationIdentifier(), "com.example.full");
    EXPECT_EQ(full.applicationVersion(), "812");
    EXPECT_EQ(full.applicationMarketingVersion(), "3.1");
    EXPECT_TRUE(log.linesStartingWith("[ZVCrashReporter]").empty());

    ZVCrashReporter bare(velmo::Bundle(dir / "NoVersion.app"), ZVCrashReporterConfig(dir.path()));
    EXPECT_EQ(bare.applicationVersion(), "");
    EXPECT_EQ(bare.applicationMarketingVersion(), std::nullopt);
    EXPECT_TRUE(log.contains("[ZVCrashReporter] Warning -- bundle version unavailable"));

    log.clear();
    ZVCrashReporter missing(velmo::Bundle(dir / "Missing.app"), ZVCrashReporterConfig(dir.path()));
    EXPECT_EQ(missing.applicationIdentifier(), program_invocation_short_name);
    EXPECT_TRUE(
        log.contains(std::string("[ZVCrashReporter] Warning -- bundle identifier, using process name ") + program_invocation_short_name));
}

TEST(ZVCrashReporterTest, WithoutIdentifierOrProcessNameRefusesToBeMade) {
    TestDirectory dir;
    char* const saved = program_invocation_short_name;
    char empty[] = "";
    program_invocation_short_name = empty;
    try {
        ZVCrashReporter reporter(velmo::Bundle(dir / "Missing.app"), ZVCrashReporterConfig(dir.path()));
        ADD_FAILURE() << "made a reporter without a name";
    } catch (const ZVCrashReporterException& exception) {
        EXPECT_STREQ(exception.reason(), "Can not determine process identifier or process name");
        EXPECT_STREQ(ZVCrashReporterException::name, "ZVCrashReporterException");
    }
    program_invocation_short_name = saved;
}

TEST(ZVCrashReporterTest, SymbolicationStrategyKeepsTheTwoKnownBits) {
    const std::pair<uint64_t, uint32_t> cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 0}, {7, 3}, {0xffffffffffffffffull, 3}};
    for (auto [strategy, mapped] : cases) EXPECT_EQ(ZVCrashReporter::mapToAsyncSymbolicationStrategy(strategy), mapped) << strategy;
}

TEST(ZVCrashReporterTest, CustomDataIsKept) {
    ZVCrashReporter reporter = reporterAt("/base");
    EXPECT_EQ(reporter.customData(), std::nullopt);
    reporter.setCustomData(std::vector<uint8_t>{1, 2, 3});
    EXPECT_EQ(reporter.customData(), (std::vector<uint8_t>{1, 2, 3}));
    reporter.setCustomData(std::nullopt);
    EXPECT_EQ(reporter.customData(), std::nullopt);
}

TEST(ZVCrashReporterTest, CallbacksOfAnUnknownVersionAreRefused) {
    ZVCrashReporter reporter = reporterAt("/base");
    EXPECT_THROW(reporter.setCrashCallbacks({1, nullptr, nullptr}), std::invalid_argument);
    EXPECT_NO_THROW(reporter.setCrashCallbacks({0, nullptr, nullptr}));
}

// Enabling is once per process: each of these runs in a child of its own.
TEST(ZVCrashReporterTest, OnlyTheFirstEnableOfTheProcessGetsThrough) {
    TestDirectory dir;
    auto outcome = runInChild([&](int out) {
        ZVCrashReporter first = reporterAt(dir / "a");
        ZVCrashReporter second = reporterAt(dir / "b");
        std::optional<ZVCrashReporterError> error;
        if (!first.enableCrashReporter(&error)) return writeText(out, "first failed;");
        if (!first.enabled()) writeText(out, "not marked;");
        for (ZVCrashReporter* reporter : {&first, &second}) {
            error.reset();
            const bool again = reporter->enableCrashReporter(&error);
            if (!again && error && error->code() == ZVCrashReporterErrorResourceBusy &&
                error->localizedDescription() == "A ZVCrashReporter instance has already been enabled") {
                writeText(out, "busy;");
            }
        }
        try {
            first.setCrashCallbacks({0, nullptr, nullptr});
        } catch (const ZVCrashReporterException& exception) {
            if (std::string(exception.reason()) == "The crash reporter has already been enabled") writeText(out, "callbacks refused;");
        }
        second.setCrashCallbacks({0, nullptr, nullptr});
        writeText(out, "done");
    });
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ(outcome.output, "busy;busy;callbacks refused;done");
}

TEST(ZVCrashReporterTest, AFailedFirstEnableStillUsesUpTheProcessesOneAttempt) {
    TestDirectory dir;
    dir.write("file", "in the way");
    auto outcome = runInChild([&](int out) {
        std::optional<ZVCrashReporterError> error;
        ZVCrashReporter blocked = reporterAt(dir / "file");
        if (!blocked.enableCrashReporter(&error) && error && error->code() == ZVCrashReporterErrorOperatingSystem) {
            writeText(out, "failed;");
        }
        if (blocked.enabled()) writeText(out, "marked;");
        error.reset();
        ZVCrashReporter fine = reporterAt(dir / "fine");
        if (!fine.enableCrashReporter(&error) && error && error->code() == ZVCrashReporterErrorResourceBusy) writeText(out, "busy");
    });
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ(outcome.output, "failed;busy");
}

TEST(ZVCrashReporterTest, MachHandlerTypeFallsBackToSignalsWithOneLogLine) {
    TestDirectory dir;
    auto outcome = runInChild([&](int out) {
        velmo::LogCapture log;
        ZVCrashReporter reporter("id", "1", std::nullopt, ZVCrashReporterConfig(1, 0, dir.path()));
        if (!reporter.enableCrashReporter()) return writeText(out, "failed");
        for (const std::string& line : log.linesStartingWith("[ZVCrashReporter]")) writeText(out, (line + "\n").c_str());
        struct sigaction action = {};
        sigaction(SIGSEGV, nullptr, &action);
        if ((action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction != nullptr) writeText(out, "handler installed");
    });
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ(outcome.output,
              "[ZVCrashReporter] Mach exception handling is not available on Linux; crashes are caught with POSIX signal handlers\n"
              "handler installed");
}

TEST(ZVCrashReporterTest, AnUnknownHandlerTypeInstallsNoHandler) {
    TestDirectory dir;
    auto outcome = runInChild([&](int out) {
        const int signals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};
        // A sanitizer may have handlers of its own in place: they must stay.
        void* before[6];
        for (int i = 0; i < 6; ++i) {
            struct sigaction action = {};
            sigaction(signals[i], nullptr, &action);
            before[i] = reinterpret_cast<void*>(action.sa_sigaction);
        }
        ZVCrashReporter reporter("id", "1", std::nullopt, ZVCrashReporterConfig(2, 0, false, dir.path()));
        if (!reporter.enableCrashReporter()) return writeText(out, "failed");
        for (int i = 0; i < 6; ++i) {
            struct sigaction action = {};
            sigaction(signals[i], nullptr, &action);
            if (reinterpret_cast<void*>(action.sa_sigaction) != before[i]) writeText(out, "installed;");
        }
        if (reporter.enabled()) writeText(out, "enabled");
    });
    EXPECT_TRUE(outcome.exited(0)) << outcome.describe();
    EXPECT_EQ(outcome.output, "enabled");
}

// The raw message behind a stored report, for the fields the report model leaves out.
bool userRequested(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 8) return false;
    Zvcrash__CrashReport* message = zvcrash__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8);
    if (message == nullptr) return false;
    const bool requested = message->report_info != nullptr && message->report_info->user_requested;
    zvcrash__crash_report__free_unpacked(message, nullptr);
    return requested;
}

TEST(ZVCrashReporterTest, LiveReportOfTheCallingThreadIsAUserRequestedTrap) {
    TestDirectory dir;
    ScopedEnv tmp("TMPDIR", dir.path().c_str());
    ZVCrashReporter reporter = reporterAt(dir / "base");
    reporter.setCustomData(std::vector<uint8_t>{'h', 'i'});
    std::optional<ZVCrashReporterError> error;
    auto bytes = reporter.generateLiveReport(&error);
    ASSERT_TRUE(bytes) << (error ? error->description() : "");
    EXPECT_TRUE(userRequested(*bytes));
    auto report = ZVCrashReport::fromData(*bytes);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGTRAP");
    EXPECT_EQ(report->signalInfo().code(), "TRAP_TRACE");
    EXPECT_EQ(report->customData(), (std::vector<uint8_t>{'h', 'i'}));
    EXPECT_EQ(report->applicationInfo().applicationIdentifier(), "app.velmo.test");
    size_t crashed = 0;
    for (const auto& thread : report->threads()) crashed += thread.crashed() ? 1 : 0;
    EXPECT_EQ(crashed, 1u);
    // The temporary file is gone.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().rfind("live_crash_report.", 0), std::string::npos) << entry.path();
    }
}

TEST(ZVCrashReporterTest, LiveReportOfAnotherThreadCarriesItsException) {
    ZVCrashReporter reporter = reporterAt("/base");
    std::atomic<pid_t> tid{0};
    std::atomic<bool> stop{false};
    std::thread other([&] {
        tid = gettid();
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (tid == 0) std::this_thread::yield();
    ZVCrashReporterExceptionInfo exception = ZVCrashReporterExceptionInfo::fromException(std::make_exception_ptr(std::out_of_range("far")));
    EXPECT_EQ(exception.name, "std::out_of_range");
    std::optional<ZVCrashReporterError> error;
    auto bytes = reporter.generateLiveReportWithThread(tid, &exception, &error);
    stop = true;
    other.join();
    ASSERT_TRUE(bytes) << (error ? error->description() : "");
    auto report = ZVCrashReport::fromData(*bytes);
    ASSERT_TRUE(report);
    ASSERT_TRUE(report->exceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "std::out_of_range");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "far");
}

TEST(ZVCrashReporterTest, LiveReportPastTheByteLimitFailsInsteadOfReturningACutReport) {
    TestDirectory dir;
    velmo::LogCapture log;
    ZVCrashReporter reporter("id", "1", std::nullopt, ZVCrashReporterConfig(0, 0, true, dir.path(), 200));
    std::optional<ZVCrashReporterError> error;
    EXPECT_EQ(reporter.generateLiveReport(&error), std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ZVCrashReporterErrorUnknown);
    EXPECT_EQ(error->localizedDescription(), "Failed to write the crash report to disk");
    EXPECT_EQ(log.linesStartingWith("[ZVCrashReporter] Write failed with error ").size(), 1u);
}

TEST(ZVCrashReporterTest, LiveReportWithoutATemporaryFolderFails) {
    ScopedEnv tmp("TMPDIR", "/nonexistent/velmo");
    ZVCrashReporter reporter = reporterAt("/base");
    std::optional<ZVCrashReporterError> error;
    EXPECT_EQ(reporter.generateLiveReport(&error), std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ZVCrashReporterErrorOperatingSystem);
    EXPECT_EQ(error->localizedDescription(), "Failed to create temporary path");
    EXPECT_EQ(error->underlyingError()->code(), ENOENT);
}

}  // namespace
}  // namespace zvcrash
