#pragma once

#include <cassert>
#include <functional>
#include <memory>
#include <vector>

#include "platform/runtime/MainLoop.h"
#include "platform/runtime/Published.h"

namespace velmo {

// A view's observation of published values. Assignments are gathered and delivered once, at
// the end of the main-loop turn that made them: the value handlers run first, in the order
// they were added, each only when its value differs from the one it last saw (`onChange(old,
// new)`); then `onAnyChange` once, when anything was assigned (the view re-evaluates its
// layers). So a handler sees every value published in the same turn, whatever their order.
// Bound to the main thread; dropping the observer ends every delivery, pending ones included.
class ChangeObserver {
public:
    ChangeObserver()
        : state_(std::make_shared<State>()) {}
    ChangeObserver(const ChangeObserver&) = delete;
    ChangeObserver& operator=(const ChangeObserver&) = delete;

    // `handler(old, now)`; T needs ==.
    template <class T, class F>
    void onChange(const Published<T>& value, F handler) {
        auto entry = std::make_shared<Entry<T>>();
        entry->handler = std::move(handler);
        addEntry(value, entry);
    }
    // Re-evaluates the view on assignments to `value` without a handler of its own.
    template <class T>
    void watch(const Published<T>& value) {
        addEntry(value, std::make_shared<Entry<T>>());
    }
    void onAnyChange(std::function<void()> handler) { state_->any = std::move(handler); }

private:
    struct EntryBase {
        virtual ~EntryBase() = default;
        virtual void deliver() = 0;
        Cancellable subscription;
    };
    template <class T>
    struct Entry : EntryBase {
        std::optional<T> seen;  // last value delivered (or the value at subscription)
        std::optional<T> latest;  // last value assigned
        std::function<void(const T&, const T&)> handler;
        void deliver() override {
            if (!latest || !seen) return;
            if (*latest == *seen) {
                latest.reset();
                return;
            }
            T old = std::move(*seen);
            seen = std::move(*latest);
            latest.reset();
            if (handler) handler(old, *seen);
        }
    };
    struct State : std::enable_shared_from_this<State> {
        std::vector<std::shared_ptr<EntryBase>> entries;
        std::function<void()> any;
        bool flushPosted = false;
        bool assigned = false;
        void schedule() {
            assert(MainLoop::isMainThread() && "observed values are published on the main loop");
            assigned = true;
            if (flushPosted) return;
            flushPosted = true;
            std::weak_ptr<State> weak = weak_from_this();
            MainLoop::postToMain([weak] {
                if (auto s = weak.lock()) s->flush();
            });
        }
        void flush() {
            flushPosted = false;
            assigned = false;
            auto entries = this->entries;
            for (auto& e : entries) e->deliver();
            if (any) any();
        }
    };

    template <class T>
    void addEntry(const Published<T>& value, std::shared_ptr<Entry<T>> entry) {
        std::weak_ptr<State> weakState = state_;
        std::weak_ptr<Entry<T>> weakEntry = entry;
        entry->subscription = value.publisher().sink([weakState, weakEntry](const T& v) {
            auto e = weakEntry.lock();
            auto s = weakState.lock();
            if (!e || !s) return;
            if (!e->seen) {
                e->seen = v;  // the current value on subscribing
                return;
            }
            e->latest = v;
            s->schedule();
        });
        state_->entries.push_back(std::move(entry));
    }

    std::shared_ptr<State> state_;
};

}  // namespace velmo
