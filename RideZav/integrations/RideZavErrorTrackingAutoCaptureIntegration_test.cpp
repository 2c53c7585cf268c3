#include "RideZav/integrations/RideZavErrorTrackingAutoCaptureIntegration.h"

#include <gtest/gtest.h>

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "RideZav/core/InternalRideZavError.h"
#include "RideZav/core/RideZavUtils.h"
#include "RideZav/integrations/IntegrationTesting.h"
#include "RideZav/storage/RideZavStorage.h"
#include "crashreporter/ZVCrashReporter.h"
#include "crashreporter/async/zvcrash_writer_pack.h"
#include "crashreporter/report/ZVCrashReportTesting.h"
#include "platform/base/LogCapture.h"

namespace ridezav {
namespace {

using Integration = RideZavErrorTrackingAutoCaptureIntegration;

// What the simulated reporters of one test share: the stored report and what was done to it.
struct SimulatedCrashStore {
    std::optional<std::vector<std::uint8_t>> pending;
    int reportersMade = 0;
    int purges = 0;
    int enabled = 0;
    bool enabledInProcess = false;  // like the real one: one enabled reporter per process
    std::optional<std::string> customData;
};

class SimulatedCrashReporter final : public ErrorTrackingCrashReporter {
public:
    explicit SimulatedCrashReporter(std::shared_ptr<SimulatedCrashStore> store)
        : store_(std::move(store)) {}
    bool hasPendingCrashReport() override { return store_->pending.has_value(); }
    std::optional<std::vector<std::uint8_t>> loadPendingCrashReportData(std::optional<std::string>&) override { return store_->pending; }
    bool purgePendingCrashReport() override {
        ++store_->purges;
        return std::exchange(store_->pending, std::nullopt).has_value();
    }
    bool enableCrashReporter(std::optional<std::string>& failure) override {
        if (store_->enabledInProcess) {
            failure = "A ZVCrashReporter instance has already been enabled";
            return false;
        }
        store_->enabledInProcess = true;
        ++store_->enabled;
        return true;
    }
    void setCustomData(std::vector<std::uint8_t> data) override { store_->customData = std::string(data.begin(), data.end()); }

private:
    std::shared_ptr<SimulatedCrashStore> store_;
};

zvcrash::ZVCrashReport crashReport(std::optional<std::string> customData, std::optional<Date> timestamp) {
    const zvcrash::ZVCrashReportProcessorInfo x86_64(1, 0x1000007, 3);
    std::optional<std::vector<std::uint8_t>> custom;
    if (customData) custom.emplace(customData->begin(), customData->end());
    return zvcrash::ZVCrashReport(
        zvcrash::ZVCrashReportSystemInfo(ZVCRASH_OS_LINUX, "6.1.0", ZVCRASH_ARCH_X86_64, timestamp), std::nullopt,
        zvcrash::ZVCrashReportApplicationInfo("com.example.velmo", "1", std::nullopt), std::nullopt,
        zvcrash::ZVCrashReportSignalInfo("SIGSEGV", "SEGV_MAPERR", 0), std::nullopt,
        {zvcrash::ZVCrashReportThreadInfo(1, {zvcrash::ZVCrashReportStackFrameInfo(0x401010, std::nullopt)}, true, {})},
        {zvcrash::ZVCrashReportBinaryImageInfo(x86_64, 0x400000, 0x10000, "/opt/velmo/Velmo", std::vector<std::uint8_t>(16, 0xAB))},
        std::nullopt, std::move(custom), std::nullopt);
}

class ErrorTrackingTest : public testing::Test {
protected:
    ErrorTrackingTest() {
        previousMaker_ = Integration::setCrashReporterMakerForTesting([store = store] {
            ++store->reportersMade;
            return std::make_unique<SimulatedCrashReporter>(store);
        });
        Integration::setDebuggerCheckForTesting([this] { return traced; });
        RideZavLog::setDebug(true);
    }
    ~ErrorTrackingTest() override {
        for (auto& sdk : facades_) sdk->close();
        Integration::setCrashReporterMakerForTesting(std::move(previousMaker_));
        Integration::setDebuggerCheckForTesting(nullptr);
    }

    // A facade that installs nothing by itself; the tests install the integration.
    std::shared_ptr<RideZavSDK> facade(bool remotelyOn = true) {
        RideZavConfig config = env.config("phc_errors_" + std::to_string(facades_.size()));
        config.disableRemoteConfigForTesting = true;
        config.captureApplicationLifecycleEvents = false;
        config.debug = true;
        if (remotelyOn) RideZavStorage(config).setJSON(StorageKey::errorTracking, Object{{"autocaptureExceptions", true}});
        auto sdk = RideZavSDK::create(config);
        sdk->setIntegrationFactory([](const RideZavConfig&) { return std::vector<std::unique_ptr<RideZavIntegration>>{}; });
        sdk->setup(config);
        facades_.push_back(sdk);
        return sdk;
    }

    void storeReport(const zvcrash::ZVCrashReport& report) { store->pending = zvcrash::testing::encodeCrashReport(report); }

    std::vector<std::string> lines(std::string_view prefix = "[RideZav] ") const { return logs.linesStartingWith(prefix); }
    bool logged(std::string_view line) const { return logs.contains(std::string("[RideZav] ") + std::string(line)); }

    test::IntegrationEnvironment env;
    velmo::LogCapture logs;
    std::shared_ptr<SimulatedCrashStore> store = std::make_shared<SimulatedCrashStore>();
    bool traced = false;

private:
    Integration::CrashReporterMaker previousMaker_;
    std::vector<std::shared_ptr<RideZavSDK>> facades_;
};

TEST_F(ErrorTrackingTest, NothingStoredRemotelyRefusesTheInstallAndMakesNoReporter) {
    auto sdk = facade(false);
    Integration integration;
    try {
        integration.install(*sdk);
        FAIL() << "installed";
    } catch (const InternalRideZavError& error) {
        EXPECT_TRUE(error.description.starts_with("Error tracking auto capture integration disabled in remote config. ("))
            << error.description;
    }
    EXPECT_EQ(store->reportersMade, 0);
    EXPECT_FALSE(integration.hasCrashReporter());
    // The refusal took nothing: another install is not "already installed".
    RideZavStorage(*sdk->config()).setJSON(StorageKey::errorTracking, Object{{"autocaptureExceptions", true}});
    auto remotelyOn = facade();
    EXPECT_NO_THROW(integration.install(*remotelyOn));
    integration.uninstall(*remotelyOn);
}

TEST_F(ErrorTrackingTest, OneFacadePerProcessAndAfterUninstallANewInstallProcessesTheReportButOnlyLogsItsEnableFailure) {
    auto first = facade();
    auto second = facade();
    Integration a, b;
    a.install(*first);
    EXPECT_EQ(store->enabled, 1);
    EXPECT_TRUE(logged("ZVCrashReporter enabled successfully"));
    try {
        b.install(*second);
        FAIL() << "installed twice";
    } catch (const InternalRideZavError& error) {
        EXPECT_TRUE(
            error.description.starts_with("Error tracking auto capture integration already installed to another RideZavSDK instance. ("))
            << error.description;
    }
    EXPECT_EQ(store->reportersMade, 1);

    a.uninstall(*first);
    EXPECT_FALSE(a.hasCrashReporter());
    storeReport(crashReport(std::nullopt, std::nullopt));
    EXPECT_NO_THROW(b.install(*second));
    EXPECT_EQ(store->reportersMade, 2);
    EXPECT_TRUE(logged("Found pending crash report, processing..."));
    EXPECT_TRUE(logged("Crash report processed and captured"));
    EXPECT_FALSE(store->pending);
    EXPECT_EQ(second->queueDepth(), 1u);
    const auto enableFailures = lines("[RideZav] Failed to enable ZVCrashReporter: ");
    ASSERT_EQ(enableFailures.size(), 1u);
    EXPECT_NE(enableFailures[0].find("A ZVCrashReporter instance has already been enabled"), std::string::npos);
    EXPECT_TRUE(b.hasCrashReporter());
    b.uninstall(*second);
}

TEST_F(ErrorTrackingTest, TheCustomDataGivesTheDistinctIdAndSessionWhileTheExceptionLevelStaysFatal) {
    const Date crashedAt = std::chrono::sys_days(std::chrono::year(2026) / 12 / 10) + std::chrono::hours(3);
    storeReport(crashReport(R"({"distinct_id":"u1","event_properties":{"$session_id":"s-first","$exception_level":"error","plan":"pro"}})",
                            crashedAt));
    auto sdk = facade();
    Integration integration;
    integration.install(*sdk);
    const auto events = env.events();
    ASSERT_EQ(events.size(), 1u);
    const RideZavEvent& event = events[0];
    EXPECT_EQ(event.event, "$exception");
    EXPECT_EQ(event.distinctId, "u1");
    EXPECT_EQ(event.timestamp, crashedAt);
    EXPECT_EQ(*event.properties.find("$session_id"), Value("s-first"));
    EXPECT_EQ(*event.properties.find("plan"), Value("pro"));
    EXPECT_EQ(*event.properties.find("$exception_level"), Value("fatal"));
    const Object& exception = *event.properties.find("$exception_list")->get<Array>()->front().get<Object>();
    EXPECT_EQ(*exception.find("type"), Value("SIGSEGV"));
    ASSERT_TRUE(event.properties.contains("$debug_images"));
    EXPECT_EQ(sdk->queueDepth(), 1u);
    EXPECT_FALSE(store->pending);
    integration.uninstall(*sdk);
}

TEST_F(ErrorTrackingTest, WithoutUsableCustomDataTheEventHasTheFacadesDistinctIdTheExceptionPropertiesAloneAndTheProcessingTime) {
    for (std::optional<std::string> custom :
         {std::optional<std::string>(), std::optional<std::string>("not json"), std::optional<std::string>("[1]"),
          std::optional<std::string>(R"({"distinct_id":7,"event_properties":"x"})")}) {
        auto sdk = facade();
        storeReport(crashReport(custom, std::nullopt));
        Integration integration;
        const Date before = std::chrono::system_clock::now();
        integration.install(*sdk);
        const Date after = std::chrono::system_clock::now();
        const auto events = env.events();
        ASSERT_EQ(events.size(), 1u) << custom.value_or("<none>");
        EXPECT_EQ(events[0].distinctId, sdk->getDistinctId());
        std::vector<std::string> keys;
        for (const auto& [key, value] : events[0].properties) keys.push_back(key);
        EXPECT_EQ(keys, (std::vector<std::string>{"$exception_level", "$exception_list", "$debug_images"})) << custom.value_or("<none>");
        EXPECT_GE(events[0].timestamp, before);
        EXPECT_LE(events[0].timestamp, after);
        integration.uninstall(*sdk);
        store->enabledInProcess = false;
    }
}

TEST_F(ErrorTrackingTest, UndecodableBytesAreLoggedAndPurgedWithoutAnEvent) {
    store->pending = std::vector<std::uint8_t>{'n', 'o', 't', ' ', 'a', ' ', 'r', 'e', 'p', 'o', 'r', 't'};
    auto sdk = facade();
    Integration integration;
    integration.install(*sdk);
    EXPECT_EQ(lines("[RideZav] Failed to process crash report: ").size(), 1u);
    EXPECT_FALSE(store->pending);
    EXPECT_TRUE(env.events().empty());
    EXPECT_EQ(sdk->queueDepth(), 0u);
    EXPECT_EQ(store->enabled, 1);  // the handlers still go in
    integration.uninstall(*sdk);
}

TEST_F(ErrorTrackingTest, OptedOutPurgesTheReportWithoutAnEvent) {
    storeReport(crashReport(R"({"distinct_id":"u1"})", std::nullopt));
    auto sdk = facade();
    sdk->optOut();
    logs.clear();
    Integration integration;
    integration.install(*sdk);
    EXPECT_TRUE(logged("RideZav is in OptOut state."));
    EXPECT_TRUE(logged("Crash report processed and captured"));
    EXPECT_FALSE(store->pending);
    EXPECT_TRUE(env.events().empty());
    EXPECT_EQ(sdk->queueDepth(), 0u);
    integration.uninstall(*sdk);
}

TEST_F(ErrorTrackingTest, ATracedProcessGetsAReporterAndItsReportProcessedButNoHandlers) {
    traced = true;
    storeReport(crashReport(std::nullopt, std::nullopt));
    auto sdk = facade();
    Integration integration;
    integration.install(*sdk);
    EXPECT_TRUE(integration.hasCrashReporter());
    EXPECT_EQ(env.events().size(), 1u);
    EXPECT_FALSE(store->pending);
    EXPECT_EQ(store->enabled, 0);
    EXPECT_TRUE(logged("Crash handler is disabled because a debugger is attached. Crashes will be caught by the debugger instead."));
    integration.uninstall(*sdk);
}

TEST_F(ErrorTrackingTest, AnEventFileThatCannotBeWrittenKeepsTheReportForTheNextLaunch) {
    storeReport(crashReport(std::nullopt, std::nullopt));
    auto sdk = facade();
    // The queue folder gone and a file in its place: no event file can be made there, even by root.
    const auto folder = RideZavStorage(*sdk->config()).url(StorageKey::queue);
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "not a folder";
    Integration integration;
    integration.install(*sdk);
    EXPECT_TRUE(store->pending);
    EXPECT_EQ(store->purges, 0);
    EXPECT_TRUE(logged("Crash report processed, but its event could not be written; the report is kept for the next launch"));
    EXPECT_FALSE(logged("Crash report processed and captured"));
    integration.uninstall(*sdk);
}

TEST_F(ErrorTrackingTest, ContextChangesBecomeCompactJSONCustomDataOnlyWhileInstalled) {
    auto sdk = facade();
    Integration integration;
    const Object context{{"distinct_id", "u1"}, {"event_properties", Object{{"$session_id", "s1"}}}};
    integration.eventContextDidChange(context);
    EXPECT_FALSE(store->customData);
    integration.install(*sdk);
    integration.eventContextDidChange(context);
    EXPECT_EQ(store->customData, R"({"distinct_id":"u1","event_properties":{"$session_id":"s1"}})");
    integration.uninstall(*sdk);
    integration.eventContextDidChange(Object{{"distinct_id", "u2"}});
    EXPECT_EQ(store->customData, R"({"distinct_id":"u1","event_properties":{"$session_id":"s1"}})");
}

TEST_F(ErrorTrackingTest, TheFacadeHandsItsContextToTheInstalledIntegration) {
    RideZavConfig config = env.config("phc_errors_facade");
    config.disableRemoteConfigForTesting = true;
    config.captureApplicationLifecycleEvents = false;
    config.errorTrackingConfig().autoCapture = true;
    config.debug = true;
    RideZavStorage(config).setJSON(StorageKey::errorTracking, Object{{"autocaptureExceptions", true}});
    auto sdk = env.setUp(config);
    EXPECT_TRUE(logged("Integration RideZavErrorTrackingAutoCaptureIntegration installed"));
    sdk->identify("u1");
    ASSERT_TRUE(store->customData);
    const auto custom = parseJSON(*store->customData);
    ASSERT_TRUE(custom && custom->get<Object>());
    EXPECT_EQ(*custom->get<Object>()->find("distinct_id"), Value("u1"));
    EXPECT_TRUE(custom->get<Object>()->find("event_properties")->get<Object>()->contains("$session_id"));
    sdk->close();
}

TEST_F(ErrorTrackingTest, TheCrashReportersOwnPendingReportIsProcessedAndRemoved) {
    velmo::test::TestDirectory caches;
    velmo::test::EnvironmentVariable cacheHome("XDG_CACHE_HOME", caches.path());
    Integration::setCrashReporterMakerForTesting(nullptr);  // the real reporter
    traced = true;  // its handlers stay out of the test process
    const zvcrash::ZVCrashReporter located(velmo::Bundle::main(), zvcrash::ZVCrashReporterConfig());
    const auto bytes = zvcrash::testing::encodeCrashReport(crashReport(R"({"distinct_id":"u7"})", std::nullopt));
    std::filesystem::create_directories(located.crashReportDirectory());
    std::ofstream(located.crashReportPath(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    auto sdk = facade();
    Integration integration;
    integration.install(*sdk);
    EXPECT_TRUE(integration.hasCrashReporter());
    const auto events = env.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].distinctId, "u7");
    EXPECT_FALSE(std::filesystem::exists(located.crashReportPath()));
    integration.uninstall(*sdk);
}

TEST(ErrorTrackingDebuggerCheck, TheTracerPidLineSaysWhetherATracerIsAttached) {
    struct Case {
        const char* status;
        std::optional<bool> traced;
    } cases[] = {
        {"Name:\tvelmo\nTracerPid:\t0\nUid:\t0\n", false},
        {"Name:\tvelmo\nTracerPid:\t4242\n", true},
        {"TracerPid: 17", true},
        {"Name:\tvelmo\n", std::nullopt},
        {"TracerPid:\t\n", std::nullopt},
        {"NotTracerPid:\t5\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(Integration::tracerIn(c.status), c.traced) << c.status;
}

TEST(ErrorTrackingDebuggerCheck, ThisProcessIsNotTracedButAChildThatAsksForATracerIs) {
    EXPECT_FALSE(Integration::isDebuggerAttached());
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);
        char answer = ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 ? 'e' : Integration::isDebuggerAttached() ? 'y' : 'n';
        (void)!write(pipeFds[1], &answer, 1);
        _exit(0);
    }
    close(pipeFds[1]);
    char answer = 0;
    EXPECT_EQ(read(pipeFds[0], &answer, 1), 1);
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(answer, 'y');
}

}  // namespace
}  // namespace ridezav
