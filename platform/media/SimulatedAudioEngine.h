#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/media/AudioEngine.h"

namespace velmo {

// An audio engine for tests: buffers handed to `deliver` reach the tap one by one on the
// engine's own thread while the engine runs and a tap is installed; buffers that come due while
// it is stopped or has no tap are dropped, as a microphone that is off hears nothing. Like a
// real device, `stop` does not wait for a buffer that is being delivered. It can be told to fail
// its next starts.
class SimulatedAudioEngine : public AudioEngine {
public:
    explicit SimulatedAudioEngine(AudioFormat format = AudioFormat::float32Planar(48000, 1));
    ~SimulatedAudioEngine() override;

    AudioFormat inputFormat() override;
    void installTap(std::uint32_t bufferSize, const AudioFormat& format, AudioTapBlock block) override;
    void removeTap() override;
    void prepare() override;
    void start() override;
    void stop() override;
    bool isRunning() const override { return running_.load(); }
    void setFailureHandler(AudioEngineFailureHandler handler) override;

    // Test side.
    void setInputFormat(const AudioFormat& format);
    // Every later start throws an Error with this message, until cleared with nullopt.
    void setStartFailure(std::optional<std::string> message);
    // The running input fails as a device that went away does: it stops and the failure handler
    // hears an Error with this message (on the calling thread). False when it was not running.
    bool failWhileRunning(const std::string& message);
    void deliver(std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers);
    // Waits (real time) until every buffer handed to `deliver` was delivered or dropped.
    bool waitUntilDelivered(double timeoutSeconds = 10.0);

    std::atomic<int> installTapCount{0};
    std::atomic<int> removeTapCount{0};
    std::atomic<int> prepareCount{0};
    std::atomic<int> startCount{0};
    std::atomic<int> stopCount{0};
    std::atomic<int> deliveredCount{0};
    std::atomic<int> droppedCount{0};
    std::uint32_t lastTapBufferSize() const;
    std::optional<AudioFormat> lastTapFormat() const;
    std::thread::id deliveryThreadId() const { return thread_.get_id(); }

private:
    void run();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::shared_ptr<const AudioPCMBuffer>> queue_;
    bool delivering_ = false;
    bool quitting_ = false;
    AudioFormat format_;
    std::optional<std::string> startFailure_;
    AudioEngineFailureHandler failureHandler_;
    std::shared_ptr<AudioTapBlock> tap_;
    std::uint32_t tapBufferSize_ = 0;
    std::optional<AudioFormat> tapFormat_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace velmo
