#include "companion/CompanionServiceClients.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "companion/CompanionTestEnvironment.h"

using namespace velmo;
using velmo::test::CompanionTestEnvironment;

// The keys come from the configuration the application read at start-up, each looked up when
// its client is made; one that is not configured is sent empty.
TEST(CompanionServiceClientFactory, TheStandardClientsTakeTheKeysOfTheConfigurationTheyAreGiven) {
    CompanionTestEnvironment env;  // the warm-up goes to its loopback server
    std::vector<std::string> asked;
    auto factory = CompanionServiceClientFactory::standard([&](const std::string& key) -> std::optional<std::string> {
        asked.push_back(key);
        if (key == "ElevenLabsAPIKey") return "el-from-configuration";
        if (key == "ElevenLabsVoiceID") return "voice-from-configuration";
        return std::nullopt;
    });
    EXPECT_TRUE(asked.empty());
    const auto tts = factory.makeElevenLabsTTSClient();
    EXPECT_EQ(tts->apiKey(), "el-from-configuration");
    EXPECT_EQ(tts->voiceId(), "voice-from-configuration");
    const auto claude = factory.makeClaudeAPI();
    EXPECT_EQ(claude->fields().apiKey, "");
    EXPECT_EQ(claude->fields().model, CompanionServiceClientFactory::claudeModel);
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{"AnthropicAPIKey", "ElevenLabsAPIKey", "ElevenLabsVoiceID"}));
}

TEST(CompanionServiceClients, EachClientIsMadeOnceWhenFirstNeededAndStoppingSpeechDropsItsPlayer) {
    CompanionTestEnvironment env;
    int claudeMade = 0, speechMade = 0;
    auto players = env.players;
    CompanionServiceClients clients({[&] {
                                         ++claudeMade;
                                         return std::make_shared<ClaudeAPI>("", "model");
                                     },
                                     [&] {
                                         ++speechMade;
                                         return std::make_shared<ElevenLabsTTSClient>("", "", nullptr, nullptr, players);
                                     }});
    EXPECT_EQ(claudeMade + speechMade, 0);
    EXPECT_EQ(clients.claudeAPI(), clients.claudeAPI());
    EXPECT_EQ(claudeMade, 1);
    EXPECT_EQ(speechMade, 0);

    clients.stopSpeech();  // nothing spoken yet: makes the client and stops nothing
    EXPECT_EQ(speechMade, 1);
    auto player = players->playerWithData("ID3 clip");
    player->play();
    clients.elevenLabsTTSClient()->audioPlayer = player;
    clients.stopSpeech();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(clients.elevenLabsTTSClient()->audioPlayer, nullptr);
    EXPECT_EQ(speechMade, 1);
}

TEST(CompanionServiceClients, AFactoryWithoutBothMakersIsRefused) {
    auto standard = CompanionServiceClientFactory::standard(nullptr);
    EXPECT_THROW(CompanionServiceClients({}), std::invalid_argument);
    EXPECT_THROW(CompanionServiceClients({standard.makeClaudeAPI, nullptr}), std::invalid_argument);
    EXPECT_THROW(CompanionServiceClients({nullptr, standard.makeElevenLabsTTSClient}), std::invalid_argument);
}
