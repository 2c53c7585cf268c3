#include "RideZav/core/RideZavUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <functional>
#include <random>
#include <filesystem>
#include <limits>

#include "RideZav/core/CoreTesting.h"
#include "RideZav/core/InternalRideZavError.h"
#include "RideZav/core/RideZavAPIDateFormatter.h"
#include "RideZav/core/RideZavLog.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/foundation/TestDirectory.h"

namespace ridezav {
namespace {

using velmo::test::dateFromMilliseconds;

using velmo::test::DebugLogging;

TEST(RideZavAPIDateFormatter, WritesUTCMillisecondsRoundedDown) {
    const auto& formatter = RideZavAPIDateFormatter::shared();
    const Date date = dateFromMilliseconds(1'715'000'000'123) + std::chrono::microseconds(999);
    EXPECT_EQ(formatter.string(date), "2024-05-06T12:53:20.123Z");
    EXPECT_EQ(formatter.string(dateFromMilliseconds(0)), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(formatter.string(dateFromMilliseconds(-1)), "1969-12-31T23:59:59.999Z");
}

TEST(RideZavAPIDateFormatter, ReadsBothFormsAndRefusesOthers) {
    const auto& formatter = RideZavAPIDateFormatter::shared();
    EXPECT_EQ(formatter.date("2024-05-06T12:53:20.123Z"), dateFromMilliseconds(1'715'000'000'123));
    const auto withMs = formatter.date("2024-05-06T12:53:20.000Z");
    const auto withSeconds = formatter.date("2024-05-06T12:53:20Z");
    ASSERT_TRUE(withMs && withSeconds);
    EXPECT_EQ(*withMs, *withSeconds);
    for (const char* bad : {"2024-05-06T12:53:20+00:00", "2024-05-06T12:53:20.123+01:00", "2024-05-06 12:53:20Z", "2024-02-30T00:00:00Z",
                            "2024-05-06T24:00:00Z", "2024-05-06T12:53:20.12Z", "", "2024-05-06T12:53:20.123Zx", "2024-05-06T12:53:20",
                            // beyond what the clock can hold
                            "1012-05-06T12:53:20.123Z", "1677-01-01T00:00:00Z", "2263-01-01T00:00:00Z", "9999-12-31T23:59:59.999Z"})
        EXPECT_FALSE(formatter.date(bad)) << bad;
    // Round trip of the written form.
    const Date date = dateFromMilliseconds(1'234'567'890'987);
    EXPECT_EQ(formatter.date(formatter.string(date)), date);
}

TEST(Sanitize, ConvertsOrDropsWhatJSONCannotCarry) {
    DebugLogging debug;
    velmo::LogCapture log;
    const Object nested{{"a", "x"}, {"b", Array{"y", 1, nullptr}}};
    const Object input{
        {"url", URL{"https://example.com/a?b=c"}},
        {"date", dateFromMilliseconds(1'715'000'000'999)},
        {"nan", std::nan("")},
        {"infinite", std::numeric_limits<float>::infinity()},
        {"nested", nested},
        {"nestedDate", Array{"ok", dateFromMilliseconds(0)}},
        {"nestedNaN", Object{{"n", std::nan("")}}},
        {"opaque", OpaqueValue{"Widget"}},
        {"flag", true},
        {"count", 3},
        {"null", nullptr},
    };
    const std::optional<Object> result = sanitize(input);
    ASSERT_TRUE(result);
    const Object expected{{"url", "https://example.com/a?b=c"},
                          {"date", "2024-05-06T12:53:20Z"},
                          {"nested", nested},
                          {"flag", true},
                          {"count", 3},
                          {"null", nullptr}};
    EXPECT_EQ(*result, expected);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[RideZav] property: nan isn't serializable, dropping the item",
                               "[RideZav] property: infinite isn't serializable, dropping the item",
                               "[RideZav] property: nestedDate isn't serializable, dropping the item",
                               "[RideZav] property: nestedNaN isn't serializable, dropping the item",
                               "[RideZav] property: opaque isn't serializable, dropping the item",
                           }));
}

TEST(Sanitize, EmptyOrMissingGivesNone) {
    EXPECT_FALSE(sanitize(std::nullopt));
    EXPECT_FALSE(sanitize(Object{}));
    EXPECT_FALSE(jsonData(Object{}));
}

TEST(IsValidJSONValue, Table) {
    struct Case {
        Value value;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"text", true},
        {false, true},
        {std::int64_t(-5), true},
        {std::uint64_t(1) << 63, true},
        {2.5, true},
        {1.5f, true},
        {nullptr, true},
        {std::nan(""), false},
        {-std::numeric_limits<double>::infinity(), false},
        {std::numeric_limits<float>::quiet_NaN(), false},
        {Array{}, true},
        {Object{}, true},
        {Array{Array{Object{{"k", Array{1, 2}}}}}, true},
        {Array{Array{Object{{"k", Array{1, URL{"u"}}}}}}, false},
        {dateFromMilliseconds(0), false},
        {URL{"https://x"}, false},
        {OpaqueValue{"T"}, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(isValidJSONValue(cases[i].value), cases[i].valid) << i;
}

TEST(JSONData, KeepsBooleansIntegersAndDoublesApartThroughAWriteAndARead) {
    const Object input{
        {"b", true},    {"i", std::int64_t(1)}, {"d", 1.0}, {"f", 0.1f}, {"big", std::int64_t(9007199254740993)}, {"neg", std::int64_t(-3)},
        {"zero", false}};
    const auto bytes = jsonData(input);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, R"({"b":true,"i":1,"d":1.0,"f":0.1,"big":9007199254740993,"neg":-3,"zero":false})");
    const auto back = parseJSON(*bytes);
    ASSERT_TRUE(back && back->isObject());
    const Object& read = *back->get<Object>();
    EXPECT_TRUE(read.find("b")->get<bool>());
    EXPECT_EQ(*read.find("i")->get<std::int64_t>(), 1);
    EXPECT_EQ(*read.find("d")->get<double>(), 1.0);
    EXPECT_EQ(*read.find("big")->get<std::int64_t>(), 9007199254740993);
    EXPECT_FALSE(*read.find("zero")->get<bool>());
    EXPECT_FALSE(read.find("zero")->isNumber());
    EXPECT_FALSE(read.find("i")->isBool());
}

TEST(JSONData, SortedKeysGiveEqualBytesForEqualDictionaries) {
    const auto a = jsonData(Object{{"z", 1}, {"a", Object{{"y", 2}, {"b", 3}}}}, {.sortedKeys = true});
    const auto b = jsonData(Object{{"a", Object{{"b", 3}, {"y", 2}}}, {"z", 1}}, {.sortedKeys = true});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(*a, R"({"a":{"b":3,"y":2},"z":1})");
}

TEST(JSONData, WriteFailureIsLoggedAndGivesNone) {
    DebugLogging debug;
    velmo::LogCapture log;
    EXPECT_FALSE(jsonData(Object{{"bad", std::string("\xC3\x28")}}));  // not UTF-8
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("[RideZav] Failed to serialize dictionary to JSON: ", 0), 0u) << log.lines()[0];
}

// The direct writer must give the document writer's bytes, and its refusals and lines.
void expectSameAsTheDocumentWriter(const Object& input, const std::string& name) {
    DebugLogging debug;
    velmo::LogCapture directLog;
    const auto direct = jsonData(input);
    const auto directLines = directLog.lines();
    velmo::LogCapture documentLog;
    const auto document = jsonDataThroughDocument(input);
    EXPECT_EQ(direct, document) << name;
    EXPECT_EQ(directLines, documentLog.lines()) << name;
}

TEST(JSONData, WritesWhatTheDocumentWriterWrites) {
    std::string controls;
    for (int c = 0; c < 0x20; ++c) controls.push_back(static_cast<char>(c));
    const std::pair<const char*, Object> cases[] = {
        {"control characters", Object{{"s", controls + "\x7F end"}}},
        {"quotes and backslashes", Object{{"s\"k\\", "a \"quoted\" \\ back/slash"}}},
        {"multi-byte text", Object{{"é", "中文 \xF0\x9F\x8E\xAF \xC3\xA9"}}},
        {"numbers", Object{{"d", 0.1},
                           {"e", 1e20},
                           {"neg0", -0.0},
                           {"small", 1e-7},
                           {"max", std::numeric_limits<double>::max()},
                           {"denormal", std::numeric_limits<double>::denorm_min()},
                           {"f", 3.4e38f},
                           {"f2", 0.3f},
                           {"imin", std::numeric_limits<std::int64_t>::min()},
                           {"umax", std::numeric_limits<std::uint64_t>::max()}}},
        {"containers",
         Object{{"a", Array{}}, {"o", Object{}}, {"n", nullptr}, {"deep", Array{Object{{"k", Array{1, "x", Object{{"z", false}}}}}, 2.5}}}},
        {"a date and a URL", Object{{"d", dateFromMilliseconds(1000)}, {"u", URL{"https://x.test/a"}}, {"k", 1}}},
        {"a nested date", Object{{"k", 1}, {"a", Array{dateFromMilliseconds(0)}}}},
        {"not finite", Object{{"k", 1}, {"nan", std::nan("")}}},
        {"an opaque value", Object{{"o", OpaqueValue{"T"}}}},
        {"empty", Object{}},
    };
    for (const auto& [name, input] : cases) expectSameAsTheDocumentWriter(input, name);
    // Byte sequences that are not UTF-8, in a value and in a key.
    for (const char* bytes :
         {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80", "\xF5\x80\x80\x80", "\xE0\x9F\xBF", "\xC2", "ok\xFF"}) {
        expectSameAsTheDocumentWriter(Object{{"k", std::string(bytes)}}, std::string("value ") + bytes);
        expectSameAsTheDocumentWriter(Object{{std::string(bytes), 1}}, std::string("key ") + bytes);
    }
}

TEST(JSONData, WritesWhatTheDocumentWriterWritesForRandomDictionaries) {
    std::mt19937 random(20261210);
    const auto text = [&] {
        std::string out;
        const int length = std::uniform_int_distribution<int>(0, 12)(random);
        for (int i = 0; i < length; ++i) {
            switch (std::uniform_int_distribution<int>(0, 39)(random)) {  // now and then a byte that is no UTF-8
                case 0:
                    out.push_back(static_cast<char>(std::uniform_int_distribution<int>(0, 0x1F)(random)));
                    break;
                case 1:
                    out.push_back(static_cast<char>(std::uniform_int_distribution<int>(0x80, 0xFF)(random)));
                    break;
                case 2:
                    out += "\xC3\xA9";
                    break;
                case 3:
                    out += "\xF0\x9F\x99\x82";
                    break;
                default:
                    out.push_back(static_cast<char>(std::uniform_int_distribution<int>(0x20, 0x7E)(random)));
            }
        }
        return out;
    };
    std::function<Value(int)> value = [&](int depth) -> Value {
        switch (std::uniform_int_distribution<int>(0, depth > 2 ? 6 : 8)(random)) {
            case 0:
                return nullptr;
            case 1:
                return random() % 2 == 0;
            case 2:
                return static_cast<std::int64_t>(random()) - (std::int64_t(1) << 31);
            case 3:
                return std::ldexp(std::uniform_real_distribution<double>(-1, 1)(random),
                                  std::uniform_int_distribution<int>(-60, 60)(random));
            case 4:
                return static_cast<float>(std::uniform_real_distribution<double>(-1000, 1000)(random));
            case 5:
            case 6:
                return text();
            case 7: {
                Array array;
                for (int i = std::uniform_int_distribution<int>(0, 3)(random); i > 0; --i) array.push_back(value(depth + 1));
                return array;
            }
            default: {
                Object object;
                for (int i = std::uniform_int_distribution<int>(0, 3)(random); i > 0; --i) object.set(text(), value(depth + 1));
                return object;
            }
        }
    };
    for (int round = 0; round < 2000; ++round) {
        Object input;
        for (int i = std::uniform_int_distribution<int>(0, 6)(random); i > 0; --i) input.set(text(), value(0));
        expectSameAsTheDocumentWriter(input, "round " + std::to_string(round));
        if (testing::Test::HasFailure()) return;
    }
}

TEST(ParseJSON, AcceptsTopLevelFragmentsAndRefusesGarbage) {
    EXPECT_EQ(parseJSON("3"), Value(3));
    EXPECT_EQ(parseJSON("\"text\""), Value("text"));
    EXPECT_EQ(parseJSON("null"), Value(nullptr));
    EXPECT_EQ(parseJSON("[1.5,true]"), Value(Array{1.5, true}));
    EXPECT_FALSE(parseJSON("{\"a\":"));
    EXPECT_FALSE(parseJSON(""));
}

TEST(ParseJSON, RefusesDocumentsNestedPastTheLimitInsteadOfOverflowingTheStack) {
    const auto nested = [](int depth) { return std::string(std::size_t(depth), '[') + std::string(std::size_t(depth), ']'); };
    EXPECT_TRUE(parseJSON(nested(kMaximumJSONDepth)));
    EXPECT_FALSE(parseJSON(nested(kMaximumJSONDepth + 1)));
    EXPECT_FALSE(parseJSON(nested(200000)));
    EXPECT_FALSE(parseJSON(std::string(200000, '[')));
    std::string objects;
    for (int i = 0; i < 200000; ++i) objects += "{\"a\":";
    EXPECT_FALSE(parseJSON(objects + "1" + std::string(200000, '}')));
}

TEST(ParseJSON, ObjectsKeepInsertionOrder) {
    const auto value = parseJSON(R"({"z":1,"a":2,"m":3})");
    ASSERT_TRUE(value);
    std::string keys;
    for (const auto& entry : *value->get<Object>()) keys += entry.first;
    EXPECT_EQ(keys, "zam");
    EXPECT_EQ(toOrderedJSON(*value)->dump(), R"({"z":1,"a":2,"m":3})");
}

TEST(FileHelpers, DeleteSafelyAndCreateDirectoryIfNeeded) {
    DebugLogging debug;
    velmo::LogCapture log;
    velmo::test::TestDirectory dir;
    deleteSafely(dir / "absent");
    const std::filesystem::path folder = dir / "a/b/c";
    createDirectoryIfNeeded(folder);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    createDirectoryIfNeeded(folder);  // already there
    dir.write("a/b/c/file", "x");
    deleteSafely(dir / "a");
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
    EXPECT_TRUE(log.lines().empty());

    dir.write("blocker", "x");
    createDirectoryIfNeeded(dir / "blocker/sub");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "[RideZav] Error creating storage directory: Not a directory");
}

TEST(InternalRideZavError, DescriptionNamesTheSourcePlace) {
    const InternalRideZavError error("Install failed");
    EXPECT_EQ(error.description.rfind("Install failed (", 0), 0u);
    EXPECT_NE(error.description.find("RideZavUtils_test.cpp:"), std::string::npos);
    EXPECT_EQ(error.description.back(), ')');
}

}  // namespace
}  // namespace ridezav
