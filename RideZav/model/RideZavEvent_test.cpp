#include "RideZav/model/RideZavEvent.h"

#include <gtest/gtest.h>

#include "RideZav/core/CoreTesting.h"
#include "RideZav/core/RideZavUtils.h"
#include "RideZav/model/RideZavFeatureFlagResult.h"

namespace ridezav {
namespace {

using velmo::test::dateFromMilliseconds;

constexpr const char* kId = "0190A1B2-C3D4-7E5F-8A9B-0C1D2E3F4A5B";

struct ReadingClock {
    std::shared_ptr<velmo::test::ManualWallClock> clock =
        std::make_shared<velmo::test::ManualWallClock>(dateFromMilliseconds(1'700'000'000'456));
    velmo::test::ScopedWallClock scope{clock};
};

TEST(RideZavEvent, FromJSONTable) {
    ReadingClock reading;
    const Date readTime = reading.clock->now();
    struct Case {
        const char* name;
        Object json;
        bool read;
        std::string distinctId = "";
        std::optional<Date> timestamp = std::nullopt;
        std::optional<std::string> uuid = std::nullopt;  // none: a fresh v7 id
    };
    const std::vector<Case> cases = {
        {"empty", Object{}, false},
        {"no event", Object{{"distinct_id", "d"}}, false},
        {"event not text", Object{{"event", 3}, {"distinct_id", "d"}}, false},
        {"no distinct id", Object{{"event", "e"}, {"properties", Object{{"a", 1}}}}, false},
        {"distinct id not text", Object{{"event", "e"}, {"distinct_id", 5}}, false},
        {"no timestamp", Object{{"event", "e"}, {"distinct_id", "d"}, {"uuid", kId}}, true, "d", readTime, kId},
        {"seconds form", Object{{"event", "e"}, {"distinct_id", "d"}, {"timestamp", "2024-05-06T12:53:20Z"}, {"uuid", kId}}, true, "d",
         dateFromMilliseconds(1'715'000'000'000), kId},
        {"space separator", Object{{"event", "e"}, {"distinct_id", "d"}, {"timestamp", "2024-05-06 12:53:20.000Z"}, {"uuid", kId}}, true,
         "d", readTime, kId},
        {"timestamp not text", Object{{"event", "e"}, {"distinct_id", "d"}, {"timestamp", 17}, {"uuid", kId}}, true, "d", readTime, kId},
        {"message_id", Object{{"event", "e"}, {"distinct_id", "d"}, {"message_id", "0190a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b"}}, true, "d",
         readTime, kId},
        {"uuid wins over message_id",
         Object{{"event", "e"}, {"distinct_id", "d"}, {"uuid", kId}, {"message_id", "11111111-1111-4111-8111-111111111111"}}, true, "d",
         readTime, kId},
        {"bad uuid", Object{{"event", "e"}, {"distinct_id", "d"}, {"uuid", "not-a-uuid"}}, true, "d", readTime},
        {"distinct id in properties", Object{{"event", "e"}, {"properties", Object{{"distinct_id", "inner"}}}, {"uuid", kId}}, true,
         "inner", readTime, kId},
        {"top level wins", Object{{"event", "e"}, {"distinct_id", "top"}, {"properties", Object{{"distinct_id", "inner"}}}, {"uuid", kId}},
         true, "top", readTime, kId},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto event = RideZavEvent::fromJSON(c.json);
        ASSERT_EQ(event.has_value(), c.read);
        if (!event) continue;
        EXPECT_EQ(event->event, "e");
        EXPECT_EQ(event->distinctId, c.distinctId);
        EXPECT_EQ(event->timestamp, *c.timestamp);
        if (c.uuid) {
            EXPECT_EQ(event->uuid.uuidString(), *c.uuid);
        } else {
            EXPECT_EQ(event->uuid.uuidString()[14], '7');
            EXPECT_EQ(event->uuid.bytes()[5], 0xC8);  // 1'700'000'000'456 ms = 0x18BCFE568C8
        }
        EXPECT_FALSE(event->apiKey);
    }
}

TEST(RideZavEvent, TopLevelSetReplacesTheOneInPropertiesAndWrongTypesCountAsAbsent) {
    const auto event = RideZavEvent::fromJSON(Object{{"event", "$identify"},
                                                     {"distinct_id", "d"},
                                                     {"properties", Object{{"$set", Object{{"old", 1}}}, {"k", "v"}}},
                                                     {"$set", Object{{"new", 2}}},
                                                     {"api_key", "phc_1"}});
    ASSERT_TRUE(event);
    EXPECT_EQ(event->properties, (Object{{"$set", Object{{"new", 2}}}, {"k", "v"}}));
    EXPECT_EQ(event->apiKey, "phc_1");

    const auto wrong =
        RideZavEvent::fromJSON(Object{{"event", "e"}, {"distinct_id", "d"}, {"properties", "text"}, {"$set", 4}, {"api_key", false}});
    ASSERT_TRUE(wrong);
    EXPECT_TRUE(wrong->properties.empty());
    EXPECT_FALSE(wrong->apiKey);
}

TEST(RideZavEvent, FiveKeysRoundTripEqualToTheMillisecond) {
    const RideZavEvent event("app_opened", "user-1", Object{{"n", 1}, {"f", 2.5}, {"b", true}, {"list", Array{"a", nullptr}}},
                             dateFromMilliseconds(1'715'000'000'123) + std::chrono::microseconds(789), *velmo::UUID::fromString(kId));
    const Object json = event.toJSON();
    std::vector<std::string> keys;
    for (const auto& entry : json) keys.push_back(entry.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"event", "distinct_id", "properties", "timestamp", "uuid"}));
    EXPECT_EQ(*json.find("timestamp"), Value("2024-05-06T12:53:20.123Z"));

    // Through the bytes a queue file holds.
    const auto bytes = jsonData(json);
    ASSERT_TRUE(bytes);
    const auto parsed = parseJSON(*bytes);
    ASSERT_TRUE(parsed && parsed->isObject());
    const auto back = RideZavEvent::fromJSON(*parsed->get<Object>());
    ASSERT_TRUE(back);
    RideZavEvent expected = event;
    expected.timestamp = dateFromMilliseconds(1'715'000'000'123);
    EXPECT_EQ(*back, expected);

    RideZavEvent withKey = event;
    withKey.apiKey = "phc_x";
    EXPECT_EQ(*withKey.toJSON().find("api_key"), Value("phc_x"));
    EXPECT_EQ(withKey.toJSON().size(), 6u);
}

TEST(RideZavSystemEvent, NamesMapBothWays) {
    EXPECT_EQ(systemEventFromName("$snapshot"), RideZavSystemEvent::snapshot);
    EXPECT_EQ(systemEventFromName("survey shown"), RideZavSystemEvent::surveyShown);
    EXPECT_EQ(systemEventFromName("$feature_flag_called"), RideZavSystemEvent::featureFlagCalled);
    EXPECT_FALSE(systemEventFromName("$pageview"));
    EXPECT_FALSE(systemEventFromName("$Screen"));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(systemEventFromName(systemEventName(RideZavSystemEvent(i))), RideZavSystemEvent(i));
}

struct Banner {
    std::string title;
    int count = 0;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Banner, title, count)

TEST(RideZavFeatureFlagResult, DecodedPayload) {
    const RideZavFeatureFlagResult object("k", true, "v1", Value(Object{{"title", "Hi"}, {"count", 3}}));
    const auto banner = object.decodedPayload<Banner>();
    ASSERT_TRUE(banner);
    EXPECT_EQ(banner->title, "Hi");
    EXPECT_EQ(banner->count, 3);
    EXPECT_FALSE(object.decodedPayload<std::string>());

    const RideZavFeatureFlagResult text("k", true, std::nullopt, Value("plain"));
    EXPECT_FALSE(text.decodedPayload<Banner>());
    EXPECT_EQ(text.decodedPayload<std::string>(), "plain");

    const RideZavFeatureFlagResult mismatched("k", false, std::nullopt, Value(Object{{"title", 5}}));
    EXPECT_FALSE(mismatched.decodedPayload<Banner>());
    EXPECT_FALSE(RideZavFeatureFlagResult("k", false, std::nullopt, std::nullopt).decodedPayload<Banner>());
    const auto list = RideZavFeatureFlagResult("k", true, std::nullopt, Value(Array{1, 2})).decodedPayload<std::vector<int>>();
    EXPECT_EQ(list, (std::vector<int>{1, 2}));
}

TEST(RideZavEvent, OnlyTheJSONFormItWritesCountsAsItsJSONForm) {
    RideZavEvent e("opened", "user-1", Object{{"n", 1}, {"nested", Object{{"event", 2}}}}, dateFromMilliseconds(1704067200123),
                   velmo::UUID::random());
    const std::string written = *jsonData(e.toJSON());
    EXPECT_TRUE(RideZavEvent::isJSONForm(written));
    e.apiKey = "phc_key";
    EXPECT_TRUE(RideZavEvent::isJSONForm(*jsonData(e.toJSON())));
    const std::string uuid = e.uuid.uuidString();
    struct Case {
        const char* name;
        std::string json;
    };
    const Case others[] = {
        {"no uuid", R"({"event":"a","distinct_id":"d","properties":{},"timestamp":"2024-01-01T00:00:00.000Z"})"},
        {"a timestamp that does not read", R"({"event":"a","distinct_id":"d","properties":{},"timestamp":"soon","uuid":")" + uuid + "\"}"},
        {"a uuid that does not read",
         R"({"event":"a","distinct_id":"d","properties":{},"timestamp":"2024-01-01T00:00:00.000Z","uuid":"x"})"},
        {"a key of its own",
         R"({"event":"a","distinct_id":"d","properties":{},"timestamp":"2024-01-01T00:00:00.000Z","uuid":")" + uuid + R"(","$set":{}})"},
        {"a key twice",
         R"({"event":"a","event":"b","distinct_id":"d","properties":{},"timestamp":"2024-01-01T00:00:00.000Z","uuid":")" + uuid + "\"}"},
        {"properties that are no object",
         R"({"event":"a","distinct_id":"d","properties":[],"timestamp":"2024-01-01T00:00:00.000Z","uuid":")" + uuid + "\"}"},
        {"a number for a name",
         R"({"event":1,"distinct_id":"d","properties":{},"timestamp":"2024-01-01T00:00:00.000Z","uuid":")" + uuid + "\"}"},
        {"an array", "[" + written + "]"},
        {"cut short", written.substr(0, written.size() - 1)},
        {"nothing", ""},
        {"nested too deeply", R"({"event":"a","distinct_id":"d","timestamp":"2024-01-01T00:00:00.000Z","uuid":")" + uuid +
                                  R"(","properties":)" + std::string(600, '[') + std::string(600, ']') + "}"},
    };
    for (const auto& c : others) EXPECT_FALSE(RideZavEvent::isJSONForm(c.json)) << c.name;
}

}  // namespace
}  // namespace ridezav
