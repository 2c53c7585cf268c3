#pragma once

#include <memory>

#include "RideZav/core/RideZavValue.h"

namespace ridezav {

// The library's wall clock (timestamps, identifiers, sessions). Tests install their own.
class WallClock {
public:
    virtual ~WallClock() = default;
    virtual Date now() const = 0;

    // The installed clock, else the system's. Thread-safe.
    static std::shared_ptr<WallClock> current();
    // Installs `clock` (null brings back the system's); returns what was installed before.
    static std::shared_ptr<WallClock> install(std::shared_ptr<WallClock> clock);
};

class SystemWallClock : public WallClock {
public:
    Date now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace ridezav
