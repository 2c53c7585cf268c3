#include "RideZav/delivery/DeliveryTesting.h"

#include <stdexcept>

namespace velmo::test {

void ScriptedUploader::batch(std::vector<ridezav::RideZavEvent> events, Completion completion) {
    record(ridezav::RideZavApiEndpoint::batch, std::move(events), std::move(completion));
}

void ScriptedUploader::snapshot(std::vector<ridezav::RideZavEvent> events, Completion completion) {
    record(ridezav::RideZavApiEndpoint::snapshot, std::move(events), std::move(completion));
}

void ScriptedUploader::record(ridezav::RideZavApiEndpoint endpoint, std::vector<ridezav::RideZavEvent> events, Completion completion) {
    {
        std::lock_guard lock(mutex_);
        calls_.push_back({endpoint, std::move(events)});
        pending_.push_back(std::move(completion));
    }
    changed_.notify_all();
}

bool ScriptedUploader::waitForCalls(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
}

std::vector<ScriptedUploader::Call> ScriptedUploader::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t ScriptedUploader::pendingCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

void ScriptedUploader::answer(std::optional<int> statusCode) {
    Completion completion;
    {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) throw std::logic_error("no request to answer");
        completion = std::move(pending_.front());
        pending_.pop_front();
    }
    completion(ridezav::RideZavBatchUploadInfo{statusCode, std::nullopt});
}

}  // namespace velmo::test
