#include "RideZav/storage/RideZavStorageManager.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "RideZav/RideZavConfig.h"
#include "RideZav/storage/StorageTesting.h"

namespace ridezav {
namespace {

TEST(RideZavStorageManager, EightThreadsOnAFreshStoreMintExactlyOneAnonymousId) {
    velmo::test::StorageSandbox sandbox;
    RideZavStorageManager manager(RideZavConfig("phc_threads"));
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { seen[std::size_t(t)] = (t % 2) ? manager.getDistinctId() : manager.getAnonymousId(); });
    for (auto& thread : threads) thread.join();
    const std::set<std::string> distinct(seen.begin(), seen.end());
    ASSERT_EQ(distinct.size(), 1u);
    EXPECT_EQ(velmo::test::StorageSandbox::read(manager.storage().url(StorageKey::anonymousId)),
              R"({"ridezav.anonymousId":")" + *distinct.begin() + R"("})");
    EXPECT_FALSE(manager.isIdentified());
}

}  // namespace
}  // namespace ridezav
