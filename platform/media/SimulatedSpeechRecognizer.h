#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/media/SpeechRecognizer.h"

namespace velmo {

// A recognition started on the simulated recogniser. The test delivers its results and errors,
// on whatever thread it calls from, and may do so after `cancel` (as a late platform result can).
class SimulatedSpeechRecognitionTask : public SpeechRecognitionTask {
public:
    SimulatedSpeechRecognitionTask(std::shared_ptr<SpeechAudioBufferRecognitionRequest> request, SpeechRecognitionResultHandler handler);
    ~SimulatedSpeechRecognitionTask() override;

    void cancel() override;
    bool isCancelled() const override { return cancelCount.load() > 0; }

    void deliverResult(const std::string& text, bool isFinal);
    void deliverError(std::exception_ptr error);
    void deliver(const std::optional<SpeechRecognitionResult>& result, std::exception_ptr error);

    const std::shared_ptr<SpeechAudioBufferRecognitionRequest>& request() const { return request_; }
    int receivedBufferCount() const { return receivedBuffers_.load(); }
    bool receivedEndOfAudio() const { return receivedEnd_.load(); }
    int endOfAudioCount() const { return endCount_.load(); }
    std::atomic<int> cancelCount{0};

private:
    std::shared_ptr<SpeechAudioBufferRecognitionRequest> request_;
    SpeechRecognitionResultHandler handler_;
    std::atomic<int> receivedBuffers_{0};
    std::atomic<bool> receivedEnd_{false};
    std::atomic<int> endCount_{0};
};

// A recogniser for tests: records every task it starts; tests drive the results.
class SimulatedSpeechRecognizer : public SpeechRecognizer {
public:
    explicit SimulatedSpeechRecognizer(std::string localeIdentifier = "en-US", bool supportsOnDevice = true)
        : locale_(std::move(localeIdentifier)),
          supportsOnDevice_(supportsOnDevice) {}

    std::string localeIdentifier() const override { return locale_; }
    bool supportsOnDeviceRecognition() const override { return supportsOnDevice_; }
    std::shared_ptr<SpeechRecognitionTask> recognitionTask(std::shared_ptr<SpeechAudioBufferRecognitionRequest> request,
                                                           SpeechRecognitionResultHandler handler) override;

    std::vector<std::shared_ptr<SimulatedSpeechRecognitionTask>> tasks() const;
    std::shared_ptr<SimulatedSpeechRecognitionTask> lastTask() const;

private:
    std::string locale_;
    bool supportsOnDevice_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SimulatedSpeechRecognitionTask>> tasks_;
};

}  // namespace velmo
