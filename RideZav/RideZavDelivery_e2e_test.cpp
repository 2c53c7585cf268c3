// The client's promise across crashes: an event whose capture returned is delivered even when
// the process is killed with SIGKILL right after. Children are forked and re-executed from this
// binary, so each one is a fresh process with one thread until the facade starts its own.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavTesting.h"
#include "platform/desktop/ApplicationNotifications.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/NotificationCenter.h"
#include "testing/EnvironmentVariable.h"
#include "testing/LoopbackIngestionServer.h"

using namespace std::chrono_literals;

namespace {

using velmo::test::LoopbackIngestionServer;
namespace fs = std::filesystem;

constexpr const char* kApiKey = "phc_delivery_e2e";
constexpr const char* kBundleId = "com.example.velmo";
constexpr int kRuns = 10;
constexpr int kEventsPerRun = 200;
constexpr int kAckFd = 3;  // where a capturing child finds its end of the pipe
constexpr std::size_t kUuidLength = 36;

ridezav::RideZavConfig childConfig(const std::string& host) {
    ridezav::RideZavConfig config(kApiKey, host);
    // Ten runs of 200 events must all fit: the default bound would drop the oldest on purpose.
    config.maxQueueSize = 100000;
    // The children share the machine's network state with everything else; loopback needs none.
    config.disableReachabilityForTesting = true;
    return config;
}

// A capturing child: sets the facade up as the application does, then captures `count` events,
// one per turn of the main loop, writing each uuid to the pipe once its capture has returned.
// Runs until it is killed.
[[noreturn]] void captureChild(const std::string& host, int run, int count) {
    auto loop = std::make_shared<velmo::RealMainLoop>();
    velmo::MainLoop::install(loop);
    auto config = childConfig(host);
    auto lastUuid = std::make_shared<std::string>();
    config.setBeforeSend({[lastUuid](ridezav::RideZavEvent event) -> std::optional<ridezav::RideZavEvent> {
        *lastUuid = event.uuid.uuidString();
        return event;
    }});
    auto sdk = ridezav::RideZavSDK::create(config);
    namespace N = velmo::ApplicationNotification;
    velmo::NotificationCenter::defaultCenter().post(N::didFinishLaunching);
    sdk->setup(config);
    velmo::NotificationCenter::defaultCenter().post(N::didBecomeActive);

    auto next = std::make_shared<std::function<void(int)>>();
    *next = [sdk, lastUuid, run, count, next](int n) {
        lastUuid->clear();
        sdk->capture("delivery_probe", ridezav::RideZavProperties{{"run", run}, {"n", n}});
        if (lastUuid->size() != kUuidLength) _exit(3);
        const std::string line = *lastUuid + "\n";  // shorter than PIPE_BUF: one atomic write
        if (::write(kAckFd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(4);
        if (n + 1 < count) velmo::MainLoop::postToMain([next, n] { (*next)(n + 1); });
    };
    loop->post([next] { (*next)(0); });
    loop->run();
    _exit(5);
}

// The flushing child: flushes until the queue is empty (exit 0) or a minute passed (exit 1);
// with `waitForFiles`, also waits a little for the remote configuration and flags files.
[[noreturn]] void flushChild(const std::string& host, bool waitForFiles) {
    auto loop = std::make_shared<velmo::RealMainLoop>();
    velmo::MainLoop::install(loop);
    auto config = childConfig(host);
    auto sdk = ridezav::RideZavSDK::create(config);
    sdk->setup(config);
    velmo::WorkItem tick;
    std::function<void()> flushAgain = [&] {
        sdk->flush();  // does nothing while a batch is in flight
        tick = velmo::MainLoop::postToMainAfter(0.02s, flushAgain);
    };
    flushAgain();
    const bool drained = loop->runUntil([&] { return sdk->queueDepth() == 0; }, 60s);
    if (waitForFiles) {
        const fs::path folder = fs::path(std::getenv("XDG_DATA_HOME")) / kBundleId / kApiKey;
        loop->runUntil([&] { return fs::exists(folder / "ridezav.remoteConfig") && fs::exists(folder / "ridezav.flags"); }, 30s);
    }
    tick.cancel();
    _exit(drained ? 0 : 1);
}

// Forks and re-executes this binary as a child of the given kind; `ackFd` (or -1) becomes fd 3.
pid_t startChild(const std::vector<std::string>& arguments, int ackFd) {
    std::vector<std::string> args{"/proc/self/exe"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Only async-signal-safe calls until exec: the parent has server threads.
    if (ackFd >= 0 && ackFd != kAckFd && ::dup2(ackFd, kAckFd) < 0) _exit(126);
    ::close_range(ackFd >= 0 ? kAckFd + 1 : kAckFd, ~0U, 0);  // nothing of the server's leaks in
    ::execv(argv[0], argv.data());
    _exit(127);
}

struct Figures {
    std::size_t acknowledged = 0;
    std::size_t delivered = 0;  // acknowledged uuids that arrived
    std::size_t duplicated = 0;  // arrivals beyond the first, over every uuid
    std::size_t lost = 0;  // acknowledged uuids that never arrived
    // Probe events that arrived though their uuid never reached the pipe: stored by a capture
    // that the kill cut short before it was acknowledged.
    std::size_t unacknowledged = 0;
};

struct Scenario {
    unsigned seed = 0;
    std::vector<std::size_t> acknowledgedPerRun;
    std::vector<int> killSignals;
    int flushExit = -1;
    std::vector<LoopbackIngestionServer::Request> deliveries;  // batch requests of the flushing run
    std::size_t refusedBatches = 0;  // batch requests of the capturing runs, closed unanswered
    std::set<std::string> acknowledged;
    std::map<std::string, int> arrivals;  // uuid -> times delivered
    std::map<std::string, int> eventNames;  // event name -> times delivered
    // Event name -> distinct events: delivery is at least once, so a batch whose answer was lost
    // arrives again, but each event was made once.
    std::map<std::string, std::set<std::string>> eventIds;
    Figures figures;
    std::size_t eventFilesLeft = 0;
    bool remoteConfigFile = false;
    bool flagsFile = false;
};

// Reads whole uuid lines from the pipe for up to `seconds`, stopping once `wanted` were read.
void readAcks(int fd, std::size_t wanted, double seconds, std::string& pending, std::set<std::string>& into, std::size_t& count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buffer[4096];
    while (count < wanted && std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            into.insert(pending.substr(0, end));
            pending.erase(0, end + 1);
            ++count;
        }
    }
}

Scenario runScenario(bool waitForFiles) {
    Scenario s;
    velmo::test::TestDirectory home;
    velmo::test::EnvironmentVariable data("XDG_DATA_HOME", home / "data");
    velmo::test::EnvironmentVariable configHome("XDG_CONFIG_HOME", home / "config");
    velmo::test::EnvironmentVariable homeDir("HOME", home / "home");
    velmo::PlistValue::Dictionary info{{"CFBundleIdentifier", std::string(kBundleId)},
                                       {"CFBundleShortVersionString", std::string("1.2")},
                                       {"CFBundleVersion", std::string("34")}};
    home.write("Velmo.app/Contents/Info.plist", velmo::PropertyList::toXML(info));
    velmo::test::EnvironmentVariable bundle("VELMO_BUNDLE", home / "Velmo.app");

    // The capturing runs and the flushing run have a server each, so a request of a killed child
    // that the server was still reading can never be taken for a delivery.
    LoopbackIngestionServer refusing;
    refusing.answer(LoopbackIngestionServer::Route::batch, LoopbackIngestionServer::Answer::closedWithoutReply());
    const char* seedText = std::getenv("VELMO_E2E_SEED");
    s.seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : std::random_device{}();
    std::mt19937 random(s.seed);

    for (int run = 0; run < kRuns; ++run) {
        int fds[2];
        if (::pipe(fds) != 0) return s;
        const pid_t child = startChild({"--ridezav-delivery-child=capture", refusing.origin(), std::to_string(run)}, fds[1]);
        ::close(fds[1]);
        // Killed after a random number of acknowledged events, then a random moment more.
        const auto wanted = std::uniform_int_distribution<std::size_t>(1, kEventsPerRun)(random);
        std::string pending;
        std::size_t count = 0;
        readAcks(fds[0], wanted, 30, pending, s.acknowledged, count);
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 5000)(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        // What it acknowledged before it died counts too: read to the end, as the child held the
        // only other end of the pipe.
        readAcks(fds[0], kEventsPerRun, 30, pending, s.acknowledged, count);
        ::close(fds[0]);
        s.acknowledgedPerRun.push_back(count);
        s.killSignals.push_back(WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status));
    }

    s.refusedBatches = refusing.requestsOf(LoopbackIngestionServer::Route::batch).size();

    LoopbackIngestionServer accepting;  // answers every batch with 200
    const pid_t flusher = startChild({"--ridezav-delivery-child=flush", accepting.origin(), waitForFiles ? "files" : "-"}, -1);
    int status = 0;
    ::waitpid(flusher, &status, 0);
    s.flushExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    s.deliveries = accepting.requestsOf(LoopbackIngestionServer::Route::batch);
    for (const auto& request : s.deliveries) {
        if (!request.json || !(*request.json).contains("batch")) continue;
        for (const auto& event : (*request.json)["batch"]) {
            ++s.eventNames[event.value("event", std::string())];
            s.eventIds[event.value("event", std::string())].insert(event.value("uuid", std::string()));
            ++s.arrivals[event.value("uuid", std::string())];
        }
    }
    s.figures.acknowledged = s.acknowledged.size();
    for (const auto& uuid : s.acknowledged) {
        if (s.arrivals.count(uuid))
            ++s.figures.delivered;
        else
            ++s.figures.lost;
    }
    for (const auto& [uuid, times] : s.arrivals) s.figures.duplicated += static_cast<std::size_t>(times - 1);
    if (const auto probes = s.eventIds.find("delivery_probe"); probes != s.eventIds.end())
        for (const auto& uuid : probes->second) s.figures.unacknowledged += s.acknowledged.count(uuid) ? 0 : 1;

    const fs::path folder = fs::path(home / "data") / kBundleId / kApiKey;
    // Event files and entries still pending in a journal alike.
    if (fs::exists(folder / "ridezav.queueFolder")) s.eventFilesLeft = ridezav::storedContents(folder / "ridezav.queueFolder").size();
    s.remoteConfigFile = fs::exists(folder / "ridezav.remoteConfig");
    s.flagsFile = fs::exists(folder / "ridezav.flags");
    return s;
}

TEST(RideZavDeliveryAcrossCrashes, EveryAcknowledgedEventArrivesAfterTenKilledRunsAndOneThatFlushes) {
    const Scenario s = runScenario(false);
    std::cout << "seed " << s.seed << "; acknowledged per run:";
    for (auto n : s.acknowledgedPerRun) std::cout << ' ' << n;
    std::cout << "\nacknowledged " << s.figures.acknowledged << ", delivered " << s.figures.delivered << ", duplicated "
              << s.figures.duplicated << ", lost " << s.figures.lost << ", stored but unacknowledged " << s.figures.unacknowledged
              << "; batches refused " << s.refusedBatches << ", delivered " << s.deliveries.size() << "; delivered by name:";
    for (const auto& [name, times] : s.eventNames) std::cout << " \"" << name << "\" " << times;
    std::cout << std::endl;
    RecordProperty("acknowledged", static_cast<int>(s.figures.acknowledged));
    RecordProperty("delivered", static_cast<int>(s.figures.delivered));
    RecordProperty("duplicated", static_cast<int>(s.figures.duplicated));
    RecordProperty("lost", static_cast<int>(s.figures.lost));
    RecordProperty("unacknowledged", static_cast<int>(s.figures.unacknowledged));

    ASSERT_EQ(s.acknowledgedPerRun.size(), static_cast<std::size_t>(kRuns));
    for (int sig : s.killSignals) EXPECT_EQ(sig, SIGKILL);
    for (auto n : s.acknowledgedPerRun) EXPECT_GE(n, 1u);
    EXPECT_EQ(s.flushExit, 0) << "the flushing run did not empty the queue";
    EXPECT_EQ(s.figures.lost, 0u);
    EXPECT_EQ(s.figures.delivered, s.figures.acknowledged);
    ASSERT_FALSE(s.deliveries.empty());
    for (const auto& request : s.deliveries) {
        EXPECT_TRUE(request.gzipped);
        EXPECT_TRUE(request.inflated);
        ASSERT_TRUE(request.json);
        for (const char* key : {"api_key", "batch", "sent_at"}) EXPECT_TRUE(request.json->contains(key)) << key;
        EXPECT_EQ((*request.json)["api_key"], kApiKey);
    }
    const auto installed = s.eventIds.find("Application Installed");
    EXPECT_EQ(installed == s.eventIds.end() ? 0u : installed->second.size(), 1u);
    EXPECT_EQ(s.eventNames.count("Application Updated"), 0u);
    EXPECT_EQ(s.eventFilesLeft, 0u);
}

TEST(RideZavDeliveryAcrossCrashes, SetUpLeavesTheRemoteConfigurationAndFlagsFiles) {
    const Scenario s = runScenario(true);
    EXPECT_EQ(s.flushExit, 0);
    EXPECT_TRUE(s.remoteConfigFile);
    EXPECT_TRUE(s.flagsFile);
}

}  // namespace

// A child runs its part instead of the tests: --ridezav-delivery-child=capture|flush ORIGIN ARG.
int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--ridezav-delivery-child=capture") == 0)
        captureChild(argv[2], std::atoi(argv[3]), kEventsPerRun);
    if (argc == 4 && std::strcmp(argv[1], "--ridezav-delivery-child=flush") == 0) flushChild(argv[2], std::strcmp(argv[3], "files") == 0);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
