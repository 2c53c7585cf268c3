#include "platform/media/SpeechRecognizer.h"

#include <cstdlib>

#include "platform/media/PocketSphinxSpeechRecognizer.h"

namespace velmo {

void SpeechAudioBufferRecognitionRequest::appendAudioPCMBuffer(std::shared_ptr<const AudioPCMBuffer> buffer) {
    if (!buffer) return;
    std::lock_guard lock(mutex_);
    if (ended_) return;
    if (consumer_) {
        consumer_(buffer);
    } else {
        backlog_.push_back(std::move(buffer));
    }
}

void SpeechAudioBufferRecognitionRequest::endAudio() {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    ended_ = true;
    if (consumer_) consumer_(nullptr);
}

bool SpeechAudioBufferRecognitionRequest::hasEnded() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

void SpeechAudioBufferRecognitionRequest::attach(Consumer consumer) {
    std::lock_guard lock(mutex_);
    consumer_ = std::move(consumer);
    if (!consumer_) return;
    for (auto& buffer : backlog_) consumer_(buffer);
    backlog_.clear();
    if (ended_) consumer_(nullptr);
}

void SpeechAudioBufferRecognitionRequest::detach() {
    Consumer old;
    std::lock_guard lock(mutex_);
    old = std::move(consumer_);
    consumer_ = nullptr;
}

std::shared_ptr<SpeechRecognizer> SpeechRecognizer::make(const std::optional<std::string>& localeIdentifier) {
    return PocketSphinxSpeechRecognizer::make(localeIdentifier ? *localeIdentifier : currentLocaleIdentifier());
}

std::string SpeechRecognizer::currentLocaleIdentifier() {
    const char* value = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            value = v;
            break;
        }
    }
    if (!value) return {};
    std::string locale(value);
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale == "C" || locale == "POSIX") return {};
    for (char& c : locale)
        if (c == '_') c = '-';
    return locale;
}

}  // namespace velmo
