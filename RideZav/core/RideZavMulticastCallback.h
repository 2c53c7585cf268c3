#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "RideZav/core/RegistrationToken.h"
#include "platform/base/UUID.h"

namespace ridezav {

// A thread-safe list of subscriber callbacks taking `Args...`. Callbacks and the count observer
// run on the thread that subscribes, unsubscribes or invokes, never under the lock, so a callback
// may subscribe or release its own token. Tokens hold the list weakly: a token that outlives the
// multicast does nothing. The invocation order is not defined.
template <class... Args>
class RideZavMulticastCallback {
public:
    using Callback = std::function<void(Args...)>;
    using CountObserver = std::function<void(std::int64_t)>;

    RideZavMulticastCallback()
        : state_(std::make_shared<State>()) {}
    RideZavMulticastCallback(const RideZavMulticastCallback&) = delete;
    RideZavMulticastCallback& operator=(const RideZavMulticastCallback&) = delete;

    // Told the number of subscriptions after each subscribe and unsubscribe.
    void setOnSubscriberCountChanged(CountObserver observer) {
        std::lock_guard lock(state_->mutex);
        state_->onSubscriberCountChanged = observer ? std::make_shared<CountObserver>(std::move(observer)) : nullptr;
    }

    [[nodiscard]] RegistrationToken subscribe(Callback callback) {
        const velmo::UUID id = velmo::UUID::random();
        std::shared_ptr<CountObserver> observer;
        std::int64_t count = 0;
        {
            std::lock_guard lock(state_->mutex);
            state_->callbacks.emplace_back(id, std::make_shared<Callback>(std::move(callback)));
            count = std::int64_t(state_->callbacks.size());
            observer = state_->onSubscriberCountChanged;
        }
        if (observer) (*observer)(count);
        std::weak_ptr<State> weak = state_;
        return RegistrationToken([weak, id] {
            if (auto state = weak.lock()) state->unsubscribe(id);
        });
    }

    // Calls every callback subscribed when the call began (one removed meanwhile may still run).
    void invoke(Args... args) const {
        std::vector<std::shared_ptr<Callback>> snapshot;
        {
            std::lock_guard lock(state_->mutex);
            snapshot.reserve(state_->callbacks.size());
            for (const auto& entry : state_->callbacks) snapshot.push_back(entry.second);
        }
        for (const auto& callback : snapshot) (*callback)(args...);
    }

    std::size_t subscriberCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->callbacks.size();
    }

private:
    struct State {
        std::mutex mutex;  // guards callbacks and onSubscriberCountChanged
        std::vector<std::pair<velmo::UUID, std::shared_ptr<Callback>>> callbacks;
        std::shared_ptr<CountObserver> onSubscriberCountChanged;

        void unsubscribe(const velmo::UUID& id) {
            std::shared_ptr<CountObserver> observer;
            std::shared_ptr<Callback> removed;  // released outside the lock
            std::int64_t count = 0;
            {
                std::lock_guard lock(mutex);
                for (auto it = callbacks.begin(); it != callbacks.end(); ++it) {
                    if (it->first == id) {
                        removed = std::move(it->second);
                        callbacks.erase(it);
                        break;
                    }
                }
                count = std::int64_t(callbacks.size());
                observer = onSubscriberCountChanged;
            }
            if (observer) (*observer)(count);
        }
    };

    std::shared_ptr<State> state_;
};

// Declared for callers that want rate-limited subscribers; nothing in the library creates one yet.
template <class... Args>
struct ThrottledCallback {
    const std::chrono::duration<double> interval;
    const std::function<void(Args...)> handler;
    std::optional<std::chrono::system_clock::time_point> lastFired;
};

template <class... Args>
class RideZavThrottledMulticastCallback {
public:
    RideZavThrottledMulticastCallback() = default;
    RideZavThrottledMulticastCallback(const RideZavThrottledMulticastCallback&) = delete;
    RideZavThrottledMulticastCallback& operator=(const RideZavThrottledMulticastCallback&) = delete;

private:
    std::mutex mutex_;  // guards callbacks_ and onSubscriberCountChanged_
    std::vector<std::pair<velmo::UUID, ThrottledCallback<Args...>>> callbacks_;
    std::function<void(std::int64_t)> onSubscriberCountChanged_;
};

}  // namespace ridezav
