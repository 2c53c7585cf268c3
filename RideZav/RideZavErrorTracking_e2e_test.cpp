// A crash of one run arrives as a "$exception" event of the next. The runs are this binary
// re-executed: one that learns the remote configuration, one that crashes for real, and one that
// finds the report and uploads its event to the loopback ingestion server.
#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "RideZav/RideZavSDK.h"
#include "RideZav/delivery/RideZavRemoteConfig.h"
#include "RideZav/exceptions/ElfBuildIdTesting.h"
#include "RideZav/exceptions/LoadedBinaryImages.h"
#include "RideZav/exceptions/RideZavBinaryImageInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/runtime/MainLoop.h"
#include "testing/EnvironmentVariable.h"
#include "testing/LoopbackIngestionServer.h"

using namespace std::chrono_literals;

// The functions the events must point into, found by name through the executable's dynamic symbols.
extern "C" {
volatile int ridezav_e2e_sink = 0;
// The sanitizers must let the store fault, as it would in a release build.
__attribute__((noinline, no_sanitize_undefined)) void ridezav_e2e_dereferences_null() {
    volatile int* volatile target = nullptr;
    *target = 1;
    ridezav_e2e_sink = ridezav_e2e_sink + 1;
}
__attribute__((noinline)) void ridezav_e2e_throws() {
    throw std::runtime_error("boom");
    ridezav_e2e_sink = ridezav_e2e_sink + 1;
}
}

namespace {

using velmo::test::LoopbackIngestionServer;
namespace fs = std::filesystem;

constexpr const char* kApiKey = "phc_errors_e2e";
constexpr const char* kBundleId = "com.example.velmo";
constexpr int kReportFd = 3;  // where the crashing run writes its session id

ridezav::RideZavConfig childConfig(const std::string& host) {
    ridezav::RideZavConfig config(kApiKey, host);
    config.disableReachabilityForTesting = true;
    config.captureApplicationLifecycleEvents = false;
    config.errorTrackingConfig().autoCapture = true;
    config.debug = true;
    return config;
}

std::shared_ptr<velmo::RealMainLoop>& childLoop() {
    static auto* loop = new std::shared_ptr<velmo::RealMainLoop>(std::make_shared<velmo::RealMainLoop>());  // the child's life
    return *loop;
}

std::shared_ptr<ridezav::RideZavSDK> setUpChild(const std::string& host) {
    velmo::MainLoop::install(childLoop());
    auto config = childConfig(host);
    auto sdk = ridezav::RideZavSDK::create(config);
    sdk->setup(config);
    return sdk;
}

velmo::RealMainLoop& mainLoop() { return *childLoop(); }

// Sets up, and waits until the remote configuration that turns exception capture on is stored.
[[noreturn]] void configChild(const std::string& host) {
    auto sdk = setUpChild(host);
    const bool learnt = mainLoop().runUntil([&] { return sdk->remoteConfig() && sdk->remoteConfig()->autoCaptureExceptions(); }, 30s);
    _exit(learnt ? 0 : 1);
}

// Identifies, captures, writes its session id, then crashes as asked ("segv" or "throw").
[[noreturn]] void crashChild(const std::string& host, const std::string& how) {
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::alarm(60);
    auto sdk = setUpChild(host);
    sdk->identify("u1");
    sdk->capture("before_crash");
    const std::string session = sdk->getSessionId().value_or("") + "\n";
    if (::write(kReportFd, session.data(), session.size()) != static_cast<ssize_t>(session.size())) _exit(3);
    if (how == "segv") ridezav_e2e_dereferences_null();
    if (how == "throw") ridezav_e2e_throws();
    _exit(4);
}

// Sets up (which turns the pending report into an event) and flushes until the queue is empty.
[[noreturn]] void reportChild(const std::string& host) {
    ::alarm(90);
    auto sdk = setUpChild(host);
    velmo::WorkItem tick;
    std::function<void()> flushAgain = [&] {
        sdk->flush();
        tick = velmo::MainLoop::postToMainAfter(0.02s, flushAgain);
    };
    flushAgain();
    const bool drained = mainLoop().runUntil([&] { return sdk->queueDepth() == 0; }, 60s);
    tick.cancel();
    _exit(drained ? 0 : 1);
}

pid_t startChild(const std::vector<std::string>& arguments, int reportFd) {
    std::vector<std::string> args{"/proc/self/exe"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Only async-signal-safe calls until exec: the parent has server threads.
    if (reportFd >= 0 && reportFd != kReportFd && ::dup2(reportFd, kReportFd) < 0) _exit(126);
    ::close_range(reportFd >= 0 ? kReportFd + 1 : kReportFd, ~0U, 0);
    ::execv(argv[0], argv.data());
    _exit(127);
}

int waitFor(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

// The program's offset range of a function of this binary: the same in every run of it.
struct Extent {
    std::uint64_t begin = 0, end = 0;
};
Extent offsetsOf(const void* function) {
    Dl_info info{};
    void* entry = nullptr;
    if (!dladdr1(function, &info, &entry, RTLD_DL_SYMENT) || !entry) return {};
    const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
    const auto start = reinterpret_cast<std::uint64_t>(info.dli_saddr) - reinterpret_cast<std::uint64_t>(info.dli_fbase);
    return {start, start + symbol->st_size};
}

std::uint64_t hexValue(const nlohmann::json& text) { return text.is_string() ? std::stoull(text.get<std::string>(), nullptr, 16) : 0; }

std::vector<fs::path> pendingReports(const fs::path& caches) {
    std::vector<fs::path> found;
    if (!fs::exists(caches)) return found;
    for (const auto& entry : fs::recursive_directory_iterator(caches))
        if (entry.path().filename() == "live_report.zvcrash") found.push_back(entry.path());
    return found;
}

struct Outcome {
    int configStatus = -1, crashStatus = -1, reportStatus = -1;
    std::string session;  // of the run that crashed
    bool reportLeftByCrash = false;
    bool reportLeftAtEnd = true;
    std::optional<nlohmann::json> exceptionEvent;
};

Outcome runCrashAndReport(const std::string& how) {
    Outcome out;
    velmo::test::TestDirectory home;
    velmo::test::EnvironmentVariable data("XDG_DATA_HOME", home / "data");
    velmo::test::EnvironmentVariable caches("XDG_CACHE_HOME", home / "cache");
    velmo::test::EnvironmentVariable configHome("XDG_CONFIG_HOME", home / "config");
    velmo::test::EnvironmentVariable homeDir("HOME", home / "home");
    velmo::PlistValue::Dictionary info{{"CFBundleIdentifier", std::string(kBundleId)},
                                       {"CFBundleExecutable", std::string(fs::path(ridezav::mainProgramPath()).filename())},
                                       {"CFBundleShortVersionString", std::string("1.2")},
                                       {"CFBundleVersion", std::string("34")}};
    home.write("Velmo.app/Contents/Info.plist", velmo::PropertyList::toXML(info));
    velmo::test::EnvironmentVariable bundle("VELMO_BUNDLE", home / "Velmo.app");

    LoopbackIngestionServer server;
    server.answer(LoopbackIngestionServer::Route::remoteConfig,
                  LoopbackIngestionServer::Answer::status(200, R"({"errorTracking":{"autocaptureExceptions":true}})"));

    out.configStatus = waitFor(startChild({"--ridezav-errors-child=config", server.origin()}, -1));

    int fds[2];
    if (::pipe(fds) != 0) return out;
    const pid_t crashing = startChild({"--ridezav-errors-child=crash", server.origin(), how}, fds[1]);
    ::close(fds[1]);
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.session.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    if (!out.session.empty() && out.session.back() == '\n') out.session.pop_back();
    out.crashStatus = waitFor(crashing);
    out.reportLeftByCrash = !pendingReports(home / "cache").empty();

    const auto batchesBefore = server.requestsOf(LoopbackIngestionServer::Route::batch).size();
    out.reportStatus = waitFor(startChild({"--ridezav-errors-child=report", server.origin()}, -1));
    out.reportLeftAtEnd = !pendingReports(home / "cache").empty();
    const auto batches = server.requestsOf(LoopbackIngestionServer::Route::batch);
    for (std::size_t i = batchesBefore; i < batches.size(); ++i) {
        if (!batches[i].json || !batches[i].json->contains("batch")) continue;
        for (const auto& event : (*batches[i].json)["batch"])
            if (event.value("event", std::string()) == "$exception") out.exceptionEvent = event;
    }
    return out;
}

// What both crashes must show: the crashed run's identity and session, the program's image with
// its build id, and no report left behind.
void expectAttributedEvent(const Outcome& out, const nlohmann::json& event) {
    EXPECT_EQ(event.value("distinct_id", std::string()), "u1");
    const auto& properties = event["properties"];
    EXPECT_FALSE(out.session.empty());
    EXPECT_EQ(properties.value("$session_id", std::string()), out.session);
    EXPECT_EQ(properties.value("$exception_level", std::string()), "fatal");
    const auto buildId = ridezav::test::buildIdByReadelf(ridezav::mainProgramPath());
    ASSERT_TRUE(buildId && buildId->size() >= 32);
    const std::string debugId = ridezav::normalizedImageUUID(buildId->substr(0, 32));
    bool programSeen = false;
    for (const auto& image : properties["$debug_images"]) {
        if (image.value("code_file", std::string()) != ridezav::mainProgramPath()) continue;
        programSeen = true;
        EXPECT_EQ(image.value("debug_id", std::string()), debugId);
        EXPECT_TRUE(image["image_size"].is_number());
    }
    EXPECT_TRUE(programSeen) << properties["$debug_images"].dump();
    EXPECT_TRUE(out.reportLeftByCrash);
    EXPECT_FALSE(out.reportLeftAtEnd);
}

// The program's image base in the report, to place the frames' addresses in this run.
std::uint64_t programBaseIn(const nlohmann::json& properties) {
    for (const auto& image : properties["$debug_images"])
        if (image.value("code_file", std::string()) == ridezav::mainProgramPath()) return hexValue(image["image_addr"]);
    return 0;
}

TEST(RideZavErrorTrackingAcrossRuns, ANullDereferenceArrivesAsASignalExceptionOfTheNextRun) {
    const Outcome out = runCrashAndReport("segv");
    EXPECT_EQ(out.configStatus, 0);
    ASSERT_TRUE(WIFSIGNALED(out.crashStatus)) << out.crashStatus;
    EXPECT_EQ(WTERMSIG(out.crashStatus), SIGSEGV);
    EXPECT_TRUE(WIFEXITED(out.reportStatus) && WEXITSTATUS(out.reportStatus) == 0) << out.reportStatus;
    ASSERT_TRUE(out.exceptionEvent) << "no \"$exception\" event arrived";
    const auto& event = *out.exceptionEvent;
    expectAttributedEvent(out, event);
    const auto& exception = event["properties"]["$exception_list"][0];
    EXPECT_EQ(exception.value("type", std::string()), "SIGSEGV");
    EXPECT_EQ(exception["mechanism"]["type"], "signal");
    EXPECT_EQ(exception["mechanism"]["meta"]["signal"]["name"], "SIGSEGV");
    const auto& frames = exception["stacktrace"]["frames"];
    ASSERT_FALSE(frames.empty());
    const Extent crashing = offsetsOf(reinterpret_cast<const void*>(&ridezav_e2e_dereferences_null));
    ASSERT_LT(crashing.begin, crashing.end);
    const std::uint64_t offset = hexValue(frames[0]["instruction_addr"]) - programBaseIn(event["properties"]);
    EXPECT_GE(offset, crashing.begin) << frames[0].dump();
    EXPECT_LT(offset, crashing.end) << frames[0].dump();
    EXPECT_EQ(frames[0]["in_app"], true);
}

TEST(RideZavErrorTrackingAcrossRuns, AnUncaughtExceptionArrivesWithItsTypeAndMessage) {
    const Outcome out = runCrashAndReport("throw");
    EXPECT_EQ(out.configStatus, 0);
    ASSERT_TRUE(WIFSIGNALED(out.crashStatus)) << out.crashStatus;
    EXPECT_EQ(WTERMSIG(out.crashStatus), SIGABRT);
    EXPECT_TRUE(WIFEXITED(out.reportStatus) && WEXITSTATUS(out.reportStatus) == 0) << out.reportStatus;
    ASSERT_TRUE(out.exceptionEvent) << "no \"$exception\" event arrived";
    const auto& event = *out.exceptionEvent;
    expectAttributedEvent(out, event);
    const auto& exception = event["properties"]["$exception_list"][0];
    EXPECT_EQ(exception.value("type", std::string()), "std::runtime_error");
    EXPECT_EQ(exception.value("value", std::string()), "boom");
    EXPECT_EQ(exception["mechanism"]["type"], "nsexception");
    // The stack taken when the exception ended the process still holds the throwing function.
    const Extent throwing = offsetsOf(reinterpret_cast<const void*>(&ridezav_e2e_throws));
    ASSERT_LT(throwing.begin, throwing.end);
    const std::uint64_t base = programBaseIn(event["properties"]);
    bool inThrower = false;
    for (const auto& frame : exception["stacktrace"]["frames"]) {
        const std::uint64_t offset = hexValue(frame["instruction_addr"]) - base;
        inThrower = inThrower || (offset > throwing.begin && offset <= throwing.end);  // return addresses
    }
    EXPECT_TRUE(inThrower) << exception["stacktrace"].dump();
}

}  // namespace

// A child runs its part instead of the tests: --ridezav-errors-child=config|crash|report ORIGIN [HOW].
int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--ridezav-errors-child=config") == 0) configChild(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "--ridezav-errors-child=crash") == 0) crashChild(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "--ridezav-errors-child=report") == 0) reportChild(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
