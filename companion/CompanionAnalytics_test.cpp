#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "RideZav/RideZavTesting.h"
#include "companion/CompanionAnalytics.h"
#include "platform/foundation/Bundle.h"

using namespace velmo;

TEST(CompanionAnalytics, EventsCarryTheirPropertiesWithGraphemeCounts) {
    ridezav::RideZavEventRecorder recorder;
    CompanionAnalytics::trackUserMessageSent(
        "hi \xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");  // "hi " + family emoji
    CompanionAnalytics::trackAIResponseReceived("caf\x65\xCC\x81");  // "café" with a combining accent
    CompanionAnalytics::trackElementPointed(std::nullopt);
    CompanionAnalytics::trackElementPointed(std::string("file menu"));
    auto events = recorder.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].event, "user_message_sent");
    EXPECT_EQ(events[0].properties["character_count"], 4);
    EXPECT_EQ(events[1].event, "ai_response_received");
    EXPECT_EQ(events[1].properties["response"], "caf\x65\xCC\x81");
    EXPECT_EQ(events[1].properties["character_count"], 4);
    EXPECT_EQ(events[2].properties["element_label"], "unknown");
    EXPECT_EQ(events[3].properties["element_label"], "file menu");
}

TEST(CompanionAnalytics, AppOpenedCarriesTheBundleVersionOrUnknown) {
    ridezav::RideZavEventRecorder recorder;
    auto dir = std::filesystem::temp_directory_path() / ("velmo-analytics-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "Contents");
    {
        std::ofstream(dir / "Contents" / "Info.plist") << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                                                          R"(<key>CFBundleShortVersionString</key><string> 2.1 </string></dict></plist>)";
        Bundle::Scope scope(dir.string());
        CompanionAnalytics::trackAppOpened();
    }
    {
        Bundle::Scope scope((dir / "missing").string());
        CompanionAnalytics::trackAppOpened();
    }
    std::filesystem::remove_all(dir);
    auto events = recorder.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].properties["app_version"], " 2.1 ");  // taken unchanged
    EXPECT_EQ(events[1].properties["app_version"], "unknown");
}
