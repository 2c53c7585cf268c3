#include "RideZav/network/Reachability.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/net/SimulatedReachabilityTarget.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

namespace ridezav {
namespace {

namespace F = velmo::ReachabilityFlag;
using velmo::SimulatedReachabilityTarget;

TEST(ReachabilityTest, ConnectionAndDescriptionOfFlags) {
    struct Case {
        std::optional<ReachabilityFlags> flags;
        Connection connection;
        const char* flagsText;
    };
    const Case cases[] = {
        {std::nullopt, Connection::unavailable, "unavailable flags"},
        {0, Connection::unavailable, "-- -------"},
        {F::reachable, Connection::wifi, "-R -------"},
        {F::reachable | F::connectionRequired, Connection::unavailable, "-R c------"},
        {F::reachable | F::connectionRequired | F::connectionOnDemand, Connection::wifi, "-R c---D--"},
        {F::reachable | F::connectionRequired | F::connectionOnTraffic, Connection::wifi, "-R c--C---"},
        {F::reachable | F::connectionRequired | F::connectionOnDemand | F::interventionRequired, Connection::unavailable, "-R c-i-D--"},
        {F::reachable | F::isDirect, Connection::wifi, "-R ------d"},
        {F::connectionRequired | F::connectionOnTraffic, Connection::unavailable, "-- c--C---"},
        {F::transientConnection | F::isLocalAddress, Connection::unavailable, "-- -t---l-"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(connectionFor(c.flags), c.connection) << c.flagsText;
        EXPECT_EQ(describeFlags(c.flags), c.flagsText);
    }
    EXPECT_EQ(describeFlags(F::reachable | F::isDirect).size(), 10u);
    EXPECT_EQ(describe(Connection::unavailable), "No Connection");
    EXPECT_EQ(describe(Connection::wifi), "WiFi");
    EXPECT_EQ(describe(Connection::cellular), "Cellular");
}

TEST(ReachabilityTest, ConnectionReadsFlagsOnceWhenUnknown) {
    auto target = std::make_shared<SimulatedReachabilityTarget>(F::reachable);
    auto monitor = Reachability::create(target);
    EXPECT_EQ(monitor->flags(), std::nullopt);
    EXPECT_EQ(monitor->description(), "WiFi");
    EXPECT_EQ(monitor->flags(), F::reachable);
    EXPECT_EQ(monitor->flagsDescription(), "-R -------");
    EXPECT_EQ(target->flagsReadCount(), 1);

    auto failing = std::make_shared<SimulatedReachabilityTarget>(F::reachable);
    failing->failNextFlagsRead(EIO);
    auto unknown = Reachability::create(failing);
    EXPECT_EQ(unknown->connection(), Connection::unavailable);  // a failed read is ignored here
    EXPECT_EQ(unknown->flags(), std::nullopt);
}

class ReachabilityDeliveryTest : public testing::Test {
protected:
    velmo::VirtualMainLoopScope scope;
    velmo::NotificationCenter center;
    std::shared_ptr<SimulatedReachabilityTarget> target = std::make_shared<SimulatedReachabilityTarget>(0);
    std::vector<std::string> notified;
    velmo::NotificationCenter::Token token = center.addObserver(reachabilityChangedNotification, [this](const velmo::Notification& n) {
        auto monitor = std::any_cast<std::weak_ptr<Reachability>>(n.object).lock();
        notified.push_back(monitor ? monitor->description() : "gone");
    });

    std::shared_ptr<Reachability> makeMonitor() {
        auto monitor = Reachability::create(target, Reachability::mainQueue());
        monitor->setNotificationCenter(&center);
        return monitor;
    }
    // Waits for the serial queue's hop to the main loop and runs what arrived.
    void settle(std::size_t expectedNotifications) {
        scope.loop().runUntil([&] { return notified.size() >= expectedNotifications; }, 5.0s);
        scope.loop().runUntilIdle();
    }
};

TEST_F(ReachabilityDeliveryTest, EveryChangeReachesBothSlotsEverySubscriberAndTheCentreOnTheMainLoop) {
    auto monitor = makeMonitor();
    std::vector<std::string> calls;
    std::atomic<bool> offMain{false};
    const auto record = [&](const char* who) {
        return [&calls, &offMain, who](Reachability&) {
            if (!velmo::MainLoop::isMainThread()) offMain = true;
            calls.push_back(who);
        };
    };
    monitor->setWhenReachable(record("whenReachable"));
    monitor->setWhenUnreachable(record("whenUnreachable"));
    auto queueA = monitor->subscribeWhenReachable(record("A reachable"));
    auto queueB = monitor->subscribeWhenReachable(record("B reachable"));
    auto queueAOff = monitor->subscribeWhenUnreachable(record("A unreachable"));
    auto queueBOff = monitor->subscribeWhenUnreachable(record("B unreachable"));

    monitor->startNotifier();
    EXPECT_TRUE(monitor->notifierRunning());
    EXPECT_TRUE(calls.empty());  // never inline: delivery waits for the main loop
    settle(1);
    ASSERT_EQ(notified, std::vector<std::string>{"No Connection"});
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], "whenUnreachable");

    calls.clear();
    target->setFlags(F::reachable);
    settle(2);
    EXPECT_EQ(notified.back(), "WiFi");
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"A reachable", "B reachable", "whenReachable"}));
    EXPECT_FALSE(offMain);

    // Equal flags notify nothing; a released token is no longer told.
    calls.clear();
    queueB.reset();
    target->setFlags(F::reachable);
    target->setFlags(0);
    settle(3);
    EXPECT_EQ(notified.size(), 3u);
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"A unreachable", "B unreachable", "whenUnreachable"}));
}

TEST_F(ReachabilityDeliveryTest, StartingARunningMonitorDoesNothing) {
    auto monitor = makeMonitor();
    monitor->startNotifier();
    EXPECT_EQ(target->flagsReadCount(), 1);
    monitor->startNotifier();
    EXPECT_EQ(target->flagsReadCount(), 1);
    monitor->stopNotifier();
    EXPECT_FALSE(monitor->notifierRunning());
    EXPECT_FALSE(target->hasCallback());
    EXPECT_FALSE(target->hasQueue());
    monitor->startNotifier();  // a stopped monitor starts again
    EXPECT_TRUE(monitor->notifierRunning());
    EXPECT_EQ(target->flagsReadCount(), 2);
}

TEST_F(ReachabilityDeliveryTest, StartFailuresThrowWithTheCodeAndLeaveTheTargetDetached) {
    using Kind = ReachabilityError::Kind;
    struct Case {
        void (SimulatedReachabilityTarget::*fail)(int);
        Kind kind;
    };
    const Case cases[] = {
        {&SimulatedReachabilityTarget::failNextSetCallback, Kind::unableToSetCallback},
        {&SimulatedReachabilityTarget::failNextSetDispatchQueue, Kind::unableToSetDispatchQueue},
        {&SimulatedReachabilityTarget::failNextFlagsRead, Kind::unableToGetFlags},
    };
    for (const auto& c : cases) {
        auto monitor = makeMonitor();
        ((*target).*c.fail)(EACCES);
        try {
            monitor->startNotifier();
            ADD_FAILURE() << "no error for case " << int(c.kind);
        } catch (const ReachabilityError& e) {
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_EQ(e.code(), EACCES);
        }
        EXPECT_FALSE(monitor->notifierRunning());
        EXPECT_FALSE(target->hasCallback());
        EXPECT_FALSE(target->hasQueue());
    }
}

TEST_F(ReachabilityDeliveryTest, AMonitorDestroyedWithADeliveryQueuedIsSkipped) {
    auto monitor = makeMonitor();
    bool called = false;
    monitor->setWhenUnreachable([&](Reachability&) { called = true; });
    monitor->startNotifier();  // the first delivery is now waiting on the main loop
    monitor.reset();
    scope.loop().runUntilIdle();
    EXPECT_FALSE(called);
    EXPECT_TRUE(notified.empty());
}

}  // namespace
}  // namespace ridezav
