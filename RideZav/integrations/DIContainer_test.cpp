#include "RideZav/integrations/DIContainer.h"

#include <gtest/gtest.h>

namespace ridezav {
namespace {

TEST(DIContainer, HandsOutTheProcessWidePublishers) {
    auto& container = DI::Container::shared();
    EXPECT_EQ(&DI::Container::shared(), &container);
    EXPECT_EQ(&container.appLifecyclePublisher(), &ApplicationLifecyclePublisher::shared());
    EXPECT_EQ(&container.screenViewPublisher(), &ApplicationScreenViewPublisher::shared());
}

TEST(ApplicationLifecyclePublisher, EachMessageFiresItsOwnCallback) {
    auto& publisher = ApplicationLifecyclePublisher::shared();
    std::string seen;
    RegistrationToken a = publisher.onDidBecomeActive().subscribe([&] { seen += "A"; });
    RegistrationToken b = publisher.onDidEnterBackground().subscribe([&] { seen += "B"; });
    RegistrationToken f = publisher.onDidFinishLaunching().subscribe([&] { seen += "F"; });
    publisher.appDidFinishLaunching();
    publisher.appDidBecomeActive();
    publisher.appDidEnterBackground();
    EXPECT_EQ(seen, "FAB");
}

TEST(ApplicationScreenViewPublisher, SubscribersReceiveEachScreenName) {
    auto& publisher = ApplicationScreenViewPublisher::shared();
    std::vector<std::string> screens;
    {
        RegistrationToken token = publisher.onScreenView().subscribe([&](const std::string& s) { screens.push_back(s); });
        publisher.publishScreenView("Settings");
    }
    publisher.publishScreenView("Gone");
    EXPECT_EQ(screens, (std::vector<std::string>{"Settings"}));
}

}  // namespace
}  // namespace ridezav
