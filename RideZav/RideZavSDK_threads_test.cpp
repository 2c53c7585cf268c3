#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavTesting.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "RideZav/storage/RideZavStorage.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace ridezav;

TEST(RideZavSDKThreads, CapturesFromManyThreadsEachBecomeOneFileWithItsOwnId) {
    velmo::VirtualMainLoopScope loop;
    velmo::test::StorageSandbox sandbox;
    RideZavConfig config("phc_threads", "http://127.0.0.1:9");
    config.flushAt = 1 << 20;  // no upload: this is about the capturing side
    config.disableReachabilityForTesting = true;
    config.disableQueueTimerForTesting = true;
    config.disableFlushOnBackgroundForTesting = true;
    config.captureApplicationLifecycleEvents = false;  // only the threads' own events
    Object registered;
    for (int i = 0; i < 20; ++i) registered.set("super_" + std::to_string(i), i);
    RideZavStorage(config).setJSON(StorageKey::registerProperties, Value(registered));
    auto sdk = RideZavSDK::create(config);
    sdk->setup(config);

    constexpr int threads = 8, perThread = 40;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                sdk->capture("user_message_sent", RideZavProperties{{"thread", t}, {"n", i}});
                if (i % 10 == 0) {
                    (void)sdk->getSessionId();
                    (void)sdk->getDistinctId();
                }
            }
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(sdk->queueDepth(), static_cast<std::size_t>(threads * perThread));

    std::set<std::string> ids;
    const auto folder = sandbox.dataHome() / "com.example.velmo" / "phc_threads" / "ridezav.queueFolder";
    for (const auto& [name, contents] : storedContents(folder)) {
        auto event = RideZavQueue::decodeEvent(contents);
        ASSERT_TRUE(event);
        EXPECT_TRUE(*event->properties.find("super_19") == Value(std::int64_t{19}));
        ids.insert(event->uuid.uuidString());
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads * perThread));
    loop.loop().runUntilIdle();
}

TEST(RideZavSDKThreads, AFlagReadFromManyThreadsAtOnceIsReportedOnce) {
    velmo::VirtualMainLoopScope loop;
    velmo::test::StorageSandbox sandbox;
    RideZavConfig config("phc_flag_threads", "http://127.0.0.1:9");
    config.flushAt = 1 << 20;
    config.disableReachabilityForTesting = true;
    config.disableQueueTimerForTesting = true;
    config.disableFlushOnBackgroundForTesting = true;
    config.disableRemoteConfigForTesting = true;
    config.preloadFeatureFlags = false;
    config.captureApplicationLifecycleEvents = false;  // only the flag reports
    RideZavStorage(config).setJSON(StorageKey::enabledFeatureFlags, Value(Object{{"beta", "blue"}, {"on", true}}));
    auto sdk = RideZavSDK::create(config);
    sdk->setup(config);

    constexpr int threads = 8, perThread = 50;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) {
                EXPECT_EQ(sdk->getFeatureFlag("beta"), Value("blue"));
                EXPECT_TRUE(sdk->isFeatureEnabled("on"));
                sdk->capture("user_message_sent");
            }
        });
    for (auto& w : workers) w.join();

    const auto events = queuedEvents(sandbox.dataHome() / "com.example.velmo" / "phc_flag_threads" / "ridezav.queueFolder");
    std::map<std::string, int> reports;
    for (const auto& event : events) {
        if (event.event == "$feature_flag_called")
            ++reports[*event.properties.find("$feature_flag")->asString()];
        else
            EXPECT_EQ(*event.properties.find("$feature/beta"), Value("blue"));
    }
    EXPECT_EQ(reports, (std::map<std::string, int>{{"beta", 1}, {"on", 1}}));
    EXPECT_EQ(events.size(), static_cast<std::size_t>(threads * perThread + 2));
    loop.loop().runUntilIdle();
}
