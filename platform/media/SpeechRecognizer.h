#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/media/AudioPCMBuffer.h"

namespace velmo {

// One hypothesis of a recognition: the whole text recognised so far, and whether it is final.
struct SpeechRecognitionResult {
    std::string formattedString;
    bool isFinal = false;
};

enum class SpeechRecognitionTaskHint : int {
    unspecified = 0,
    dictation = 1,
    search = 2,
    confirmation = 3,
};

// The audio of one recognition, fed buffer by buffer in the capture's own format (any rate and
// channel count: the recogniser converts). Configure it before the task starts; append from any
// thread. Audio appended after `endAudio` is ignored.
class SpeechAudioBufferRecognitionRequest {
public:
    bool shouldReportPartialResults = true;
    SpeechRecognitionTaskHint taskHint = SpeechRecognitionTaskHint::unspecified;
    bool addsPunctuation = false;
    bool requiresOnDeviceRecognition = false;

    void appendAudioPCMBuffer(std::shared_ptr<const AudioPCMBuffer> buffer);
    void endAudio();
    bool hasEnded() const;

    // Recogniser side: the consumer receives each buffer in order, then null once for the end;
    // audio that came before `attach` is handed over at once. Calls are serialised, and none
    // comes after `detach` returns. The consumer must only hand the buffer on (it runs under
    // the request's lock).
    using Consumer = std::function<void(const std::shared_ptr<const AudioPCMBuffer>& bufferOrEnd)>;
    void attach(Consumer consumer);
    void detach();

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<const AudioPCMBuffer>> backlog_;
    Consumer consumer_;
    bool ended_ = false;
};

// A running recognition. Cancelling stops it: no result is delivered afterwards, except one
// the recogniser was already handing over at that moment.
class SpeechRecognitionTask {
public:
    virtual ~SpeechRecognitionTask() = default;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

// Called on the recogniser's own delivery thread with a result, an error, or both.
using SpeechRecognitionResultHandler = std::function<void(const std::optional<SpeechRecognitionResult>& result, std::exception_ptr error)>;

// A speech recogniser for one language. Results come on the recogniser's delivery thread: partial
// results while audio arrives (when the request asks for them), then one final result after
// `endAudio`, or an error.
class SpeechRecognizer {
public:
    virtual ~SpeechRecognizer() = default;
    virtual std::string localeIdentifier() const = 0;
    virtual bool supportsOnDeviceRecognition() const = 0;
    virtual std::shared_ptr<SpeechRecognitionTask> recognitionTask(std::shared_ptr<SpeechAudioBufferRecognitionRequest> request,
                                                                   SpeechRecognitionResultHandler handler) = 0;

    // The platform's recogniser for a locale ("en-US", "en_US.UTF-8"); without one, for the
    // user's current locale. Null when no recogniser exists for it.
    static std::shared_ptr<SpeechRecognizer> make(const std::optional<std::string>& localeIdentifier);
    // The user's locale from LC_ALL, LC_MESSAGES or LANG, as "en-US"; empty for C or POSIX.
    static std::string currentLocaleIdentifier();
};

}  // namespace velmo
