#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Error.h"
#include "platform/net/URLSession.h"
#include "platform/runtime/OnceCallback.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/Task.h"
#include "voice/MirrinAudioConversionSupport.h"
#include "voice/MirrinTranscriptionProvider.h"
#include "platform/runtime/Duration.h"

namespace velmo {

// Every failure of the upload back-end that is not a transport error; its description is the
// message alone.
class OpenAIAudioTranscriptionProviderError : public MessageError {
public:
    explicit OpenAIAudioTranscriptionProviderError(std::string message)
        : MessageError("OpenAIAudioTranscriptionProviderError", std::move(message)) {}
};

// The reply's JSON body; only its "text" member is read.
struct TranscriptionResponse {
    std::string text;

    // Absent unless the body is a JSON object whose "text" member is a string.
    static std::optional<TranscriptionResponse> decode(std::string_view body);
};

// Transcribes a whole push-to-talk recording with one upload to the hosted audio-transcription
// service. While the chord is held a session only keeps the audio, converted to 16 kHz mono
// 16-bit PCM; when the final transcript is requested it posts the audio as a WAV file in a
// multipart form and delivers the reply's text as both the latest and the final transcript.
// There are no partial transcripts. Sessions call back on the main thread.
class OpenAIAudioTranscriptionProvider : public MirrinTranscriptionProvider {
public:
    struct Options {
        // The identifier after "Boundary-" in each upload's boundary; a fresh random upper-case
        // UUID when empty.
        std::function<std::string()> makeBoundaryIdentifier;
        // Most converted audio one recording keeps (see MirrinPCM16AudioAccumulator).
        std::size_t maximumBufferedByteCount = MirrinPCM16AudioAccumulator::defaultMaximumByteCount;
    };

    static constexpr const char* defaultModelName = "gpt-4o-transcribe";
    static constexpr const char* notConfiguredMessage = "OpenAI transcription is not configured. Add OpenAIAPIKey to Info.plist.";

    // `apiKey` from "OpenAIAPIKey" (an empty one counts as absent), `modelName` from
    // "OpenAITranscriptionModel" with its default, as the back-end selection reads them.
    OpenAIAudioTranscriptionProvider(std::optional<std::string> apiKey, std::string modelName);
    OpenAIAudioTranscriptionProvider(std::optional<std::string> apiKey, std::string modelName, Options options);

    std::string displayName() const override { return "OpenAI"; }
    bool requiresSpeechRecognitionPermission() const override { return false; }
    bool isConfigured() const override { return apiKey_.has_value(); }
    std::optional<std::string> unavailableExplanation() const override;

    const std::optional<std::string>& apiKey() const { return apiKey_; }
    const std::string& modelName() const { return modelName_; }

    // On the main thread. Sends nothing; fails with OpenAIAudioTranscriptionProviderError
    // (notConfiguredMessage) without a key.
    Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> startStreamingSession(std::vector<std::string> keyterms,
                                                                                     MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                                     MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                                     MirrinTranscriptionErrorCallback onError) override;

private:
    std::optional<std::string> apiKey_;
    std::string modelName_;
    Options options_;
};

// One recording of the upload back-end. Audio is converted on the appending thread and kept by
// the state queue; `requestFinalTranscript` and `cancel` come on the main thread, where the upload
// runs and every callback is made. The final transcript is delivered at most once; after `cancel`
// (or the session's destruction) nothing is called back and nothing is logged.
class OpenAIAudioTranscriptionSession final : public MirrinStreamingTranscriptionSession,
                                              public std::enable_shared_from_this<OpenAIAudioTranscriptionSession> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    struct Settings {
        std::string apiKey;
        std::string modelName;
        std::vector<std::string> keyterms;
        std::function<std::string()> makeBoundaryIdentifier;
        std::size_t maximumBufferedByteCount = MirrinPCM16AudioAccumulator::defaultMaximumByteCount;
    };

    static constexpr double fallbackDelaySeconds = 8.0;
    static constexpr Seconds requestTimeout{60};
    // What is read of an answer: an error body is kept to its first 4 KiB, and a transcript
    // longer than 1 MiB fails the upload.
    static constexpr std::size_t maximumErrorBodyBytes = 4096;
    static constexpr std::size_t maximumReplyBytes = 1024 * 1024;
    static constexpr const char* stateQueueLabel = "com.korvale.openai.transcription";

    // Made and destroyed on the main thread.
    static std::shared_ptr<OpenAIAudioTranscriptionSession> make(Settings settings, MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                 MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                 MirrinTranscriptionErrorCallback onError);
    OpenAIAudioTranscriptionSession(PrivateTag, Settings settings, MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                    MirrinFinalTranscriptCallback onFinalTranscriptReady, MirrinTranscriptionErrorCallback onError);
    // Cancels an upload still running.
    ~OpenAIAudioTranscriptionSession() override;
    OpenAIAudioTranscriptionSession(const OpenAIAudioTranscriptionSession&) = delete;
    OpenAIAudioTranscriptionSession& operator=(const OpenAIAudioTranscriptionSession&) = delete;

    double finalTranscriptFallbackDelaySeconds() const override { return fallbackDelaySeconds; }
    // Converts on the caller's thread; audio that comes after the request or `cancel` is dropped.
    void appendAudioBuffer(const std::shared_ptr<const AudioPCMBuffer>& buffer) override;
    // Starts the one upload (a second call does nothing). Without any audio nothing is sent and
    // the final transcript is "".
    void requestFinalTranscript() override;
    void cancel() override;

    // The "prompt" field: the key terms trimmed, blank ones dropped, in a sentence; absent when
    // none is left.
    static std::optional<std::string> makeTranscriptionPrompt(const std::vector<std::string>& keyterms);
    // The form: "model", "language", "response_format", "prompt" when there is one, then the WAV
    // file as "voice-input.wav", every line ending in CR LF.
    static std::string makeMultipartBody(const std::string& boundary, const std::string& modelName,
                                         const std::optional<std::string>& prompt, const std::vector<std::uint8_t>& wavData);
    static URLSessionConfiguration urlSessionConfiguration();
    static const std::string& transcriptionURL();

private:
    // What the state queue owns.
    struct BufferState {
        explicit BufferState(std::size_t maximumByteCount)
            : bufferedPCM16AudioData(maximumByteCount) {}
        MirrinPCM16AudioAccumulator bufferedPCM16AudioData;
        bool hasRequestedFinalTranscript = false;
        bool isCancelled = false;
    };

    static Task<void> runUpload(std::weak_ptr<OpenAIAudioTranscriptionSession> weakSession, MirrinPCM16Data audio);
    static Task<std::string> uploadTranscription(std::shared_ptr<URLSession> session, std::string apiKey, std::string modelName,
                                                 std::optional<std::string> prompt, std::string boundaryIdentifier, MirrinPCM16Data audio);
    static void appendFormField(std::string& body, const std::string& boundary, const std::string& name, const std::string& value);
    bool isCancelledOnStateQueue();
    void deliverFinalTranscript(const std::string& text);

    const std::string apiKey_;
    const std::string modelName_;
    const std::vector<std::string> keyterms_;
    const std::function<std::string()> makeBoundaryIdentifier_;
    const MirrinTranscriptUpdateCallback onTranscriptUpdate_;
    OnceCallback<const std::string&> onFinalTranscriptReady_;  // main thread
    const MirrinTranscriptionErrorCallback onError_;
    BufferState state_;  // state queue only
    MirrinPCM16AudioConverter audioPCM16Converter_;  // appending thread only
    std::shared_ptr<URLSession> urlSession_;  // main thread; released by `cancel`
    Task<void> transcriptionUploadTask_;  // main thread
    // Last, so it is destroyed first: the blocks still queued run while the state they touch lives.
    SerialQueue stateQueue_{stateQueueLabel};
};

}  // namespace velmo
