#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/runtime/MainLoop.h"

namespace velmo {

// The delayed work of a main loop, the real one and the virtual one alike: ordered by due time,
// equal due times in the order they were added. Due times are nanoseconds on the owning loop's
// clock. Not thread-safe: the owning loop guards it with its own lock.
class TimerHeap {
public:
    using Nanos = std::int64_t;

    struct Due {
        std::function<void()> work;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };

    // A delay as nanoseconds: negative and NaN delays mean "as soon as possible",
    // and delays beyond about 31 years are clamped.
    static Nanos delayNanos(Seconds delay);

    // Adds `work` at `due`; the returned item cancels it.
    WorkItem add(Nanos due, std::function<void()> work);

    bool empty() const { return heap_.empty(); }
    // The earliest due time, cancelled timers included; only valid while not empty.
    Nanos firstDue() const { return heap_.front().due; }
    // Drops cancelled timers at the front; the earliest live due time, or -1 when none is left.
    Nanos nextLiveDue();
    std::size_t liveCount() const;

    // Removes every live timer due at or before `now`, earliest first, handing each to `sink`.
    template <class Sink>
    void takeDue(Nanos now, Sink&& sink) {
        while (!heap_.empty() && heap_.front().due <= now) {
            Entry entry = popFirst();
            if (entry.cancelled->load(std::memory_order_acquire)) continue;
            sink(Due{std::move(entry.work), std::move(entry.cancelled)});
        }
    }

    // Every timer moved out, so that the caller can destroy them outside its lock.
    TimerHeap takeAll();

private:
    struct Entry {
        Nanos due;
        std::uint64_t seq;
        std::function<void()> work;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const { return a.due != b.due ? a.due > b.due : a.seq > b.seq; }
    };

    Entry popFirst();

    std::vector<Entry> heap_;  // a binary heap under Later, earliest at the front
    std::uint64_t nextSeq_ = 0;
};

}  // namespace velmo
