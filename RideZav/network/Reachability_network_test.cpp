#include <gtest/gtest.h>

#include <vector>

#include "RideZav/network/Reachability.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/NotificationCenter.h"
#include "testing/NetworkNamespace.h"

using namespace std::chrono_literals;

namespace ridezav {
namespace {

TEST(ReachabilityNetworkTest, NoConnectionUntilADefaultRouteOverAnUpLinkIsAdded) {
    const auto run = velmo::test::runInPrivateNetworkNamespace([]() -> std::string {
        auto loop = std::make_shared<velmo::RealMainLoop>();
        velmo::MainLoop::install(loop);
        std::shared_ptr<Reachability> monitor;
        try {
            monitor = Reachability::create(Reachability::mainQueue());
        } catch (const ReachabilityError& e) {
            return std::string("no monitor: ") + e.what();
        }
        std::vector<std::string> reachable, unreachable, notified;
        monitor->setWhenReachable([&](Reachability& m) { reachable.push_back(m.description()); });
        auto token = monitor->subscribeWhenUnreachable([&](Reachability& m) { unreachable.push_back(m.description()); });
        auto observer = velmo::NotificationCenter::defaultCenter().addObserver(
            reachabilityChangedNotification, [&](const velmo::Notification&) { notified.push_back("changed"); });
        try {
            monitor->startNotifier();
        } catch (const ReachabilityError& e) {
            return std::string("startNotifier: ") + e.what();
        }
        if (monitor->description() != "No Connection") return "fresh namespace: " + monitor->description();
        if (!loop->runUntil([&] { return unreachable.size() == 1 && notified.size() == 1; }, 5.0s))
            return "the first reading was not delivered";

        if (auto e = velmo::test::addUpLink("velmo0"); !e.empty()) return e;
        if (auto e = velmo::test::shell("ip route add default dev velmo0"); !e.empty()) return e;
        if (!loop->runUntil([&] { return reachable.size() == 1; }, 5.0s)) return "the default route was not delivered";
        if (reachable[0] != "WiFi") return "delivered while reachable: " + reachable[0];
        if (monitor->flagsDescription() != "-R -------") return "flags: " + monitor->flagsDescription();
        loop->runUntil([&] { return notified.size() == 2; }, 5.0s);
        if (notified.size() != 2) return "reachabilityChanged posted " + std::to_string(notified.size()) + " times";
        monitor.reset();
        velmo::NotificationCenter::defaultCenter().removeObserver(observer);
        loop->runUntil([] { return false; }, 0.05s);
        velmo::MainLoop::install(nullptr);
        return "";
    });
    if (!run.skipReason.empty()) GTEST_SKIP() << run.skipReason;
    EXPECT_EQ(run.failure, "");
}

}  // namespace
}  // namespace ridezav
