#include "RideZav/core/CoreTesting.h"

#include <algorithm>

namespace velmo::test {

bool ScriptedRandomSource::fillSecure(std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(mutex_);
    ++secureCalls_;
    if (failSecure_) return false;
    std::fill(bytes, bytes + count, std::uint8_t(0));
    if (!blocks_.empty()) {
        const auto& block = blocks_.front();
        std::copy_n(block.begin(), std::min(count, block.size()), bytes);
        blocks_.pop_front();
    }
    return true;
}

std::uint64_t ScriptedRandomSource::next64() {
    std::lock_guard lock(mutex_);
    return counter_++ | 0xABCD'0000'0000'0000ULL;
}

}  // namespace velmo::test
