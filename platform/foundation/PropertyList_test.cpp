#include "platform/foundation/PropertyList.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdint>
#include <limits>

#include "platform/foundation/BadPropertyLists.h"
#include "platform/foundation/TestDirectory.h"

namespace velmo {
namespace {

using Dict = PlistValue::Dictionary;
using Array = PlistValue::Array;
using Data = PlistValue::Data;

TEST(PropertyListTest, EveryKindSurvivesXML) {
    const std::vector<PlistValue> values = {
        true,
        false,
        0,
        -5,
        std::numeric_limits<std::int64_t>::min(),
        std::numeric_limits<std::int64_t>::max(),
        0.1,
        -1e300,
        "",
        "héllo 👋 & <tag> \"q\"\n\ttab",
        Data{0, 1, 0xFF, 'a'},
        Data{},
        PlistDate{1700000000},
        Array{},
        Dict{},
        Dict{{"list", Array{1, "two", 3.5, Dict{{"deep", true}}}}, {"empty", ""}, {"ключ", "значение"}},
    };
    for (const auto& value : values) {
        const std::string xml = PropertyList::toXML(value);
        EXPECT_EQ(PropertyList::parse(xml), value) << xml;
    }
    // XML keeps dates to the second.
    EXPECT_EQ(PropertyList::parse(PropertyList::toXML(PlistDate{1700000000.75})), PlistValue(PlistDate{1700000000}));
    // Before 2001 too: the second the date falls in, not the one after.
    EXPECT_EQ(PropertyList::parse(PropertyList::toXML(PlistDate{978307185.25})), PlistValue(PlistDate{978307185}));
}

TEST(PropertyListTest, ReadsBinaryPropertyLists) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "name", plist_new_string("Grüße 🎯"));
    plist_dict_set_item(root, "count", plist_new_uint(static_cast<std::uint64_t>(-42)));
    plist_dict_set_item(root, "on", plist_new_bool(1));
    plist_dict_set_item(root, "ratio", plist_new_real(2.25));
    plist_dict_set_item(root, "bytes", plist_new_data("\x00\x01", 2));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("a"));
    plist_dict_set_item(root, "list", list);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    const std::string bytes(bin, length);
    plist_to_bin_free(bin);
    plist_free(root);

    const PlistValue expected =
        Dict{{"name", "Grüße 🎯"}, {"count", -42}, {"on", true}, {"ratio", 2.25}, {"bytes", Data{0, 1}}, {"list", Array{"a"}}};
    EXPECT_EQ(PropertyList::parse(bytes), expected);
    // Truncations of a good file are refused, never misread.
    for (size_t cut : {bytes.size() - 1, bytes.size() / 2, size_t{12}})
        EXPECT_THROW(PropertyList::parse(bytes.substr(0, cut)), PropertyListError) << cut;
}

TEST(PropertyListTest, IntegerAboveSignedRangeBecomesReal) {
    const PlistValue value = PropertyList::parse("<plist><integer>18446744073709551615</integer></plist>");
    ASSERT_NE(value.asReal(), nullptr);
    EXPECT_DOUBLE_EQ(*value.asReal(), 18446744073709551615.0);
}

// A binary property list of `depth` arrays, each holding the next, the last empty.
std::string nestedBinary(uint32_t depth, bool cycle = false) {
    std::vector<std::string> objects;
    for (uint32_t i = 0; i < depth; ++i) {
        const uint32_t next = cycle ? i : i + 1;
        objects.push_back({'\xA1', char(next >> 24), char(next >> 16), char(next >> 8), char(next)});
    }
    objects.push_back("\xA0");
    return test::binaryPropertyList(objects, 4);
}

std::string nestedXML(int depth) {
    std::string xml = "<plist>";
    for (int i = 0; i < depth; ++i) xml += "<array>";
    for (int i = 0; i < depth; ++i) xml += "</array>";
    return xml + "</plist>";
}

TEST(PropertyListTest, RefusesBadInputWithAnError) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"not a property list", "garbage"},
        {"unterminated XML", "<plist><dict><key>a</key>"},
        {"unknown element", "<plist><foo>1</foo></plist>"},
        {"binary header only", "bplist00garbage"},
        {"binary that contains itself", nestedBinary(1, true)},
        {"binary nested too deeply", nestedBinary(200000)},
        {"XML nested too deeply", nestedXML(100000)},
        {"NUL bytes", std::string(64, '\0')},
    };
    for (const auto& [name, bytes] : cases) EXPECT_THROW(PropertyList::parse(bytes), PropertyListError) << name;

    EXPECT_NO_THROW(PropertyList::parse(nestedBinary(PropertyList::maximumDepth - 1)));
    EXPECT_NO_THROW(PropertyList::parse(nestedXML(PropertyList::maximumDepth)));
}

TEST(PropertyListTest, RefusesBeforeTheLibraryWhatCannotBeReadSafelyOrWrittenBack) {
    for (const auto& [name, bytes] : test::badPropertyLists()) EXPECT_THROW(PropertyList::parse(bytes), PropertyListError) << name;
    // Sharing within the node limit is read, each reference a copy.
    PlistValue expanded = PlistValue::Array{};
    for (int i = 0; i < 10; ++i) expanded = PlistValue::Array{expanded, expanded};
    EXPECT_EQ(PropertyList::parse(test::sharedReferencesPropertyList(10)), PlistValue(Dict{{"k", expanded}}));
    // Good strings and dates of the same shapes are read.
    EXPECT_EQ(PropertyList::parse(test::binaryPropertyList(
                  {std::string("\xD1\x01\x02", 3), std::string("\x61\x00\x6B", 3), std::string("\x33\0\0\0\0\0\0\0\0", 9)})),
              PlistValue(Dict{{"k", PlistDate{978307200}}}));
}

TEST(PropertyListTest, RefusesValuesItCannotWrite) {
    const std::vector<std::pair<const char*, PlistValue>> cases = {
        {"none", PlistValue()},
        {"none in an array", Array{1, PlistValue()}},
        {"none in a dictionary", Dict{{"key", PlistValue()}}},
        {"NUL in a string", std::string("a\0b", 3)},
        {"NUL in a key", Dict{{std::string("k\0", 2), 1}}},
        {"date out of range", PlistDate{1e12}},
    };
    for (const auto& [name, value] : cases) EXPECT_THROW(PropertyList::toXML(value), PropertyListError) << name;
}

TEST(PropertyListTest, ReadFileNamesTheFileInItsErrors) {
    test::TestDirectory dir;
    const std::string bad = dir.write("bad.plist", "<plist><dict>");
    for (const std::string& path : {dir / "missing.plist", bad}) {
        try {
            PropertyList::readFile(path);
            ADD_FAILURE() << path;
        } catch (const PropertyListError& e) {
            EXPECT_NE(e.message().find(path), std::string::npos) << e.message();
        }
    }
    EXPECT_EQ(PropertyList::readFile(dir.write("ok.plist", PropertyList::toXML(Dict{{"a", 1}}))), PlistValue(Dict{{"a", 1}}));
}

}  // namespace
}  // namespace velmo
