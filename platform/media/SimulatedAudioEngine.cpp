#include "platform/media/SimulatedAudioEngine.h"

#include <pthread.h>

#include <chrono>

#include "platform/base/Error.h"

namespace velmo {

SimulatedAudioEngine::SimulatedAudioEngine(AudioFormat format)
    : format_(format) {
    thread_ = std::thread([this] { run(); });
    pthread_setname_np(thread_.native_handle(), "sim-audio");
}

SimulatedAudioEngine::~SimulatedAudioEngine() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

AudioFormat SimulatedAudioEngine::inputFormat() {
    std::lock_guard lock(mutex_);
    return format_;
}

void SimulatedAudioEngine::setInputFormat(const AudioFormat& format) {
    std::lock_guard lock(mutex_);
    format_ = format;
}

void SimulatedAudioEngine::installTap(std::uint32_t bufferSize, const AudioFormat& format, AudioTapBlock block) {
    ++installTapCount;
    std::lock_guard lock(mutex_);
    tap_ = std::make_shared<AudioTapBlock>(std::move(block));
    tapBufferSize_ = bufferSize;
    tapFormat_ = format;
}

void SimulatedAudioEngine::removeTap() {
    ++removeTapCount;
    std::lock_guard lock(mutex_);
    tap_.reset();
}

void SimulatedAudioEngine::prepare() { ++prepareCount; }

void SimulatedAudioEngine::start() {
    ++startCount;
    std::lock_guard lock(mutex_);
    if (startFailure_) throw Error("SimulatedAudioEngine", 1, *startFailure_);
    running_.store(true);
}

void SimulatedAudioEngine::stop() {
    ++stopCount;
    running_.store(false);
}

void SimulatedAudioEngine::setFailureHandler(AudioEngineFailureHandler handler) {
    std::lock_guard lock(mutex_);
    failureHandler_ = std::move(handler);
}

bool SimulatedAudioEngine::failWhileRunning(const std::string& message) {
    if (!running_.exchange(false)) return false;
    AudioEngineFailureHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = failureHandler_;
    }
    if (handler) handler(std::make_exception_ptr(Error("SimulatedAudioEngine", 2, message)));
    return true;
}

void SimulatedAudioEngine::setStartFailure(std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    startFailure_ = std::move(message);
}

void SimulatedAudioEngine::deliver(std::vector<std::shared_ptr<const AudioPCMBuffer>> buffers) {
    {
        std::lock_guard lock(mutex_);
        for (auto& b : buffers) queue_.push_back(std::move(b));
    }
    wake_.notify_all();
}

bool SimulatedAudioEngine::waitUntilDelivered(double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return queue_.empty() && !delivering_; });
}

std::uint32_t SimulatedAudioEngine::lastTapBufferSize() const {
    std::lock_guard lock(mutex_);
    return tapBufferSize_;
}

std::optional<AudioFormat> SimulatedAudioEngine::lastTapFormat() const {
    std::lock_guard lock(mutex_);
    return tapFormat_;
}

void SimulatedAudioEngine::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return quitting_ || !queue_.empty(); });
        if (quitting_) return;
        auto buffer = std::move(queue_.front());
        queue_.pop_front();
        auto tap = tap_;
        if (!running_.load() || !tap) {
            ++droppedCount;
        } else {
            delivering_ = true;
            lock.unlock();
            (*tap)(buffer);
            buffer.reset();
            tap.reset();
            lock.lock();
            delivering_ = false;
            ++deliveredCount;
        }
        if (queue_.empty()) idle_.notify_all();
    }
}

}  // namespace velmo
