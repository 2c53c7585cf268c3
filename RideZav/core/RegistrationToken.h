#pragma once

#include <functional>
#include <utility>

namespace ridezav {

// Holds one subscription: releasing the token (destroying it, assigning over it or reset())
// ends the subscription exactly once. Move-only. Not thread-safe itself: one owner at a time.
class RegistrationToken {
public:
    RegistrationToken() = default;
    explicit RegistrationToken(std::function<void()> onDealloc) : onDealloc_(std::move(onDealloc)) {}
    ~RegistrationToken() { reset(); }

    RegistrationToken(const RegistrationToken&) = delete;
    RegistrationToken& operator=(const RegistrationToken&) = delete;
    RegistrationToken(RegistrationToken&& other) noexcept : onDealloc_(std::exchange(other.onDealloc_, nullptr)) {}
    RegistrationToken& operator=(RegistrationToken&& other) noexcept {
        if (this != &other) {
            reset();
            onDealloc_ = std::exchange(other.onDealloc_, nullptr);
        }
        return *this;
    }

    // Ends the subscription now; later calls do nothing.
    void reset() {
        if (auto onDealloc = std::exchange(onDealloc_, nullptr)) onDealloc();
    }
    explicit operator bool() const { return static_cast<bool>(onDealloc_); }

private:
    std::function<void()> onDealloc_;
};

}  // namespace ridezav
