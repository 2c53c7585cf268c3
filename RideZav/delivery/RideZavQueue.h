#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RideZav/RideZavConfig.h"
#include "RideZav/core/RegistrationToken.h"
#include "RideZav/core/RideZavValue.h"
#include "RideZav/delivery/RideZavBatchUploading.h"
#include "RideZav/delivery/RideZavFileBackedQueue.h"

namespace velmo {
class SerialQueue;
class Timer;
}  // namespace velmo

namespace ridezav {

class Reachability;

// Which upload request a queue sends through.
enum class RideZavApiEndpoint : int { batch = 0, snapshot = 1 };
std::optional<RideZavApiEndpoint> apiEndpointFromRaw(int raw);

// Turns stored events into uploads: batches of the oldest events go out one at a time, not
// while a back-off pause lasts nor while reachability holds uploads back. An event leaves the
// store only once an upload of it was answered (or it could not be read as an event).
// Thread contract: add on the capturing thread (the main thread: a copy into the store's journal
// and one fstat, no write); canFlush, take and depth from any thread; batches are read on dispatchQueue; upload
// results on any thread; the timer and reachability callbacks on the main loop. Guarded fields:
// paused_, pausedUntil_, retryCount_ by pausedLock_; isFlushing_ by isFlushingLock_; timer_ by
// timerLock_. No two of these locks are held at once.
class RideZavQueue : public std::enable_shared_from_this<RideZavQueue> {
public:
    static std::shared_ptr<RideZavQueue> create(const RideZavConfig& config, std::shared_ptr<RideZavBatchUploading> api,
                                                std::shared_ptr<Reachability> reachability, RideZavApiEndpoint endpoint,
                                                std::shared_ptr<velmo::SerialQueue> dispatchQueue,
                                                std::shared_ptr<RideZavFileBackedQueue> fileQueue);
    ~RideZavQueue();
    RideZavQueue(const RideZavQueue&) = delete;
    RideZavQueue& operator=(const RideZavQueue&) = delete;

    // Subscribes to reachability and starts its notifier, and puts the flush timer on the main
    // loop, each unless disabled.
    void start(bool disableReachabilityForTesting, bool disableQueueTimerForTesting);
    // True when the event's file was written.
    bool add(const RideZavEvent& event);
    bool canFlush();
    // Reads up to `count` events on the dispatch queue and uploads them, unless a batch is in flight.
    void take(std::size_t count);
    std::size_t depth() const { return fileQueue_->depth(); }

    RideZavApiEndpoint endpoint() const { return endpoint_; }
    bool isFlushing() const;
    bool paused() const;
    std::optional<Date> pausedUntil() const;
    double retryCount() const;

    // "The queue is paused until `2024-01-01 00:00:05 +0000`".
    static std::string pausedUntilLine(Date until);
    // A stored content as an event: a JSON object that reads as one; none otherwise.
    static std::optional<RideZavEvent> decodeEvent(std::string_view contents);

private:
    RideZavQueue(const RideZavConfig& config, std::shared_ptr<RideZavBatchUploading> api, std::shared_ptr<Reachability> reachability,
                 RideZavApiEndpoint endpoint, std::shared_ptr<velmo::SerialQueue> dispatchQueue,
                 std::shared_ptr<RideZavFileBackedQueue> fileQueue);

    using BatchCompletion = std::function<void(bool success)>;
    void askForSpareFiles();
    void takeOnQueue(std::size_t count);
    // Sends a non-empty batch through `upload`; an empty one completes at once.
    template <class Events, class Upload>
    void sendThrough(Events events, BatchCompletion completion, Upload upload);
    void sendBatch(std::vector<std::string> events, BatchCompletion completion);
    void sendSnapshots(std::vector<RideZavEvent> events, BatchCompletion completion);
    void handleUploadResult(const RideZavBatchUploadInfo& info, const BatchCompletion& completion);
    void reachable(Reachability& reachability);
    void unreachable();
    void tick();

    const RideZavConfig config_;
    const std::shared_ptr<RideZavBatchUploading> api_;
    const std::shared_ptr<Reachability> reachability_;
    const RideZavApiEndpoint endpoint_;
    const std::shared_ptr<velmo::SerialQueue> dispatchQueue_;
    const std::shared_ptr<RideZavFileBackedQueue> fileQueue_;

    mutable std::mutex pausedLock_;
    bool paused_ = false;  // guarded by pausedLock_
    std::optional<Date> pausedUntil_;  // guarded by pausedLock_
    double retryCount_ = 0;  // guarded by pausedLock_

    mutable std::mutex isFlushingLock_;
    bool isFlushing_ = false;  // guarded by isFlushingLock_

    std::mutex timerLock_;
    std::shared_ptr<velmo::Timer> timer_;  // guarded by timerLock_; used on the main loop

    RegistrationToken reachableToken_;
    RegistrationToken unreachableToken_;
};

}  // namespace ridezav
