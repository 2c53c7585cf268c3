#include "voice/SimulatedTranscriptionProvider.h"

#include "platform/base/Error.h"

namespace velmo {

SimulatedTranscriptionSession::SimulatedTranscriptionSession(double fallbackDelaySeconds, std::vector<std::string> keyterms,
                                                             MirrinTranscriptUpdateCallback onTranscriptUpdate,
                                                             MirrinFinalTranscriptCallback onFinalTranscriptReady,
                                                             MirrinTranscriptionErrorCallback onError)
    : fallbackDelaySeconds_(fallbackDelaySeconds),
      keyterms_(std::move(keyterms)),
      onTranscriptUpdate_(std::move(onTranscriptUpdate)),
      onFinalTranscriptReady_(std::move(onFinalTranscriptReady)),
      onError_(std::move(onError)) {}

void SimulatedTranscriptionSession::appendAudioBuffer(const std::shared_ptr<const AudioPCMBuffer>&) {
    if (requestFinalTranscriptCount.load() > 0 || cancelCount.load() > 0) ++lateAppends_;
    ++appendedBufferCount;
    std::lock_guard lock(mutex_);
    appendThreads_.push_back(std::this_thread::get_id());
}

std::vector<std::thread::id> SimulatedTranscriptionSession::appendThreads() const {
    std::lock_guard lock(mutex_);
    return appendThreads_;
}

void SimulatedTranscriptionSession::sendTranscriptUpdate(const std::string& text) const {
    if (onTranscriptUpdate_) onTranscriptUpdate_(text);
}

void SimulatedTranscriptionSession::sendFinalTranscript(const std::string& text) const {
    if (onFinalTranscriptReady_) onFinalTranscriptReady_(text);
}

void SimulatedTranscriptionSession::sendError(std::exception_ptr error) const {
    if (onError_) onError_(std::move(error));
}

void SimulatedTranscriptionSession::sendError(const std::string& message) const {
    sendError(std::make_exception_ptr(MessageError("SimulatedTranscription", message)));
}

SimulatedTranscriptionProvider::SimulatedTranscriptionProvider(Options options)
    : options_(std::move(options)) {}

Task<std::shared_ptr<MirrinStreamingTranscriptionSession>> SimulatedTranscriptionProvider::startStreamingSession(
    std::vector<std::string> keyterms, MirrinTranscriptUpdateCallback onTranscriptUpdate,
    MirrinFinalTranscriptCallback onFinalTranscriptReady, MirrinTranscriptionErrorCallback onError) {
    ++startCount_;
    auto session =
        std::make_shared<SimulatedTranscriptionSession>(options_.fallbackDelaySeconds, std::move(keyterms), std::move(onTranscriptUpdate),
                                                        std::move(onFinalTranscriptReady), std::move(onError));
    std::optional<Completion<std::shared_ptr<MirrinStreamingTranscriptionSession>>> wait;
    {
        std::lock_guard lock(mutex_);
        if (nextStartFailure_) std::rethrow_exception(std::exchange(nextStartFailure_, nullptr));
        sessions_.push_back(session);
        if (holdOpenings_) {
            held_.push_back(HeldOpening{session, {}});
            wait = held_.back().completion;
        }
    }
    if (wait) co_return co_await *wait;
    co_return session;
}

void SimulatedTranscriptionProvider::holdOpenings(bool hold) {
    std::lock_guard lock(mutex_);
    holdOpenings_ = hold;
}

bool SimulatedTranscriptionProvider::releaseHeldOpening() {
    HeldOpening opening;
    {
        std::lock_guard lock(mutex_);
        if (held_.empty()) return false;
        opening = std::move(held_.front());
        held_.erase(held_.begin());
    }
    opening.completion.resolve(opening.session);
    return true;
}

bool SimulatedTranscriptionProvider::failHeldOpening(std::exception_ptr error) {
    HeldOpening opening;
    {
        std::lock_guard lock(mutex_);
        if (held_.empty()) return false;
        opening = std::move(held_.front());
        held_.erase(held_.begin());
    }
    opening.completion.fail(std::move(error));
    return true;
}

std::size_t SimulatedTranscriptionProvider::heldOpeningCount() const {
    std::lock_guard lock(mutex_);
    return held_.size();
}

void SimulatedTranscriptionProvider::failNextStart(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    nextStartFailure_ = std::move(error);
}

std::vector<std::shared_ptr<SimulatedTranscriptionSession>> SimulatedTranscriptionProvider::sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
}

std::shared_ptr<SimulatedTranscriptionSession> SimulatedTranscriptionProvider::lastSession() const {
    std::lock_guard lock(mutex_);
    return sessions_.empty() ? nullptr : sessions_.back();
}

}  // namespace velmo
