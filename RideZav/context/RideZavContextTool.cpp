// ridezav-context: prints the analytics context of this machine and its reachability as JSON.
#include <cstdio>
#include <memory>

#include "RideZav/context/RideZavContext.h"
#include "RideZav/network/Reachability.h"
#include "platform/runtime/MainLoop.h"

using namespace std::chrono_literals;

using namespace ridezav;

int main() {
    auto loop = std::make_shared<velmo::RealMainLoop>();
    velmo::MainLoop::install(loop);

    OrderedJSON reachabilityJSON;
    std::shared_ptr<Reachability> monitor;
    try {
        monitor = Reachability::create(Reachability::mainQueue());
        bool delivered = false;
        monitor->setWhenReachable([&](Reachability&) { delivered = true; });
        monitor->setWhenUnreachable([&](Reachability&) { delivered = true; });
        monitor->startNotifier();
        loop->runUntil([&] { return delivered; }, 2.0s);
        reachabilityJSON = {{"connection", monitor->description()},
                            {"flags", monitor->flagsDescription()},
                            {"notifierRunning", monitor->notifierRunning()},
                            {"delivered", delivered}};
    } catch (const ReachabilityError& e) {
        reachabilityJSON = {{"error", e.what()}};
        monitor.reset();
    }

    auto context = RideZavContext::create(monitor);
    const auto json = [](Object object) { return toOrderedJSON(Value(std::move(object))).value_or(OrderedJSON::object()); };
    OrderedJSON out;
    out["staticContext"] = json(context->staticContext());
    out["sdkInfo"] = json(context->sdkInfo());
    out["personPropertiesContext"] = json(context->personPropertiesContext());
    out["dynamicContext"] = json(context->dynamicContext());
    out["reachability"] = reachabilityJSON;
    std::printf("%s\n", out.dump(2).c_str());

    context.reset();
    if (monitor) monitor->stopNotifier();
    monitor.reset();
    loop->runUntil([] { return false; }, 0.02s);
    loop->shutdown();
    velmo::MainLoop::install(nullptr);
    return 0;
}
