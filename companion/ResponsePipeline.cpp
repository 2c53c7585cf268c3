#include "companion/ResponsePipeline.h"

#include <stdexcept>

#include "companion/CompanionSystemPrompt.h"
#include "companion/ScreenshotPointing.h"
#include "platform/base/Logger.h"
#include "platform/foundation/Unicode.h"
#include "platform/runtime/MainThreadBound.h"

namespace velmo {

std::shared_ptr<ResponsePipeline> ResponsePipeline::create(Dependencies dependencies) {
    if (!dependencies.state || !dependencies.clients || !dependencies.events)
        throw std::invalid_argument("ResponsePipeline: the published state, the service clients and the usage events are needed");
    return makeMainBound<ResponsePipeline>(PrivateTag{}, std::move(dependencies));
}

ResponsePipeline::ResponsePipeline(PrivateTag, Dependencies dependencies)
    : state_(std::move(dependencies.state)),
      clients_(std::move(dependencies.clients)),
      events_(std::move(dependencies.events)) {}

const std::vector<ConversationExchange>& ResponsePipeline::conversationHistory() const {
    sequenceChecker_.check();
    return conversationHistory_;
}

const Task<void>& ResponsePipeline::currentResponseTask() const {
    sequenceChecker_.check();
    return currentResponseTask_;
}

std::function<void(const std::string&)> ResponsePipeline::finalTranscriptHandler() {
    sequenceChecker_.check();
    std::weak_ptr<ResponsePipeline> weak = weak_from_this();
    return [weak, events = events_](const std::string& transcript) {
        if (auto self = weak.lock()) self->state_->lastTranscript = transcript;
        logLine("🗣️ Companion received transcript: " + transcript);
        events->userMessageSent(transcript);
        if (auto self = weak.lock()) self->submitTranscript(transcript);
    };
}

void ResponsePipeline::interrupt() {
    sequenceChecker_.check();
    if (currentResponseTask_.isValid()) currentResponseTask_.cancel();
    clients_->stopSpeech();
}

void ResponsePipeline::submitTranscript(const std::string& transcript) {
    sequenceChecker_.check();
    interrupt();
    auto self = shared_from_this();
    currentResponseTask_ = startTask([self, transcript]() -> Task<void> {
        auto response = runResponse(self, transcript);
        co_await response;
    });
}

void ResponsePipeline::stop() {
    sequenceChecker_.check();
    stopping_ = true;
    if (currentResponseTask_.isValid()) currentResponseTask_.cancel();
    currentResponseTask_ = Task<void>();
}

void ResponsePipeline::resume() {
    sequenceChecker_.check();
    stopping_ = false;
}

Task<void> ResponsePipeline::runResponse(std::shared_ptr<ResponsePipeline> self, std::string transcript) {
    CompanionPublishedState& state = *self->state_;
    CompanionUsageEvents& events = *self->events_;
    auto cancelled = [] { return Task<>::isCurrentCancelled(); };
    // The application is going away: the transfer it cut short is not worth a report.
    auto stoppedByApplication = [&] { return self->stopping_ && cancelled(); };
    auto requestFailed = [&](const std::exception_ptr& error) {
        if (!isCancellationError(error) && !stoppedByApplication()) {
            events.responseError(localizedDescriptionOf(error));
            logLine("⚠️ Companion response error: " + describeException(error));
        }
        if (!cancelled()) state.voiceState = CompanionVoiceState::idle;
    };

    state.voiceState = CompanionVoiceState::processing;

    auto captured = co_await outcomeOf(captureAllDisplays());
    if (captured.error) {
        requestFailed(captured.error);
        co_return;
    }
    if (cancelled()) co_return;
    const std::vector<CompanionScreenCapture>& captures = *captured.value;

    std::vector<ClaudeAPI::Image> images;
    images.reserve(captures.size());
    for (const auto& c : captures) images.push_back(labelledImageOf(c));
    std::vector<ClaudeAPI::HistoryPair> history;
    for (const auto& exchange : self->conversationHistory_) history.push_back({exchange.userTranscript, exchange.assistantResponse});

    auto replied = co_await outcomeOf(
        self->clients_->claudeAPI()->streamMessage(std::move(images), std::string(companionSystemPrompt), std::move(history), transcript));
    if (replied.error) {
        requestFailed(replied.error);
        co_return;
    }
    if (cancelled()) co_return;

    ParsedPointTag parsed = parsePointTag(*replied.value);
    const CompanionScreenCapture* cursorCapture = nullptr;
    if (parsed.coordinate) {
        state.voiceState = CompanionVoiceState::idle;  // the cursor flies while the answer is spoken
        cursorCapture = cursorCaptureIn(captures);
    }
    if (parsed.coordinate && cursorCapture) {
        state.detectedElementScreenLocation = screenPointOf(*parsed.coordinate, *cursorCapture);
        state.detectedElementDisplayFrame = cursorCapture->displayFrame;
        events.elementPointed(parsed.elementLabel);
        logLine("🎯 Element pointing: (" + std::to_string(saturatedWholeNumber(parsed.coordinate->x)) + ", " +
                std::to_string(saturatedWholeNumber(parsed.coordinate->y)) + ") → \"" + parsed.elementLabel.value_or("element") + "\"");
    } else {
        logLine("🎯 Element pointing: " + parsed.elementLabel.value_or("no element"));
    }

    auto& history_ = self->conversationHistory_;
    history_.push_back({transcript, parsed.spokenText});
    if (history_.size() > maximumConversationExchanges)
        history_.erase(history_.begin(), history_.begin() + std::ptrdiff_t(history_.size() - maximumConversationExchanges));
    logLine("🧠 Conversation history: " + std::to_string(history_.size()) + " exchanges");

    events.aiResponseReceived(parsed.spokenText);

    if (trimWhitespaceAndNewlines(parsed.spokenText).empty()) {
        if (!cancelled()) state.voiceState = CompanionVoiceState::idle;
        co_return;
    }
    auto spoken = co_await outcomeOf(self->clients_->elevenLabsTTSClient()->speakText(parsed.spokenText));
    if (spoken.error) {
        if (stoppedByApplication()) co_return;
        events.ttsError(localizedDescriptionOf(spoken.error));
        logLine("⚠️ ElevenLabs TTS error: " + describeException(spoken.error));
        if (!cancelled()) state.voiceState = CompanionVoiceState::idle;
        co_return;
    }
    state.voiceState = CompanionVoiceState::responding;  // playback has begun
    if (!cancelled()) state.voiceState = CompanionVoiceState::idle;
}

}  // namespace velmo
