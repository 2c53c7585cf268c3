#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "RideZav/integrations/ApplicationScreenViewPublisher.h"
#include "RideZav/integrations/IntegrationTesting.h"
#include "RideZav/integrations/RideZavScreenViewIntegration.h"

namespace ridezav {
namespace {

constexpr int kThreads = 4;
constexpr int kNamesPerThread = 100;

// Publishes kNamesPerThread names from each of kThreads threads while `meanwhile` runs here.
void publishFromThreads(const std::string& phase, const std::function<void()>& meanwhile) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, phase] {
            for (int i = 0; i < kNamesPerThread; ++i)
                ApplicationScreenViewPublisher::shared().publishScreenView(phase + std::to_string(t) + "-" + std::to_string(i));
        });
    meanwhile();
    for (auto& thread : threads) thread.join();
}

TEST(ScreenViewIntegrationThreads, NamesFromManyThreadsWhileItIsInstalledAndUninstalled) {
    test::IntegrationEnvironment env;
    auto c = env.config();
    c.enableSwizzling = false;  // the facade leaves it out; this test installs it by hand
    auto sdk = env.setUp(c);
    env.events();
    RideZavScreenViewIntegration integration;

    integration.install(*sdk);
    publishFromThreads("steady", [] {});
    auto events = env.events();
    std::set<std::string> names;
    for (const auto& e : events) names.insert(*e.properties.find("$screen_name")->asString());
    EXPECT_EQ(events.size(), std::size_t(kThreads * kNamesPerThread));
    EXPECT_EQ(names.size(), events.size());  // each name once

    publishFromThreads("toggled", [&] {
        for (int i = 0; i < 50; ++i) {
            integration.uninstall(*sdk);
            integration.install(*sdk);
        }
    });
    events = env.events();
    EXPECT_LE(events.size(), std::size_t(kThreads * kNamesPerThread));
    for (const auto& e : events) {
        EXPECT_EQ(e.event, "$screen");
        EXPECT_EQ(e.properties.find("$screen_name")->asString()->rfind("toggled", 0), 0u);
    }

    integration.uninstall(*sdk);
    publishFromThreads("after", [] {});
    EXPECT_TRUE(env.events().empty());
}

}  // namespace
}  // namespace ridezav
