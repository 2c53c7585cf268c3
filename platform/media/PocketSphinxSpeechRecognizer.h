#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/media/SpeechRecognizer.h"

namespace velmo {

// The platform recogniser on Linux: pocketsphinx with its US English model, entirely on this
// machine. Each task converts the request's audio to 16 kHz mono 16-bit and decodes it on one
// process-wide recognition thread, which is also where results are delivered. A loaded decoder
// is kept for the next task, so only the first recognition pays for loading the model.
class PocketSphinxSpeechRecognizer : public SpeechRecognizer {
public:
    // Null unless the locale is US English (or plain English) and the model is installed.
    static std::shared_ptr<PocketSphinxSpeechRecognizer> make(const std::string& localeIdentifier);
    static bool isModelInstalled();
    static bool supportsLocale(const std::string& localeIdentifier);

    std::string localeIdentifier() const override { return "en-US"; }
    bool supportsOnDeviceRecognition() const override { return true; }
    std::shared_ptr<SpeechRecognitionTask> recognitionTask(std::shared_ptr<SpeechAudioBufferRecognitionRequest> request,
                                                           SpeechRecognitionResultHandler handler) override;
};

}  // namespace velmo
