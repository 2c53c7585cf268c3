#include "companion/CompanionUsageEvents.h"

#include <gtest/gtest.h>

#include <functional>

#include "RideZav/RideZavTesting.h"

using namespace velmo;

TEST(CompanionUsageEvents, EachOperationSendsItsEventWithItsProperties) {
    ridezav::RideZavEventRecorder recorder;
    CompanionUsageEvents events;
    using Properties = ridezav::RideZavProperties;
    const struct {
        std::function<void()> send;
        const char* event;
        Properties properties;
    } cases[] = {
        {[&] { events.permissionGranted("microphone"); }, "permission_granted", {{"permission", "microphone"}}},
        {[&] { events.permissionGranted("screen_content"); }, "permission_granted", {{"permission", "screen_content"}}},
        {[&] { events.allPermissionsGranted(); }, "all_permissions_granted", Properties::object()},
        {[&] { events.pushToTalkStarted(); }, "push_to_talk_started", Properties::object()},
        {[&] { events.pushToTalkReleased(); }, "push_to_talk_released", Properties::object()},
        {[&] { events.userMessageSent("hi 👋"); }, "user_message_sent", {{"transcript", "hi 👋"}, {"character_count", 4}}},
        {[&] { events.aiResponseReceived(""); }, "ai_response_received", {{"response", ""}, {"character_count", 0}}},
        {[&] { events.elementPointed(std::nullopt); }, "element_pointed", {{"element_label", "unknown"}}},
        {[&] { events.elementPointed("save button"); }, "element_pointed", {{"element_label", "save button"}}},
        {[&] { events.responseError("The request timed out."); }, "response_error", {{"error", "The request timed out."}}},
        {[&] { events.ttsError("cancelled"); }, "tts_error", {{"error", "cancelled"}}},
        {[&] { events.onboardingStarted(); }, "onboarding_started", Properties::object()},
        {[&] { events.onboardingReplayed(); }, "onboarding_replayed", Properties::object()},
        {[&] { events.onboardingVideoCompleted(); }, "onboarding_video_completed", Properties::object()},
        {[&] { events.onboardingDemoTriggered(); }, "onboarding_demo_triggered", Properties::object()},
    };
    for (const auto& c : cases) {
        recorder.clear();
        c.send();
        const auto sent = recorder.events();
        ASSERT_EQ(sent.size(), 1u) << c.event;
        EXPECT_EQ(sent[0].event, c.event);
        EXPECT_EQ(sent[0].properties, c.properties) << c.event;
    }
}
