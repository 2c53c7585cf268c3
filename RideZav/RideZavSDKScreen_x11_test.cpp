// The screen keys of captured events, as they reach the loopback ingestion server, on a private
// X desktop with two monitors.
#include <gtest/gtest.h>

#include "RideZav/RideZavSDK.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/base/OriginOverride.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackIngestionServer.h"
#include "testing/X11TestDesktop.h"

using namespace std::chrono_literals;

namespace ridezav {
namespace {

using Server = velmo::test::LoopbackIngestionServer;

TEST(RideZavSDKOnX11, EventsCarryTheSizeOfTheMonitorUnderThePointerWhenCaptured) {
    velmo::test::X11TestDesktop desktop("2592x1920x24");
    ASSERT_TRUE(desktop.isReady()) << desktop.failure();
    ASSERT_TRUE(desktop.setMonitors({{"LEFT", 0, 0, 1512, 982}, {"RIGHT", 1512, 0, 1080, 1920}}));
    velmo::test::StorageSandbox sandbox;
    velmo::VirtualMainLoopScope loop;
    velmo::ScreenLayerScope screens(std::make_shared<velmo::X11ScreenLayer>(velmo::X11ScreenLayer::Options{desktop.displayName()}));
    Server server;
    velmo::OriginOverride::Scope redirect{"ingest.example.test", server.origin()};
    RideZavConfig cfg("phc_screen", "https://ingest.example.test");
    cfg.disableReachabilityForTesting = true;
    cfg.disableQueueTimerForTesting = true;
    cfg.disableRemoteConfigForTesting = true;
    cfg.disableFlushOnBackgroundForTesting = true;
    cfg.captureApplicationLifecycleEvents = false;
    auto sdk = RideZavSDK::create(cfg);
    sdk->setup(cfg);

    desktop.movePointer(100, 100);
    sdk->capture("on_left");
    desktop.movePointer(2000, 1500);
    sdk->capture("on_right");
    sdk->flush();
    ASSERT_TRUE(loop.loop().runUntil([&] { return !server.requestsOf(Server::Route::batch).empty(); }, 30s));
    const auto batch = server.requestsOf(Server::Route::batch).at(0);
    ASSERT_TRUE(batch.json);
    const auto& events = (*batch.json)["batch"];
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["event"], "on_left");
    EXPECT_EQ(events[0]["properties"]["$screen_width"], 1512.0);
    EXPECT_EQ(events[0]["properties"]["$screen_height"], 982.0);
    EXPECT_EQ(events[1]["event"], "on_right");
    EXPECT_EQ(events[1]["properties"]["$screen_width"], 1080.0);
    EXPECT_EQ(events[1]["properties"]["$screen_height"], 1920.0);
}

}  // namespace
}  // namespace ridezav
