#pragma once

#include <functional>
#include <memory>

#include "platform/runtime/MainLoop.h"
#include "platform/runtime/SequenceChecker.h"

namespace velmo {

// A one-shot or repeating timer on the main loop. The loop keeps a valid timer alive, so the
// caller may drop its reference. Repeating timers keep a fixed schedule: the n-th firing is due
// at start + n x interval (no drift); firings the loop was too late for are skipped. Bound to
// the loop's thread once it first fires or is invalidated.
class Timer : public std::enable_shared_from_this<Timer> {
public:
    using Block = std::function<void(Timer&)>;

    static std::shared_ptr<Timer> scheduled(Seconds interval, bool repeats, Block block);

    void invalidate();
    // A repeating timer stops firing without leaving its schedule; `resume` brings back the first
    // firing of the schedule after the moment it is called. While suspended only its holders keep
    // the timer alive. Nothing for a one-shot timer.
    void suspend();
    void resume();
    bool isSuspended() const { return suspended_; }
    bool isValid() const { return valid_; }
    Seconds interval() const { return interval_; }
    bool repeats() const { return repeats_; }

    Timer(Seconds interval, bool repeats, Block block);

private:
    void scheduleNext();
    void fire();

    Seconds interval_;
    bool repeats_;
    Block block_;
    bool valid_ = true;
    bool suspended_ = false;
    double start_ = 0;
    long long fireCount_ = 0;
    WorkItem pending_;
    std::shared_ptr<MainLoop> loop_;
    [[no_unique_address]] SequenceChecker sequenceChecker_;
};

}  // namespace velmo
