#include "companion/CompanionServiceClients.h"

#include <stdexcept>

namespace velmo {

CompanionServiceClientFactory CompanionServiceClientFactory::standard(MirrinConfigurationLookup configuration) {
    auto lookup = std::make_shared<MirrinConfigurationLookup>(std::move(configuration));
    auto value = [lookup](const char* key) { return *lookup ? (*lookup)(key).value_or("") : std::string(); };
    CompanionServiceClientFactory factory;
    factory.makeClaudeAPI = [value] { return std::make_shared<ClaudeAPI>(value("AnthropicAPIKey"), claudeModel); };
    factory.makeElevenLabsTTSClient = [value] {
        return std::make_shared<ElevenLabsTTSClient>(value("ElevenLabsAPIKey"), value("ElevenLabsVoiceID"));
    };
    return factory;
}

CompanionServiceClients::CompanionServiceClients(CompanionServiceClientFactory factory)
    : factory_(std::move(factory)) {
    if (!factory_) throw std::invalid_argument("CompanionServiceClients: a maker for each client is needed");
}

std::shared_ptr<ClaudeAPI> CompanionServiceClients::claudeAPI() {
    sequenceChecker_.check();
    if (!claudeAPI_ && !(claudeAPI_ = factory_.makeClaudeAPI())) throw std::logic_error("CompanionServiceClients: no messages client made");
    return claudeAPI_;
}

std::shared_ptr<ElevenLabsTTSClient> CompanionServiceClients::elevenLabsTTSClient() {
    sequenceChecker_.check();
    if (!elevenLabsTTSClient_ && !(elevenLabsTTSClient_ = factory_.makeElevenLabsTTSClient()))
        throw std::logic_error("CompanionServiceClients: no speech client made");
    return elevenLabsTTSClient_;
}

void CompanionServiceClients::stopSpeech() {
    sequenceChecker_.check();
    auto tts = elevenLabsTTSClient();
    if (tts->audioPlayer) tts->audioPlayer->stop();
    tts->audioPlayer = nullptr;
}

}  // namespace velmo
