#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velmo {

// Cooperative cancellation shared by a task and everything it awaits. Awaitables register a
// handler that cancels their own work (a sleep, a transfer); handlers run once, on the thread
// that cancels, or at once when registered after the cancellation.
class CancellationToken : public std::enable_shared_from_this<CancellationToken> {
public:
    class Registration {
    public:
        Registration() = default;
        Registration(std::weak_ptr<CancellationToken> token, std::uint64_t id)
            : token_(std::move(token)),
              id_(id) {}
        Registration(Registration&& o) noexcept
            : token_(std::move(o.token_)),
              id_(o.id_) {
            o.id_ = 0;
        }
        Registration& operator=(Registration&& o) noexcept {
            if (this != &o) {
                reset();
                token_ = std::move(o.token_);
                id_ = o.id_;
                o.id_ = 0;
            }
            return *this;
        }
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        ~Registration() { reset(); }
        void reset() {
            if (id_ != 0) {
                if (auto t = token_.lock()) t->unregister(id_);
                id_ = 0;
            }
        }

    private:
        std::weak_ptr<CancellationToken> token_;
        std::uint64_t id_ = 0;
    };

    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

    void cancel() {
        std::vector<std::function<void()>> handlers;
        {
            std::lock_guard lock(mutex_);
            if (cancelled_.exchange(true)) return;
            for (auto& [id, handler] : handlers_) handlers.push_back(std::move(handler));
            handlers_.clear();
        }
        for (auto& handler : handlers) handler();
    }

    [[nodiscard]] Registration onCancel(std::function<void()> handler) {
        {
            std::lock_guard lock(mutex_);
            if (!cancelled_.load()) {
                std::uint64_t id = ++nextId_;
                handlers_.emplace_back(id, std::move(handler));
                return Registration(weak_from_this(), id);
            }
        }
        handler();
        return {};
    }

private:
    void unregister(std::uint64_t id) {
        std::lock_guard lock(mutex_);
        std::erase_if(handlers_, [id](const auto& entry) { return entry.first == id; });
    }

    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> handlers_;
    std::uint64_t nextId_ = 0;
};

using CancellationTokenPtr = std::shared_ptr<CancellationToken>;

}  // namespace velmo
