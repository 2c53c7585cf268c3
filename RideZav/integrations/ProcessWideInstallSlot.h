#pragma once

#include <mutex>

#include "RideZav/core/InternalRideZavError.h"

namespace ridezav {

// The one facade of the process that may hold an integration of a kind. Thread-safe.
class ProcessWideInstallSlot {
public:
    // Takes the slot; throws InternalRideZavError with `refusal` while another facade holds it,
    // located at the integration that claimed, not here.
    void claim(const char* refusal, RideZavSourceLocation where = RideZavSourceLocation::current()) {
        std::lock_guard lock(mutex_);
        if (taken_) throw InternalRideZavError(refusal, where);
        taken_ = true;
    }
    void release() {
        std::lock_guard lock(mutex_);
        taken_ = false;
    }

private:
    std::mutex mutex_;
    bool taken_ = false;  // guarded by mutex_
};

}  // namespace ridezav
