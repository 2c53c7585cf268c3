#include <gtest/gtest.h>

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavSDKTestFixture.h"
#include "RideZav/storage/RideZavStorage.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"

using namespace ridezav;

namespace {

class RideZavSDKIdentityTest : public RideZavSDKTest {
protected:
    std::shared_ptr<RideZavSDK> debugFacade(RideZavConfig c = config()) {
        c.debug = true;
        return setUp(c);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : queued()) out.push_back(e.event);
        return out;
    }
    static std::optional<Value> property(const RideZavEvent& event, std::string_view key) {
        const Value* value = event.properties.find(key);
        return value ? std::optional<Value>(*value) : std::nullopt;
    }
};

}  // namespace

TEST_F(RideZavSDKIdentityTest, AnEmptyIdSendsAndStoresNothing) {
    auto sdk = debugFacade();
    const auto before = sdk->getDistinctId();
    velmo::LogCapture log;
    sdk->identify("");
    EXPECT_TRUE(log.contains("[RideZav] identify call not allowed, distinctId is invalid: "));
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(sdk->getDistinctId(), before);
    EXPECT_FALSE(std::filesystem::exists(sandbox.dataHome() / "com.example.velmo" / "phc_facade" / "ridezav.isIdentified"));
}

TEST_F(RideZavSDKIdentityTest, TheFirstIdentifyLinksTheAnonymousIdUnlessItIsReused) {
    for (bool reuse : {false, true}) {
        const std::string key = reuse ? "phc_reuse" : "phc_link";
        auto cfg = config(key);
        cfg.reuseAnonymousId = reuse;
        auto sdk = setUp(cfg);
        const auto anonymous = sdk->getAnonymousId();
        ASSERT_EQ(sdk->getDistinctId(), anonymous);
        sdk->identify("user-1", Object{{"email", "a@b.c"}}, Object{{"first_seen", "today"}});
        auto events = queued(key);
        ASSERT_EQ(events.size(), 1u) << key;
        const auto& e = events[0];
        EXPECT_EQ(e.event, "$identify");
        EXPECT_EQ(e.distinctId, "user-1");
        EXPECT_EQ(property(e, "distinct_id"), Value("user-1"));
        EXPECT_EQ(property(e, "$anon_distinct_id"), reuse ? std::nullopt : std::optional<Value>(anonymous)) << key;
        EXPECT_EQ(property(e, "$set"), Value(Object{{"email", "a@b.c"}}));
        EXPECT_EQ(property(e, "$set_once"), Value(Object{{"first_seen", "today"}}));
        EXPECT_EQ(property(e, "$is_identified"), Value(true));
        EXPECT_EQ(property(e, "$process_person_profile"), Value(true));
        EXPECT_NE(property(e, "$session_id"), std::nullopt);
        EXPECT_EQ(sdk->getDistinctId(), "user-1");
        EXPECT_EQ(sdk->getAnonymousId(), anonymous);
        EXPECT_EQ(RideZavStorage(cfg).getBool(StorageKey::isIdentified), true) << key;
    }
}

TEST_F(RideZavSDKIdentityTest, ASecondIdWhileIdentifiedIsRefused) {
    auto sdk = debugFacade();
    sdk->identify("user-1");
    velmo::LogCapture log;
    sdk->identify("user-2", Object{{"plan", "pro"}});
    EXPECT_TRUE(log.contains("[RideZav] already identified with id: user-1"));
    EXPECT_EQ(names(), (std::vector<std::string>{"$identify"}));
    EXPECT_EQ(sdk->getDistinctId(), "user-1");
}

TEST_F(RideZavSDKIdentityTest, TheCurrentIdWithPropertiesSendsSetOncePerFingerprint) {
    auto sdk = debugFacade();
    sdk->identify("user-1");
    velmo::LogCapture log;
    sdk->identify("user-1");
    EXPECT_TRUE(log.contains("[RideZav] already identified with id: user-1"));
    sdk->identify("user-1", Object{{"plan", "pro"}, {"seats", 3}});
    sdk->identify("user-1", Object{{"seats", 3}, {"plan", "pro"}});  // same map, other order
    EXPECT_EQ(log.linesStartingWith("[RideZav] A duplicate identify call was made with the same properties. The $set "
                                    "event has been ignored.")
                  .size(),
              1u);
    sdk->identify("user-1", Object{{"plan", "team"}});
    auto events = queued();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].event, "$set");
    EXPECT_EQ(events[1].distinctId, "user-1");
    EXPECT_EQ(property(events[1], "$set"), Value(Object{{"plan", "pro"}, {"seats", 3}}));
    EXPECT_EQ(property(events[2], "$set"), Value(Object{{"plan", "team"}}));
}

TEST_F(RideZavSDKIdentityTest, SetPersonPropertiesSkipsEmptyMapsAndDuplicates) {
    auto sdk = debugFacade();
    velmo::LogCapture log;
    sdk->setPersonProperties(Object{}, Object{});
    sdk->setPersonProperties(std::nullopt);
    EXPECT_TRUE(queued().empty());
    EXPECT_TRUE(log.lines().empty());  // not even the fingerprint was touched

    sdk->setPersonProperties(Object{{"name", "Ada"}}, Object{{"name", "first"}, {"joined", 2024}});
    sdk->setPersonProperties(Object{{"name", "Ada"}}, Object{{"name", "first"}, {"joined", 2024}});
    EXPECT_EQ(log.linesStartingWith("[RideZav] A duplicate"),
              (std::vector<std::string>{"[RideZav] A duplicate setPersonProperties call was made with the same "
                                        "properties. It has been ignored."}));
    sdk->setPersonProperties(Object{{"name", "Ada"}});  // without the set-once map it differs
    auto events = queued();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, "$set");
    EXPECT_EQ(events[0].distinctId, sdk->getDistinctId());
    EXPECT_EQ(property(events[0], "$set_once"), Value(Object{{"name", "first"}, {"joined", 2024}}));
    EXPECT_EQ(property(events[1], "$set_once"), std::nullopt);
}

TEST_F(RideZavSDKIdentityTest, JoiningTheSameGroupTwiceSendsTwoGroupIdentifiesAndTheGroupsTravel) {
    auto sdk = setUp(config());
    sdk->group("company", "acme", Object{{"name", "Acme"}});
    sdk->group("company", "acme");
    sdk->capture("app_opened");
    auto events = queued();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].event, "$groupidentify");
    EXPECT_EQ(property(events[0], "$group_type"), Value("company"));
    EXPECT_EQ(property(events[0], "$group_key"), Value("acme"));
    EXPECT_EQ(property(events[0], "$group_set"), Value(Object{{"name", "Acme"}}));
    EXPECT_EQ(events[1].event, "$groupidentify");
    EXPECT_EQ(property(events[1], "$group_set"), std::nullopt);
    for (const auto& e : events) EXPECT_EQ(property(e, "$groups"), Value(Object{{"company", "acme"}})) << e.event;
    EXPECT_EQ(RideZavStorage(config()).getJSON(StorageKey::groups), Value(Object{{"company", "acme"}}));

    sdk->group("company", "initech");
    sdk->group("project", "velmo");
    EXPECT_EQ(RideZavStorage(config()).getJSON(StorageKey::groups), Value(Object{{"company", "initech"}, {"project", "velmo"}}));
}

TEST_F(RideZavSDKIdentityTest, OnlyAChangedGroupReloadsTheFlags) {
    using Groups = std::map<std::string, std::string>;
    struct Case {
        Groups stored, given;
        bool reload;
    } cases[] = {
        {{}, {{"company", "acme"}}, true},  // the first group
        {{{"company", "acme"}}, {{"company", "acme"}}, false},  // the same pair again
        {{{"company", "acme"}}, {{"company", "initech"}}, true},  // another key
        {{{"company", "acme"}}, {{"project", "velmo"}}, true},  // another type
        {{{"company", "acme"}, {"project", "velmo"}}, {{"project", "velmo"}}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(RideZavSDK::groupsChangeFlags(c.stored, c.given), c.reload);
}

TEST_F(RideZavSDKIdentityTest, PersonProfilesNeverRefusesIdentifySetPersonPropertiesAndGroup) {
    auto cfg = config();
    cfg.personProfiles = RideZavPersonProfiles::never;
    auto sdk = debugFacade(cfg);
    const auto before = sdk->getDistinctId();
    velmo::LogCapture log;
    sdk->identify("user-1");
    sdk->setPersonProperties(Object{{"plan", "pro"}});
    sdk->group("company", "acme");
    const std::string tail = " was called, but `personProfiles` is set to `never`. This call will be ignored.";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[RideZav] identify(_:userProperties:userPropertiesSetOnce:)" + tail,
                               "[RideZav] setPersonProperties(userPropertiesToSet:userPropertiesToSetOnce:)" + tail,
                               "[RideZav] group(type:key:groupProperties:)" + tail,
                           }));
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(sdk->getDistinctId(), before);
    EXPECT_EQ(RideZavStorage(cfg).getJSON(StorageKey::groups), std::nullopt);
}

TEST_F(RideZavSDKIdentityTest, SuperPropertiesAreMergedNewWinningAndRemovedOneByOne) {
    auto sdk = setUp(config());
    sdk->registerProperties(Object{{"plan", "free"}, {"team", "core"}});
    sdk->registerProperties(Object{{"plan", "pro"}, {"$os_name", "mine"}});
    sdk->unregisterProperties("team");
    sdk->unregisterProperties("missing");  // rewrites the same map
    EXPECT_EQ(RideZavStorage(config()).getJSON(StorageKey::registerProperties), Value(Object{{"plan", "pro"}, {"$os_name", "mine"}}));
    sdk->capture("app_opened");
    auto events = queued();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(property(events[0], "plan"), Value("pro"));
    EXPECT_EQ(property(events[0], "team"), std::nullopt);
    EXPECT_NE(property(events[0], "$os_name"), Value("mine"));  // the context wins
}

TEST_F(RideZavSDKIdentityTest, OptedOutIdentifyGroupAndAliasSendNothing) {
    auto cfg = config();
    cfg.setOptOut(true);
    auto sdk = debugFacade(cfg);
    velmo::LogCapture log;
    sdk->identify("user-1");
    sdk->group("company", "acme");
    sdk->alias("other");
    EXPECT_EQ(log.linesStartingWith("[RideZav] RideZav is in OptOut state.").size(), 3u);
    EXPECT_TRUE(queued().empty());
    EXPECT_NE(sdk->getDistinctId(), "user-1");
    EXPECT_FALSE(sdk->isPersonProcessing());  // a refused call turns on nothing
}

TEST_F(RideZavSDKIdentityTest, PersonPropertiesThatAreNotUTF8AreComparedWithoutThrowing) {
    auto sdk = debugFacade();
    const Object bad{{"name", std::string("\xff\xfe")}};
    EXPECT_NO_THROW(sdk->setPersonProperties(bad));
    velmo::LogCapture log;
    EXPECT_NO_THROW(sdk->setPersonProperties(bad));
    EXPECT_TRUE(log.contains("[RideZav] A duplicate setPersonProperties call was made with the same properties. It has been ignored."));
    sdk->identify("user-1");
    EXPECT_NO_THROW(sdk->identify("user-1", Object{{"name", std::string("\xff")}}));
}
