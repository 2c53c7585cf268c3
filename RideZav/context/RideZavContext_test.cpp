#include "RideZav/context/RideZavContext.h"

#include <gtest/gtest.h>

#include "RideZav/core/RideZavSdkIdentity.h"
#include "RideZav/network/Reachability.h"
#include "platform/desktop/ApplicationNotifications.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/net/SimulatedReachabilityTarget.h"
#include "platform/runtime/VirtualMainLoop.h"

namespace ridezav {
namespace {

using Dict = velmo::PlistValue::Dictionary;

std::vector<std::string> keysOf(const Object& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object) keys.push_back(key);
    return keys;
}

velmo::EnvironmentLookup environmentOf(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
        auto it = values.find(name);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
}

class ContextTest : public testing::Test {
protected:
    ContextTest() {
        dir.write("dmi/sys_vendor", "LENOVO\n");
        dir.write("dmi/product_name", "20XW0055GE\n");
        dir.write("os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n");
    }

    const velmo::Bundle& bundleWith(const Dict& info) {
        const std::string name = "App" + std::to_string(bundles.size()) + ".app";
        dir.write(name + "/Contents/Info.plist", velmo::PropertyList::toXML(info));
        bundles.push_back(std::make_unique<velmo::Bundle>(dir / name));
        return *bundles.back();
    }
    RideZavContextSources sources(const velmo::Bundle& bundle) {
        RideZavContextSources s;
        s.bundle = &bundle;
        s.kernel = [] { return velmo::KernelInfo{"Linux", "6.1.0-18-amd64", "x86_64"}; };
        s.osReleasePaths = {dir / "os-release"};
        s.dmiFolder = dir / "dmi";
        s.environment = environmentOf({{"LANG", "en_US.UTF-8"}, {"TZ", "Europe/Berlin"}});
        s.timezoneFile = dir / "missing";
        s.localtimeLink = dir / "missing";
        s.screenSize = [] { return std::optional<ScreenSize>(); };
        return s;
    }

    velmo::VirtualMainLoopScope scope;
    velmo::test::TestDirectory dir;
    std::vector<std::unique_ptr<velmo::Bundle>> bundles;
};

TEST_F(ContextTest, StaticContextDescribesTheBundleAndTheMachineInOrder) {
    const auto& bundle = bundleWith({{"CFBundleName", "Velmo"},
                                     {"CFBundleDisplayName", "Velmo Display"},
                                     {"CFBundleShortVersionString", "1.2"},
                                     {"CFBundleVersion", "42"},
                                     {"CFBundleIdentifier", "com.korvale.velmo"}});
    auto context = RideZavContext::create(nullptr, sources(bundle));
    const Object expected{
        {"$app_name", "Velmo"},
        {"$app_version", "1.2"},
        {"$app_build", 42},
        {"$is_testflight", false},
        {"$is_sideloaded", false},
        {"$app_namespace", "com.korvale.velmo"},
        {"$device_manufacturer", "LENOVO"},
        {"$device_model", "x86_64"},
        {"$device_type", "Desktop"},
        {"$is_emulator", false},
        {"$is_ios_running_on_mac", false},
        {"$is_mac_catalyst_app", false},
        {"$device_name", "20XW0055GE"},
        {"$os_name", "Debian GNU/Linux"},
        {"$os_version", "12"},
    };
    const Object actual = context->staticContext();
    EXPECT_EQ(keysOf(actual), keysOf(expected));
    EXPECT_EQ(actual, expected);

    // Cached: later changes to the sources are not seen.
    dir.write("os-release", "NAME=Other\n");
    EXPECT_EQ(context->staticContext(), expected);

    const Object person{
        {"$app_version", "1.2"},          {"$app_build", 42},         {"$app_namespace", "com.korvale.velmo"},
        {"$os_name", "Debian GNU/Linux"}, {"$os_version", "12"},      {"$device_type", "Desktop"},
        {"$lib", "ridezav-ios"},          {"$lib_version", "3.47.0"},
    };
    EXPECT_EQ(context->personPropertiesContext(), person);
    EXPECT_EQ(context->sdkInfo(), (Object{{"$lib", "ridezav-ios"}, {"$lib_version", "3.47.0"}}));
}

TEST_F(ContextTest, MissingSourcesLeaveOutTheirKeys) {
    const auto& bundle = bundleWith({{"CFBundleDisplayName", "Shown"}, {"CFBundleVersion", 7}});
    auto s = sources(bundle);
    s.osReleasePaths = {dir / "missing"};
    s.dmiFolder = dir / "missing";
    auto context = RideZavContext::create(nullptr, s);
    const Object actual = context->staticContext();
    EXPECT_EQ(keysOf(actual),
              (std::vector<std::string>{"$app_name", "$is_testflight", "$is_sideloaded", "$app_namespace", "$device_model", "$device_type",
                                        "$is_emulator", "$is_ios_running_on_mac", "$is_mac_catalyst_app", "$os_name", "$os_version"}));
    EXPECT_EQ(*actual.find("$app_name"), Value("Shown"));
    EXPECT_EQ(*actual.find("$app_namespace"), Value("com.ridezav.unknown"));
    EXPECT_EQ(*actual.find("$os_name"), Value("Linux"));
    EXPECT_EQ(*actual.find("$os_version"), Value("6.1.0"));
}

TEST_F(ContextTest, AppBuildIsAnIntegerOnlyWhenTheWholeTextIsOne) {
    const std::pair<const char*, Value> cases[] = {
        {"42", 42},
        {"+7", 7},
        {"-3", -3},
        {"007", 7},
        {"1.2.3", "1.2.3"},
        {"", ""},
        {"-", "-"},
        {"+", "+"},
        {"4a", "4a"},
        {" 4", " 4"},
        {"+-4", "+-4"},
        {"9223372036854775807", 9223372036854775807LL},
        {"9223372036854775808", "9223372036854775808"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(appBuildValue(text), expected) << text;
    const auto& bundle = bundleWith({{"CFBundleVersion", "1.0.3"}});
    EXPECT_EQ(*RideZavContext::create(nullptr, sources(bundle))->staticContext().find("$app_build"), Value("1.0.3"));
}

TEST_F(ContextTest, MacModelNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "Mac"},
        {"MacBookAir10,1", "MacBook Air"},
        {"MacBookPro18,1", "MacBook Pro"},
        {"MacBook10,1", "MacBook"},
        {"Macmini9,1", "Mac mini"},
        {"MacPro7,1", "Mac Pro"},
        {"MacStudio1,1", "Mac Studio"},
        {"Mac13,1", "Mac Studio"},
        {"iMac21,1", "iMac"},
        {"VirtualMac2,1", "Mac (Virtual)"},
        {"arm64", "Mac"},
        {"Mac14,2", "MacBook Air"},
        {"Mac14,15", "MacBook Air"},
        {"Mac15,3", "MacBook Air"},
        {"Mac15,6", "MacBook Air"},
        {"Mac15,7", "MacBook Air"},
        {"Mac14,7", "MacBook Pro"},
        {"Mac15,10", "MacBook Pro"},
        {"Mac16,1", "Mac"},
    };
    for (const auto& [model, name] : cases) EXPECT_EQ(macDeviceName(model), name) << model;
}

TEST_F(ContextTest, ScreenKeysFollowTheScreenAtEachCaptureAndEachWindowNotification) {
    const auto& bundle = bundleWith({});
    std::optional<ScreenSize> screen = ScreenSize{1512, 982};
    int measured = 0;
    auto s = sources(bundle);
    s.screenSize = [&] {
        ++measured;
        return screen;
    };
    auto context = RideZavContext::create(nullptr, s);
    Object dynamic = context->dynamicContext();
    EXPECT_EQ(keysOf(dynamic), (std::vector<std::string>{"$screen_width", "$screen_height", "$locale", "$timezone"}));
    EXPECT_EQ(*dynamic.find("$screen_width"), Value(1512.0f));
    EXPECT_EQ(*dynamic.find("$screen_height"), Value(982.0f));
    screen = ScreenSize{2560, 1440};  // the pointer went to another monitor
    dynamic = context->dynamicContext();
    EXPECT_EQ(*dynamic.find("$screen_width"), Value(2560.0f));
    EXPECT_EQ(*dynamic.find("$screen_height"), Value(1440.0f));
    screen = std::nullopt;  // no desktop: no screen keys
    EXPECT_FALSE(context->dynamicContext().contains("$screen_width"));
    EXPECT_EQ(measured, 3);

    for (const char* name : {velmo::ApplicationNotification::windowDidBecomeKey, velmo::ApplicationNotification::windowDidChangeScreen,
                             velmo::ApplicationNotification::didBecomeActive}) {
        SCOPED_TRACE(name);
        const int before = measured;
        velmo::NotificationCenter::defaultCenter().post(name);
        scope.loop().runUntilIdle();
        EXPECT_EQ(measured, before + 1);
    }
    context.reset();  // its observers go with it
    const int before = measured;
    velmo::NotificationCenter::defaultCenter().post(velmo::ApplicationNotification::windowDidBecomeKey);
    scope.loop().runUntilIdle();
    EXPECT_EQ(measured, before);
}

TEST_F(ContextTest, LocaleAndTimeZone) {
    const auto& bundle = bundleWith({});
    struct Case {
        std::map<std::string, std::string> environment;
        std::optional<std::string> locale;
        std::string timezone;
    };
    const Case cases[] = {
        {{{"LANG", "en_US.UTF-8"}, {"TZ", "Europe/Berlin"}}, "en", "Europe/Berlin"},
        {{{"LC_ALL", "de_DE.UTF-8"}, {"LANG", "en_US.UTF-8"}}, "de", "UTC"},
        {{{"LANG", "C"}, {"TZ", ":America/New_York"}}, std::nullopt, "America/New_York"},
        {{}, std::nullopt, "UTC"},
    };
    for (const auto& c : cases) {
        auto s = sources(bundle);
        s.environment = environmentOf(c.environment);
        const Object dynamic = RideZavContext::create(nullptr, s)->dynamicContext();
        const Value* locale = dynamic.find("$locale");
        EXPECT_EQ(locale ? locale->asString() : std::nullopt, c.locale);
        EXPECT_EQ(*dynamic.find("$timezone"), Value(c.timezone));
    }
}

TEST_F(ContextTest, NetworkKeysOnlyWithAMonitor) {
    const auto& bundle = bundleWith({});
    EXPECT_FALSE(RideZavContext::create(nullptr, sources(bundle))->dynamicContext().contains("$network_wifi"));
    EXPECT_FALSE(RideZavContext::create(nullptr, sources(bundle))->dynamicContext().contains("$network_cellular"));

    namespace F = velmo::ReachabilityFlag;
    const std::pair<ReachabilityFlags, bool> cases[] = {
        {F::reachable, true},
        {0, false},
        {F::reachable | F::connectionRequired, false},
        {F::reachable | F::connectionRequired | F::connectionOnTraffic, true},
    };
    for (const auto& [flags, wifi] : cases) {
        auto target = std::make_shared<velmo::SimulatedReachabilityTarget>(flags);
        auto monitor = Reachability::create(target);
        const Object dynamic = RideZavContext::create(monitor, sources(bundle))->dynamicContext();
        EXPECT_EQ(keysOf(dynamic), (std::vector<std::string>{"$locale", "$timezone", "$network_wifi", "$network_cellular"}));
        EXPECT_EQ(*dynamic.find("$network_wifi"), Value(wifi)) << flags;
        EXPECT_EQ(*dynamic.find("$network_cellular"), Value(false));
        EXPECT_EQ(target->flagsReadCount(), 1);  // read once, when not yet known
    }
}

}  // namespace
}  // namespace ridezav
