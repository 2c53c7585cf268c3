#include "interface/CompanionPanelView.h"

#include "interface/MenuBarPanelManager.h"
#include "interface/drawing/Painter.h"
#include "platform/foundation/UserDefaults.h"

namespace velmo {

CompanionPanelView::CompanionPanelView(std::shared_ptr<CompanionManager> companionManager)
    : companionManager_(std::move(companionManager)) {
    CompanionManager& c = *companionManager_;
    observer_.watch(c.voiceState);
    observer_.watch(c.isOverlayVisible);
    observer_.watch(c.hasMicrophonePermission);
    observer_.watch(c.hasAccessibilityPermission);
    observer_.watch(c.hasScreenRecordingPermission);
    observer_.watch(c.hasScreenContentPermission);
    // The onboarding default is read, not observed: starting onboarding also shows the overlay.
    observer_.onAnyChange([this] { reevaluate(); });
    model_ = makeCompanionPanelModel(inputs());
    tree_ = companionPanelLayout(model_);
    size_ = layout(tree_, MenuBarPanelManager::panelWidth);
    layoutCount_ = 1;
}

CompanionPanelInputs CompanionPanelView::inputs() const {
    const CompanionManager& c = *companionManager_;
    CompanionPanelInputs in;
    in.voiceState = c.voiceState;
    in.isOverlayVisible = c.isOverlayVisible;
    in.hasMicrophonePermission = c.hasMicrophonePermission;
    in.hasAccessibilityPermission = c.hasAccessibilityPermission;
    in.hasScreenRecordingPermission = c.hasScreenRecordingPermission;
    in.hasScreenContentPermission = c.hasScreenContentPermission;
    in.hasCompletedOnboarding = UserDefaults::standard().boolForKey("hasCompletedOnboarding");
    return in;
}

void CompanionPanelView::reevaluate() {
    CompanionPanelModel next = makeCompanionPanelModel(inputs());
    if (next == model_) return;
    model_ = std::move(next);
    tree_ = companionPanelLayout(model_);
    size_ = layout(tree_, MenuBarPanelManager::panelWidth);
    ++layoutCount_;
    if (needsDisplay_) needsDisplay_();
}

PanelPixels CompanionPanelView::render(Size size) const {
    Surface surface(int(size.width + 0.5), int(size.height + 0.5));
    Painter painter;
    painter.paintFull(surface, layoutLayers(tree_, "panel."));
    return panelPixelsOf(surface);
}

std::vector<Rect> CompanionPanelView::pointerCursorRegions(Size) const {
    std::vector<Rect> out;
    for (const auto& [id, frame] : buttonFrames(tree_)) out.push_back(frame);
    return out;
}

}  // namespace velmo
