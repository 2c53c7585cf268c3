#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "RideZav/delivery/RideZavBatchUploading.h"
#include "RideZav/delivery/RideZavQueue.h"

namespace velmo::test {

// An upload client that records every request and holds its completion until the test answers.
// Thread contract: all operations from any thread; every field guarded by mutex_. Answers run
// the completion on the answering thread, outside the lock.
class ScriptedUploader : public ridezav::RideZavBatchUploading {
public:
    struct Call {
        ridezav::RideZavApiEndpoint endpoint;
        std::vector<ridezav::RideZavEvent> events;
    };

    void batch(std::vector<ridezav::RideZavEvent> events, Completion completion) override;
    void snapshot(std::vector<ridezav::RideZavEvent> events, Completion completion) override;

    // Waits (real time) until `count` requests have arrived in all; false on time-out.
    bool waitForCalls(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<Call> calls() const;
    std::size_t pendingCount() const;
    // Completes the oldest unanswered request with this status (none: no answer came).
    void answer(std::optional<int> statusCode);

private:
    void record(ridezav::RideZavApiEndpoint endpoint, std::vector<ridezav::RideZavEvent> events, Completion completion);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::deque<Completion> pending_;
};

}  // namespace velmo::test
