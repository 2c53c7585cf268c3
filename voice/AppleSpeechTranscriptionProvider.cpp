#include "voice/AppleSpeechTranscriptionProvider.h"

#include <atomic>

#include "platform/foundation/Unicode.h"
#include "platform/runtime/MainThreadBound.h"
#include "platform/runtime/OnceCallback.h"

namespace velmo {

namespace {

class AppleSpeechTranscriptionSession final : public MirrinStreamingTranscriptionSession,
                                              public std::enable_shared_from_this<AppleSpeechTranscriptionSession> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    // Creates the session and starts recognising at once, before the first buffer arrives.
    static std::shared_ptr<AppleSpeechTranscriptionSession> make(const std::shared_ptr<SpeechRecognizer>& recognizer,
                                                                 MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                 MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                 MirrinTranscriptionErrorCallback onError) {
        auto session = makeMainBound<AppleSpeechTranscriptionSession>(PrivateTag{}, std::move(onTranscriptUpdate),
                                                                      std::move(onFinalTranscriptReady), std::move(onError));
        auto& request = *session->recognitionRequest_;
        request.shouldReportPartialResults = true;
        request.taskHint = SpeechRecognitionTaskHint::dictation;
        request.addsPunctuation = true;
        if (recognizer->supportsOnDeviceRecognition()) request.requiresOnDeviceRecognition = true;
        std::weak_ptr<AppleSpeechTranscriptionSession> weak = session;
        session->recognitionTask_ = recognizer->recognitionTask(
            session->recognitionRequest_, [weak](const std::optional<SpeechRecognitionResult>& result, std::exception_ptr error) {
                if (auto self = weak.lock()) self->handleRecognitionResult(result, error);
            });
        return session;
    }

    AppleSpeechTranscriptionSession(PrivateTag, MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                    MirrinFinalTranscriptCallback onFinalTranscriptReady, MirrinTranscriptionErrorCallback onError)
        : onTranscriptUpdate_(std::move(onTranscriptUpdate)),
          onFinalTranscriptReady_(std::move(onFinalTranscriptReady)),
          onError_(std::move(onError)) {}

    ~AppleSpeechTranscriptionSession() override {
        if (recognitionTask_) recognitionTask_->cancel();
    }

    double finalTranscriptFallbackDelaySeconds() const override { return finalTranscriptFallbackDelaySeconds_; }

    void appendAudioBuffer(const std::shared_ptr<const AudioPCMBuffer>& buffer) override {
        // Read on the tap thread while the main thread may be requesting the final transcript.
        if (hasRequestedFinalTranscript_.load(std::memory_order_acquire)) return;
        recognitionRequest_->appendAudioPCMBuffer(buffer);
    }

    void requestFinalTranscript() override {
        if (hasRequestedFinalTranscript_.exchange(true, std::memory_order_acq_rel)) return;
        recognitionRequest_->endAudio();
    }

    void cancel() override {
        if (!recognitionTask_) return;
        recognitionTask_->cancel();
        recognitionTask_.reset();
    }

private:
    // On the recogniser's delivery thread.
    void handleRecognitionResult(const std::optional<SpeechRecognitionResult>& result, std::exception_ptr error) {
        if (result) {
            latestRecognizedText_ = result->formattedString;
            if (onTranscriptUpdate_) onTranscriptUpdate_(latestRecognizedText_);
            if (result->isFinal) {
                deliverFinalTranscript();
                return;  // an error passed along with a final result is not looked at
            }
        }
        if (!error) return;
        if (hasRequestedFinalTranscript_.load(std::memory_order_acquire) && !trimWhitespaceAndNewlines(latestRecognizedText_).empty()) {
            deliverFinalTranscript();
            return;
        }
        if (onError_) onError_(error);
    }

    void deliverFinalTranscript() {
        if (!onFinalTranscriptReady_.isSpent()) onFinalTranscriptReady_(latestRecognizedText_);
    }

    const double finalTranscriptFallbackDelaySeconds_ = 1.8;
    const std::shared_ptr<SpeechAudioBufferRecognitionRequest> recognitionRequest_ =
        std::make_shared<SpeechAudioBufferRecognitionRequest>();
    std::shared_ptr<SpeechRecognitionTask> recognitionTask_;
    const MirrinTranscriptUpdateCallback onTranscriptUpdate_;
    OnceCallback<const std::string&> onFinalTranscriptReady_;  // delivery thread only
    const MirrinTranscriptionErrorCallback onError_;
    std::string latestRecognizedText_;  // delivery thread only
    std::atomic<bool> hasRequestedFinalTranscript_{false};
};

}  // namespace

AppleSpeechTranscriptionProvider::AppleSpeechTranscriptionProvider()
    : AppleSpeechTranscriptionProvider(&SpeechRecognizer::make, &SpeechRecognizer::currentLocaleIdentifier) {}

AppleSpeechTranscriptionProvider::AppleSpeechTranscriptionProvider(RecognizerFactory makeRecognizer,
                                                                   std::function<std::string()> currentLocaleIdentifier)
    : makeRecognizer_(std::move(makeRecognizer)),
      currentLocaleIdentifier_(std::move(currentLocaleIdentifier)) {}

std::shared_ptr<SpeechRecognizer> AppleSpeechTranscriptionProvider::makeSpeechRecognizer() const {
    if (!makeRecognizer_) return nullptr;
    const std::string current = currentLocaleIdentifier_ ? currentLocaleIdentifier_() : std::string();
    if (auto recognizer = makeRecognizer_(current)) return recognizer;
    if (auto recognizer = makeRecognizer_(std::string("en-US"))) return recognizer;
    return makeRecognizer_(std::nullopt);
}

Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> AppleSpeechTranscriptionProvider::startStreamingSession(
    std::vector<std::string> keyterms, MirrinTranscriptUpdateCallback onTranscriptUpdate,
    MirrinFinalTranscriptCallback onFinalTranscriptReady, MirrinTranscriptionErrorCallback onError) {
    auto recognizer = makeSpeechRecognizer();
    if (!recognizer) throw AppleSpeechTranscriptionProviderError("dictation is not available on this mac.");
    co_return AppleSpeechTranscriptionSession::make(recognizer, std::move(onTranscriptUpdate), std::move(onFinalTranscriptReady),
                                                    std::move(onError));
}

}  // namespace velmo
