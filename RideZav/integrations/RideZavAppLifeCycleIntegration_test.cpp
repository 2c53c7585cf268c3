#include "RideZav/integrations/RideZavAppLifeCycleIntegration.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "RideZav/integrations/IntegrationTesting.h"
#include "platform/desktop/ApplicationNotifications.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/runtime/NotificationCenter.h"

namespace ridezav {
namespace {

namespace N = velmo::ApplicationNotification;
using velmo::PlistValue;

// The lifecycle keys of an event's properties; the library's own context keys are left out.
Object lifecycleProperties(const RideZavEvent& event) {
    Object out;
    for (const char* key : {"from_background", "previous_version", "previous_build", "version", "build"})
        if (const Value* value = event.properties.find(key)) out.set(key, *value);
    return out;
}

struct Expected {
    std::string event;
    Object properties;
};

void expectEvents(const std::vector<RideZavEvent>& got, const std::vector<Expected>& expected, const std::string& name) {
    ASSERT_EQ(got.size(), expected.size()) << name;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].event, expected[i].event) << name << " #" << i;
        EXPECT_EQ(lifecycleProperties(got[i]), expected[i].properties) << name << " #" << i;
    }
}

void post(test::IntegrationEnvironment& env, const char* name) {
    velmo::NotificationCenter::defaultCenter().post(name);
    env.loop.loop().runUntilIdle();
}

class LifecycleTest : public testing::Test {
protected:
    LifecycleTest() { RideZavAppLifeCycleIntegration::resetInstallOrUpdateCheckForTesting(); }
    test::IntegrationEnvironment env;
};

TEST_F(LifecycleTest, EachLaunchComparesTheBundleWithTheVersionAndBuildLastRecorded) {
    struct Launch {
        const char* name;
        std::optional<std::string> version, build;
        PlistValue::Dictionary stored;
        std::vector<Expected> expected;
        bool writesDefaults;
    };
    const Launch launches[] = {
        {"first launch",
         "1.2",
         "34",
         {},
         {{"Application Installed", {{"version", "1.2"}, {"build", 34}}},
          {"Application Opened", {{"from_background", false}, {"version", "1.2"}, {"build", "34"}}}},
         true},
        {"same build again",
         "1.2",
         "34",
         {{"VURVersionKey", "1.2"}, {"VURBuildKeyV2", "34"}},
         {{"Application Opened", {{"from_background", false}, {"version", "1.2"}, {"build", "34"}}}},
         false},
        {"update",
         "1.3",
         "35",
         {{"VURVersionKey", "1.2"}, {"VURBuildKeyV2", "34"}},
         {{"Application Updated", {{"previous_version", "1.2"}, {"previous_build", 34}, {"version", "1.3"}, {"build", 35}}},
          {"Application Opened", {{"from_background", false}, {"version", "1.3"}, {"build", "35"}}}},
         true},
        {"textual build",
         "1.0",
         "1.0.3",
         {{"VURVersionKey", "1.0"}, {"VURBuildKeyV2", "1.0.2"}},
         {{"Application Updated", {{"previous_version", "1.0"}, {"previous_build", "1.0.2"}, {"version", "1.0"}, {"build", "1.0.3"}}},
          {"Application Opened", {{"from_background", false}, {"version", "1.0"}, {"build", "1.0.3"}}}},
         true},
        {"previous version without a previous build",
         "2.0",
         "+7",
         {{"VURVersionKey", "1.9"}},
         {{"Application Installed", {{"version", "2.0"}, {"build", 7}}},
          {"Application Opened", {{"from_background", false}, {"version", "2.0"}, {"build", "+7"}}}},
         true},
        {"update without a stored version, build beyond 64 bits",
         "3.0",
         "99999999999999999999",
         {{"VURBuildKeyV2", "-12"}},
         {{"Application Updated", {{"previous_build", -12}, {"version", "3.0"}, {"build", "99999999999999999999"}}},
          {"Application Opened", {{"from_background", false}, {"version", "3.0"}, {"build", "99999999999999999999"}}}},
         true},
        {"bundle without a build, first launch",
         "1.0.0",
         std::nullopt,
         {},
         {{"Application Installed", {{"version", "1.0.0"}}}, {"Application Opened", {{"from_background", false}, {"version", "1.0.0"}}}},
         true},
        {"bundle without a build, same version again",
         "1.0.0",
         std::nullopt,
         {{"VURVersionKey", "1.0.0"}},
         {{"Application Opened", {{"from_background", false}, {"version", "1.0.0"}}}},
         false},
        {"bundle without a build, new version",
         "1.1.0",
         std::nullopt,
         {{"VURVersionKey", "1.0.0"}},
         {{"Application Updated", {{"previous_version", "1.0.0"}, {"version", "1.1.0"}}},
          {"Application Opened", {{"from_background", false}, {"version", "1.1.0"}}}},
         true},
        {"bundle without version or build",
         std::nullopt,
         std::nullopt,
         {},
         {{"Application Installed", {}}, {"Application Opened", {{"from_background", false}}}},
         false},
    };
    for (const Launch& launch : launches) {
        RideZavAppLifeCycleIntegration::resetInstallOrUpdateCheckForTesting();
        env.useBundle(launch.version, launch.build);
        env.useDefaults(launch.stored);
        std::filesystem::remove(env.defaultsFile());  // any later write makes it again
        {
            auto sdk = env.setUp(env.config());
            post(env, N::didFinishLaunching);  // after the check already ran: nothing more
            post(env, N::didBecomeActive);
            expectEvents(env.events(), launch.expected, launch.name);
        }
        EXPECT_EQ(std::filesystem::exists(env.defaultsFile()), launch.writesDefaults) << launch.name;
        if (launch.writesDefaults) {
            EXPECT_EQ(env.defaults().stringForKey("VURVersionKey"), launch.version) << launch.name;
            EXPECT_EQ(env.defaults().stringForKey("VURBuildKeyV2"), launch.build) << launch.name;
        }
    }
}

TEST_F(LifecycleTest, OpenedAndBackgroundedStrictlyAlternate) {
    env.useBundle("1.2", "34");
    env.useDefaults({{"VURVersionKey", "1.2"}, {"VURBuildKeyV2", "34"}});
    auto sdk = env.setUp(env.config());
    RideZavLog::setDebug(true);
    velmo::LogCapture log;
    const std::pair<const char*, std::vector<Expected>> steps[] = {
        {N::didBecomeActive, {{"Application Opened", {{"from_background", false}, {"version", "1.2"}, {"build", "34"}}}}},
        {N::didBecomeActive, {}},
        {N::didResignActive, {{"Application Backgrounded", {}}}},
        {N::didResignActive, {}},
        {N::didBecomeActive, {{"Application Opened", {{"from_background", true}}}}},
        {N::didResignActive, {{"Application Backgrounded", {}}}},
    };
    int i = 0;
    for (const auto& [notification, expected] : steps) {
        post(env, notification);
        expectEvents(env.events(), expected, "step " + std::to_string(i++));
    }
    EXPECT_EQ(log.linesStartingWith("[RideZav] Skipping Application Opened event - app already in foreground").size(), 1u);
}

TEST_F(LifecycleTest, ASecondFacadeIsRefusedWhileTheFirstKeepsItsEvents) {
    env.useBundle("1.2", "34");
    auto first = env.setUp(env.config("phc_first"));
    EXPECT_EQ(env.events().size(), 1u);  // installed
    velmo::LogCapture log;
    auto secondConfig = env.config("phc_second");
    secondConfig.debug = true;  // set-up sets the debug switch
    auto second = env.setUp(secondConfig);
    const auto refused = log.linesStartingWith(
        "[RideZav] Integration RideZavAppLifeCycleIntegration failed to install: App life cycle integration already "
        "installed to another RideZavSDK instance. (");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find("RideZavAppLifeCycleIntegration.cpp:"), std::string::npos) << refused[0];
    EXPECT_EQ(refused[0].back(), ')');

    post(env, N::didBecomeActive);
    auto events = env.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, "Application Opened");
    EXPECT_EQ(events[0].distinctId, first->getDistinctId());
    EXPECT_NE(events[0].distinctId, second->getDistinctId());

    // Once the first lets go, the second can have it, without a second install-or-update check.
    first.reset();
    env.useDefaults({});
    RideZavAppLifeCycleIntegration late;
    EXPECT_NO_THROW(late.install(*second));
    post(env, N::didBecomeActive);
    events = env.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, "Application Opened");
    late.uninstall(*second);
    post(env, N::didResignActive);
    EXPECT_TRUE(env.events().empty());
}

TEST_F(LifecycleTest, WithLifecycleCaptureOffItTracksTheStateButSendsNothing) {
    env.useBundle("1.2", "34");
    auto c = env.config();
    c.captureApplicationLifecycleEvents = false;
    auto sdk = env.setUp(c);  // not in the configuration's list, so not installed
    RideZavLog::setDebug(true);
    velmo::LogCapture log;
    RideZavAppLifeCycleIntegration integration;
    integration.install(*sdk);
    post(env, N::didBecomeActive);
    EXPECT_FALSE(integration.isAppBackgrounded());
    EXPECT_TRUE(integration.isFreshAppLaunch());
    post(env, N::didResignActive);
    EXPECT_TRUE(integration.isAppBackgrounded());
    EXPECT_TRUE(env.events().empty());
    EXPECT_FALSE(env.defaults().stringForKey("VURBuildKeyV2").has_value());
    for (const char* line : {"[RideZav] Skipping Application Installed/Application Updated event - captureApplicationLifecycleEvents is "
                             "disabled in configuration",
                             "[RideZav] Skipping Application Opened event - captureApplicationLifecycleEvents is disabled in configuration",
                             "[RideZav] Skipping Application Backgrounded event - captureApplicationLifecycleEvents is disabled in "
                             "configuration"})
        EXPECT_TRUE(log.contains(line)) << line;
    integration.uninstall(*sdk);
}

TEST_F(LifecycleTest, NothingIsSentOnceTheFacadeIsGone) {
    env.useBundle("1.2", "34");
    auto c = env.config();
    c.captureApplicationLifecycleEvents = false;
    auto sdk = env.setUp(c);
    auto integration = std::make_unique<RideZavAppLifeCycleIntegration>();
    integration->install(*sdk);
    sdk.reset();
    post(env, N::didBecomeActive);
    EXPECT_TRUE(integration->isAppBackgrounded());  // the handler stopped before changing anything
    integration.reset();  // dropped while bound: a later facade can still have one
    auto other = env.setUp(c);
    RideZavAppLifeCycleIntegration next;
    EXPECT_NO_THROW(next.install(*other));
    next.uninstall(*other);
}

}  // namespace
}  // namespace ridezav
