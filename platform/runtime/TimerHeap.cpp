#include "platform/runtime/TimerHeap.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace velmo {

TimerHeap::Nanos TimerHeap::delayNanos(Seconds delay) {
    double seconds = delay.count();
    if (!(seconds > 0)) return 0;
    if (seconds > 1e9) seconds = 1e9;
    return Nanos(std::llround(seconds * 1e9));
}

WorkItem TimerHeap::add(Nanos due, std::function<void()> work) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    heap_.push_back(Entry{due, nextSeq_++, std::move(work), cancelled});
    std::push_heap(heap_.begin(), heap_.end(), Later{});
    return WorkItem(std::move(cancelled));
}

TimerHeap::Nanos TimerHeap::nextLiveDue() {
    while (!heap_.empty() && heap_.front().cancelled->load(std::memory_order_acquire)) popFirst();
    return heap_.empty() ? -1 : heap_.front().due;
}

TimerHeap::Entry TimerHeap::popFirst() {
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    Entry entry = std::move(heap_.back());
    heap_.pop_back();
    return entry;
}

std::size_t TimerHeap::liveCount() const {
    std::size_t n = 0;
    for (const Entry& entry : heap_)
        if (!entry.cancelled->load(std::memory_order_acquire)) ++n;
    return n;
}

TimerHeap TimerHeap::takeAll() {
    TimerHeap taken;
    std::swap(taken.heap_, heap_);
    taken.nextSeq_ = nextSeq_;  // the sequence keeps counting in this heap
    return taken;
}

}  // namespace velmo
