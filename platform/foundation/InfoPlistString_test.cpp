#include "platform/foundation/InfoPlistString.h"

#include <gtest/gtest.h>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/TestDirectory.h"

namespace velmo {
namespace {

using Dict = PlistValue::Dictionary;

struct LookupCase {
    const char* name;
    PlistValue info;  // the Info dictionary's value under "Key"; none: absent
    std::optional<std::string> resource;  // raw contents of Resources/Info.plist; none: no file
    std::optional<std::string> expected;
};

std::string resourceWith(const PlistValue& value) { return PropertyList::toXML(Dict{{"Key", value}}); }

TEST(InfoPlistStringTest, LooksUpTheInfoDictionaryThenTheInfoResource) {
    const std::vector<LookupCase> cases = {
        {"trimmed of spaces and a line break", " \n sk-abc \n", std::nullopt, "sk-abc"},
        {"trimmed of other white space", "\u00A0\tkey\u2028", std::nullopt, "key"},
        {"inner spaces kept", " two words ", std::nullopt, "two words"},
        {"Info dictionary wins", "direct", resourceWith("other"), "direct"},
        {"blank in both places", "   ", resourceWith(" \n "), std::nullopt},
        {"number falls through to the resource", 42, resourceWith(" from resource "), "from resource"},
        {"empty falls through to the resource", "", resourceWith("fallback"), "fallback"},
        {"absent falls through to the resource", PlistValue(), resourceWith("fallback"), "fallback"},
        {"resource value not a string", PlistValue(), resourceWith(7), std::nullopt},
        {"resource not a dictionary", PlistValue(), PropertyList::toXML(PlistValue::Array{"Key"}), std::nullopt},
        {"unreadable resource", PlistValue(), std::string("<plist><dict><key>Key</key>"), std::nullopt},
        {"nowhere", PlistValue(), std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        test::TestDirectory dir;
        Dict info{{"Other", "x"}};
        if (!c.info.isNone()) info["Key"] = c.info;
        dir.write("Velmo.app/Contents/Info.plist", PropertyList::toXML(info));
        if (c.resource) dir.write("Velmo.app/Contents/Resources/Info.plist", *c.resource);
        Bundle::Scope scope(dir / "Velmo.app");
        EXPECT_EQ(infoPlistString("Key"), c.expected) << c.name;
    }
}

TEST(InfoPlistStringTest, MissingBundleGivesNone) {
    test::TestDirectory dir;
    Bundle::Scope scope(dir / "Velmo.app");
    EXPECT_EQ(infoPlistString("AnthropicAPIKey"), std::nullopt);
    EXPECT_EQ(bundleShortVersionString(), "unknown");
}

TEST(InfoPlistStringTest, ShortVersionIsTakenUnchanged) {
    const std::vector<std::pair<PlistValue, std::string>> cases = {
        {" 1.2 \n", " 1.2 \n"}, {"", ""}, {3, "unknown"}, {PlistValue(), "unknown"}};
    for (const auto& [value, expected] : cases) {
        test::TestDirectory dir;
        Dict info;
        if (!value.isNone()) info["CFBundleShortVersionString"] = value;
        dir.write("Velmo.app/Contents/Info.plist", PropertyList::toXML(info));
        // A fallback file is never consulted for the version.
        dir.write("Velmo.app/Contents/Resources/Info.plist", PropertyList::toXML(Dict{{"CFBundleShortVersionString", "9"}}));
        Bundle::Scope scope(dir / "Velmo.app");
        EXPECT_EQ(bundleShortVersionString(), expected);
    }
}

}  // namespace
}  // namespace velmo
