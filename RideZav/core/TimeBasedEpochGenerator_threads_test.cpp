#include "RideZav/core/TimeBasedEpochGenerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace ridezav {
namespace {

TEST(TimeBasedEpochGenerator, EightThreadsGetUniqueIdsOrderedWithinEachMillisecond) {
    constexpr int threadCount = 8;
    constexpr int perThread = 100'000;
    std::vector<std::vector<velmo::UUID::Bytes>> made(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([&, t] {
            auto& mine = made[std::size_t(t)];
            mine.reserve(perThread);
            for (int i = 0; i < perThread; ++i) mine.push_back(TimeBasedEpochGenerator::shared().generateV7().bytes());
        });
    for (auto& thread : threads) thread.join();

    std::vector<velmo::UUID::Bytes> all;
    all.reserve(threadCount * perThread);
    for (const auto& mine : made) {
        for (std::size_t i = 1; i < mine.size(); ++i) {
            const bool sameMillisecond = std::equal(mine[i].begin(), mine[i].begin() + 6, mine[i - 1].begin());
            if (sameMillisecond) {
                ASSERT_LT(mine[i - 1], mine[i]) << "index " << i;
            }
        }
        all.insert(all.end(), mine.begin(), mine.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

}  // namespace
}  // namespace ridezav
