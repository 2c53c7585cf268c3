#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "companion/ClaudeAPI.h"
#include "companion/CompanionPublishedState.h"
#include "companion/CompanionServiceClients.h"
#include "companion/CompanionUsageEvents.h"
#include "platform/runtime/SequenceChecker.h"
#include "platform/runtime/Task.h"

namespace velmo {

// One remembered exchange of the conversation.
struct ConversationExchange {
    std::string userTranscript;
    std::string assistantResponse;
};

// The road from a final transcript to a spoken answer: screenshots of every display, the
// messages request with the conversation so far, the pointed spot published from the reply's
// tag, the history and the speech. At most one reply is current. Bound to the main thread.
class ResponsePipeline : public std::enable_shared_from_this<ResponsePipeline> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    struct Dependencies {
        std::shared_ptr<CompanionPublishedState> state;  // voice state, last transcript, pointed spot
        std::shared_ptr<CompanionServiceClients> clients;
        std::shared_ptr<CompanionUsageEvents> events;
    };

    static constexpr std::size_t maximumConversationExchanges = 10;

    // Throws std::invalid_argument when a dependency is missing.
    static std::shared_ptr<ResponsePipeline> create(Dependencies dependencies);
    ResponsePipeline(PrivateTag, Dependencies dependencies);

    // The dictation's submit callback. It holds the pipeline weakly: once the pipeline is gone a
    // transcript is still logged and counted, and nothing else happens.
    std::function<void(const std::string&)> finalTranscriptHandler();
    // Cancels the current reply and its speech, then starts the reply to `transcript`.
    void submitTranscript(const std::string& transcript);
    // Cancels the current reply, if any, and stops what is being spoken.
    void interrupt();
    // The application is going away: the current reply ends without a report.
    void stop();
    // Failures are reported again (after a stop).
    void resume();

    const std::vector<ConversationExchange>& conversationHistory() const;
    const Task<void>& currentResponseTask() const;

private:
    static Task<void> runResponse(std::shared_ptr<ResponsePipeline> self, std::string transcript);

    [[no_unique_address]] SequenceChecker sequenceChecker_;
    std::shared_ptr<CompanionPublishedState> state_;
    std::shared_ptr<CompanionServiceClients> clients_;
    std::shared_ptr<CompanionUsageEvents> events_;
    std::vector<ConversationExchange> conversationHistory_;
    Task<void> currentResponseTask_;
    bool stopping_ = false;  // a reply cancelled by stop is not a failure
};

}  // namespace velmo
