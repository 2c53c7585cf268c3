// The application's usage events on their whole road: the companion pipeline's real clients
// against loopback messages and speech servers, the real analytics facade, its queue on disk and
// the ingestion client against the loopback ingestion server.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "RideZav/RideZavSDK.h"
#include "companion/CompanionAnalytics.h"
#include "companion/CompanionManager.h"
#include "companion/CompanionTestEnvironment.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/OriginOverride.h"
#include "platform/foundation/TestDirectory.h"
#include "testing/EnvironmentVariable.h"
#include "testing/LoopbackIngestionServer.h"

using namespace velmo;
using velmo::test::CompanionTestEnvironment;
using velmo::test::LoopbackAnswer;
using velmo::test::LoopbackIngestionServer;
using velmo::test::sseReply;
using json = nlohmann::json;

namespace {

const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.velmo.test</string>
<key>CFBundleShortVersionString</key><string>2.4</string>
<key>AnthropicAPIKey</key><string>sk-test-messages</string>
<key>ElevenLabsAPIKey</key><string>xi-test-speech</string>
<key>ElevenLabsVoiceID</key><string>voice123</string>
</dict></plist>)";

constexpr const char* kHost = "ingest.ridezav.com";

class CompanionAnalyticsDelivery : public testing::Test {
protected:
    velmo::test::TestDirectory dir;
    std::unique_ptr<Bundle::Scope> bundle;
    LoopbackIngestionServer ingestion;
    OriginOverride::Scope ingestionOrigin{kHost, ingestion.origin()};
    bool analyticsReady = setUpAnalytics();  // before the environment's recorder would do it
    CompanionTestEnvironment env;

    bool setUpAnalytics() {
        dir.write("Velmo.app/Contents/Info.plist", kInfoPlist);
        bundle = std::make_unique<Bundle::Scope>(dir / "Velmo.app");
        velmo::test::EnvironmentVariable data("XDG_DATA_HOME", dir / "data");
        ridezav::RideZavConfig config("phc_velmo", std::string("https://") + kHost);
        config.disableReachabilityForTesting = true;
        config.disableQueueTimerForTesting = true;
        config.disableFlushOnBackgroundForTesting = true;
        config.captureApplicationLifecycleEvents = false;  // only the usage events, and no defaults written
        ridezav::RideZavSDK::shared().setup(config);
        return ridezav::RideZavSDK::shared().isSetUp();
    }
    std::filesystem::path queueFolder() const {
        return std::filesystem::path(dir.path()) / "data" / "com.velmo.test" / "phc_velmo" / "ridezav.queueFolder";
    }
};

}  // namespace

TEST_F(CompanionAnalyticsDelivery, AChordATranscriptAndAReplyReachTheIngestionServiceAsOneBatch) {
    ASSERT_TRUE(analyticsReady);
    env.screens->setDisplaysWithScreens({{1, 1440, 900, {0, 0, 1440, 900}}});
    env.screens->setMouseLocation({100, 100});
    env.grantEverything();
    env.speechServer.route("POST", "/v1/text-to-speech/voice123", LoopbackAnswer::text(200, std::string(2048, '\xFF'), "audio/mpeg"));
    env.messagesServer.route("POST", "/v1/messages", LoopbackAnswer::bytewise(200, sseReply({"open the menu"})));

    CompanionAnalytics::trackAppOpened();
    auto companion = env.makeCompanion();
    companion->start();
    env.loop().runUntilIdle();
    env.shortcut->transitions.send(ShortcutTransition::pressed);
    env.loop().runUntilIdle();
    env.shortcut->transitions.send(ShortcutTransition::released);
    env.loop().runUntilIdle();
    ASSERT_TRUE(env.dictation->submitDraftText);
    env.dictation->submitDraftText("hello");
    ASSERT_TRUE(
        env.loop().runUntil([&] { return companion->currentResponseTask().isValid() && companion->currentResponseTask().isDone(); }));
    companion->stop();
    env.loop().runUntilIdle();

    ridezav::RideZavSDK::shared().flush();
    ASSERT_TRUE(env.loop().runUntil([&] {
        return !ingestion.requestsOf(LoopbackIngestionServer::Route::batch).empty() && ridezav::RideZavSDK::shared().queueDepth() == 0;
    }));
    env.loop().runUntilIdle();

    auto batches = ingestion.requestsOf(LoopbackIngestionServer::Route::batch);
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_TRUE(batches[0].gzipped);
    EXPECT_TRUE(batches[0].inflated);
    ASSERT_TRUE(batches[0].json);
    const auto& body = *batches[0].json;
    EXPECT_EQ(body["api_key"], "phc_velmo");
    std::vector<std::string> names;
    std::set<std::string> distinctIds, sessionIds;
    for (const auto& event : body["batch"]) {
        names.push_back(event["event"]);
        distinctIds.insert(event["distinct_id"].get<std::string>());
        sessionIds.insert(event["properties"].value("$session_id", std::string()));
        EXPECT_EQ(event["properties"]["$lib"], "ridezav-ios");
        EXPECT_TRUE(event["properties"].contains("$os_name"));
        EXPECT_EQ(event["uuid"].get<std::string>().at(14), '7');
    }
    // The start's first permission poll reports the three granted permissions as well.
    EXPECT_EQ(names, (std::vector<std::string>{"app_opened", "permission_granted", "permission_granted", "permission_granted",
                                               "all_permissions_granted", "push_to_talk_started", "push_to_talk_released",
                                               "user_message_sent", "ai_response_received"}));
    ASSERT_EQ(body["batch"].size(), 9u);
    // Each event's own properties, beside the library's "$" ones.
    const json own[] = {{{"app_version", "2.4"}},
                        {{"permission", "accessibility"}},
                        {{"permission", "screen_recording"}},
                        {{"permission", "microphone"}},
                        json::object(),
                        json::object(),
                        json::object(),
                        {{"transcript", "hello"}, {"character_count", 5}},
                        {{"response", "open the menu"}, {"character_count", 13}}};
    for (std::size_t i = 0; i < 9; ++i) {
        json given = json::object();
        for (const auto& [key, value] : body["batch"][i]["properties"].items())
            if (!key.starts_with("$")) given[key] = value;
        EXPECT_EQ(given, own[i]) << names[i];
    }
    EXPECT_EQ(distinctIds.size(), 1u);
    EXPECT_EQ(*distinctIds.begin(), ridezav::RideZavSDK::shared().getDistinctId());
    EXPECT_EQ(sessionIds.size(), 1u);
    EXPECT_FALSE(sessionIds.begin()->empty());
    // No event is left (a temporary or a journal made ahead for the next events is none).
    ASSERT_TRUE(std::filesystem::is_directory(queueFolder()));
    for (const auto& entry : std::filesystem::directory_iterator(queueFolder()))
        EXPECT_TRUE(entry.path().filename().string().starts_with(".ridezav-")) << entry.path();
}
