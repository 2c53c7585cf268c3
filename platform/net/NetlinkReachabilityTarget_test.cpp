#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "platform/net/NetworkReachabilityTarget.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/SerialQueue.h"
#include "testing/NetworkNamespace.h"

using namespace std::chrono_literals;

namespace velmo {
namespace {

// Flags delivered by the target, as the queue saw them.
struct Deliveries {
    std::mutex mutex;
    std::vector<ReachabilityFlags> flags;
    bool onQueue = true;
};

std::string expectFlags(NetworkReachabilityTarget& target, ReachabilityFlags expected, const char* when) {
    const auto flags = target.flags();
    if (!flags) return std::string(when) + ": reading the flags failed with " + std::to_string(target.lastError());
    if (*flags != expected) return std::string(when) + ": flags " + std::to_string(*flags) + ", expected " + std::to_string(expected);
    return "";
}

// Runs the loop until the last delivered flags are `expected`.
std::string awaitDelivery(RealMainLoop& loop, Deliveries& deliveries, ReachabilityFlags expected, const char* when) {
    const bool seen = loop.runUntil(
        [&] {
            std::lock_guard lock(deliveries.mutex);
            return !deliveries.flags.empty() && deliveries.flags.back() == expected;
        },
        5.0s);
    if (!seen) return std::string(when) + ": no delivery of flags " + std::to_string(expected);
    std::lock_guard lock(deliveries.mutex);
    if (!deliveries.onQueue) return std::string(when) + ": a delivery ran off the attached queue";
    return "";
}

TEST(NetlinkReachabilityTargetTest, DefaultRouteOverAnUpLinkInAPrivateNamespace) {
    const auto run = test::runInPrivateNetworkNamespace([]() -> std::string {
        auto loop = std::make_shared<RealMainLoop>();
        MainLoop::install(loop);
        int error = 0;
        auto target = makeDefaultRouteReachabilityTarget(&error);
        if (!target) return "no netlink target: " + std::to_string(error);
        if (auto e = expectFlags(*target, 0, "fresh namespace"); !e.empty()) return e;

        auto queue = std::make_shared<SerialQueue>("com.velmo.test.reachability");
        Deliveries deliveries;
        if (!target->setDispatchQueue(queue) || !target->setCallback([&, queue](ReachabilityFlags flags) {
                std::lock_guard lock(deliveries.mutex);
                if (!queue->isCurrent()) deliveries.onQueue = false;
                deliveries.flags.push_back(flags);
            }))
            return "watching failed with " + std::to_string(target->lastError());

        // A default route over loopback leads nowhere.
        if (auto e = test::shell("ip link set lo up && ip route add default dev lo metric 100"); !e.empty()) return e;
        if (auto e = expectFlags(*target, 0, "default route over loopback"); !e.empty()) return e;

        if (auto e = test::addUpLink("velmo0"); !e.empty()) return e;
        if (auto e = expectFlags(*target, 0, "up link without a default route"); !e.empty()) return e;
        if (auto e = test::shell("ip route add default dev velmo0 metric 10"); !e.empty()) return e;
        if (auto e = expectFlags(*target, ReachabilityFlag::reachable, "IPv4 default route"); !e.empty()) return e;
        if (auto e = awaitDelivery(*loop, deliveries, ReachabilityFlag::reachable, "IPv4 default route"); !e.empty()) return e;

        if (auto e = test::shell("ip route del default dev velmo0"); !e.empty()) return e;
        if (auto e = awaitDelivery(*loop, deliveries, 0, "IPv4 default route removed"); !e.empty()) return e;

        if (auto e = test::shell("ip -6 route add default dev velmo0"); !e.empty()) return e;
        if (auto e = awaitDelivery(*loop, deliveries, ReachabilityFlag::reachable, "IPv6 default route"); !e.empty()) return e;

        if (auto e = test::shell("ip link set velmo0 down"); !e.empty()) return e;
        if (auto e = awaitDelivery(*loop, deliveries, 0, "link down"); !e.empty()) return e;

        // Detached: events are no longer delivered, not even one queued before the removal.
        // Once the gate runs, every delivery queued before it has run too.
        std::promise<void> release, gateRunning;
        queue->async([gate = release.get_future().share(), &gateRunning] {
            gateRunning.set_value();
            gate.wait();
        });
        gateRunning.get_future().wait();
        std::size_t before;
        {
            std::lock_guard lock(deliveries.mutex);
            before = deliveries.flags.size();
        }
        if (auto e = test::shell("ip link set velmo0 up"); !e.empty()) return e;
        loop->runUntil([] { return false; }, 0.3s);  // the event's delivery waits behind the gate
        target->setCallback(nullptr);
        release.set_value();
        queue->sync([] {});
        if (auto e = test::shell("ip link set velmo0 down"); !e.empty()) return e;
        loop->runUntil([] { return false; }, 0.3s);
        queue->sync([] {});
        queue.reset();
        std::lock_guard lock(deliveries.mutex);
        if (deliveries.flags.size() != before) return "a delivery after the callback was removed";
        return "";
    });
    if (!run.skipReason.empty()) GTEST_SKIP() << run.skipReason;
    EXPECT_EQ(run.failure, "");
}

}  // namespace
}  // namespace velmo
