#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "RideZav/core/RandomSource.h"
#include "RideZav/core/WallClock.h"
#include "platform/base/UUID.h"

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
    const std::shared_ptr<WallClock> clock_;
    const std::shared_ptr<RandomSource> random_;
    std::mutex lock_;  // guards every field below
    // The process-wide sources, fetched again only after an installation.
    std::shared_ptr<WallClock> currentClock_;
    std::shared_ptr<RandomSource> currentRandom_;
    std::uint64_t currentInstallations_ = UINT64_MAX;
    std::array<std::uint8_t, 10> lastEntropy_{};  // raw, before the version and variant bits
    std::uint64_t lastTimestamp_ = 0;
};

}  // namespace ridezav
