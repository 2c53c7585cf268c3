#include "platform/runtime/Timer.h"

#include <cmath>

namespace velmo {

Timer::Timer(Seconds interval, bool repeats, Block block)
    : interval_(interval.count() > 0 ? interval : Seconds(0.0001)),
      repeats_(repeats),
      block_(std::move(block)) {}

std::shared_ptr<Timer> Timer::scheduled(Seconds interval, bool repeats, Block block) {
    auto timer = std::make_shared<Timer>(interval, repeats, std::move(block));
    timer->loop_ = MainLoop::current();
    if (!timer->loop_) {
        timer->valid_ = false;
        return timer;
    }
    timer->start_ = timer->loop_->now();
    timer->scheduleNext();
    return timer;
}

void Timer::scheduleNext() {
    long long n = fireCount_ + 1;
    double now = loop_->now();
    const double interval = interval_.count();
    double due = start_ + double(n) * interval;
    if (due < now && repeats_) {
        // Skip the firings the loop was too late for, keeping the grid.
        n = (long long)std::floor((now - start_) / interval) + 1;
        due = start_ + double(n) * interval;
    }
    fireCount_ = n - 1;
    // The loop holds the timer strongly until it fires for the last time or is invalidated.
    pending_ = loop_->postAfter(Seconds(due - now), [self = shared_from_this()] { self->fire(); });
}

void Timer::fire() {
    sequenceChecker_.check();
    if (!valid_) return;
    ++fireCount_;
    if (repeats_) {
        scheduleNext();
    } else {
        valid_ = false;
    }
    if (block_) {
        auto block = block_;  // the block may invalidate (and so release) the timer
        block(*this);
    }
    if (!valid_) block_ = nullptr;
}

void Timer::suspend() {
    sequenceChecker_.check();
    if (!valid_ || !repeats_ || suspended_) return;
    suspended_ = true;
    pending_.cancel();
}

void Timer::resume() {
    sequenceChecker_.check();
    if (!valid_ || !suspended_) return;
    suspended_ = false;
    // The firings that fell due while suspended count as skipped, so the next one is after now.
    fireCount_ = (long long)std::floor((loop_->now() - start_) / interval_.count());
    scheduleNext();
}

void Timer::invalidate() {
    sequenceChecker_.check();
    valid_ = false;
    pending_.cancel();
    block_ = nullptr;
}

}  // namespace velmo
