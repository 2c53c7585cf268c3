#include <gtest/gtest.h>

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavSetupFactory.h"
#include "RideZav/RideZavTesting.h"
#include "RideZav/storage/RideZavStorage.h"
#include "RideZav/storage/RideZavStorageManager.h"
#include "RideZav/storage/StorageTesting.h"
#include "testing/LoopbackIngestionServer.h"
#include "platform/base/OriginOverride.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

namespace ridezav {
namespace {

// The real collaborators, with each making and each step written down as it happens.
class SpySetupFactory : public RideZavSetupFactory {
public:
    std::vector<std::string> steps;

    std::shared_ptr<RideZavStorage> makeStorage(const RideZavConfig& config) override {
        steps.push_back("storage");
        return RideZavSetupFactory::makeStorage(config);
    }
    std::shared_ptr<RideZavApi> makeApi(std::shared_ptr<const RideZavConfig> config, velmo::Seconds defaultTimeout) override {
        steps.push_back("api " + std::to_string(static_cast<int>(defaultTimeout.count())));
        return RideZavSetupFactory::makeApi(config, defaultTimeout);
    }
    std::shared_ptr<RideZavStorageManager> makeStorageManager(const RideZavConfig& config) override {
        steps.push_back("storageManager");
        return RideZavSetupFactory::makeStorageManager(config);
    }
    std::shared_ptr<RideZavRemoteConfig> makeRemoteConfig(std::shared_ptr<RideZavConfig> config, std::shared_ptr<RideZavStorage> storage,
                                                          std::shared_ptr<RideZavApi> api,
                                                          RideZavRemoteConfig::DefaultPersonProperties defaults,
                                                          RideZavRemoteConfig::FeatureFlagCalled called) override {
        steps.push_back(storage && api && config->storageManager ? "remoteConfig" : "remoteConfig without its inputs");
        return RideZavSetupFactory::makeRemoteConfig(config, storage, api, std::move(defaults), std::move(called));
    }
    std::shared_ptr<Reachability> makeReachability() override {
        steps.push_back("reachability");
        throw std::runtime_error("no netlink here");  // set-up goes on without a monitor
    }
    std::shared_ptr<RideZavContext> makeContext(std::shared_ptr<Reachability> reachability) override {
        steps.push_back("context");
        return RideZavSetupFactory::makeContext(std::move(reachability));
    }
    std::shared_ptr<RideZavQueue> makeQueue(const RideZavConfig& config, std::shared_ptr<RideZavApi> api,
                                            std::shared_ptr<Reachability> reachability, RideZavApiEndpoint endpoint,
                                            const std::string& label, const std::filesystem::path& folder,
                                            std::optional<std::filesystem::path> legacy) override {
        steps.push_back("queue " + label + " " + folder.filename().string() + (legacy ? " " + legacy->filename().string() : ""));
        return RideZavSetupFactory::makeQueue(config, std::move(api), std::move(reachability), endpoint, label, folder, std::move(legacy));
    }
    void reached(Step step) override {
        static const char* const names[] = {"optOutRestored",
                                            "queuesStarted",
                                            "sessionStarted",
                                            "sessionObserved",
                                            "integrationsInstalled",
                                            "eventContextRefreshed",
                                            "flushOnBackgroundSubscribed",
                                            "didStartDispatched"};
        steps.push_back(names[static_cast<int>(step)]);
    }
};

class RideZavSDKSetupTest : public testing::Test {
protected:
    ~RideZavSDKSetupTest() override { loop.loop().runUntilIdle(); }
    static RideZavConfig config(const std::string& key) {
        RideZavConfig c(key, "http://127.0.0.1:9");
        c.disableReachabilityForTesting = true;
        c.disableQueueTimerForTesting = true;
        c.disableRemoteConfigForTesting = true;
        c.captureApplicationLifecycleEvents = false;  // its events have tests of their own
        return c;
    }

    velmo::test::StorageSandbox sandbox;
    velmo::VirtualMainLoopScope loop;
};

TEST_F(RideZavSDKSetupTest, SetupMakesItsCollaboratorsAndTakesItsStepsInOrder) {
    const std::vector<std::string> collaborators = {"storage",
                                                    "api 10",
                                                    "storageManager",
                                                    "remoteConfig",
                                                    "reachability",
                                                    "context",
                                                    "optOutRestored",
                                                    "queue com.ridezav.Queue ridezav.queueFolder ridezav.queue.plist",
                                                    "queue com.ridezav.ReplayQueue ridezav.replayFolder",
                                                    "queuesStarted",
                                                    "sessionStarted",
                                                    "sessionObserved"};
    struct Case {
        const char* name;
        bool optedOut;
        bool flushOnBackground;
        bool storageManagerGiven;
        std::vector<std::string> after;  // the steps after the session observer
        bool storedOptOut = false;  // a previous run's choice, which beats the configuration
    } cases[] = {
        {"default",
         false,
         true,
         false,
         {"integrationsInstalled", "eventContextRefreshed", "flushOnBackgroundSubscribed", "didStartDispatched"}},
        {"opted out", true, true, false, {"flushOnBackgroundSubscribed", "didStartDispatched"}},
        {"no flush on background", false, false, true, {"integrationsInstalled", "eventContextRefreshed", "didStartDispatched"}},
        {"opted out by a previous run", false, true, false, {"flushOnBackgroundSubscribed", "didStartDispatched"}, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        auto cfg = config("phc_order" + std::to_string(n++));
        cfg.setOptOut(c.optedOut);
        cfg.disableFlushOnBackgroundForTesting = !c.flushOnBackground;
        std::shared_ptr<RideZavStorageManager> given;
        if (c.storageManagerGiven) cfg.storageManager = given = std::make_shared<RideZavStorageManager>(cfg);
        if (c.storedOptOut) RideZavStorage(cfg).setJSON(StorageKey::optOut, Value(true));
        auto spy = std::make_shared<SpySetupFactory>();
        auto sdk = RideZavSDK::create(cfg, spy);
        int started = 0;
        auto token =
            velmo::NotificationCenter::defaultCenter().addObserver(RideZavSDK::didStartNotification(), [&](const auto&) { ++started; });
        sdk->setup(cfg);

        auto expected = collaborators;
        if (c.storageManagerGiven) expected.erase(expected.begin() + 2);
        expected.insert(expected.end(), c.after.begin(), c.after.end());
        EXPECT_EQ(spy->steps, expected) << c.name;
        EXPECT_EQ(started, 0) << c.name;  // dispatched, not yet run
        loop.loop().runUntilIdle();
        EXPECT_EQ(started, 1) << c.name;
        velmo::NotificationCenter::defaultCenter().removeObserver(token);
        EXPECT_NE(sdk->remoteConfig(), nullptr) << c.name;
        EXPECT_EQ(sdk->isOptOut(), c.optedOut || c.storedOptOut) << c.name;
        if (given) {
            EXPECT_EQ(sdk->getDistinctId(), given->getDistinctId()) << c.name;
        }
        // A second set-up makes nothing.
        spy->steps.clear();
        sdk->setup(cfg);
        EXPECT_TRUE(spy->steps.empty()) << c.name;
    }
}

TEST_F(RideZavSDKSetupTest, WithNoFlagsLoadedEventsCarryNoFlagProperties) {
    auto cfg = config("phc_noflags");
    auto sdk = RideZavSDK::create(cfg);
    sdk->setup(cfg);
    sdk->capture("app_opened");
    auto events = queuedEvents(sandbox.dataHome() / "com.example.velmo" / "phc_noflags" / "ridezav.queueFolder");
    ASSERT_EQ(events.size(), 1u);
    for (const auto& [key, value] : events[0].properties) EXPECT_FALSE(key.starts_with("$feature")) << key;
    EXPECT_FALSE(events[0].properties.contains("$active_feature_flags"));
    EXPECT_EQ(sdk->getFeatureFlag("any"), std::nullopt);
}

TEST_F(RideZavSDKSetupTest, StoredFlagsReachEveryEventAndAllOffFlagsMakeNoActiveList) {
    struct Case {
        const char* stored;
        std::optional<Value> active;
    } cases[] = {
        {R"({"a":true,"b":"variant","c":false})", Value(Array{"a", "b"})},
        {R"({"c":false})", std::nullopt},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string key = "phc_stored" + std::to_string(n++);
        auto cfg = config(key);
        RideZavStorage(cfg).setJSON(StorageKey::enabledFeatureFlags, *parseJSON(c.stored));
        auto sdk = RideZavSDK::create(cfg);
        sdk->setup(cfg);
        sdk->capture("app_opened");
        sdk->screen("Settings");
        auto events = queuedEvents(sandbox.dataHome() / "com.example.velmo" / key / "ridezav.queueFolder");
        ASSERT_EQ(events.size(), 2u);
        for (const auto& event : events) {
            EXPECT_EQ(*event.properties.find("$feature/c"), Value(false)) << key;
            const Value* active = event.properties.find("$active_feature_flags");
            EXPECT_EQ(active ? std::optional<Value>(*active) : std::nullopt, c.active) << key;
        }
    }
}

TEST_F(RideZavSDKSetupTest, WithManyFlagsTheOrderOfPrecedenceHolds) {
    auto cfg = config("phc_many");
    RideZavStorage storage(cfg);
    Object flags;
    for (int i = 0; i < 60; ++i) flags.set("f" + std::to_string(i), i % 2 == 0);
    storage.setJSON(StorageKey::enabledFeatureFlags, Value(flags));
    storage.setJSON(StorageKey::registerProperties, Value(Object{{"$feature/f1", "super"}, {"$os_name", "fake"}, {"plan", "pro"}}));
    auto sdk = RideZavSDK::create(cfg);
    sdk->setup(cfg);
    auto built = sdk->buildProperties("id", Object{{"$feature/f2", "mine"}, {"plan", "free"}, {"colour", "blue"}}, std::nullopt,
                                      std::nullopt, std::nullopt, true, std::nullopt);
    EXPECT_EQ(*built.find("$feature/f1"), Value(false));  // a flag is assigned over a registered property
    EXPECT_EQ(*built.find("$feature/f2"), Value(true));  // the caller never wins
    EXPECT_NE(*built.find("$os_name"), Value("fake"));  // the context wins over registered properties
    EXPECT_EQ(*built.find("plan"), Value("pro"));
    EXPECT_EQ(*built.find("colour"), Value("blue"));
    std::size_t flagKeys = 0;
    for (const auto& [key, value] : built) flagKeys += key.starts_with("$feature/");
    EXPECT_EQ(flagKeys, 60u);
    EXPECT_EQ(built.find("$active_feature_flags")->get<Array>()->size(), 30u);
}

// The ingestion service as set-up meets it: the remote configuration, then the flags, both kept
// on disk, so that a later run with the service unreachable serves the same flags.
TEST_F(RideZavSDKSetupTest, SetupLoadsTheConfigurationThenTheFlagsAndARestartOfflineServesThem) {
    using Server = velmo::test::LoopbackIngestionServer;
    using Route = Server::Route;
    Server server;
    velmo::OriginOverride::Scope redirect{"ingest.example.test", server.origin()};
    server.answer(Route::remoteConfig,
                  Server::Answer::status(200, R"({"hasFeatureFlags":true,"errorTracking":{"autocaptureExceptions":false}})"));
    server.answer(Route::flags, Server::Answer::status(200, R"({"flags":{
        "beta":{"enabled":true,"variant":"blue","metadata":{"payload":"{\"n\":1}"}},
        "on":{"enabled":true},"off":{"enabled":false}},"requestId":"req-9","evaluatedAt":1700000000})"));
    std::vector<bool> heardOnMainLoop;
    struct Observer {
        velmo::NotificationCenter::Token token;
        ~Observer() { velmo::NotificationCenter::defaultCenter().removeObserver(token); }
    } observer{velmo::NotificationCenter::defaultCenter().addObserver(
        RideZavSDK::didReceiveFeatureFlags(), [&](const auto&) { heardOnMainLoop.push_back(velmo::MainLoop::isMainThread()); })};
    RideZavConfig cfg("phc_online", "https://ingest.example.test");
    cfg.disableReachabilityForTesting = true;
    cfg.disableQueueTimerForTesting = true;
    cfg.disableFlushOnBackgroundForTesting = true;
    cfg.captureApplicationLifecycleEvents = false;
    const auto folder = sandbox.dataHome() / "com.example.velmo" / "phc_online";
    const auto flagProperties = [](const RideZavEvent& event) {
        Object found;
        for (const auto& [key, value] : event.properties)
            if (key.starts_with("$feature/") || key == "$active_feature_flags") found.set(key, value);
        return found;
    };
    const Object loaded{
        {"$feature/beta", "blue"}, {"$feature/on", true}, {"$feature/off", false}, {"$active_feature_flags", Array{"beta", "on"}}};
    {
        auto sdk = RideZavSDK::create(cfg);
        sdk->setup(cfg);
        ASSERT_TRUE(loop.loop().runUntil([&] { return !heardOnMainLoop.empty(); }, 30s));
        loop.loop().runUntilIdle();
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].method + " " + requests[0].path, "GET /array/phc_online/config");
        EXPECT_EQ(requests[1].method + " " + requests[1].path + "?" + requests[1].query.value_or(""), "POST /flags?v=2");
        EXPECT_EQ(heardOnMainLoop, std::vector<bool>{true});
        for (const char* file : {"ridezav.remoteConfig", "ridezav.errorTracking", "ridezav.flags", "ridezav.enabledFeatureFlags",
                                 "ridezav.enabledFeatureFlagPayloads", "ridezav.requestId", "ridezav.evaluatedAt"})
            EXPECT_TRUE(std::filesystem::exists(folder / file)) << file;
        sdk->capture("app_opened");
        const auto events = queuedEvents(folder / "ridezav.queueFolder");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(flagProperties(events[0]), loaded);
    }

    server.stop();
    auto restarted = RideZavSDK::create(cfg);
    restarted->setup(cfg);
    ASSERT_TRUE(loop.loop().runUntil([&] { return restarted->remoteConfig()->remoteConfigDidFetch(); }, 30s));
    loop.loop().runUntilIdle();
    restarted->capture("app_opened");
    const auto events = queuedEvents(folder / "ridezav.queueFolder");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(flagProperties(events[1]), loaded);
    EXPECT_EQ(restarted->getFeatureFlagPayload("beta"), Value(Object{{"n", 1}}));
}

TEST_F(RideZavSDKSetupTest, AStoredSessionReplayEndpointIsWhereSnapshotsGo) {
    using Server = velmo::test::LoopbackIngestionServer;
    using Route = Server::Route;
    Server server("/replay/");
    velmo::OriginOverride::Scope redirect{"ingest.example.test", server.origin()};
    RideZavConfig cfg("phc_replay", "https://ingest.example.test");
    cfg.disableReachabilityForTesting = true;
    cfg.disableQueueTimerForTesting = true;
    cfg.disableRemoteConfigForTesting = true;
    cfg.disableFlushOnBackgroundForTesting = true;
    cfg.captureApplicationLifecycleEvents = false;
    RideZavStorage(cfg).setJSON(StorageKey::sessionReplay, Value(Object{{"endpoint", "/replay/"}}));
    auto sdk = RideZavSDK::create(cfg);
    sdk->setup(cfg);
    sdk->capture("$snapshot", Object{{"$snapshot_data", "x"}});
    sdk->flush();
    ASSERT_TRUE(loop.loop().runUntil([&] { return !server.requests().empty(); }, 30s));
    loop.loop().runUntilIdle();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method + " " + requests[0].path, "POST /replay/");
    EXPECT_EQ(server.requestsOf(Route::snapshot).size(), 1u);
}

}  // namespace
}  // namespace ridezav
