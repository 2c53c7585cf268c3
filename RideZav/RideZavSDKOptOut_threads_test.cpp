#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "RideZav/RideZavSDK.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "RideZav/RideZavTesting.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace ridezav;

namespace {

// Records installs, uninstalls and contexts from whichever thread calls.
class CountingIntegration : public RideZavIntegration {
public:
    struct Counts {
        std::mutex mutex;
        std::vector<char> calls;  // 'i' install, 'u' uninstall; guarded by mutex
        int contexts = 0;  // guarded by mutex
    };
    explicit CountingIntegration(std::shared_ptr<Counts> counts)
        : counts_(std::move(counts)) {}
    bool requiresSwizzling() const override { return false; }
    void install(RideZavSDK&) override { record('i'); }
    void uninstall(RideZavSDK&) override { record('u'); }
    void eventContextDidChange(const Object&) override {
        std::lock_guard lock(counts_->mutex);
        ++counts_->contexts;
    }

private:
    void record(char call) {
        std::lock_guard lock(counts_->mutex);
        counts_->calls.push_back(call);
    }
    std::shared_ptr<Counts> counts_;
};

RideZavConfig threadsConfig(const std::string& key) {
    RideZavConfig config(key, "http://127.0.0.1:9");
    config.flushAt = 1 << 20;  // no upload: this is about the facade's own state
    config.disableReachabilityForTesting = true;
    config.disableQueueTimerForTesting = true;
    config.disableFlushOnBackgroundForTesting = true;
    return config;
}

std::shared_ptr<RideZavSDK> facadeWith(const RideZavConfig& config, const std::shared_ptr<CountingIntegration::Counts>& counts) {
    auto sdk = RideZavSDK::create(config);
    sdk->setIntegrationFactory([counts](const RideZavConfig&) {
        std::vector<std::unique_ptr<RideZavIntegration>> list;
        list.push_back(std::make_unique<CountingIntegration>(counts));
        return list;
    });
    sdk->setup(config);
    return sdk;
}

std::size_t decodableEvents(const std::filesystem::path& folder) {
    const auto stored = storedContents(folder);
    for (const auto& [name, contents] : stored) EXPECT_TRUE(RideZavQueue::decodeEvent(contents)) << name;
    return stored.size();
}

}  // namespace

TEST(RideZavSDKOptOutThreads, OptingInAndOutWhileOthersIdentifyGroupAndCaptureKeepsTheIntegrationsPaired) {
    velmo::VirtualMainLoopScope loop;
    velmo::test::StorageSandbox sandbox;
    auto counts = std::make_shared<CountingIntegration::Counts>();
    auto sdk = facadeWith(threadsConfig("phc_optout_threads"), counts);
    sdk->identify("user-1", Object{{"plan", "pro"}});  // refused while opted out, so first

    std::vector<std::thread> workers;
    workers.emplace_back([&] {
        for (int i = 0; i < 40; ++i) {
            sdk->optOut();
            sdk->optIn();
        }
    });
    workers.emplace_back([&] {
        for (int i = 0; i < 100; ++i) sdk->capture("user_message_sent", Object{{"n", i}});
    });
    workers.emplace_back([&] {
        for (int i = 0; i < 50; ++i) {
            sdk->registerProperties(Object{{"k" + std::to_string(i % 5), i}});
            sdk->unregisterProperties("k" + std::to_string((i + 2) % 5));
        }
    });
    workers.emplace_back([&] {
        for (int i = 0; i < 30; ++i) {
            sdk->group("company", i % 2 ? "acme" : "initech");
            sdk->setPersonProperties(Object{{"n", i}});
            sdk->captureException(PlatformError("com.example.Threads", i, "caught"));
        }
    });
    for (auto& w : workers) w.join();

    EXPECT_FALSE(sdk->isOptOut());
    EXPECT_EQ(sdk->getDistinctId(), "user-1");
    std::lock_guard lock(counts->mutex);
    ASSERT_EQ(counts->calls.size(), 81u);  // set-up, then 40 times out and in
    for (std::size_t i = 0; i < counts->calls.size(); ++i) EXPECT_EQ(counts->calls[i], i % 2 ? 'u' : 'i') << i;
    EXPECT_GT(counts->contexts, 0);
    const auto folder = sandbox.dataHome() / "com.example.velmo" / "phc_optout_threads" / "ridezav.queueFolder";
    EXPECT_EQ(decodableEvents(folder), sdk->queueDepth());
    loop.loop().runUntilIdle();
}

TEST(RideZavSDKOptOutThreads, ClosingWhileOthersCaptureLeavesOnlyWholeEventsAndAClosedFacade) {
    velmo::VirtualMainLoopScope loop;
    velmo::test::StorageSandbox sandbox;
    auto counts = std::make_shared<CountingIntegration::Counts>();
    auto sdk = facadeWith(threadsConfig("phc_close_threads"), counts);

    std::atomic<bool> started{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                if (i == 10) started = true;
                sdk->capture("push_to_talk_started", Object{{"thread", t}});
                sdk->group("team", "t" + std::to_string(t));
                (void)sdk->isOptOut();
            }
        });
    while (!started) std::this_thread::yield();
    sdk->close();
    for (auto& w : workers) w.join();

    EXPECT_TRUE(sdk->isOptOut());
    EXPECT_EQ(sdk->queueDepth(), 0u);
    {
        std::lock_guard lock(counts->mutex);
        EXPECT_EQ(counts->calls, (std::vector<char>{'i', 'u'}));
    }
    const auto folder = sandbox.dataHome() / "com.example.velmo" / "phc_close_threads" / "ridezav.queueFolder";
    EXPECT_GE(decodableEvents(folder), 10u);
    loop.loop().runUntilIdle();
}
