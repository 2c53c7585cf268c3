#pragma once

#include <functional>
#include <memory>

#include "companion/ClaudeAPI.h"
#include "companion/ElevenLabsTTSClient.h"
#include "platform/runtime/SequenceChecker.h"
#include "voice/MirrinTranscriptionProvider.h"

namespace velmo {

// Makes the hosted-service clients the companion talks to. The application entry chooses it;
// the companion calls each maker once, when it first needs that client.
struct CompanionServiceClientFactory {
    std::function<std::shared_ptr<ClaudeAPI>()> makeClaudeAPI;
    std::function<std::shared_ptr<ElevenLabsTTSClient>()> makeElevenLabsTTSClient;

    static constexpr const char* claudeModel = "claude-sonnet-4-6";

    explicit operator bool() const { return makeClaudeAPI && makeElevenLabsTTSClient; }

    // The real clients, their keys looked up in `configuration` when each is made; a key that
    // is not configured is sent empty.
    static CompanionServiceClientFactory standard(MirrinConfigurationLookup configuration);
};

// The companion's two clients, each made by the factory on first use and then kept. Bound to
// the main thread.
class CompanionServiceClients {
public:
    // Throws std::invalid_argument when a maker is missing.
    explicit CompanionServiceClients(CompanionServiceClientFactory factory);
    CompanionServiceClients(const CompanionServiceClients&) = delete;
    CompanionServiceClients& operator=(const CompanionServiceClients&) = delete;

    // Making it starts its connection warm-up.
    std::shared_ptr<ClaudeAPI> claudeAPI();
    std::shared_ptr<ElevenLabsTTSClient> elevenLabsTTSClient();
    // Stops the clip being spoken, if any, and lets its player go (making the client if needed).
    void stopSpeech();

private:
    [[no_unique_address]] SequenceChecker sequenceChecker_;
    CompanionServiceClientFactory factory_;
    std::shared_ptr<ClaudeAPI> claudeAPI_;
    std::shared_ptr<ElevenLabsTTSClient> elevenLabsTTSClient_;
};

}  // namespace velmo
