#include "RideZav/delivery/RideZavRemoteConfig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "RideZav/core/RideZavLog.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/foundation/Logger.h"
#include "platform/foundation/OriginOverride.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackIngestionServer.h"

namespace ridezav {
namespace {

using Server = velmo::testing::LoopbackIngestionServer;
using Route = Server::Route;

constexpr const char* kHost = "ingest.example.test";

class RideZavRemoteConfigTest : public ::testing::Test {
protected:
    RideZavRemoteConfigTest() {
        RideZavLog::setDebug(true);
        config->preloadFeatureFlags = true;
    }
    ~RideZavRemoteConfigTest() override { RideZavLog::setDebug(false); }

    std::shared_ptr<RideZavRemoteConfig> make() {
        auto remote = RideZavRemoteConfig::make(config, storage, std::make_shared<RideZavApi>(*config),
                                                [] { return Object{}; },
                                                [this](const std::string& key, const Value& value) {
                                                    called.emplace_back(key, value);
                                                });
        tokens.push_back(remote->onRemoteConfigLoaded.subscribe([this](const std::optional<Object>& c) {
            EXPECT_TRUE(velmo::MainLoop::isMainThread());
            configsHeard.push_back(c);
        }));
        tokens.push_back(remote->onFeatureFlagsLoaded.subscribe([this](const std::optional<Object>& f) {
            EXPECT_TRUE(velmo::MainLoop::isMainThread());
            flagsHeard.push_back(f);
        }));
        return remote;
    }
    // Waits for the response steps (they run on the main loop), then for what they posted.
    void settle(RideZavRemoteConfig& remote) {
        ASSERT_TRUE(mainLoop.loop().runUntil([&] { return remote.remoteConfigDidFetch(); }, 30));
        mainLoop.loop().runUntilIdle();
    }
    bool stored(StorageKey key) const { return std::filesystem::exists(storage->url(key)); }
    void storeJSON(StorageKey key, const char* text) { storage->setJSON(key, parseJSON(text).value()); }

    velmo::test::StorageSandbox sandbox;
    velmo::VirtualMainLoopScope mainLoop;
    velmo::LogCapture log;
    Server server;
    velmo::OriginOverride::Scope redirect{kHost, server.origin()};
    std::shared_ptr<RideZavConfig> config =
        std::make_shared<RideZavConfig>("phc_test", std::string("https://") + kHost + "/ingest/");
    std::shared_ptr<RideZavStorage> storage = std::make_shared<RideZavStorage>(*config);
    std::vector<std::pair<std::string, Value>> called;
    std::vector<std::optional<Object>> configsHeard;
    std::vector<std::optional<Object>> flagsHeard;
    std::vector<RegistrationToken> tokens;
};

TEST_F(RideZavRemoteConfigTest, AnAnsweredConfigurationIsStoredAndHeardOnTheMainLoopWithTheCachedFlagsPreloaded) {
    server.answer(Route::remoteConfig, Server::Answer::status(200, R"({"hasFeatureFlags":true,"x":1})"));
    storeJSON(StorageKey::enabledFeatureFlags, R"({"a":true})");
    auto remote = make();
    ASSERT_TRUE(mainLoop.loop().runUntil([&] { return !configsHeard.empty(); }, 30));
    mainLoop.loop().runUntilIdle();

    const auto received = server.requestsOf(Route::remoteConfig);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "GET");
    EXPECT_EQ(received[0].path, "/ingest/array/phc_test/config");
    const Object expected{{"hasFeatureFlags", true}, {"x", 1}};
    EXPECT_EQ(configsHeard, (std::vector<std::optional<Object>>{expected}));
    EXPECT_EQ(remote->getCachedRemoteConfig(), expected);
    EXPECT_EQ(storage->getJSON(StorageKey::remoteConfig), Value(expected));
    EXPECT_TRUE(remote->remoteConfigDidFetch());
    EXPECT_FALSE(remote->isLoadingRemoteConfig());
    EXPECT_EQ(remote->cachedFeatureFlags(), (Object{{"a", true}}));
    EXPECT_TRUE(flagsHeard.empty());
}

TEST_F(RideZavRemoteConfigTest, HasFeatureFlagsFalseClearsEveryFlagCacheAndItsStoredCopy) {
    server.answer(Route::remoteConfig, Server::Answer::status(200, R"({"hasFeatureFlags":false})"));
    storeJSON(StorageKey::enabledFeatureFlags, R"({"a":true})");
    storeJSON(StorageKey::enabledFeatureFlagPayloads, R"({"a":"{}"})");
    storeJSON(StorageKey::flags, R"({"a":{"enabled":true}})");
    storage->setData(StorageKey::requestId, R"({"ridezav.requestId":"r1"})");
    storage->setData(StorageKey::evaluatedAt, R"({"ridezav.evaluatedAt":5})");
    auto remote = make();
    settle(*remote);

    EXPECT_EQ(flagsHeard, (std::vector<std::optional<Object>>{Object{}}));
    EXPECT_EQ(remote->cachedFeatureFlags(), Object{});
    EXPECT_EQ(remote->cachedFeatureFlagPayloads(), Object{});
    EXPECT_EQ(remote->cachedFlags(), Object{});
    for (auto key : {StorageKey::enabledFeatureFlags, StorageKey::enabledFeatureFlagPayloads, StorageKey::flags}) {
        EXPECT_EQ(storage->getJSON(key), Value(Object{})) << rawValue(key);
    }
    EXPECT_FALSE(stored(StorageKey::requestId));
    EXPECT_FALSE(stored(StorageKey::evaluatedAt));
    EXPECT_TRUE(log.contains("[RideZav] hasFeatureFlags is false, clearing flags and skipping loading flags"));
}

struct ErrorTrackingCase {
    const char* name;
    const char* answer;
    bool autoCapture;
    std::optional<Object> storedAfter;
};

TEST_F(RideZavRemoteConfigTest, ErrorTrackingSettingsFollowTheConfiguration) {
    const ErrorTrackingCase cases[] = {
        {"false deletes the stored settings", R"({"errorTracking":false})", false, std::nullopt},
        {"true keeps the stored settings", R"({"errorTracking":true})", true, Object{{"autocaptureExceptions", false}}},
        {"an object is stored", R"({"errorTracking":{"autocaptureExceptions":true}})", true,
         Object{{"autocaptureExceptions", true}}},
        {"an object without a Bool switches off", R"({"errorTracking":{"autocaptureExceptions":"yes"}})", false,
         Object{{"autocaptureExceptions", "yes"}}},
        {"another kind switches off and keeps storage", R"({"errorTracking":3})", false,
         Object{{"autocaptureExceptions", false}}},
    };
    for (const auto& c : cases) {
        storeJSON(StorageKey::errorTracking, R"({"autocaptureExceptions":false})");
        server.answer(Route::remoteConfig, Server::Answer::status(200, c.answer));
        auto remote = make();
        settle(*remote);
        EXPECT_EQ(remote->autoCaptureExceptions(), c.autoCapture) << c.name;
        const auto after = storage->getJSON(StorageKey::errorTracking);
        EXPECT_EQ(after, c.storedAfter ? std::optional<Value>(*c.storedAfter) : std::nullopt) << c.name;
        tokens.clear();
    }
}

TEST_F(RideZavRemoteConfigTest, AFailedRequestLeavesTheStoredConfigurationAndTheSwitchAsTheyWere) {
    server.answer(Route::remoteConfig, Server::Answer::status(500, "{}"));
    storeJSON(StorageKey::remoteConfig, R"({"old":true})");
    storeJSON(StorageKey::errorTracking, R"({"autocaptureExceptions":true})");
    storeJSON(StorageKey::enabledFeatureFlags, R"({"a":"v"})");
    auto remote = make();
    EXPECT_TRUE(remote->autoCaptureExceptions());  // from storage, at creation
    settle(*remote);

    EXPECT_EQ(server.requestsOf(Route::remoteConfig).size(), 1u);
    EXPECT_TRUE(configsHeard.empty());
    EXPECT_EQ(flagsHeard, (std::vector<std::optional<Object>>{std::nullopt}));
    EXPECT_EQ(remote->getCachedRemoteConfig(), (Object{{"old", true}}));
    EXPECT_EQ(storage->getJSON(StorageKey::remoteConfig), Value(Object{{"old", true}}));
    EXPECT_TRUE(remote->autoCaptureExceptions());
    EXPECT_EQ(remote->cachedFeatureFlags(), (Object{{"a", "v"}}));
    EXPECT_TRUE(log.contains("[RideZav] Remote config response is missing, skipping loading flags"));
}

TEST_F(RideZavRemoteConfigTest, DisabledForTestingSendsNothingAndStillLoadsTheStoredConfiguration) {
    config->disableRemoteConfigForTesting = true;
    storeJSON(StorageKey::remoteConfig, R"({"old":true})");
    auto remote = make();
    remote->dispatchQueue().sync([] {});
    mainLoop.loop().runUntilIdle();
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(remote->getCachedRemoteConfig(), (Object{{"old", true}}));
    EXPECT_FALSE(remote->remoteConfigDidFetch());
}

TEST_F(RideZavRemoteConfigTest, StoredStateIsAppliedAtCreation) {
    config->disableRemoteConfigForTesting = true;
    storeJSON(StorageKey::sessionReplay, R"({"endpoint":"/replay/"})");
    storeJSON(StorageKey::personPropertiesForFlags, R"({"plan":"pro"})");
    storeJSON(StorageKey::groupPropertiesForFlags, R"({"company":{"size":3}})");
    auto remote = make();
    EXPECT_EQ(config->snapshotEndpoint(), "/replay/");
    EXPECT_TRUE(remote->sessionReplayFlagActive());  // no linked flag
    EXPECT_EQ(remote->personPropertiesForFlags(), (Object{{"plan", "pro"}}));
    EXPECT_EQ(remote->groupPropertiesForFlags(), (std::map<std::string, Object>{{"company", Object{{"size", 3}}}}));
    EXPECT_FALSE(remote->recordingSampleRate().has_value());
}

TEST_F(RideZavRemoteConfigTest, StoredValuesOfAnotherShapeAreIgnored) {
    config->disableRemoteConfigForTesting = true;
    storeJSON(StorageKey::groupPropertiesForFlags, R"({"company":{"size":3},"team":"x"})");
    storeJSON(StorageKey::personPropertiesForFlags, R"([1,2])");
    storeJSON(StorageKey::errorTracking, R"([true])");
    storage->setData(StorageKey::sessionReplay, "not json");
    auto remote = make();
    EXPECT_TRUE(remote->groupPropertiesForFlags().empty());
    EXPECT_TRUE(remote->personPropertiesForFlags().empty());
    EXPECT_FALSE(remote->autoCaptureExceptions());
    EXPECT_FALSE(remote->sessionReplayFlagActive());
    EXPECT_EQ(config->snapshotEndpoint(), "/s/");
}

struct LinkedFlagCase {
    const char* name;
    const char* settings;
    bool active;
    bool reported;
};

TEST(RideZavRemoteConfigLinkedFlag, TheLinkedFlagDecidesWhetherReplayIsActive) {
    const Object flags{{"on", true}, {"off", false}, {"variant", "blue"}, {"number", 1}};
    const LinkedFlagCase cases[] = {
        {"no linked flag", R"({})", true, false},
        {"another kind", R"({"linkedFlag":3})", true, false},
        {"a Bool flag that is on", R"({"linkedFlag":"on"})", true, true},
        {"a Bool flag that is off", R"({"linkedFlag":"off"})", false, true},
        {"a variant flag", R"({"linkedFlag":"variant"})", true, true},
        {"a flag of another kind", R"({"linkedFlag":"number"})", false, true},
        {"a missing flag", R"({"linkedFlag":"missing"})", false, false},
        {"the matching variant", R"({"linkedFlag":{"flag":"variant","variant":"blue"}})", true, true},
        {"another variant", R"({"linkedFlag":{"flag":"variant","variant":"red"}})", false, true},
        {"a Bool flag for a variant", R"({"linkedFlag":{"flag":"on","variant":"blue"}})", false, false},
        {"no variant", R"({"linkedFlag":{"flag":"variant"}})", false, false},
        {"a variant that is no String", R"({"linkedFlag":{"flag":"variant","variant":1}})", false, false},
    };
    for (const auto& c : cases) {
        const Object settings = *parseJSON(c.settings)->get<Object>();
        for (const bool send : {true, false}) {
            RideZavConfig config("k");
            config.sendFeatureFlagEvent = send;
            int reports = 0;
            const bool active = RideZavRemoteConfig::linkedFlagActive(
                settings, flags, config, [&](const std::string&, const Value&) { ++reports; });
            EXPECT_EQ(active, c.active) << c.name;
            EXPECT_EQ(reports, c.reported && send ? 1 : 0) << c.name << " send=" << send;
        }
    }
}

TEST_F(RideZavRemoteConfigTest, AStoredLinkedFlagIsEvaluatedOnTheCachedFlagsAndReported) {
    config->disableRemoteConfigForTesting = true;
    storeJSON(StorageKey::sessionReplay, R"({"linkedFlag":"replay"})");
    storeJSON(StorageKey::enabledFeatureFlags, R"({"replay":false})");
    auto remote = make();
    EXPECT_FALSE(remote->sessionReplayFlagActive());
    ASSERT_EQ(called.size(), 1u);
    EXPECT_EQ(called[0].first, "replay");
    EXPECT_EQ(called[0].second, Value(false));
}

}  // namespace
}  // namespace ridezav
