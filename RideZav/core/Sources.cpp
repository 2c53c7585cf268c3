#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <random>

#include "RideZav/core/RandomSource.h"
#include "RideZav/core/WallClock.h"
#include "platform/runtime/ProcessWide.h"

namespace ridezav {

namespace {
// The system's clock and randomness hold no state, so they stand in whenever a test has not
// installed its own.
velmo::ProcessWide<WallClock>& clocks() {
    static auto* clocks = new velmo::ProcessWide<WallClock>("analytics wall clock");
    return *clocks;
}
velmo::ProcessWide<RandomSource>& randomSources() {
    static auto* sources = new velmo::ProcessWide<RandomSource>("analytics random source");
    return *sources;
}
std::atomic<std::uint64_t> installations{0};
}  // namespace

std::uint64_t sourceInstallations() { return installations.load(std::memory_order_acquire); }

std::shared_ptr<WallClock> WallClock::current() {
    static auto* system = new std::shared_ptr<WallClock>(std::make_shared<SystemWallClock>());
    auto installed = clocks().installed();
    return installed ? installed : *system;
}
std::shared_ptr<WallClock> WallClock::install(std::shared_ptr<WallClock> clock) {
    auto previous = clocks().exchange(std::move(clock));
    installations.fetch_add(1, std::memory_order_acq_rel);
    return previous;
}

std::shared_ptr<RandomSource> RandomSource::current() {
    static auto* system = new std::shared_ptr<RandomSource>(std::make_shared<SystemRandomSource>());
    auto installed = randomSources().installed();
    return installed ? installed : *system;
}
std::shared_ptr<RandomSource> RandomSource::install(std::shared_ptr<RandomSource> source) {
    auto previous = randomSources().exchange(std::move(source));
    installations.fetch_add(1, std::memory_order_acq_rel);
    return previous;
}

bool SystemRandomSource::fillSecure(std::uint8_t* bytes, std::size_t count) {
    std::size_t filled = 0;
    while (filled < count) {
        const ssize_t n = ::getrandom(bytes + filled, count - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += std::size_t(n);
    }
    return true;
}

std::uint64_t SystemRandomSource::next64() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return generator();
}

}  // namespace ridezav
