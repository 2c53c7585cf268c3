#include <gtest/gtest.h>

#include <unordered_set>

#include "voice/GlobalPushToTalkOverlay.h"

using namespace velmo;

TEST(GlobalPushToTalkOverlay, ModesAreDistinctAndHashableAndTheManagerOwnsItsViewModel) {
    std::unordered_set<GlobalPushToTalkOverlayMode> modes = {GlobalPushToTalkOverlayMode::starting, GlobalPushToTalkOverlayMode::listening,
                                                             GlobalPushToTalkOverlayMode::processing,
                                                             GlobalPushToTalkOverlayMode::starting};
    EXPECT_EQ(modes.size(), 3u);
    EXPECT_LT(int(GlobalPushToTalkOverlayMode::starting), int(GlobalPushToTalkOverlayMode::listening));
    EXPECT_LT(int(GlobalPushToTalkOverlayMode::listening), int(GlobalPushToTalkOverlayMode::processing));

    GlobalPushToTalkOverlayManager manager;
    ASSERT_TRUE(manager.overlayViewModel);
    EXPECT_EQ(manager.overlayPanel, nullptr);
    EXPECT_FALSE(manager.overlayObservationCancellable.has_value());
    int announced = 0;
    Cancellable sub = manager.overlayViewModel->objectWillChange.publisher().sink([&](const bool&) { ++announced; });
    manager.overlayViewModel->overlayMode = GlobalPushToTalkOverlayMode::listening;
    manager.overlayViewModel->audioPowerLevel = 0.5;
    EXPECT_EQ(announced, 2);
    EXPECT_EQ(*manager.overlayViewModel->overlayMode, GlobalPushToTalkOverlayMode::listening);
}
