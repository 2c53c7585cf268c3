#include "RideZav/core/TimeBasedEpochGenerator.h"

#include <chrono>

namespace ridezav {

TimeBasedEpochGenerator& TimeBasedEpochGenerator::shared() {
    static auto* instance = new TimeBasedEpochGenerator();  // never released
    return *instance;
}

TimeBasedEpochGenerator::TimeBasedEpochGenerator(std::shared_ptr<WallClock> clock, std::shared_ptr<RandomSource> random)
    : clock_(std::move(clock)),
      random_(std::move(random)) {}

velmo::UUID TimeBasedEpochGenerator::generateV7() {
    velmo::UUID::Bytes bytes{};
    std::lock_guard guard(lock_);
    if (const std::uint64_t installations = sourceInstallations(); installations != currentInstallations_) {
        currentInstallations_ = installations;
        currentClock_ = clock_ ? clock_ : WallClock::current();
        currentRandom_ = random_ ? random_ : RandomSource::current();
    }
    WallClock* const clock = currentClock_.get();
    RandomSource* const random = currentRandom_.get();
    const double seconds = std::chrono::duration<double>(clock->now().time_since_epoch()).count();
    const double millis = seconds * 1000.0;
    // Readings before 1970 (or beyond the 64-bit range) would make the conversion undefined.
    std::uint64_t now = 0;
    if (millis >= 18446744073709551615.0)
        now = UINT64_MAX;
    else if (millis > 0)
        now = std::uint64_t(millis);

    if (now == lastTimestamp_) {
        for (int i = 9; i >= 0; --i)
            if (++lastEntropy_[std::size_t(i)] != 0) break;  // stop unless the byte wrapped
    } else {
        lastTimestamp_ = now;
        if (!random->fillSecure(lastEntropy_.data(), lastEntropy_.size()))
            for (auto& byte : lastEntropy_) byte = std::uint8_t(random->next64());
    }

    for (int i = 0; i < 6; ++i) bytes[std::size_t(i)] = std::uint8_t(now >> (8 * (5 - i)));
    for (std::size_t i = 0; i < 10; ++i) bytes[6 + i] = lastEntropy_[i];
    bytes[6] = std::uint8_t((bytes[6] & 0x0F) | 0x70);
    bytes[8] = std::uint8_t((bytes[8] & 0x3F) | 0x80);
    return velmo::UUID(bytes);
}

}  // namespace ridezav
