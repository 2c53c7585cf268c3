#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Error.h"
#include "platform/media/SpeechRecognizer.h"
#include "voice/MirrinTranscriptionProvider.h"

namespace velmo {

// The platform recogniser's one failure: no recogniser could be made.
class AppleSpeechTranscriptionProviderError : public MessageError {
public:
    explicit AppleSpeechTranscriptionProviderError(std::string message)
        : MessageError("AppleSpeechTranscriptionProviderError", std::move(message)) {}
};

// The back-end of last resort: the platform's own speech recogniser, on this machine, with no
// service key. Its sessions feed the microphone buffers unchanged to a buffer recognition request
// that reports partial results, and wait 1.8 s for the final transcript. Key terms are not used.
// Operations run on the main thread.
class AppleSpeechTranscriptionProvider : public MirrinTranscriptionProvider {
public:
    // Makes a recogniser for a locale identifier, or with none the platform's default one.
    using RecognizerFactory = std::function<std::shared_ptr<SpeechRecognizer>(const std::optional<std::string>& localeIdentifier)>;

    AppleSpeechTranscriptionProvider();
    AppleSpeechTranscriptionProvider(RecognizerFactory makeRecognizer, std::function<std::string()> currentLocaleIdentifier);

    std::string displayName() const override { return displayName_; }
    bool requiresSpeechRecognitionPermission() const override { return requiresSpeechRecognitionPermission_; }
    bool isConfigured() const override { return isConfigured_; }
    std::optional<std::string> unavailableExplanation() const override { return unavailableExplanation_; }

    // Fails with AppleSpeechTranscriptionProviderError "dictation is not available on this mac."
    // when no recogniser can be made.
    Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> startStreamingSession(std::vector<std::string> keyterms,
                                                                                     MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                                                     MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                                                     MirrinTranscriptionErrorCallback onError) override;

    // The recogniser for the user's current locale, else for "en-US", else the default one.
    std::shared_ptr<SpeechRecognizer> makeSpeechRecognizer() const;

private:
    const std::string displayName_ = "Apple Speech";
    const bool requiresSpeechRecognitionPermission_ = true;
    const bool isConfigured_ = true;
    const std::optional<std::string> unavailableExplanation_;
    RecognizerFactory makeRecognizer_;
    std::function<std::string()> currentLocaleIdentifier_;
};

}  // namespace velmo
