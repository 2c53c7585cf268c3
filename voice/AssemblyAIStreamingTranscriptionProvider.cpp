#include "voice/AssemblyAIStreamingTranscriptionProvider.h"

#include <climits>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/base/Logger.h"
#include "platform/base/URLComponents.h"
#include "platform/net/URLError.h"
#include "platform/foundation/Unicode.h"
#include "platform/runtime/MainThreadBound.h"

namespace velmo {

namespace {

using json = nlohmann::json;

using Session = AssemblyAIStreamingTranscriptionSession;
using ProviderError = AssemblyAIStreamingTranscriptionProviderError;

// --- reading the service's records: listed members must have their type, others are ignored ---

[[noreturn]] void undecodable(std::string detail) { throw AssemblyAIMessageDecodingError(std::move(detail)); }

const json* member(const json& object, const char* name) {
    auto it = object.find(name);
    if (it == object.end() || it->is_null()) return nullptr;  // null reads as absent
    return &*it;
}

std::optional<std::string> optionalString(const json& object, const char* name) {
    const json* value = member(object, name);
    if (!value) return std::nullopt;
    if (!value->is_string()) undecodable(std::string("member \"") + name + "\" is not a string");
    return value->get<std::string>();
}

std::string requiredString(const json& object, const char* name) {
    auto value = optionalString(object, name);
    if (!value) undecodable(std::string("member \"") + name + "\" is missing");
    return *value;
}

std::optional<bool> optionalBool(const json& object, const char* name) {
    const json* value = member(object, name);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) undecodable(std::string("member \"") + name + "\" is not a Bool");
    return value->get<bool>();
}

// A whole number that fits; 3.0 reads as 3, 3.5 does not read.
std::optional<long long> optionalInteger(const json& object, const char* name) {
    const json* value = member(object, name);
    if (!value) return std::nullopt;
    if (value->is_number_integer() && !value->is_number_unsigned()) return value->get<long long>();
    if (value->is_number_unsigned()) {
        const auto number = value->get<unsigned long long>();
        if (number <= static_cast<unsigned long long>(LLONG_MAX)) return static_cast<long long>(number);
    } else if (value->is_number_float()) {
        const double number = value->get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && number >= -9.2e18 && number <= 9.2e18)
            return static_cast<long long>(number);
    }
    undecodable(std::string("member \"") + name + "\" is not an integer that fits");
}

const json& asObject(const json& message) {
    if (message.is_discarded()) undecodable("the message is not JSON");
    if (!message.is_object()) undecodable("the message is not a JSON object");
    return message;
}

constexpr const char* kDecodingFailedMessage = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
constexpr const char* kReadyTimeoutMessage = "AssemblyAI did not confirm the session within 60 seconds.";

}  // namespace

AssemblyAIMessageDecodingError::AssemblyAIMessageDecodingError(std::string detail)
    : Error("NSCocoaErrorDomain", 4864, kDecodingFailedMessage),
      detail_(std::move(detail)) {}

std::string AssemblyAIMessageDecodingError::description() const { return message() + " (" + detail_ + ")"; }

// A failure kept as a value. Exception objects are shared by reference counts the race detector
// cannot see, so none crosses a thread here: each one that is handed on (to the opener, to
// `onError`) is made afresh for its receiver.
class Session::Failure {
public:
    static Failure from(const std::exception_ptr& error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const URLError& e) {
            return of(e);
        } catch (const AssemblyAIMessageDecodingError& e) {
            return of(e);
        } catch (const ProviderError& e) {
            return of(e);
        } catch (const MessageError& e) {
            return of(e);
        } catch (const Error& e) {
            return of(e);
        } catch (const std::exception& e) {
            return of(MessageError("AssemblyAI", e.what()));
        } catch (...) {
        }
        return of(URLError(URLError::unknown));
    }
    template <class E>
    static Failure of(E error) {
        Failure failure;
        failure.make_ = [error] { return std::make_exception_ptr(error); };
        return failure;
    }
    std::exception_ptr exception() const { return make_(); }
    std::string description() const { return describeException(make_()); }

private:
    std::function<std::exception_ptr()> make_;
};

// --- making and opening ---

std::shared_ptr<Session> Session::make(std::optional<std::string> apiKey, std::optional<std::string> temporaryToken,
                                       std::vector<std::string> keyterms, MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                       MirrinFinalTranscriptCallback onFinalTranscriptReady, MirrinTranscriptionErrorCallback onError) {
    return makeMainBound<Session>(PrivateTag{}, std::move(apiKey), std::move(temporaryToken), std::move(keyterms),
                                  std::move(onTranscriptUpdate), std::move(onFinalTranscriptReady), std::move(onError));
}

Session::AssemblyAIStreamingTranscriptionSession(PrivateTag, std::optional<std::string> apiKey, std::optional<std::string> temporaryToken,
                                                 std::vector<std::string> keyterms, MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                 MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                 MirrinTranscriptionErrorCallback onError)
    : apiKey_(std::move(apiKey)),
      temporaryToken_(std::move(temporaryToken)),
      keyterms_(std::move(keyterms)),
      onTranscriptUpdate_(std::move(onTranscriptUpdate)),
      onFinalTranscriptReady_(std::move(onFinalTranscriptReady)),
      onError_(std::move(onError)),
      stateQueue_(std::make_unique<SerialQueue>(stateQueueLabel)),
      sendQueue_(std::make_unique<SerialQueue>(sendQueueLabel)),
      urlSession_(std::make_unique<WebSocketSession>()) {}

Session::~AssemblyAIStreamingTranscriptionSession() {
    // Nobody else holds the session now, so its state may be touched here.
    readyTimeoutWorkItem_.cancel();
    explicitFinalTranscriptDeadlineWorkItem_.cancel();
}

std::string Session::makeWebSocketURL(const std::vector<std::string>& keyterms, const std::optional<std::string>& temporaryToken,
                                      std::string_view base) {
    auto components = URLComponents::fromString(base);
    if (!components) throw ProviderError("AssemblyAI websocket URL is invalid.");
    std::vector<URLQueryItem> items = {
        {"sample_rate", "16000"},
        {"encoding", "pcm_s16le"},
        {"format_turns", "true"},
        {"speech_model", "u3-rt-pro"},
    };
    std::vector<std::string> terms;
    for (const auto& term : keyterms) {
        std::string trimmed = trimWhitespaceAndNewlines(term);
        if (!trimmed.empty()) terms.push_back(std::move(trimmed));
    }
    if (!terms.empty()) {
        try {
            items.push_back({"keyterms_prompt", json(terms).dump()});
        } catch (const json::exception&) {
            // Terms that cannot be written as JSON (not UTF-8) are left out, not an error.
        }
    }
    if (temporaryToken) items.push_back({"token", *temporaryToken});
    components->setQueryItems(items);
    auto url = components->url();
    if (!url) throw ProviderError("AssemblyAI websocket URL could not be created.");
    return *url;
}

template <class Step>
void Session::onStateQueue(Step step) {
    stateQueue_->async([weak = weak_from_this(), step = std::move(step)]() mutable {
        if (auto self = weak.lock()) step(*self);
    });
}

Task<void> Session::open(std::shared_ptr<Session> self) {
    Session& session = *self;
    URLRequest request(makeWebSocketURL(session.keyterms_, session.temporaryToken_), requestTimeout);
    if (session.apiKey_) request.setValue(*session.apiKey_, "Authorization");  // the key itself, no scheme word
    session.webSocketTask_ = session.urlSession_->webSocketTask(std::move(request));

    // The request's time-out bounds only the connection; "Begin" may still never come.
    std::weak_ptr<Session> weak = self;
    session.readyTimeoutWorkItem_ = MainLoop::postToMainAfter(requestTimeout, [weak] {
        auto timedOut = weak.lock();
        if (!timedOut) return;
        timedOut->onStateQueue([](Session& s) {
            if (s.hasResolvedReadyContinuation_) return;  // began just as the time ran out
            const auto failure = Failure::of(ProviderError(kReadyTimeoutMessage));
            s.resolveReadyContinuation(&failure);
            s.handleFailure(failure);
        });
    });
    session.webSocketTask_->resume();
    session.armReceive();
    // An outcome that came first is kept by the completion, so this never waits for nothing.
    co_await session.readyContinuation_;
}

// --- receiving (the connection's callback thread) ---

void Session::armReceive() {
    webSocketTask_->receive([weak = weak_from_this()](std::optional<WebSocketMessage> message, std::exception_ptr error) {
        if (auto self = weak.lock()) self->handleReceiveResult(std::move(message), error);
    });
}

void Session::handleReceiveResult(std::optional<WebSocketMessage> message, std::exception_ptr error) {
    if (!message) {
        fail(error ? error : std::make_exception_ptr(URLError(URLError::unknown)));
        return;
    }
    if (message->isText() || isValidUTF8(message->data)) handleServerMessage(message->data);
    if (webSocketTask_) armReceive();
}

Session::ServerMessage Session::decodeServerMessage(const std::string& text) {
    const json message = json::parse(text, nullptr, false);
    ServerMessage decoded;
    const std::string type = toLowerCase(requiredString(asObject(message), "type"));
    if (type == "begin") {
        decoded.kind = ServerMessage::Kind::begin;
    } else if (type == "turn") {
        decoded.kind = ServerMessage::Kind::turn;
        decoded.turn.transcript = optionalString(message, "transcript");
        decoded.turn.turnOrder = optionalInteger(message, "turn_order");
        decoded.turn.endOfTurn = optionalBool(message, "end_of_turn").value_or(false);
        decoded.turn.turnIsFormatted = optionalBool(message, "turn_is_formatted").value_or(false);
    } else if (type == "termination") {
        decoded.kind = ServerMessage::Kind::termination;
    } else if (type == "error") {
        decoded.kind = ServerMessage::Kind::error;
        const auto error = optionalString(message, "error");
        const auto errorMessage = optionalString(message, "message");
        decoded.errorText = error ? *error : errorMessage ? *errorMessage : "AssemblyAI returned an error.";
    }
    return decoded;
}

void Session::handleServerMessage(const std::string& text) {
    ServerMessage message;
    try {
        message = decodeServerMessage(text);
    } catch (...) {
        fail(std::current_exception());
        return;
    }
    switch (message.kind) {
        case ServerMessage::Kind::begin:
            onStateQueue([](Session& s) { s.resolveReadyContinuation(nullptr); });
            break;
        case ServerMessage::Kind::turn: {
            std::string transcript = trimWhitespaceAndNewlines(message.turn.transcript.value_or(""));
            onStateQueue(
                [turn = std::move(message.turn), transcript = std::move(transcript)](Session& s) { s.handleTurn(turn, transcript); });
            break;
        }
        case ServerMessage::Kind::termination:
            onStateQueue([](Session& s) {
                s.resolveReadyContinuation(nullptr);
                if (s.isAwaitingExplicitFinalTranscript_ && !s.onFinalTranscriptReady_.isSpent())
                    s.deliverFinalTranscript(s.finalTranscriptText());
            });
            break;
        case ServerMessage::Kind::error:
            fail(std::make_exception_ptr(ProviderError(message.errorText)));
            break;
        case ServerMessage::Kind::other:
            break;  // not ours to act on
    }
}

void Session::fail(std::exception_ptr error) {
    onStateQueue([failure = Failure::from(error)](Session& s) {
        s.resolveReadyContinuation(&failure);
        s.handleFailure(failure);
    });
}

// --- the state queue ---

void Session::resolveReadyContinuation(const Failure* failure) {
    if (hasResolvedReadyContinuation_) return;
    hasResolvedReadyContinuation_ = true;
    readyTimeoutWorkItem_.cancel();
    if (failure) {
        readyContinuation_.fail(failure->exception());
    } else {
        readyContinuation_.resolve(Unit{});
    }
}

void Session::handleTurn(const DecodedTurn& turn, const std::string& text) {
    TurnOrder order{0, 0};
    if (turn.turnOrder) {
        order = {*turn.turnOrder, 0};
    } else if (activeTurnOrder_) {
        order = *activeTurnOrder_;
    } else if (!storedTurnTranscriptsByOrder_.empty()) {
        const TurnOrder largest = storedTurnTranscriptsByOrder_.rbegin()->first;
        order = largest.first < std::numeric_limits<long long>::max() ? TurnOrder{largest.first + 1, 0}
                                                                      : TurnOrder{largest.first, largest.second + 1};
    }

    const bool finished = turn.endOfTurn || turn.turnIsFormatted;
    if (finished) {
        activeTurnOrder_.reset();
        activeTurnTranscriptText_.clear();
        if (!text.empty()) {
            auto stored = storedTurnTranscriptsByOrder_.find(order);
            // A formatted text is not replaced by an unformatted one of the same turn.
            if (stored == storedTurnTranscriptsByOrder_.end() || !stored->second.isFormatted || turn.turnIsFormatted)
                storedTurnTranscriptsByOrder_[order] = StoredTurnTranscript{text, turn.turnIsFormatted};
        }
    } else {
        activeTurnOrder_ = order;
        activeTurnTranscriptText_ = text;
    }

    latestTranscriptText_ = composeTranscript();
    if (!latestTranscriptText_.empty() && onTranscriptUpdate_) onTranscriptUpdate_(latestTranscriptText_);

    if (finished && isAwaitingExplicitFinalTranscript_) {
        cancelExplicitFinalTranscriptDeadline();
        deliverFinalTranscript(finalTranscriptText());
    }
}

std::string Session::composeTranscript() const {
    std::string composed;
    auto add = [&](const std::string& part) {
        if (part.empty()) return;
        if (!composed.empty()) composed += ' ';
        composed += part;
    };
    for (const auto& [order, stored] : storedTurnTranscriptsByOrder_) add(stored.transcriptText);
    // The turn being spoken comes last, whatever its order.
    add(trimWhitespaceAndNewlines(activeTurnTranscriptText_));
    return composed;
}

std::string Session::finalTranscriptText() const {
    std::string text = trimWhitespaceAndNewlines(composeTranscript());
    if (text.empty()) text = trimWhitespaceAndNewlines(latestTranscriptText_);
    return text;
}

void Session::deliverFinalTranscript(const std::string& text) {
    if (onFinalTranscriptReady_.isSpent()) return;
    cancelExplicitFinalTranscriptDeadline();
    onFinalTranscriptReady_(text);
    sendJSON({{"type", "Terminate"}});
}

void Session::scheduleExplicitFinalTranscriptDeadline() {
    cancelExplicitFinalTranscriptDeadline();
    explicitFinalTranscriptDeadlineWorkItem_ = MainLoop::postToMainAfter(explicitFinalTranscriptDeadline, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->onStateQueue([](Session& s) { s.deliverFinalTranscript(s.finalTranscriptText()); });
    });
}

void Session::cancelExplicitFinalTranscriptDeadline() {
    explicitFinalTranscriptDeadlineWorkItem_.cancel();
    explicitFinalTranscriptDeadlineWorkItem_ = WorkItem();
}

void Session::handleFailure(const Failure& failure) {
    // A connection fails once: the sends it still fails afterwards (the "Terminate" after a
    // partial transcript, say) are that same failure and are not reported again.
    if (hasHandledFailure_) return;
    hasHandledFailure_ = true;
    const std::string text = finalTranscriptText();
    if (isAwaitingExplicitFinalTranscript_ && !onFinalTranscriptReady_.isSpent() && !text.empty()) {
        logLine("[AssemblyAI] ⚠️ WebSocket error during active session, delivering partial transcript as fallback: " +
                failure.description());
        deliverFinalTranscript(text);
        return;
    }
    logLine("[AssemblyAI] ❌ Session failed with error: " + failure.description());
    if (onError_) onError_(failure.exception());
}

// --- sending ---

void Session::appendAudioBuffer(const std::shared_ptr<const AudioPCMBuffer>& buffer) {
    if (!buffer) return;
    // The tap thread converts and queues; the network is the send queue's business.
    MirrinPCM16Data samples = audioPCM16Converter_.convert(*buffer);
    if (samples.empty()) return;
    sendQueue_->async([weak = weak_from_this(), samples = std::move(samples)] {
        if (auto self = weak.lock()) self->sendOnSendQueue(WebSocketMessage::binary(std::string(samples.begin(), samples.end())));
    });
}

void Session::sendJSON(const std::map<std::string, std::string>& dictionary) {
    std::string text;
    try {
        text = json(dictionary).dump();
    } catch (const json::exception&) {
        return;  // nothing that cannot be written is sent
    }
    sendQueue_->async([weak = weak_from_this(), text = std::move(text)] {
        if (auto self = weak.lock()) self->sendOnSendQueue(WebSocketMessage::text(text));
    });
}

void Session::sendOnSendQueue(WebSocketMessage message) {
    if (!webSocketTask_) return;
    webSocketTask_->send(std::move(message), [weak = weak_from_this()](std::exception_ptr error) {
        if (!error) return;
        if (auto self = weak.lock()) self->fail(error);
    });
}

void Session::requestFinalTranscript() {
    onStateQueue([](Session& s) {
        if (s.onFinalTranscriptReady_.isSpent()) return;
        s.isAwaitingExplicitFinalTranscript_ = true;
        s.scheduleExplicitFinalTranscriptDeadline();
    });
    // Asked for even when the transcript is already in.
    sendJSON({{"type", "ForceEndpoint"}});
}

void Session::cancel() {
    onStateQueue([](Session& s) { s.cancelExplicitFinalTranscriptDeadline(); });
    sendJSON({{"type", "Terminate"}});
    if (webSocketTask_) webSocketTask_->cancel(WebSocketCloseCode::goingAway);
    urlSession_->invalidateAndCancel();
}

// --- the provider ---

AssemblyAIStreamingTranscriptionProvider::AssemblyAIStreamingTranscriptionProvider(std::optional<std::string> apiKey,
                                                                                   std::optional<std::string> temporaryToken)
    : apiKey_(std::move(apiKey)),
      temporaryToken_(std::move(temporaryToken)) {}

std::optional<std::string> AssemblyAIStreamingTranscriptionProvider::unavailableExplanation() const {
    if (isConfigured()) return std::nullopt;
    return std::string(notConfiguredMessage);
}

namespace {

// Takes everything by value: the task may start after the provider that made it has gone.
Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> openStreamingSession(std::optional<std::string> apiKey,
                                                                                std::optional<std::string> temporaryToken,
                                                                                std::vector<std::string> keyterms,
                                                                                MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                                MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                                MirrinTranscriptionErrorCallback onError) {
    if (!apiKey && !temporaryToken) throw ProviderError(AssemblyAIStreamingTranscriptionProvider::notConfiguredMessage);
    auto session = Session::make(std::move(apiKey), std::move(temporaryToken), std::move(keyterms), std::move(onTranscriptUpdate),
                                 std::move(onFinalTranscriptReady), std::move(onError));
    auto opening = Session::open(session);
    co_await opening;
    co_return session;
}

}  // namespace

Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> AssemblyAIStreamingTranscriptionProvider::startStreamingSession(
    std::vector<std::string> keyterms, MirrinTranscriptUpdateCallback onTranscriptUpdate,
    MirrinFinalTranscriptCallback onFinalTranscriptReady, MirrinTranscriptionErrorCallback onError) {
    return openStreamingSession(apiKey_, temporaryToken_, std::move(keyterms), std::move(onTranscriptUpdate),
                                std::move(onFinalTranscriptReady), std::move(onError));
}

}  // namespace velmo
