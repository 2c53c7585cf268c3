#pragma once

#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Error.h"
#include "platform/net/WebSocketTask.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/OnceCallback.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/Task.h"
#include "voice/MirrinAudioConversionSupport.h"
#include "voice/MirrinTranscriptionProvider.h"
#include "platform/runtime/Duration.h"

namespace velmo {

// The streaming back-end's own failures; the description is the message.
class AssemblyAIStreamingTranscriptionProviderError : public MessageError {
public:
    explicit AssemblyAIStreamingTranscriptionProviderError(std::string message)
        : MessageError("AssemblyAIStreamingTranscriptionProviderError", std::move(message)) {}
};

// A message from the service that is not JSON, or not the record its type calls for (a required
// member missing, a member of the wrong type). The text for people is the platform's usual one;
// the description says what was wrong.
class AssemblyAIMessageDecodingError : public Error {
public:
    explicit AssemblyAIMessageDecodingError(std::string detail);
    const std::string& detail() const { return detail_; }
    std::string description() const override;

private:
    std::string detail_;
};

// One recording streamed to the service over a WebSocket: every microphone buffer goes out as
// 16 kHz mono 16-bit PCM in one binary frame, JSON turn messages come back, and a final
// transcript is delivered at most once: on the next finished turn after `requestFinalTranscript`,
// on "Termination", 1.4 s after the request at the latest, or as the partial text when the
// connection fails meanwhile. A failure of the connection is reported once, through `onError`
// unless a partial transcript stood in for the final one.
//
// Threads. `open`, `requestFinalTranscript` and `cancel` come from the main thread and
// `appendAudioBuffer` from the audio tap thread, which it never holds up: it converts the buffer
// and only queues the frame. Every piece of session state lives on the state queue, and the
// three callbacks are called there; every frame leaves through the send queue, in the order it
// was queued. WebSocket completions arrive on the connection's callback thread and hop to the
// state queue. Everything handed to the queues, the connection and the main loop holds the
// session weakly, so letting go of the last reference ends it; the last reference is let go on
// the main thread, where the teardown closes the connection.
class AssemblyAIStreamingTranscriptionSession final : public MirrinStreamingTranscriptionSession,
                                                      public std::enable_shared_from_this<AssemblyAIStreamingTranscriptionSession> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    static constexpr const char* webSocketBaseURL = "wss://streaming.assemblyai.com/v3/ws";
    static constexpr Seconds requestTimeout{60};
    static constexpr Seconds explicitFinalTranscriptDeadline{1.4};
    static constexpr const char* stateQueueLabel = "com.korvale.assemblyai.state";
    static constexpr const char* sendQueueLabel = "com.korvale.assemblyai.send";

    struct StoredTurnTranscript {
        std::string transcriptText;
        bool isFormatted = false;
    };

    static std::shared_ptr<AssemblyAIStreamingTranscriptionSession> make(std::optional<std::string> apiKey,
                                                                         std::optional<std::string> temporaryToken,
                                                                         std::vector<std::string> keyterms,
                                                                         MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                         MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                         MirrinTranscriptionErrorCallback onError);
    AssemblyAIStreamingTranscriptionSession(PrivateTag, std::optional<std::string> apiKey, std::optional<std::string> temporaryToken,
                                            std::vector<std::string> keyterms, MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                            MirrinFinalTranscriptCallback onFinalTranscriptReady, MirrinTranscriptionErrorCallback onError);
    ~AssemblyAIStreamingTranscriptionSession() override;

    // Connects and returns once the service has begun the session ("Begin", or an early
    // "Termination"). Fails with the first failure before that, or when nothing began within the
    // request's 60 s time-out. Main thread; once per session.
    static Task<void> open(std::shared_ptr<AssemblyAIStreamingTranscriptionSession> self);

    double finalTranscriptFallbackDelaySeconds() const override { return 2.8; }
    void appendAudioBuffer(const std::shared_ptr<const AudioPCMBuffer>& buffer) override;
    void requestFinalTranscript() override;
    // Queues "Terminate", then closes the connection with 1001 at once. Flags and callbacks stay
    // as they are.
    void cancel() override;

    // The service URL with its query items. Throws AssemblyAIStreamingTranscriptionProviderError
    // when `base` is no URL or the components make none.
    static std::string makeWebSocketURL(const std::vector<std::string>& keyterms, const std::optional<std::string>& temporaryToken,
                                        std::string_view base = webSocketBaseURL);

    // One message of the service as the session reads it. Decoding throws
    // AssemblyAIMessageDecodingError (or the provider error) for a message that is no JSON object
    // with a string "type", or whose members have the wrong types; unknown types give `other`.
    struct DecodedTurn {
        std::optional<std::string> transcript;
        std::optional<long long> turnOrder;
        bool endOfTurn = false;
        bool turnIsFormatted = false;
    };
    struct ServerMessage {
        enum class Kind { begin, turn, termination, error, other };
        Kind kind = Kind::other;
        DecodedTurn turn;  // for a turn
        std::string errorText;  // for an error: "error", else "message", else a fixed text
    };
    static ServerMessage decodeServerMessage(const std::string& text);

private:
    class Failure;

    // The connection's callback thread.
    void armReceive();
    void handleReceiveResult(std::optional<WebSocketMessage> message, std::exception_ptr error);
    void handleServerMessage(const std::string& text);
    // Any thread: resolves the ready signal with the error, then handles it, on the state queue.
    // The error is taken apart here, on the thread that made it.
    void fail(std::exception_ptr error);
    template <class Step>
    void onStateQueue(Step step);

    // State queue.
    // With no failure, the session began.
    void resolveReadyContinuation(const Failure* failure);
    void handleTurn(const DecodedTurn& turn, const std::string& text);
    void handleFailure(const Failure& failure);
    void deliverFinalTranscript(const std::string& text);
    void scheduleExplicitFinalTranscriptDeadline();
    void cancelExplicitFinalTranscriptDeadline();
    std::string composeTranscript() const;
    std::string finalTranscriptText() const;

    // Any thread: frames leave through the send queue.
    void sendJSON(const std::map<std::string, std::string>& dictionary);
    void sendOnSendQueue(WebSocketMessage message);

    const std::optional<std::string> apiKey_;
    const std::optional<std::string> temporaryToken_;
    const std::vector<std::string> keyterms_;
    const MirrinTranscriptUpdateCallback onTranscriptUpdate_;
    OnceCallback<const std::string&> onFinalTranscriptReady_;  // state queue only
    const MirrinTranscriptionErrorCallback onError_;

    // Tap thread only.
    MirrinPCM16AudioConverter audioPCM16Converter_;

    // Set by `open` before the connection starts, never changed afterwards.
    std::shared_ptr<WebSocketTask> webSocketTask_;
    WorkItem readyTimeoutWorkItem_;

    // State queue only. The ready signal keeps an outcome that comes before the opener waits.
    Completion<Unit> readyContinuation_;
    bool hasResolvedReadyContinuation_ = false;
    bool isAwaitingExplicitFinalTranscript_ = false;
    bool hasHandledFailure_ = false;
    std::string latestTranscriptText_;
    // The service's order, then how many turns without one followed the largest order there is
    // (so counting on past it never overflows).
    using TurnOrder = std::pair<long long, unsigned long long>;
    std::optional<TurnOrder> activeTurnOrder_;
    std::string activeTurnTranscriptText_;
    std::map<TurnOrder, StoredTurnTranscript> storedTurnTranscriptsByOrder_;
    WorkItem explicitFinalTranscriptDeadlineWorkItem_;

    // Declared last: destroyed first, so the connection ends (and its callback thread stops
    // calling in) before the queues drain and join.
    std::unique_ptr<SerialQueue> stateQueue_;
    std::unique_ptr<SerialQueue> sendQueue_;
    std::unique_ptr<WebSocketSession> urlSession_;
};

// The hosted streaming back-end: configured by a key (sent as the "Authorization" header), a
// temporary token (sent as the "token" query item), or both.
class AssemblyAIStreamingTranscriptionProvider : public MirrinTranscriptionProvider {
public:
    AssemblyAIStreamingTranscriptionProvider(std::optional<std::string> apiKey, std::optional<std::string> temporaryToken);

    std::string displayName() const override { return displayName_; }
    bool requiresSpeechRecognitionPermission() const override { return requiresSpeechRecognitionPermission_; }
    bool isConfigured() const override { return apiKey_.has_value() || temporaryToken_.has_value(); }
    std::optional<std::string> unavailableExplanation() const override;

    const std::optional<std::string>& apiKey() const { return apiKey_; }
    const std::optional<std::string>& temporaryToken() const { return temporaryToken_; }

    // Opens a session (see AssemblyAIStreamingTranscriptionSession::open). Fails at once when
    // neither key nor token is configured.
    Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> startStreamingSession(std::vector<std::string> keyterms,
                                                                                     MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                                     MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                                     MirrinTranscriptionErrorCallback onError) override;

    static constexpr const char* notConfiguredMessage =
        "AssemblyAI is not configured. Add AssemblyAIAPIKey or AssemblyAIStreamingToken to Info.plist.";

private:
    const std::optional<std::string> apiKey_;
    const std::optional<std::string> temporaryToken_;
    const std::string displayName_ = "AssemblyAI";
    const bool requiresSpeechRecognitionPermission_ = false;
};

}  // namespace velmo
