#include "platform/media/SimulatedSpeechRecognizer.h"

namespace velmo {

SimulatedSpeechRecognitionTask::SimulatedSpeechRecognitionTask(std::shared_ptr<SpeechAudioBufferRecognitionRequest> request,
                                                               SpeechRecognitionResultHandler handler)
    : request_(std::move(request)),
      handler_(std::move(handler)) {
    request_->attach([this](const std::shared_ptr<const AudioPCMBuffer>& buffer) {
        if (buffer) {
            ++receivedBuffers_;
        } else {
            receivedEnd_.store(true);
            ++endCount_;
        }
    });
}

SimulatedSpeechRecognitionTask::~SimulatedSpeechRecognitionTask() { request_->detach(); }

void SimulatedSpeechRecognitionTask::cancel() { ++cancelCount; }

void SimulatedSpeechRecognitionTask::deliverResult(const std::string& text, bool isFinal) {
    deliver(SpeechRecognitionResult{text, isFinal}, nullptr);
}

void SimulatedSpeechRecognitionTask::deliverError(std::exception_ptr error) { deliver(std::nullopt, std::move(error)); }

void SimulatedSpeechRecognitionTask::deliver(const std::optional<SpeechRecognitionResult>& result, std::exception_ptr error) {
    if (handler_) handler_(result, error);
}

std::shared_ptr<SpeechRecognitionTask> SimulatedSpeechRecognizer::recognitionTask(
    std::shared_ptr<SpeechAudioBufferRecognitionRequest> request, SpeechRecognitionResultHandler handler) {
    auto task = std::make_shared<SimulatedSpeechRecognitionTask>(std::move(request), std::move(handler));
    std::lock_guard lock(mutex_);
    tasks_.push_back(task);
    return task;
}

std::vector<std::shared_ptr<SimulatedSpeechRecognitionTask>> SimulatedSpeechRecognizer::tasks() const {
    std::lock_guard lock(mutex_);
    return tasks_;
}

std::shared_ptr<SimulatedSpeechRecognitionTask> SimulatedSpeechRecognizer::lastTask() const {
    std::lock_guard lock(mutex_);
    return tasks_.empty() ? nullptr : tasks_.back();
}

}  // namespace velmo
