#include "RideZav/delivery/RideZavRemoteConfig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "RideZav/core/RideZavLog.h"
#include "RideZav/storage/RideZavStorageManager.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackIngestionServer.h"

using namespace std::chrono_literals;

namespace ridezav {
namespace {

using Server = velmo::test::LoopbackIngestionServer;
using Route = Server::Route;

constexpr const char* kHost = "ingest.example.test";

class RideZavRemoteConfigTest : public testing::Test {
protected:
    RideZavRemoteConfigTest() {
        RideZavLog::setDebug(true);
        config->preloadFeatureFlags = true;
    }
    ~RideZavRemoteConfigTest() override { RideZavLog::setDebug(false); }

    std::shared_ptr<RideZavRemoteConfig> make() {
        auto remote = RideZavRemoteConfig::make(
            config, storage, std::make_shared<RideZavApi>(config), [] { return Object{}; },
            [this](const std::string& key, const Value& value) { called.emplace_back(key, value); });
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
        ASSERT_TRUE(mainLoop.loop().runUntil([&] { return remote.remoteConfigDidFetch(); }, 30s));
        mainLoop.loop().runUntilIdle();
    }
    bool stored(StorageKey key) const { return std::filesystem::exists(storage->url(key)); }
    void storeJSON(StorageKey key, const char* text) { storage->setJSON(key, parseJSON(text).value()); }

    velmo::test::StorageSandbox sandbox;
    velmo::VirtualMainLoopScope mainLoop;
    velmo::LogCapture log;
    Server server;
    velmo::OriginOverride::Scope redirect{kHost, server.origin()};
    std::shared_ptr<RideZavConfig> config = std::make_shared<RideZavConfig>("phc_test", std::string("https://") + kHost + "/ingest/");
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
    ASSERT_TRUE(mainLoop.loop().runUntil([&] { return !configsHeard.empty(); }, 30s));
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
        {"an object is stored", R"({"errorTracking":{"autocaptureExceptions":true}})", true, Object{{"autocaptureExceptions", true}}},
        {"an object without a Bool switches off", R"({"errorTracking":{"autocaptureExceptions":"yes"}})", false,
         Object{{"autocaptureExceptions", "yes"}}},
        {"another kind switches off and keeps storage", R"({"errorTracking":3})", false, Object{{"autocaptureExceptions", false}}},
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
            const bool active =
                RideZavRemoteConfig::linkedFlagActive(settings, flags, config, [&](const std::string&, const Value&) { ++reports; });
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

// Flags loading through the loopback server; the remote configuration itself is switched off.
class RideZavFeatureFlagsTest : public RideZavRemoteConfigTest {
protected:
    RideZavFeatureFlagsTest() {
        config->disableRemoteConfigForTesting = true;
        config->storageManager = std::make_shared<RideZavStorageManager>(*config);
        config->storageManager->setDistinctId("user-1");
    }
    // Reloads and waits for the callback, which runs on the object's queue.
    std::optional<Object> reload(RideZavRemoteConfig& remote) {
        std::mutex mutex;
        std::optional<std::optional<Object>> result;
        remote.reloadFeatureFlags([&](const std::optional<Object>& flags) {
            std::lock_guard lock(mutex);
            result = flags;
        });
        EXPECT_TRUE(mainLoop.loop().runUntil(
            [&] {
                std::lock_guard lock(mutex);
                return result.has_value();
            },
            30s));
        mainLoop.loop().runUntilIdle();
        return result.value_or(std::nullopt);
    }
    void answerFlags(const char* body) { server.answer(Route::flags, Server::Answer::status(200, body)); }
};

TEST_F(RideZavFeatureFlagsTest, AVersionTwoAnswerIsNormalisedStoredAndAnnouncedOnTheMainLoop) {
    answerFlags(R"({"flags":{"a":{"enabled":true,"metadata":{"payload":"{\"n\":1}"}},"b":{"variant":"blue","enabled":true},)"
                R"("c":{"enabled":false,"metadata":{"payload":"x"}},"d":{"reason":"none"},"e":3},"requestId":"r1","evaluatedAt":7})");
    int notifications = 0;
    auto observer =
        velmo::NotificationCenter::defaultCenter().addObserver("RideZavDidReceiveFeatureFlags", [&](const velmo::Notification&) {
            EXPECT_TRUE(velmo::MainLoop::isMainThread());
            EXPECT_EQ(flagsHeard.size(), 1u);  // the listeners first
            ++notifications;
        });
    auto remote = make();
    const Object expected{{"a", true}, {"b", "blue"}, {"c", false}};
    EXPECT_EQ(reload(*remote), expected);

    const auto received = server.requestsOf(Route::flags);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "POST");
    EXPECT_EQ(received[0].query, "v=2");
    EXPECT_EQ(flagsHeard, (std::vector<std::optional<Object>>{expected}));
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(remote->cachedFeatureFlagPayloads(), (Object{{"a", "{\"n\":1}"}}));  // the text as received
    EXPECT_EQ(remote->getFeatureFlagResult("a")->payload(), Value(Object{{"n", 1}}));  // read back parsed
    EXPECT_EQ(remote->getFeatureFlagResult("b")->variant(), "blue");
    EXPECT_EQ(remote->getFeatureFlagResult("b")->payload(), std::nullopt);
    EXPECT_EQ(storage->getJSON(StorageKey::enabledFeatureFlags), Value(expected));
    EXPECT_TRUE(stored(StorageKey::flags));
    EXPECT_EQ(remote->requestId(), "r1");
    EXPECT_EQ(remote->evaluatedAt(), 7);
    EXPECT_EQ(storage->getString(StorageKey::requestId), "r1");
    velmo::NotificationCenter::defaultCenter().removeObserver(observer);
}

TEST_F(RideZavFeatureFlagsTest, APartialAnswerMergesAndAFullOneReplaces) {
    for (const bool errors : {true, false}) {
        storeJSON(StorageKey::enabledFeatureFlags, R"({"keep":true,"change":false})");
        answerFlags(errors ? R"({"featureFlags":{"change":true},"featureFlagPayloads":{},"errorsWhileComputingFlags":true})"
                           : R"({"featureFlags":{"change":true},"featureFlagPayloads":{},"errorsWhileComputingFlags":false})");
        auto remote = make();
        const Object expected = errors ? Object{{"keep", true}, {"change", true}} : Object{{"change", true}};
        EXPECT_EQ(reload(*remote), expected) << errors;
        EXPECT_EQ(remote->cachedFeatureFlags(), expected) << errors;
        tokens.clear();
    }
}

TEST_F(RideZavFeatureFlagsTest, QuotaLimitedMalformedAndFailedAnswersLeaveTheCacheAlone) {
    struct Case {
        const char* answer;
        std::optional<Object> heard;
        const char* line;
        int status = 200;
    };
    const Case cases[] = {
        {R"({"quotaLimited":["feature_flags"],"featureFlags":{"x":true},"featureFlagPayloads":{}})", Object{{"old", true}},
         "[RideZav] Warning: Feature flags quota limit reached - flags could not be updated."},
        {R"({"featureFlagPayloads":{}})", std::nullopt, "[RideZav] Error: Flags response missing correct featureFlags format"},
        {R"({"featureFlags":[],"featureFlagPayloads":{}})", std::nullopt,
         "[RideZav] Error: Flags response missing correct featureFlags format"},
        {R"({"featureFlags":{"x":true},"featureFlagPayloads":{}})", std::nullopt, "[RideZav] Error: Flags response data is nil", 500},
    };
    for (const auto& c : cases) {
        storeJSON(StorageKey::enabledFeatureFlags, R"({"old":true})");
        const auto before = storage->getData(StorageKey::enabledFeatureFlags);
        flagsHeard.clear();
        log.clear();
        server.answer(Route::flags, Server::Answer::status(c.status, c.answer));
        auto remote = make();
        EXPECT_EQ(reload(*remote), c.heard) << c.answer;
        EXPECT_EQ(flagsHeard, (std::vector<std::optional<Object>>{c.heard})) << c.answer;
        EXPECT_EQ(storage->getData(StorageKey::enabledFeatureFlags), before) << c.answer;
        EXPECT_EQ(remote->cachedFeatureFlags(), (Object{{"old", true}})) << c.answer;
        EXPECT_EQ(log.linesStartingWith(c.line).size(), 1u) << c.answer;
        tokens.clear();
    }
}

TEST_F(RideZavFeatureFlagsTest, ReloadsDuringOneFlightLeaveOnePendingRequestAndTheReplacedOneHearsTheCache) {
    storeJSON(StorageKey::enabledFeatureFlags, R"({"old":true})");
    auto gate = std::make_shared<velmo::test::Gate>();
    server.answerNext(Route::flags, Server::Answer::held(gate, 200, R"({"featureFlags":{"n":1},"featureFlagPayloads":{}})"));
    answerFlags(R"({"featureFlags":{"n":2},"featureFlagPayloads":{}})");
    auto remote = make();
    std::mutex mutex;
    std::vector<std::pair<int, std::optional<Object>>> heard;
    const auto record = [&](int n) {
        return [&, n](const std::optional<Object>& flags) {
            std::lock_guard lock(mutex);
            heard.emplace_back(n, flags);
        };
    };
    remote->reloadFeatureFlags(record(1));
    ASSERT_TRUE(server.waitForRequests(1));
    remote->reloadFeatureFlags(record(2));
    remote->reloadFeatureFlags(record(3));
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(heard.size(), 1u);  // the second, replaced by the third, at once
        EXPECT_EQ(heard[0], (std::pair<int, std::optional<Object>>{2, Object{{"old", true}}}));
    }
    EXPECT_TRUE(remote->hasPendingFeatureFlagsRequest());
    gate->release();
    ASSERT_TRUE(mainLoop.loop().runUntil(
        [&] {
            std::lock_guard lock(mutex);
            return heard.size() == 3;
        },
        30s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(heard[1], (std::pair<int, std::optional<Object>>{1, Object{{"n", 1}}}));
    EXPECT_EQ(heard[2], (std::pair<int, std::optional<Object>>{3, Object{{"n", 2}}}));
    EXPECT_EQ(server.requestsOf(Route::flags).size(), 2u);
    EXPECT_FALSE(remote->hasPendingFeatureFlagsRequest());
}

TEST_F(RideZavFeatureFlagsTest, TheConfigurationsAnswerLoadsTheFlagsAndARestartOfflineServesThemFromStorage) {
    config->disableRemoteConfigForTesting = false;
    server.answer(Route::remoteConfig, Server::Answer::status(200, R"({"hasFeatureFlags":true})"));
    answerFlags(R"({"featureFlags":{"a":"v"},"featureFlagPayloads":{}})");
    {
        auto remote = make();
        ASSERT_TRUE(mainLoop.loop().runUntil([&] { return !flagsHeard.empty(); }, 30s));
        const auto received = server.requests();
        ASSERT_EQ(received.size(), 2u);
        EXPECT_EQ(received[0].route, Route::remoteConfig);
        EXPECT_EQ(received[1].route, Route::flags);
        tokens.clear();
    }
    server.stop();
    flagsHeard.clear();
    auto restarted = make();
    settle(*restarted);
    EXPECT_EQ(restarted->cachedFeatureFlags(), (Object{{"a", "v"}}));
    EXPECT_EQ(restarted->getCachedRemoteConfig(), (Object{{"hasFeatureFlags", true}}));
}

TEST_F(RideZavFeatureFlagsTest, AnAnswerArrivingAfterTheObjectIsGoneChangesNothing) {
    auto gate = std::make_shared<velmo::test::Gate>();
    server.answerNext(Route::flags, Server::Answer::held(gate, 200, R"({"featureFlags":{"n":1},"featureFlagPayloads":{}})"));
    auto remote = make();
    bool called = false;
    remote->reloadFeatureFlags([&](const std::optional<Object>&) { called = true; });
    ASSERT_TRUE(server.waitForRequests(1));
    remote.reset();
    gate->release();
    mainLoop.loop().runUntilIdle();
    EXPECT_FALSE(called);
    EXPECT_TRUE(flagsHeard.empty());
    EXPECT_FALSE(stored(StorageKey::enabledFeatureFlags));
}

TEST_F(RideZavFeatureFlagsTest, FlagResultsComeFromTheCacheWithJSONPayloadsParsed) {
    storeJSON(StorageKey::enabledFeatureFlags, R"({"on":true,"off":false,"variant":"blue","number":1,"bad":true})");
    storeJSON(StorageKey::enabledFeatureFlagPayloads, R"({"on":"{\"n\":1}","variant":"3","bad":"{oops"})");
    auto remote = make();
    struct Case {
        const char* key;
        bool enabled;
        std::optional<std::string> variant;
        std::optional<Value> payload;
    };
    const Case cases[] = {
        {"on", true, std::nullopt, Value(Object{{"n", 1}})},
        {"off", false, std::nullopt, std::nullopt},
        {"variant", true, "blue", Value(3)},
        {"number", false, std::nullopt, std::nullopt},
        {"bad", true, std::nullopt, Value("{oops")},
    };
    for (const auto& c : cases) {
        const auto result = remote->getFeatureFlagResult(c.key);
        ASSERT_TRUE(result.has_value()) << c.key;
        EXPECT_EQ(result->key(), c.key);
        EXPECT_EQ(result->enabled(), c.enabled) << c.key;
        EXPECT_EQ(result->variant(), c.variant) << c.key;
        EXPECT_EQ(result->payload(), c.payload) << c.key;
    }
    EXPECT_FALSE(remote->getFeatureFlagResult("missing").has_value());
    EXPECT_EQ(log.linesStartingWith("[RideZav] Error parsing the object {oops: ").size(), 1u);
}

TEST_F(RideZavFeatureFlagsTest, PersonAndGroupPropertiesForFlagsAreSentAndStored) {
    storeJSON(StorageKey::personPropertiesForFlags, R"({"plan":"pro"})");
    answerFlags(R"({"featureFlags":{},"featureFlagPayloads":{}})");
    auto remote = make();
    remote->setGroupPropertiesForFlags("company", Object{{"size", 3}, {"tier", "a"}});
    remote->setGroupPropertiesForFlags("company", Object{{"size", 4}});
    remote->setGroupPropertiesForFlags("team", Object{{"n", 1}});
    reload(*remote);
    const auto received = server.requestsOf(Route::flags);
    ASSERT_EQ(received.size(), 1u);
    ASSERT_TRUE(received[0].json.has_value());
    EXPECT_EQ((*received[0].json)["person_properties"]["plan"], "pro");
    EXPECT_EQ((*received[0].json)["group_properties"]["company"]["size"], 4);
    EXPECT_EQ((*received[0].json)["group_properties"]["company"]["tier"], "a");
    remote->resetGroupPropertiesForFlags("company");
    EXPECT_EQ(storage->getJSON(StorageKey::groupPropertiesForFlags), Value(Object{{"team", Object{{"n", 1}}}}));
    remote->resetGroupPropertiesForFlags(std::nullopt);
    EXPECT_EQ(storage->getJSON(StorageKey::groupPropertiesForFlags), Value(Object{}));
    remote->resetPersonPropertiesForFlags();
    EXPECT_TRUE(remote->personPropertiesForFlags().empty());
    EXPECT_EQ(storage->getJSON(StorageKey::personPropertiesForFlags), Value(Object{}));
}

}  // namespace
}  // namespace ridezav
