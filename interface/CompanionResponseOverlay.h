#pragma once

// A second kind of overlay, a panel for a streamed reply shown near the mouse: declared with
// its fields only. Nothing creates or shows it; replies are spoken and pointed at through the
// cursor overlay instead.
//
// Thread contract: both types are bound to the main thread, their release included.

#include <memory>
#include <optional>
#include <string>

#include "platform/desktop/StatusBarDesktop.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/Published.h"
#include "platform/runtime/Timer.h"

namespace velmo {

class CompanionResponseOverlayViewModel {
public:
    ObjectWillChange objectWillChange;
    Published<std::string> streamingResponseText{std::string(), &objectWillChange};
    Published<bool> isShowingResponse{false, &objectWillChange};
};

class CompanionResponseOverlayManager {
public:
    const std::shared_ptr<CompanionResponseOverlayViewModel> overlayViewModel = std::make_shared<CompanionResponseOverlayViewModel>();
    std::shared_ptr<PanelWindow> overlayPanel;
    std::shared_ptr<Timer> cursorTrackingTimer;
    std::optional<WorkItem> autoHideWorkItem;
    const double cursorOffsetX = 16;
    const double cursorOffsetY = 16;
    const double overlayMaxWidth = 360;
};

}  // namespace velmo
