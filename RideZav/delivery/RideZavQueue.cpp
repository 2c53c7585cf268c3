#include "RideZav/delivery/RideZavQueue.h"

#include <time.h>

#include <algorithm>
#include <charconv>

#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavUtils.h"
#include "RideZav/core/WallClock.h"
#include "RideZav/network/Reachability.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/Timer.h"

namespace ridezav {

namespace {

// The shortest decimal of a double that reads back the same, with a fraction ("5.0", "1.0").
std::string shortestDecimal(double value) { return RideZavFileBackedQueue::fileName(value); }

// A rate limit or an outage in front of the service: the events were not taken.
bool isTransientStatus(int status) { return status == 429 || status == 502 || status == 503 || status == 504; }

}  // namespace

std::optional<RideZavApiEndpoint> apiEndpointFromRaw(int raw) {
    switch (raw) {
        case 0:
            return RideZavApiEndpoint::batch;
        case 1:
            return RideZavApiEndpoint::snapshot;
        default:
            return std::nullopt;
    }
}

std::shared_ptr<RideZavQueue> RideZavQueue::create(const RideZavConfig& config, std::shared_ptr<RideZavBatchUploading> api,
                                                   std::shared_ptr<Reachability> reachability, RideZavApiEndpoint endpoint,
                                                   std::shared_ptr<velmo::SerialQueue> dispatchQueue,
                                                   std::shared_ptr<RideZavFileBackedQueue> fileQueue) {
    return std::shared_ptr<RideZavQueue>(
        new RideZavQueue(config, std::move(api), std::move(reachability), endpoint, std::move(dispatchQueue), std::move(fileQueue)));
}

RideZavQueue::RideZavQueue(const RideZavConfig& config, std::shared_ptr<RideZavBatchUploading> api,
                           std::shared_ptr<Reachability> reachability, RideZavApiEndpoint endpoint,
                           std::shared_ptr<velmo::SerialQueue> dispatchQueue, std::shared_ptr<RideZavFileBackedQueue> fileQueue)
    : config_(config),
      api_(std::move(api)),
      reachability_(std::move(reachability)),
      endpoint_(endpoint),
      dispatchQueue_(std::move(dispatchQueue)),
      fileQueue_(std::move(fileQueue)) {
    // Adds only copy into the journal; the dispatch queue writes the event files.
    fileQueue_->startJournal();
}

RideZavQueue::~RideZavQueue() {
    std::lock_guard lock(timerLock_);
    if (timer_) {
        // Timers belong to the main loop; the tick only holds the queue weakly meanwhile.
        velmo::MainLoop::postToMain([timer = std::move(timer_)] { timer->invalidate(); });
    }
}

void RideZavQueue::askForSpareFiles() {
    // Journal entries become files, and adds without a journal find theirs already created, off
    // the capturing thread.
    if (fileQueue_->wantsWriting()) dispatchQueue_->async([store = fileQueue_] { store->writePending(); });
    if (fileQueue_->wantsSpareFiles()) dispatchQueue_->async([store = fileQueue_] { store->prepareSpareFiles(); });
}

void RideZavQueue::start(bool disableReachabilityForTesting, bool disableQueueTimerForTesting) {
    askForSpareFiles();
    if (!disableReachabilityForTesting && reachability_) {
        // Subscribers, not the monitor's single callback slots: both queues share one monitor.
        std::weak_ptr<RideZavQueue> weak = weak_from_this();
        reachableToken_ = reachability_->subscribeWhenReachable([weak](Reachability& monitor) {
            if (auto self = weak.lock()) self->reachable(monitor);
        });
        unreachableToken_ = reachability_->subscribeWhenUnreachable([weak](Reachability&) {
            if (auto self = weak.lock()) self->unreachable();
        });
        try {
            reachability_->startNotifier();
        } catch (const std::exception& error) {
            ridezavLog(std::string("Error: Unable to monitor network reachability: ") + error.what());
        }
    }
    if (!disableQueueTimerForTesting) {
        std::lock_guard lock(timerLock_);
        velmo::MainLoop::postToMain([weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            auto timer = velmo::Timer::scheduled(self->config_.flushIntervalSeconds, true, [weak](velmo::Timer& timer) {
                if (auto queue = weak.lock()) {
                    queue->tick();
                } else {
                    timer.invalidate();
                }
            });
            std::lock_guard timerGuard(self->timerLock_);
            if (self->timer_) self->timer_->invalidate();
            self->timer_ = std::move(timer);
        });
    }
}

void RideZavQueue::tick() {
    if (!isFlushing() && canFlush()) take(static_cast<std::size_t>(config_.maxBatchSize));
}

bool RideZavQueue::add(const RideZavEvent& event) {
    const bool full = static_cast<std::int64_t>(depth()) >= config_.maxQueueSize;
    const auto data = jsonData(event.toJSON());
    if (!data) {
        ridezavLog("Tried to queue unserialisable RideZavEvent");
        return false;
    }
    const bool stored = fileQueue_->add(*data);
    if (stored && full) {
        // Only now that the new event is safely stored; its file goes with the next write.
        ridezavLog("Queue is full, dropping oldest event");
        fileQueue_->dropOldest();
    }
    // After the drop, so the write this asks for also removes the dropped event's file.
    askForSpareFiles();
    if (!stored) return false;
    const std::size_t storedDepth = depth();
    if (RideZavLog::isDebug()) ridezavLog("Queued event '" + event.event + "'. Depth: " + std::to_string(storedDepth));
    if (static_cast<std::int64_t>(storedDepth) >= config_.flushAt && canFlush()) {
        take(static_cast<std::size_t>(config_.maxBatchSize));
    }
    return true;
}

std::string RideZavQueue::pausedUntilLine(Date until) {
    const time_t seconds = std::chrono::system_clock::to_time_t(until);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return std::string("The queue is paused until `") + text + "`";
}

bool RideZavQueue::canFlush() {
    if (isFlushing()) {
        ridezavLog("Already flushing");
        return false;
    }
    std::optional<Date> until;
    {
        std::lock_guard lock(pausedLock_);
        if (paused_) {
            ridezavLog("The queue is paused due to the reachability check");
            return false;
        }
        until = pausedUntil_;
    }
    if (until && *until > WallClock::current()->now()) {
        ridezavLog(pausedUntilLine(*until));
        return false;
    }
    return true;
}

void RideZavQueue::take(std::size_t count) {
    dispatchQueue_->async([self = shared_from_this(), count] { self->takeOnQueue(count); });
}

void RideZavQueue::takeOnQueue(std::size_t count) {
    {
        std::lock_guard lock(isFlushingLock_);
        if (isFlushing_) return;  // the batch in flight finishes on its own
        isFlushing_ = true;
    }
    auto batch = fileQueue_->peekBatch(count);
    BatchCompletion done = [self = shared_from_this(), names = std::move(batch.names)](bool success) {
        // Exactly the names this batch walked: not "that many from the front", which a drop
        // or a missing file would shift onto events never sent.
        if (success && !names.empty()) {
            self->fileQueue_->remove(names);
            ridezavLog("Completed!");
        }
        std::lock_guard lock(self->isFlushingLock_);
        self->isFlushing_ = false;
    };
    if (endpoint_ == RideZavApiEndpoint::batch) {
        // The stored bytes are the events' JSON form, written once at capture: the batch body is
        // made of them. Only contents in another form are read as events and written anew.
        std::vector<std::string> events;
        events.reserve(batch.contents.size());
        for (auto& contents : batch.contents) {
            if (RideZavEvent::isJSONForm(contents)) {
                events.push_back(std::move(contents));
            } else if (auto event = decodeEvent(contents)) {
                if (auto data = jsonData(event->toJSON())) events.push_back(std::move(*data));
            }
        }
        sendBatch(std::move(events), std::move(done));
        return;
    }
    std::vector<RideZavEvent> events;
    events.reserve(batch.contents.size());
    for (const auto& contents : batch.contents) {
        if (auto event = decodeEvent(contents)) events.push_back(std::move(*event));
    }
    sendSnapshots(std::move(events), std::move(done));
}

std::optional<RideZavEvent> RideZavQueue::decodeEvent(std::string_view contents) {
    const auto value = parseJSON(contents);
    if (!value || !value->isObject()) return std::nullopt;
    return RideZavEvent::fromJSON(*value->get<Object>());
}

template <class Events, class Upload>
void RideZavQueue::sendThrough(Events events, BatchCompletion completion, Upload upload) {
    if (events.empty()) {
        completion(true);  // removes the undecodable files that were read
        return;
    }
    ridezavLog("Sending batch of " + std::to_string(events.size()) + " events to RideZav");
    upload(std::move(events), [self = shared_from_this(), completion = std::move(completion)](RideZavBatchUploadInfo info) {
        self->handleUploadResult(info, completion);
    });
}

void RideZavQueue::sendBatch(std::vector<std::string> events, BatchCompletion completion) {
    sendThrough(std::move(events), std::move(completion),
                [this](auto events, auto onResult) { api_->batchJSON(std::move(events), std::move(onResult)); });
}

void RideZavQueue::sendSnapshots(std::vector<RideZavEvent> events, BatchCompletion completion) {
    sendThrough(std::move(events), std::move(completion),
                [this](auto events, auto onResult) { api_->snapshot(std::move(events), std::move(onResult)); });
}

void RideZavQueue::handleUploadResult(const RideZavBatchUploadInfo& info, const BatchCompletion& completion) {
    const auto status = info.statusCode;
    const bool answered = status && *status != -1 && !(*status >= 300 && *status <= 399) && !isTransientStatus(*status);
    if (answered) {
        {
            std::lock_guard lock(pausedLock_);
            retryCount_ = 0;
        }
        completion(true);
        return;
    }
    double retries;
    double delay;
    {
        std::lock_guard lock(pausedLock_);
        retries = retryCount_ += 1;
        delay = std::min(retries * 5.0, 30.0);
        pausedUntil_ = WallClock::current()->now() +
                       std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(delay));
    }
    ridezavLog("Pausing queue consumption for " + shortestDecimal(delay) + " seconds due to " + shortestDecimal(retries) +
               " API failure(s).");
    completion(false);
}

void RideZavQueue::reachable(Reachability& monitor) {
    const Connection connection = monitor.connection();
    {
        std::lock_guard lock(pausedLock_);
        if (config_.dataMode == RideZavDataMode::wifi && connection != Connection::wifi) {
            ridezavLog("Queue is paused because its not in WiFi mode");
            paused_ = true;
        } else {
            paused_ = false;
        }
    }
    if (connection != Connection::unavailable && !isFlushing() && canFlush()) {
        take(static_cast<std::size_t>(config_.maxBatchSize));
    }
}

void RideZavQueue::unreachable() {
    std::lock_guard lock(pausedLock_);
    ridezavLog("Queue is paused because network is unreachable");
    paused_ = true;
}

bool RideZavQueue::isFlushing() const {
    std::lock_guard lock(isFlushingLock_);
    return isFlushing_;
}

bool RideZavQueue::paused() const {
    std::lock_guard lock(pausedLock_);
    return paused_;
}

std::optional<Date> RideZavQueue::pausedUntil() const {
    std::lock_guard lock(pausedLock_);
    return pausedUntil_;
}

double RideZavQueue::retryCount() const {
    std::lock_guard lock(pausedLock_);
    return retryCount_;
}

}  // namespace ridezav
