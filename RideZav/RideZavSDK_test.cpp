#include <gtest/gtest.h>

#include <filesystem>

#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavSdkIdentity.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "RideZav/storage/RideZavStorage.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/VirtualMainLoop.h"

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavSDKTestFixture.h"
#include "RideZav/RideZavTesting.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"

using namespace ridezav;

TEST(RideZavConfig, TakesTheHostWhenItParsesElseTheDefaultEndpoint) {
    struct Case {
        const char* host;
        const char* expected;
    } cases[] = {
        {"https://analytics.example.com", "https://analytics.example.com"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
        {"", RideZavConfig::defaultIngestionHost},
        {"not a url", RideZavConfig::defaultIngestionHost},
        {"://missing-scheme", RideZavConfig::defaultIngestionHost},
    };
    for (const auto& c : cases) {
        RideZavConfig config("phc_key", c.host);
        EXPECT_EQ(config.host(), c.expected) << c.host;
        EXPECT_EQ(config.apiKey(), "phc_key");
    }
    EXPECT_EQ(RideZavConfig("k").host(), RideZavConfig::defaultIngestionHost);
}

TEST_F(RideZavSDKTest, EveryOperationBeforeSetupGivesItsEmptyResultWithTheLineOnlyInDebugMode) {
    auto sdk = RideZavSDK::create(config());
    for (bool debugOn : {false, true}) {
        RideZavLog::setDebug(debugOn);
        velmo::LogCapture log;
        EXPECT_EQ(sdk->getDistinctId(), "");
        EXPECT_EQ(sdk->getAnonymousId(), "");
        EXPECT_EQ(sdk->getSessionId(), std::nullopt);
        sdk->startSession();
        sdk->endSession();
        sdk->flush();
        sdk->reset();
        sdk->capture("app_opened");
        sdk->capture("user_message_sent", RideZavProperties{{"transcript", "hi"}});
        sdk->screen("Settings");
        sdk->alias("alias");
        sdk->debug(!debugOn);
        EXPECT_EQ(log.linesStartingWith(kGuardLine).size(), debugOn ? 12u : 0u);
        EXPECT_EQ(log.lines().size(), debugOn ? 12u : 0u);
        EXPECT_EQ(RideZavLog::isDebug(), debugOn);  // debug(_:) is guarded too
    }
    EXPECT_FALSE(sdk->isSetUp());
    EXPECT_EQ(sdk->queueDepth(), 0u);
}

TEST_F(RideZavSDKTest, ASecondSetupKeepsTheFirstConfigurationAndSaysSo) {
    auto first = config("phc_first");
    first.debug = true;
    auto sdk = setUp(first);
    velmo::LogCapture log;
    auto second = config("phc_second");
    second.debug = true;
    sdk->setup(second);
    EXPECT_TRUE(log.contains("[RideZav] Setup called despite already being setup!"));
    sdk->capture("app_opened");
    EXPECT_EQ(queued("phc_first").size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(queueFolder("phc_second")));
    EXPECT_EQ(queued("phc_first")[0].distinctId, sdk->getDistinctId());
    EXPECT_FALSE(sdk->getDistinctId().empty());
}

TEST_F(RideZavSDKTest, EverySetupTakesTheDebugSwitchBeforeAnythingElse) {
    const std::pair<bool, bool> cases[] = {{false, true}, {true, false}, {false, false}, {true, true}};
    int n = 0;
    for (const auto& [firstDebug, secondDebug] : cases) {
        auto first = config("phc_debug" + std::to_string(n++));
        first.debug = firstDebug;
        auto sdk = setUp(first);
        EXPECT_EQ(RideZavLog::isDebug(), firstDebug);
        velmo::LogCapture log;
        auto second = first;
        second.debug = secondDebug;
        sdk->setup(second);
        EXPECT_EQ(RideZavLog::isDebug(), secondDebug) << firstDebug << secondDebug;
        EXPECT_EQ(log.contains("[RideZav] Setup called despite already being setup!"), secondDebug) << firstDebug << secondDebug;
    }
}

TEST_F(RideZavSDKTest, AStoredOptOutBeatsTheConfiguredOneAndNothingIsQueued) {
    struct Case {
        std::optional<bool> stored;
        bool configured;
        bool optedOut;
    } cases[] = {{true, false, true}, {false, true, false}, {std::nullopt, true, true}, {std::nullopt, false, false}};
    int n = 0;
    for (const auto& c : cases) {
        const std::string key = "phc_optout" + std::to_string(n++);
        auto cfg = config(key);
        cfg.debug = true;
        cfg.setOptOut(c.configured);
        if (c.stored) RideZavStorage(cfg).setJSON(StorageKey::optOut, Value(*c.stored));
        auto sdk = setUp(cfg);
        velmo::LogCapture log;
        sdk->capture("app_opened", RideZavProperties{{"app_version", "1.0"}});
        sdk->screen("Settings");
        EXPECT_EQ(queued(key).size(), c.optedOut ? 0u : 2u) << key;
        EXPECT_EQ(log.linesStartingWith("[RideZav] RideZav is in OptOut state.").size(), c.optedOut ? 2u : 0u) << key;
    }
}

TEST_F(RideZavSDKTest, ResetKeepsTheAnonymousIdOnlyWhenAsked) {
    for (bool reuse : {true, false}) {
        const std::string key = reuse ? "phc_reuse" : "phc_fresh";
        auto cfg = config(key);
        cfg.reuseAnonymousId = reuse;
        auto sdk = setUp(cfg);
        const auto before = sdk->getAnonymousId();
        ASSERT_FALSE(before.empty());
        const auto session = sdk->getSessionId();
        ASSERT_TRUE(session.has_value());
        sdk->reset();
        EXPECT_EQ(sdk->getAnonymousId() == before, reuse) << key;
        EXPECT_EQ(sdk->getDistinctId(), sdk->getAnonymousId());
        EXPECT_NE(sdk->getSessionId(), session);
    }
}

TEST_F(RideZavSDKTest, GetSessionIdNeverCreatesASessionAndEventsCarryTheOneInForce) {
    auto sdk = setUp(config());
    const auto session = sdk->getSessionId();
    ASSERT_TRUE(session.has_value());  // set-up started one
    sdk->capture("app_opened");
    sdk->endSession();
    EXPECT_EQ(sdk->getSessionId(), std::nullopt);
    EXPECT_EQ(sdk->getSessionId(), std::nullopt);
    // In the background a capture starts no session either.
    sdk->capture("push_to_talk_started");
    EXPECT_EQ(sdk->getSessionId(), std::nullopt);
    auto events = queued();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].properties.find("$session_id")->asString(), session);
    EXPECT_EQ(events[1].properties.find("$session_id"), nullptr);
}

TEST_F(RideZavSDKTest, DidStartIsPostedOnlyWhenTheMainLoopRuns) {
    int heard = 0;
    auto token = velmo::NotificationCenter::defaultCenter().addObserver(RideZavSDK::didStartNotification(), [&](const auto&) { ++heard; });
    EXPECT_EQ(RideZavSDK::didStartNotification(), "RideZavDidStart");
    EXPECT_EQ(&RideZavSDK::didStartNotification(), &RideZavSDK::didStartNotification());
    EXPECT_EQ(RideZavSDK::didReceiveFeatureFlags(), "RideZavDidReceiveFeatureFlags");
    auto sdk = setUp(config());
    EXPECT_EQ(heard, 0);
    loop.loop().runUntilIdle();
    EXPECT_EQ(heard, 1);
    velmo::NotificationCenter::defaultCenter().removeObserver(token);  // later set-ups post it too
}

TEST_F(RideZavSDKTest, CallerPropertiesNeverOverrideTheLibrarysOwn) {
    auto cfg = config();
    RideZavStorage storage(cfg);
    storage.setJSON(StorageKey::registerProperties, Value(Object{{"plan", "pro"}, {"team", "core"}}));
    storage.setJSON(StorageKey::groups, Value(Object{{"company", "acme"}}));
    auto sdk = setUp(cfg);
    const auto session = sdk->getSessionId();
    ASSERT_TRUE(session);

    struct Case {
        const char* name;
        Object properties;
        std::optional<std::map<std::string, std::string>> groups;
        Object expected;  // entries the built map must hold
    } cases[] = {
        {"caller $lib", Object{{"$lib", "mine"}, {"colour", "blue"}}, std::nullopt, Object{{"$lib", "ridezav-ios"}, {"colour", "blue"}}},
        {"non-empty $session_id", Object{{"$session_id", "abc"}}, std::nullopt, Object{{"$session_id", "abc"}}},
        {"empty $session_id", Object{{"$session_id", ""}}, std::nullopt, Object{{"$session_id", *session}}},
        {"registered and stored groups", Object{}, std::nullopt,
         Object{{"plan", "pro"}, {"team", "core"}, {"$groups", Object{{"company", "acme"}}}}},
        {"given groups merge under stored", Object{{"plan", "free"}},
         std::map<std::string, std::string>{{"company", "other"}, {"project", "velmo"}},
         Object{{"plan", "pro"}, {"$groups", Object{{"company", "acme"}, {"project", "velmo"}}}}},
    };
    for (const auto& c : cases) {
        auto built = sdk->buildProperties("id", c.properties, std::nullopt, std::nullopt, c.groups, true, std::nullopt);
        for (const auto& [key, value] : c.expected) {
            ASSERT_NE(built.find(key), nullptr) << c.name << " " << key;
            EXPECT_TRUE(*built.find(key) == value) << c.name << " " << key;
        }
        EXPECT_NE(built.find("$os_name"), nullptr) << c.name;
        EXPECT_TRUE(*built.find("$process_person_profile") == Value(false)) << c.name;
        EXPECT_TRUE(*built.find("$is_identified") == Value(false)) << c.name;
        EXPECT_EQ(built.find("distinct_id"), nullptr) << c.name;
    }
    // A context key the caller also gives keeps the context's value.
    const auto plain = sdk->buildProperties("id", Object{}, std::nullopt, std::nullopt, std::nullopt, true, std::nullopt);
    const auto given = sdk->buildProperties("id", Object{{"$os_name", "fake"}, {"$timezone", "Mars/Olympus"}}, std::nullopt, std::nullopt,
                                            std::nullopt, true, std::nullopt);
    for (const char* key : {"$os_name", "$timezone"}) {
        ASSERT_NE(plain.find(key), nullptr) << key;
        EXPECT_TRUE(*given.find(key) == *plain.find(key)) << key;
    }
}

TEST_F(RideZavSDKTest, ASnapshotCarriesOnlyItsOwnAndTheLibrarysKeysAndIsDroppedWithoutASession) {
    auto sdk = setUp(config());
    auto built =
        sdk->buildProperties("person", Object{{"$snapshot_data", "x"}}, std::nullopt, std::nullopt, std::nullopt, false, std::nullopt);
    std::vector<std::string> keys;
    for (const auto& [key, value] : built) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"$lib", "$lib_version", "$session_id", "$snapshot_data", "distinct_id"}));
    EXPECT_TRUE(*built.find("distinct_id") == Value("person"));

    const auto replayFolder = sandbox.dataHome() / "com.example.velmo" / "phc_facade" / "ridezav.replayFolder";
    sdk->capture("$snapshot", Object{{"$snapshot_data", "x"}});
    EXPECT_EQ(eventFiles(replayFolder), 1);
    EXPECT_EQ(queued().size(), 0u);

    // Where the host manages sessions and has set none, no session id can be found.
    setRideZavSdkName("ridezav-react-native");
    auto hosted = setUp(config("phc_hosted"));
    ASSERT_EQ(hosted->getSessionId(), std::nullopt);
    hosted->capture("$snapshot", Object{{"$snapshot_data", "x"}});
    setRideZavSdkName("ridezav-ios");
    const auto hostedReplay = sandbox.dataHome() / "com.example.velmo" / "phc_hosted" / "ridezav.replayFolder";
    EXPECT_EQ(eventFiles(hostedReplay), 0);
}

TEST_F(RideZavSDKTest, ADroppedEventIsLoggedAndSystemEventsCarryTheWarning) {
    auto cfg = config();
    cfg.debug = true;
    cfg.setBeforeSend({[](RideZavEvent event) -> std::optional<RideZavEvent> {
        if (event.event == "$identify" || event.event == "app_opened") return std::nullopt;
        event.properties.set("rewritten", true);
        return event;
    }});
    auto sdk = setUp(cfg);
    velmo::LogCapture log;
    sdk->capture("$identify");
    sdk->capture("app_opened");
    sdk->capture("push_to_talk_started");
    EXPECT_EQ(log.linesStartingWith("[RideZav] RideZav event"),
              (std::vector<std::string>{"[RideZav] RideZav event $identify was dropped. This can cause unexpected behavior.",
                                        "[RideZav] RideZav event app_opened was dropped"}));
    auto events = queued();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, "push_to_talk_started");
    EXPECT_TRUE(*events[0].properties.find("rewritten") == Value(true));
}

TEST_F(RideZavSDKTest, TheApplicationsEventIsQueuedWithContextSessionAndAV7Id) {
    auto sdk = setUp(config());
    sdk->capture("user_message_sent", RideZavProperties{{"transcript", "hi"}, {"character_count", 2}, {"$lib", "x"}});
    auto events = queued();
    ASSERT_EQ(events.size(), 1u);
    const auto& e = events[0];
    EXPECT_EQ(e.event, "user_message_sent");
    EXPECT_EQ(e.distinctId, sdk->getDistinctId());
    EXPECT_TRUE(*e.properties.find("transcript") == Value("hi"));
    EXPECT_TRUE(*e.properties.find("character_count") == Value(std::int64_t{2}));
    EXPECT_TRUE(*e.properties.find("$lib") == Value("ridezav-ios"));
    EXPECT_EQ(e.properties.find("$session_id")->asString(), sdk->getSessionId());
    EXPECT_EQ(e.uuid.uuidString()[14], '7');
}

TEST_F(RideZavSDKTest, WithPersonProfilesNeverUserPropertiesStillTravelAndAliasSendsNothing) {
    auto cfg = config();
    cfg.debug = true;
    cfg.personProfiles = RideZavPersonProfiles::never;
    auto sdk = setUp(cfg);
    velmo::LogCapture log;
    sdk->capture("signed_up", Object{}, Object{{"email", "a@b.c"}});
    sdk->alias("other");
    EXPECT_TRUE(log.contains("[RideZav] alias(_:) was called, but `personProfiles` is set to `never`. This call will be ignored."));
    auto events = queued();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(*events[0].properties.find("$set") == Value(Object{{"email", "a@b.c"}}));
    EXPECT_TRUE(*events[0].properties.find("$process_person_profile") == Value(false));
}

TEST_F(RideZavSDKTest, TheRecorderSeesWhatTheApplicationGaveAfterTheRealFacadeQueuedIt) {
    RideZavEventRecorder recorder;
    RideZavSDK::shared().capture("permission_granted", {{"permission", "microphone"}});
    ASSERT_EQ(recorder.events().size(), 1u);
    EXPECT_EQ(recorder.events()[0].properties, (RideZavProperties{{"permission", "microphone"}}));
    EXPECT_GE(RideZavSDK::shared().queueDepth(), 1u);
    EXPECT_EQ(&RideZavSDK::shared(), RideZavSDK::sharedPtr().get());
}
