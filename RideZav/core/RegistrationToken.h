#pragma once

#include <functional>
#include <utility>

#include "platform/runtime/Published.h"

namespace ridezav {

// Holds one subscription: releasing the token (destroying it, assigning over it or reset())
// ends the subscription exactly once. Move-only. Not thread-safe itself: one owner at a time.
class RegistrationToken : public velmo::Cancellable {
public:
    RegistrationToken() = default;
    explicit RegistrationToken(std::function<void()> onDealloc)
        : velmo::Cancellable(std::move(onDealloc)) {}

    // Ends the subscription now; later calls do nothing.
    void reset() { cancel(); }
    explicit operator bool() const { return isActive(); }
};

}  // namespace ridezav
