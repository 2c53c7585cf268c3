#include <gtest/gtest.h>

#include <atomic>

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavTesting.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/delivery/RideZavRemoteConfig.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/base/OriginOverride.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackIngestionServer.h"

using namespace std::chrono_literals;

namespace ridezav {
namespace {

using Server = velmo::test::LoopbackIngestionServer;
using Route = Server::Route;

constexpr const char* kHost = "ingest.example.test";

// One flag with a variant, its details and a JSON-text payload, one on, one off.
constexpr const char* kFlags = R"({
  "flags": {
    "beta": {"key": "beta", "enabled": true, "variant": "blue",
             "reason": {"code": "condition_match", "description": "Matched condition set 1"},
             "metadata": {"id": 7, "version": 3, "payload": "{\"size\": 2}"}},
    "on": {"key": "on", "enabled": true, "metadata": {"id": 8}},
    "off": {"key": "off", "enabled": false}
  },
  "requestId": "req-1",
  "evaluatedAt": 1700000000
})";

// A facade against the loopback ingestion server, on the virtual main loop, over a scratch
// data folder.
class RideZavSDKFlagsTest : public testing::Test {
protected:
    RideZavSDKFlagsTest() {
        RideZavLog::setDebug(true);
        flagsToken = velmo::NotificationCenter::defaultCenter().addObserver(RideZavSDK::didReceiveFeatureFlags(),
                                                                            [this](const auto&) { ++flagsHeard; });
    }
    ~RideZavSDKFlagsTest() override {
        loop.loop().runUntilIdle();
        velmo::NotificationCenter::defaultCenter().removeObserver(flagsToken);
        RideZavLog::setDebug(false);
    }
    static RideZavConfig config() {
        RideZavConfig c("phc_flags", std::string("https://") + kHost);
        c.disableReachabilityForTesting = true;
        c.disableQueueTimerForTesting = true;
        c.disableFlushOnBackgroundForTesting = true;
        c.captureApplicationLifecycleEvents = false;  // its events have tests of their own
        c.debug = true;
        return c;
    }
    // Sets a facade up and waits until the flags of its first load are announced.
    std::shared_ptr<RideZavSDK> setUpWithFlags(const std::string& answer, RideZavConfig c = config()) {
        server.answer(Route::flags, Server::Answer::status(200, answer));
        const int before = flagsHeard;
        auto sdk = RideZavSDK::create(c);
        sdk->setup(c);
        EXPECT_TRUE(loop.loop().runUntil([&] { return flagsHeard > before; }, 30s));
        return sdk;
    }
    // Reloads with the server's next answer and waits for the reload's callback.
    void reload(RideZavSDK& sdk, const std::string& answer) {
        server.answer(Route::flags, Server::Answer::status(200, answer));
        std::atomic<bool> done{false};
        sdk.reloadFeatureFlags([&] { done = true; });
        ASSERT_TRUE(loop.loop().runUntil([&] { return done.load(); }, 30s));
    }
    std::vector<RideZavEvent> queued() const {
        return queuedEvents(sandbox.dataHome() / "com.example.velmo" / "phc_flags" / "ridezav.queueFolder");
    }
    std::vector<RideZavEvent> queued(const std::string& name) const {
        std::vector<RideZavEvent> out;
        for (auto& event : queued())
            if (event.event == name) out.push_back(event);
        return out;
    }
    static Value property(const RideZavEvent& event, const std::string& key) {
        const Value* value = event.properties.find(key);
        return value ? *value : Value(OpaqueValue{"absent"});
    }

    velmo::test::StorageSandbox sandbox;
    velmo::VirtualMainLoopScope loop;
    Server server;
    velmo::OriginOverride::Scope redirect{kHost, server.origin()};
    int flagsHeard = 0;
    velmo::NotificationCenter::Token flagsToken;
};

TEST_F(RideZavSDKFlagsTest, TwoReadsGiveOneReportAndAChangedValueAnother) {
    auto sdk = setUpWithFlags(kFlags);
    EXPECT_EQ(sdk->getFeatureFlag("beta"), Value("blue"));
    EXPECT_EQ(sdk->getFeatureFlag("beta"), Value("blue"));
    EXPECT_TRUE(sdk->isFeatureEnabled("beta"));
    EXPECT_EQ(sdk->getFeatureFlag("beta", false), Value("blue"));
    auto reports = queued("$feature_flag_called");
    ASSERT_EQ(reports.size(), 1u);
    const Object expected{{"$feature_flag", "beta"},
                          {"$feature_flag_response", "blue"},
                          {"$feature_flag_request_id", "req-1"},
                          {"$feature_flag_evaluated_at", 1700000000},
                          {"$feature_flag_reason", "Matched condition set 1"},
                          {"$feature_flag_id", 7},
                          {"$feature_flag_version", 3}};
    for (const auto& [key, value] : expected) EXPECT_EQ(property(reports[0], key), value) << key;
    EXPECT_EQ(reports[0].distinctId, sdk->getDistinctId());

    std::string changed = kFlags;
    changed.replace(changed.find("\"blue\""), 6, "\"green\"");
    changed.replace(changed.find("req-1"), 5, "req-2");
    reload(*sdk, changed);
    EXPECT_EQ(sdk->getFeatureFlag("beta"), Value("green"));
    EXPECT_EQ(sdk->getFeatureFlag("beta"), Value("green"));
    reports = queued("$feature_flag_called");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(property(reports[1], "$feature_flag_response"), Value("green"));
    EXPECT_EQ(property(reports[1], "$feature_flag_request_id"), Value("req-2"));

    // The value seen first, seen again, was already reported.
    reload(*sdk, kFlags);
    EXPECT_EQ(sdk->getFeatureFlag("beta"), Value("blue"));
    EXPECT_EQ(queued("$feature_flag_called").size(), 2u);
}

TEST_F(RideZavSDKFlagsTest, ThePayloadGetterNeverReports) {
    auto sdk = setUpWithFlags(kFlags);
    EXPECT_EQ(sdk->getFeatureFlagPayload("beta"), Value(Object{{"size", 2}}));
    EXPECT_EQ(sdk->getFeatureFlagPayload("on"), std::nullopt);
    EXPECT_EQ(sdk->getFeatureFlagPayload("absent"), std::nullopt);
    EXPECT_TRUE(queued("$feature_flag_called").empty());

    auto result = sdk->getFeatureFlagResult("beta", false);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->enabled());
    EXPECT_EQ(result->variant(), "blue");
    EXPECT_TRUE(queued("$feature_flag_called").empty());
}

TEST_F(RideZavSDKFlagsTest, AMissingFlagReportsANullResponseOnceAndAnOffFlagReportsFalse) {
    auto sdk = setUpWithFlags(kFlags);
    EXPECT_EQ(sdk->getFeatureFlag("absent"), std::nullopt);
    EXPECT_FALSE(sdk->isFeatureEnabled("absent"));
    EXPECT_EQ(sdk->getFeatureFlagResult("absent"), std::nullopt);
    EXPECT_FALSE(sdk->isFeatureEnabled("off"));
    EXPECT_TRUE(sdk->isFeatureEnabled("on"));
    auto reports = queued("$feature_flag_called");
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(property(reports[0], "$feature_flag"), Value("absent"));
    EXPECT_EQ(property(reports[0], "$feature_flag_response"), Value(nullptr));
    EXPECT_EQ(property(reports[0], "$feature_flag_request_id"), Value("req-1"));
    EXPECT_EQ(property(reports[0], "$feature_flag_reason"), Value(OpaqueValue{"absent"}));  // no details
    EXPECT_EQ(property(reports[1], "$feature_flag_response"), Value(false));
    EXPECT_EQ(property(reports[2], "$feature_flag_response"), Value(true));
    // Details whose metadata lacks a version report it as null; no reason object, no reason.
    EXPECT_EQ(property(reports[2], "$feature_flag_id"), Value(8));
    EXPECT_EQ(property(reports[2], "$feature_flag_version"), Value(nullptr));
    EXPECT_EQ(property(reports[2], "$feature_flag_reason"), Value(OpaqueValue{"absent"}));
}

TEST_F(RideZavSDKFlagsTest, ReportingFollowsTheConfigurationUnlessTheCallSaysOtherwise) {
    auto c = config();
    c.sendFeatureFlagEvent = false;
    auto sdk = setUpWithFlags(kFlags, c);
    EXPECT_EQ(sdk->getFeatureFlag("beta"), Value("blue"));
    EXPECT_TRUE(queued("$feature_flag_called").empty());
    EXPECT_EQ(sdk->getFeatureFlag("beta", true), Value("blue"));
    EXPECT_EQ(queued("$feature_flag_called").size(), 1u);
}

TEST_F(RideZavSDKFlagsTest, FeatureViewsAndInteractionsCarryTheValueSeen) {
    auto sdk = setUpWithFlags(kFlags);
    velmo::LogCapture log;
    struct Case {
        bool interaction;
        const char* flag;
        std::optional<std::string> variant;
        std::optional<Value> expectedVariant;  // "feature_flag_variant"; none: absent
        Value personValue;
    } cases[] = {
        {false, "beta", std::nullopt, Value("blue"), Value("blue")},
        {false, "on", std::nullopt, std::nullopt, Value(true)},
        {false, "absent", std::string("given"), Value("given"), Value("given")},
        {true, "beta", std::nullopt, Value("blue"), Value("blue")},
    };
    for (const auto& c : cases) {
        if (c.interaction)
            sdk->captureFeatureInteraction(c.flag, c.variant);
        else
            sdk->captureFeatureView(c.flag, c.variant);
    }
    sdk->captureFeatureView("absent");
    sdk->captureFeatureInteraction("absent");
    EXPECT_TRUE(
        log.contains("[RideZav] captureFeatureView called for flag 'absent' but no variant value is available. "
                     "Event will not be captured."));
    EXPECT_TRUE(
        log.contains("[RideZav] captureFeatureInteraction called for flag 'absent' but no variant value is "
                     "available. Event will not be captured."));

    auto events = queued();
    ASSERT_EQ(events.size(), std::size(cases));  // no "$feature_flag_called" among them
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const std::string name = c.interaction ? "$feature_interaction" : "$feature_view";
        EXPECT_EQ(events[i].event, name) << i;
        EXPECT_EQ(property(events[i], "feature_flag"), Value(c.flag)) << i;
        EXPECT_EQ(property(events[i], "feature_flag_variant"), c.expectedVariant.value_or(Value(OpaqueValue{"absent"}))) << i;
        EXPECT_EQ(property(events[i], "$set"), Value(Object{{name + "/" + c.flag, c.personValue}})) << i;
    }
    // What was set on the person is kept for flag evaluation.
    const auto kept = sdk->remoteConfig()->personPropertiesForFlags();
    ASSERT_NE(kept.find("$feature_view/beta"), nullptr);
    EXPECT_EQ(*kept.find("$feature_interaction/beta"), Value("blue"));
}

TEST_F(RideZavSDKFlagsTest, CaptureAfterALoadCarriesTheLoadedFlags) {
    auto sdk = setUpWithFlags(kFlags);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].route, Route::remoteConfig);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/array/phc_flags/config");
    EXPECT_EQ(requests[1].route, Route::flags);
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].query, "v=2");

    // What is queued is what the next batch uploads. (The test leaves no upload in flight: a
    // facade released while one is can take its ingestion client down on a transfer's thread.)
    sdk->capture("user_message_sent", RideZavProperties{{"transcript", "hi"}, {"$feature/beta", "mine"}});
    auto events = queued();
    ASSERT_EQ(events.size(), 1u);
    const auto& event = events[0];
    EXPECT_EQ(event.event, "user_message_sent");
    EXPECT_EQ(property(event, "$feature/beta"), Value("blue"));  // the caller's value never wins
    EXPECT_EQ(property(event, "$feature/on"), Value(true));
    EXPECT_EQ(property(event, "$feature/off"), Value(false));  // false kept as false
    EXPECT_EQ(property(event, "$active_feature_flags"), Value(Array{"beta", "on"}));
    EXPECT_EQ(property(event, "transcript"), Value("hi"));
}

TEST_F(RideZavSDKFlagsTest, PropertiesForFlagsTravelWithTheNextLoadAndEmptyOnesReloadNothing) {
    auto sdk = setUpWithFlags(kFlags);
    const auto flagsRequests = [&] { return server.requestsOf(Route::flags).size(); };
    ASSERT_EQ(flagsRequests(), 1u);
    sdk->setPersonPropertiesForFlags(Object{});
    sdk->setGroupPropertiesForFlags("company", Object{});
    sdk->setPersonPropertiesForFlags(Object{{"plan", "pro"}}, false);
    sdk->setGroupPropertiesForFlags("company", Object{{"seats", 5}}, false);
    sdk->setGroupPropertiesForFlags("team", Object{{"size", 3}}, false);
    sdk->resetGroupPropertiesForFlags("team", false);
    loop.loop().runUntilIdle();
    EXPECT_EQ(flagsRequests(), 1u);

    reload(*sdk, kFlags);
    auto last = server.requestsOf(Route::flags).back();
    ASSERT_TRUE(last.json);
    EXPECT_EQ((*last.json)["person_properties"]["plan"], "pro");
    EXPECT_EQ((*last.json)["group_properties"], (nlohmann::ordered_json{{"company", {{"seats", 5}}}}));

    // A reset reloads by default; the flags answer then lands as usual.
    const int before = flagsHeard;
    sdk->resetPersonPropertiesForFlags();
    sdk->resetGroupPropertiesForFlags();
    ASSERT_TRUE(loop.loop().runUntil([&] { return flagsHeard >= before + 2; }, 30s));
    EXPECT_EQ(sdk->remoteConfig()->personPropertiesForFlags(), Object{});
    EXPECT_TRUE(sdk->remoteConfig()->groupPropertiesForFlags().empty());
    EXPECT_EQ(flagsRequests(), 4u);
}

TEST_F(RideZavSDKFlagsTest, JoiningAGroupTwiceReloadsOnceAndIdentifyingReloadsForTheNewId) {
    auto sdk = setUpWithFlags(kFlags);
    const auto flagsRequests = [&] { return server.requestsOf(Route::flags).size(); };
    ASSERT_EQ(flagsRequests(), 1u);

    int before = flagsHeard;
    sdk->group("company", "acme");
    ASSERT_TRUE(loop.loop().runUntil([&] { return flagsHeard > before; }, 30s));
    sdk->group("company", "acme");
    // A load of its own after the second join: had the join reloaded, that load would be in
    // flight first and be counted too.
    reload(*sdk, kFlags);
    ASSERT_EQ(flagsRequests(), 3u);
    auto joined = server.requestsOf(Route::flags).back();
    ASSERT_TRUE(joined.json);
    EXPECT_EQ((*joined.json)["groups"], (nlohmann::ordered_json{{"company", "acme"}}));

    before = flagsHeard;
    sdk->identify("user-1");
    ASSERT_TRUE(loop.loop().runUntil([&] { return flagsHeard > before; }, 30s));
    ASSERT_EQ(flagsRequests(), 4u);
    auto identified = server.requestsOf(Route::flags).back();
    ASSERT_TRUE(identified.json);
    EXPECT_EQ((*identified.json)["distinct_id"], "user-1");
}

TEST_F(RideZavSDKFlagsTest, ResetEmptiesThePropertiesForFlagsAndTheReportRecordAndReloads) {
    auto sdk = setUpWithFlags(kFlags);
    sdk->capture("signed_up", Object{}, Object{{"email", "a@b.c"}}, Object{{"first_seen", "today"}});
    sdk->setGroupPropertiesForFlags("company", Object{{"seats", 5}}, false);
    EXPECT_EQ(sdk->remoteConfig()->personPropertiesForFlags(), (Object{{"email", "a@b.c"}, {"first_seen", "today"}}));
    EXPECT_EQ(sdk->getFeatureFlag("beta"), Value("blue"));
    const int before = flagsHeard;
    sdk->reset();
    ASSERT_TRUE(loop.loop().runUntil([&] { return flagsHeard > before; }, 30s));
    EXPECT_EQ(sdk->remoteConfig()->personPropertiesForFlags(), Object{});
    EXPECT_TRUE(sdk->remoteConfig()->groupPropertiesForFlags().empty());
    // After a reset the same value counts as unseen.
    EXPECT_EQ(sdk->getFeatureFlag("beta"), Value("blue"));
    EXPECT_EQ(queued("$feature_flag_called").size(), 2u);
}

TEST_F(RideZavSDKFlagsTest, BeforeSetupEveryFlagOperationGivesItsEmptyResultWithTheGuardLine) {
    auto sdk = RideZavSDK::create(config());
    velmo::LogCapture log;
    bool called = false;
    sdk->setPersonPropertiesForFlags(Object{{"a", 1}});
    sdk->resetPersonPropertiesForFlags();
    sdk->setGroupPropertiesForFlags("company", Object{{"a", 1}});
    sdk->resetGroupPropertiesForFlags();
    sdk->resetGroupPropertiesForFlags("company");
    sdk->reloadFeatureFlags();
    sdk->reloadFeatureFlags([&] { called = true; });
    sdk->captureFeatureView("beta", std::string("x"));
    sdk->captureFeatureInteraction("beta");
    EXPECT_EQ(sdk->getFeatureFlagResult("beta"), std::nullopt);
    EXPECT_EQ(sdk->getFeatureFlag("beta"), std::nullopt);
    EXPECT_FALSE(sdk->isFeatureEnabled("beta"));
    EXPECT_EQ(sdk->getFeatureFlagPayload("beta"), std::nullopt);
    EXPECT_EQ(sdk->remoteConfig(), nullptr);
    EXPECT_EQ(log.linesStartingWith("[RideZav] RideZav method was called without `setup` being complete. Call wil be "
                                    "ignored.")
                  .size(),
              13u);
    EXPECT_EQ(log.lines().size(), 13u);
    loop.loop().runUntilIdle();
    EXPECT_FALSE(called);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(RideZavSDKFlagsTest, AFeatureViewWhileOptedOutSendsNothing) {
    auto c = config();
    c.setOptOut(true);
    auto sdk = setUpWithFlags(kFlags, c);
    velmo::LogCapture log;
    sdk->captureFeatureView("beta", std::string("x"));
    EXPECT_TRUE(log.contains("[RideZav] RideZav is in OptOut state."));
    EXPECT_TRUE(queued().empty());
}

}  // namespace
}  // namespace ridezav
