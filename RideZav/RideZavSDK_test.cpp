#include <gtest/gtest.h>

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavTesting.h"
#include "platform/foundation/Logger.h"

using namespace ridezav;

TEST(RideZavConfig, TakesTheHostWhenItParsesElseTheDefaultEndpoint) {
    struct Case {
        const char* host;
        const char* expected;
    } cases[] = {
        {"https://analytics.example.com", "https://analytics.example.com"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
        {"", RideZavConfig::defaultIngestionHost},
        {"not a url", RideZavConfig::defaultIngestionHost},
        {"://missing-scheme", RideZavConfig::defaultIngestionHost},
    };
    for (const auto& c : cases) {
        RideZavConfig config("phc_key", c.host);
        EXPECT_EQ(config.host(), c.expected) << c.host;
        EXPECT_EQ(config.apiKey(), "phc_key");
    }
    EXPECT_EQ(RideZavConfig("k").host(), RideZavConfig::defaultIngestionHost);
}

// One process-wide client: the order of these steps matters, so they live in one test.
TEST(RideZavSDK, DropsBeforeSetupThenHandsEventsToThePipelineAndIgnoresASecondSetup) {
    auto& sdk = RideZavSDK::shared();
    EXPECT_EQ(&sdk, &RideZavSDK::shared());

    class Recording : public RideZavCapturePipeline {
    public:
        void setup(const RideZavConfig& c) override { setups.push_back(c.apiKey()); }
        void capture(const std::string& e, const RideZavProperties& p) override { events.push_back(e + p.dump()); }
        std::vector<std::string> setups, events;
    };
    auto recording = std::make_shared<Recording>();
    auto previous = sdk.installPipeline(recording);

    sdk.capture("before_setup");
    EXPECT_TRUE(recording->events.empty());

    RideZavConfig config("phc_first", "https://analytics.example.com");
    config.debug = true;
    sdk.setup(config);
    velmo::LogCapture log;
    sdk.setup(RideZavConfig("phc_second", "https://other.example.com"));
    EXPECT_EQ(recording->setups, std::vector<std::string>{"phc_first"});
    EXPECT_TRUE(log.contains("[RideZav] Setup called despite already being setup!"));

    sdk.capture("app_opened", {{"app_version", "1.0"}});
    sdk.capture("push_to_talk_started");
    sdk.capture("user_message_sent", {{"transcript", "hi"}, {"character_count", 2}});
    EXPECT_EQ(recording->events, (std::vector<std::string>{R"(app_opened{"app_version":"1.0"})", "push_to_talk_started{}",
                                                           R"(user_message_sent{"character_count":2,"transcript":"hi"})"}));
    sdk.installPipeline(previous);

    RideZavEventRecorder recorder;
    sdk.capture("permission_granted", {{"permission", "microphone"}});
    ASSERT_EQ(recorder.events().size(), 1u);
    EXPECT_EQ(recorder.events()[0].properties["permission"], "microphone");
}
