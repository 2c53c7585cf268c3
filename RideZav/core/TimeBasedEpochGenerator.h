#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "RideZav/core/RandomSource.h"
#include "RideZav/core/WallClock.h"
#include "platform/foundation/UUID.h"

namespace ridezav {

// Time-ordered (version 7) identifiers: 48 bits of Unix milliseconds, then 74 bits of entropy
// that count upwards within one millisecond. Thread-safe: one lock around each generation.
class TimeBasedEpochGenerator {
public:
    static TimeBasedEpochGenerator& shared();

    // Null sources mean the process-wide ones (WallClock::current(), RandomSource::current()).
    explicit TimeBasedEpochGenerator(std::shared_ptr<WallClock> clock = nullptr, std::shared_ptr<RandomSource> random = nullptr);

    velmo::UUID generateV7();

private:
    std::shared_ptr<WallClock> clock_;
    std::shared_ptr<RandomSource> random_;
    std::mutex lock_;                              // guards lastEntropy_ and lastTimestamp_
    std::array<std::uint8_t, 10> lastEntropy_{};  // raw, before the version and variant bits
    std::uint64_t lastTimestamp_ = 0;
};

}  // namespace ridezav
