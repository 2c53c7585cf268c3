#pragma once

// Change publishing: subjects, published properties and their subscriptions.
//
// A subscription lives as long as its Cancellable; dropping or cancelling it ends delivery at
// once, including deliveries already posted to the main loop. Published<T> announces every
// assignment, equal or not, to its subscribers before the new value is stored, and a fresh
// subscriber first hears the current value.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/runtime/MainLoop.h"
#include "platform/runtime/OnceCallback.h"
#include "platform/runtime/SequenceChecker.h"

namespace velmo {

// Owns a subscription; cancels it when cancelled, reset or destroyed.
class Cancellable {
public:
    Cancellable() = default;
    explicit Cancellable(std::function<void()> cancel)
        : cancel_(std::move(cancel)) {}
    Cancellable(Cancellable&& o) noexcept = default;
    Cancellable& operator=(Cancellable&& o) noexcept {
        if (this != &o) {
            cancel();
            cancel_ = std::move(o.cancel_);
        }
        return *this;
    }
    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;
    ~Cancellable() { cancel(); }

    void cancel() {
        if (cancel_) cancel_();
    }
    bool isActive() const { return static_cast<bool>(cancel_); }

private:
    OnceCallback<> cancel_;
};

namespace detail {
// One subscriber's liveness; checked before every delivery.
struct SubscriptionFlag {
    std::atomic<bool> active{true};
};
}  // namespace detail

// A source of values that can be subscribed to. Operators return new publishers.
template <class T>
class Publisher {
public:
    using Receiver = std::function<void(const T&)>;
    using SubscribeFn = std::function<Cancellable(Receiver)>;

    Publisher() = default;
    explicit Publisher(SubscribeFn subscribe)
        : subscribe_(std::move(subscribe)) {}

    [[nodiscard]] Cancellable sink(Receiver receiver) const { return subscribe_(std::move(receiver)); }

    // Delivers every value on the main loop, always posted (never inline), in order.
    Publisher<T> receiveOnMain() const {
        auto upstream = subscribe_;
        return Publisher<T>([upstream](Receiver receiver) {
            auto flag = std::make_shared<detail::SubscriptionFlag>();
            auto shared = std::make_shared<Receiver>(std::move(receiver));
            Cancellable inner = upstream([flag, shared](const T& value) {
                if (!flag->active.load()) return;
                MainLoop::postToMain([flag, shared, value] {
                    if (flag->active.load()) (*shared)(value);
                });
            });
            auto innerHolder = std::make_shared<Cancellable>(std::move(inner));
            return Cancellable([flag, innerHolder] {
                flag->active.store(false);
                innerHolder->cancel();
            });
        });
    }

    template <class F>
    auto map(F f) const -> Publisher<std::decay_t<std::invoke_result_t<F&, const T&>>> {
        using U = std::decay_t<std::invoke_result_t<F&, const T&>>;
        auto upstream = subscribe_;
        return Publisher<U>([upstream, f](typename Publisher<U>::Receiver receiver) {
            return upstream([f, receiver](const T& value) { receiver(f(value)); });
        });
    }

    explicit operator bool() const { return static_cast<bool>(subscribe_); }

private:
    SubscribeFn subscribe_;
};

// Sends values to every current subscriber, on the sending thread. Never fails.
template <class T>
class Subject {
    struct Entry {
        std::uint64_t id;
        std::shared_ptr<detail::SubscriptionFlag> flag;
        std::shared_ptr<std::function<void(const T&)>> receiver;
    };
    struct State {
        std::mutex mutex;
        std::vector<Entry> entries;
        std::uint64_t nextId = 0;
    };

public:
    Subject()
        : state_(std::make_shared<State>()) {}

    void send(const T& value) const {
        std::vector<Entry> snapshot;
        {
            std::lock_guard lock(state_->mutex);
            snapshot = state_->entries;
        }
        for (const auto& e : snapshot)
            if (e.flag->active.load()) (*e.receiver)(value);
    }

    Publisher<T> publisher() const { return publisher(nullptr); }

    // A publisher whose subscribers first receive `initial()` (used by Published<T>).
    Publisher<T> publisher(std::function<std::optional<T>()> initial) const {
        std::weak_ptr<State> weak = state_;
        return Publisher<T>([weak, initial](std::function<void(const T&)> receiver) {
            auto state = weak.lock();
            if (!state) return Cancellable();
            auto flag = std::make_shared<detail::SubscriptionFlag>();
            auto shared = std::make_shared<std::function<void(const T&)>>(std::move(receiver));
            std::uint64_t id;
            {
                std::lock_guard lock(state->mutex);
                id = ++state->nextId;
                state->entries.push_back(Entry{id, flag, shared});
            }
            if (initial) {
                if (auto v = initial()) (*shared)(*v);
            }
            return Cancellable([weak, id, flag] {
                flag->active.store(false);
                if (auto s = weak.lock()) {
                    std::lock_guard lock(s->mutex);
                    std::erase_if(s->entries, [id](const Entry& e) { return e.id == id; });
                }
            });
        });
    }

    std::size_t subscriberCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->entries.size();
    }

private:
    std::shared_ptr<State> state_;
};

// The change announcement of an observable object: fires before any of its published
// properties takes a new value.
using ObjectWillChange = Subject<bool>;

// A published property. Confined to one thread (the main thread for the application's objects).
template <class T>
class Published {
public:
    explicit Published(T initial = T{}, ObjectWillChange* owner = nullptr)
        : value_(std::make_shared<T>(std::move(initial))),
          owner_(owner) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    Published& operator=(T value) {
        set(std::move(value));
        return *this;
    }
    void set(T value) {
        sequenceChecker_.check();
        if (owner_) owner_->send(true);
        subject_.send(value);
        *value_ = std::move(value);
    }
    const T& get() const { return *value_; }
    const T& operator*() const { return *value_; }
    const T* operator->() const { return value_.get(); }
    operator const T&() const { return *value_; }

    // The current value, then every assignment.
    Publisher<T> publisher() const {
        std::weak_ptr<T> weak = value_;
        return subject_.publisher([weak]() -> std::optional<T> {
            if (auto v = weak.lock()) return *v;
            return std::nullopt;
        });
    }

private:
    std::shared_ptr<T> value_;
    Subject<T> subject_;
    ObjectWillChange* owner_;
    [[no_unique_address]] SequenceChecker sequenceChecker_;  // assignments stay on one thread
};

namespace detail {
template <class... Ts>
struct CombineState {
    std::mutex mutex;
    std::tuple<std::optional<Ts>...> latest;
    bool complete() const {
        return std::apply([](const auto&... o) { return (o.has_value() && ...); }, latest);
    }
    std::tuple<Ts...> values() const {
        return std::apply([](const auto&... o) { return std::tuple<Ts...>(*o...); }, latest);
    }
};
}  // namespace detail

// Emits the latest value of each upstream as a tuple, once every upstream has emitted.
template <class... Ts>
Publisher<std::tuple<Ts...>> combineLatest(Publisher<Ts>... upstreams) {
    static_assert(sizeof...(Ts) >= 2, "combineLatest needs two or more publishers");
    auto all = std::make_tuple(upstreams...);
    return Publisher<std::tuple<Ts...>>([all](std::function<void(const std::tuple<Ts...>&)> receiver) {
        auto state = std::make_shared<detail::CombineState<Ts...>>();
        auto emit = [state, receiver] {
            std::optional<std::tuple<Ts...>> out;
            {
                std::lock_guard lock(state->mutex);
                if (state->complete()) out = state->values();
            }
            if (out) receiver(*out);
        };
        auto subscriptions = std::make_shared<std::vector<Cancellable>>();
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (subscriptions->push_back(std::get<I>(all).sink([state, emit](const auto& value) {
                {
                    std::lock_guard lock(state->mutex);
                    std::get<I>(state->latest) = value;
                }
                emit();
            })),
             ...);
        }
        (std::index_sequence_for<Ts...>{});
        return Cancellable([subscriptions] {
            for (auto& s : *subscriptions) s.cancel();
        });
    });
}

}  // namespace velmo
