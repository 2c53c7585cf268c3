#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/foundation/TestDirectory.h"
#include "platform/foundation/UserDefaults.h"

namespace velmo {
namespace {

TEST(UserDefaultsThreadsTest, ConcurrentWritersAndReadersKeepEveryLastValue) {
    test::TestDirectory dir;
    const std::string path = dir / "defaults.plist";
    UserDefaults d(path);
    d.registerDefaults({{"registered", true}});
    constexpr int writers = 4, writes = 60;
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; ++t) {
        threads.emplace_back([&, t] {
            const std::string key = "writer" + std::to_string(t);
            for (int i = 0; i < writes; ++i) {
                d.setInteger(key, i);
                EXPECT_EQ(d.integerForKey(key), i);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < writers * writes; ++i) {
            EXPECT_TRUE(d.boolForKey("registered"));
            d.registerDefaults({{"also" + std::to_string(i % 3), i}});
        }
    });
    for (auto& t : threads) t.join();
    UserDefaults reread(path);
    for (int t = 0; t < writers; ++t) {
        EXPECT_EQ(d.integerForKey("writer" + std::to_string(t)), writes - 1);
        EXPECT_EQ(reread.integerForKey("writer" + std::to_string(t)), writes - 1);
    }
    EXPECT_TRUE(reread.objectForKey("registered").isNone());
}

}  // namespace
}  // namespace velmo
