#include "RideZav/integrations/RideZavScreenViewIntegration.h"

#include <gtest/gtest.h>

#include "RideZav/integrations/ApplicationScreenViewPublisher.h"
#include "RideZav/integrations/IntegrationTesting.h"
#include "RideZav/core/RideZavTypeName.h"
#include "RideZav/integrations/RideZavViewModifier.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"

namespace velmo::panels {
struct SettingsView {};
struct Outer {
    struct Inner {};
};
template <class T>
struct Box {};
class PolymorphicView {
public:
    virtual ~PolymorphicView() = default;
};
class AboutView : public PolymorphicView {};
}  // namespace velmo::panels

struct GlobalView {};

namespace ridezav {
namespace {

std::vector<std::string> screenNames(const std::vector<RideZavEvent>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) {
        const Value* name = e.properties.find("$screen_name");
        out.push_back(e.event + ":" + (name && name->asString() ? *name->asString() : ""));
    }
    return out;
}

TEST(UnqualifiedTypeName, DropsNamespacesAndEnclosingClassesButKeepsTemplateArguments) {
    using namespace velmo::panels;
    const std::pair<const std::type_info*, const char*> cases[] = {
        {&typeid(SettingsView), "SettingsView"},
        {&typeid(Outer::Inner), "Inner"},
        {&typeid(GlobalView), "GlobalView"},
        {&typeid(Box<SettingsView>), "Box<velmo::panels::SettingsView>"},
        {&typeid(int), "int"},
    };
    for (const auto& [type, expected] : cases) EXPECT_EQ(unqualifiedTypeName(*type), expected);
}

class ScreenViewTest : public testing::Test {
protected:
    test::IntegrationEnvironment env;
    ApplicationScreenViewPublisher& publisher = ApplicationScreenViewPublisher::shared();
};

TEST_F(ScreenViewTest, AViewShownHiddenAndShownAgainSendsItsEventTwice) {
    auto sdk = env.setUp(env.config());
    env.events();
    velmo::panels::SettingsView settings;
    const auto screen = attachScreenEvent(settings, std::nullopt, std::nullopt, sdk);
    screen.onAppear();  // shown; hiding sends nothing
    screen.onAppear();  // shown again
    const velmo::panels::AboutView about;
    const velmo::panels::PolymorphicView& asBase = about;
    attachScreenEvent(asBase, std::nullopt, std::nullopt, sdk).onAppear();  // the view's own type
    attachScreenEvent(settings, std::string("Preferences"), Object{{"tab", "general"}}, sdk).onAppear();
    auto events = env.events();
    EXPECT_EQ(screenNames(events),
              (std::vector<std::string>{"$screen:SettingsView", "$screen:SettingsView", "$screen:AboutView", "$screen:Preferences"}));
    EXPECT_EQ(events[3].properties.find("tab")->asString(), "general");

    attachViewEvent(settings, "settings_opened", Object{{"from", "panel"}}, sdk).onAppear();
    events = env.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, "settings_opened");
    EXPECT_EQ(events[0].properties.find("from")->asString(), "panel");
    EXPECT_FALSE(events[0].properties.contains("$screen_name"));
}

TEST_F(ScreenViewTest, AModifierWithoutAFacadeGoesToTheSharedOneWhichIgnoresItBeforeSetup) {
    ASSERT_FALSE(RideZavSDK::shared().isSetUp());
    RideZavLog::setDebug(true);
    velmo::LogCapture log;
    attachScreenEvent(velmo::panels::SettingsView{}).onAppear();
    attachViewEvent(GlobalView{}, "shown").onAppear();
    EXPECT_EQ(log.linesStartingWith("[RideZav] RideZav method was called without `setup` being complete.").size(), 2u);
}

TEST_F(ScreenViewTest, PublishedNamesBecomeScreenEventsOfTheFacadeThatHoldsTheIntegration) {
    auto sdk = env.setUp(env.config());  // installs the integration
    env.events();
    publisher.publishScreenView("Settings");
    EXPECT_EQ(screenNames(env.events()), std::vector<std::string>{"$screen:Settings"});

    velmo::LogCapture log;
    auto secondConfig = env.config("phc_second");
    secondConfig.debug = true;  // set-up sets the debug switch
    auto second = env.setUp(secondConfig);
    ASSERT_EQ(log.linesStartingWith("[RideZav] Integration RideZavScreenViewIntegration failed to install: Autocapture "
                                    "integration already installed to another RideZavSDK instance. (")
                  .size(),
              1u);
    publisher.publishScreenView("Help");
    auto events = env.events();
    ASSERT_EQ(events.size(), 1u);  // once, by the first facade
    EXPECT_EQ(events[0].distinctId, sdk->getDistinctId());

    // Released, the first facade sends nothing and lets the second have the integration.
    sdk.reset();
    publisher.publishScreenView("Gone");
    EXPECT_TRUE(env.events().empty());
    RideZavScreenViewIntegration late;
    EXPECT_NO_THROW(late.install(*second));
    publisher.publishScreenView("About");
    events = env.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].distinctId, second->getDistinctId());
    late.uninstall(*second);
    publisher.publishScreenView("After");
    EXPECT_TRUE(env.events().empty());
}

TEST_F(ScreenViewTest, WithScreenViewsOffAPublishedNameGivesOnlyTheSkipLine) {
    auto c = env.config();
    c.captureScreenViews = false;
    auto sdk = env.setUp(c);
    RideZavScreenViewIntegration integration;
    integration.install(*sdk);
    env.events();
    RideZavLog::setDebug(true);
    velmo::LogCapture log;
    publisher.publishScreenView("Settings");
    EXPECT_TRUE(env.events().empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[RideZav] Skipping $screen event - captureScreenViews is disabled in configuration"});
    integration.uninstall(*sdk);
}

}  // namespace
}  // namespace ridezav
