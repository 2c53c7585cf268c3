#pragma once

#include <mutex>

#include "platform/net/NetworkReachabilityTarget.h"

namespace velmo {

// A reachability target whose flags the test sets. A change is delivered like the real one's:
// posted to the attached queue, only while a callback and a queue are set; the test can make
// each operation fail once with a code of its choice.
// Thread contract: all operations from any thread; guarded fields under mutex_.
class SimulatedReachabilityTarget final : public NetworkReachabilityTarget {
public:
    explicit SimulatedReachabilityTarget(ReachabilityFlags flags = 0)
        : flags_(flags) {}

    std::optional<ReachabilityFlags> flags() override;
    bool setCallback(Callback callback) override;
    bool setDispatchQueue(std::shared_ptr<SerialQueue> queue) override;
    int lastError() const override;

    // Changes the flags and, when watched, delivers them (also when equal: the service may).
    void setFlags(ReachabilityFlags flags);
    void failNextFlagsRead(int error);
    void failNextSetCallback(int error);
    void failNextSetDispatchQueue(int error);

    int flagsReadCount() const;
    bool hasCallback() const;
    bool hasQueue() const;

private:
    mutable std::mutex mutex_;
    ReachabilityFlags flags_;  // guarded by mutex_
    Callback callback_;  // guarded by mutex_
    std::shared_ptr<SerialQueue> queue_;  // guarded by mutex_
    int failFlags_ = 0, failCallback_ = 0, failQueue_ = 0;  // guarded by mutex_
    int lastError_ = 0;  // guarded by mutex_
    int reads_ = 0;  // guarded by mutex_
};

}  // namespace velmo
