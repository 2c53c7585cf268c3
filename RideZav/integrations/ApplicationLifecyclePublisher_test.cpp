#include "RideZav/integrations/ApplicationLifecyclePublisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "RideZav/integrations/DIContainer.h"
#include "platform/desktop/ApplicationNotifications.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/VirtualMainLoop.h"

namespace ridezav {
namespace {

TEST(ApplicationLifecyclePublisherTest, EachApplicationNotificationReachesEverySubscriberOfItsCallback) {
    velmo::VirtualMainLoopScope scope;
    auto& publisher = DI::Container::shared().appLifecyclePublisher();
    std::vector<std::string> heard;
    auto launched1 = publisher.onDidFinishLaunching().subscribe([&] { heard.push_back("launched 1"); });
    auto launched2 = publisher.onDidFinishLaunching().subscribe([&] { heard.push_back("launched 2"); });
    auto active = publisher.onDidBecomeActive().subscribe([&] { heard.push_back("active"); });
    auto background = publisher.onDidEnterBackground().subscribe([&] { heard.push_back("background"); });

    namespace N = velmo::ApplicationNotification;
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {N::didFinishLaunching, {"launched 1", "launched 2"}},
        {N::didBecomeActive, {"active"}},
        {N::didResignActive, {"background"}},
        {N::windowDidBecomeKey, {}},
    };
    for (const auto& [name, expected] : cases) {
        heard.clear();
        velmo::NotificationCenter::defaultCenter().post(name);
        EXPECT_TRUE(heard.empty()) << name;  // observers run on the main loop, not inline
        scope.loop().runUntilIdle();
        std::sort(heard.begin(), heard.end());
        EXPECT_EQ(heard, expected) << name;
    }

    launched2.reset();
    heard.clear();
    velmo::NotificationCenter::defaultCenter().post(N::didFinishLaunching);
    scope.loop().runUntilIdle();
    EXPECT_EQ(heard, std::vector<std::string>{"launched 1"});
}

}  // namespace
}  // namespace ridezav
