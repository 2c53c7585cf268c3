#include "interface/CompanionResponseOverlay.h"

#include <gtest/gtest.h>

#include <type_traits>

using namespace velmo;

// The declared fields and their kinds; nothing in the application makes either type.
static_assert(
    std::is_same_v<decltype(CompanionResponseOverlayManager::overlayViewModel), const std::shared_ptr<CompanionResponseOverlayViewModel>>);
static_assert(std::is_same_v<decltype(CompanionResponseOverlayManager::overlayPanel), std::shared_ptr<PanelWindow>>);
static_assert(std::is_same_v<decltype(CompanionResponseOverlayViewModel::streamingResponseText), Published<std::string>>);

TEST(CompanionResponseOverlay, StartsEmptyHiddenAndWithoutAPanelTimerOrHiding) {
    CompanionResponseOverlayManager manager;
    ASSERT_TRUE(manager.overlayViewModel);
    EXPECT_EQ(manager.overlayViewModel->streamingResponseText.get(), "");
    EXPECT_FALSE(manager.overlayViewModel->isShowingResponse.get());
    EXPECT_FALSE(manager.overlayPanel);
    EXPECT_FALSE(manager.cursorTrackingTimer);
    EXPECT_FALSE(manager.autoHideWorkItem);
    EXPECT_GT(manager.overlayMaxWidth, 0);
}
