#include "RideZav/core/ReadWriteLock.h"
#include "RideZav/core/RideZavMulticastCallback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ridezav {
namespace {

TEST(ReadWriteLock, MutateFromManyThreadsLosesNoUpdate) {
    ReadWriteLock<int> counter(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) counter.mutate([](int& v) { ++v; });
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter.value(), 80000);
}

TEST(ReadWriteLock, ReaderWaitsForTheWriterAndSeesTheNewValue) {
    ReadWriteLock<std::string> text("old");
    std::atomic<bool> writing{false};
    std::atomic<bool> release{false};
    std::thread writer([&] {
        text.mutate([&](std::string& v) {
            writing = true;
            while (!release) std::this_thread::yield();
            v = "new";
        });
    });
    while (!writing) std::this_thread::yield();
    std::atomic<bool> readDone{false};
    std::string seen;
    std::thread reader([&] {
        seen = text.value();
        readDone = true;
    });
    // The reader cannot finish while the write lock is held.
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_FALSE(readDone);
    release = true;
    writer.join();
    reader.join();
    EXPECT_EQ(seen, "new");
    EXPECT_EQ(text.mutate([](std::string& v) { return v.size(); }), 3u);
}

TEST(RideZavMulticastCallback, SubscribeInvokeAndReleaseFromManyThreads) {
    RideZavMulticastCallback<int> multicast;
    std::atomic<int> calls{0};
    RegistrationToken keeper = multicast.subscribe([&](int) { calls.fetch_add(1); });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                RegistrationToken token = multicast.subscribe([](int) {});
                multicast.invoke(i);
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(calls.load(), 2000);
    EXPECT_EQ(multicast.subscriberCount(), 1u);
}

}  // namespace
}  // namespace ridezav
