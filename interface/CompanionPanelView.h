#pragma once

#include <functional>
#include <memory>

#include "companion/CompanionManager.h"
#include "interface/CompanionPanelModel.h"
#include "interface/PanelContentView.h"
#include "interface/drawing/ChangeObserver.h"

namespace velmo {

// The panel's content: re-derives its model at the end of every main-loop turn in which the
// companion object published, and re-lays out only when the model changed (the permission
// poll and the audio level publish far more often than the panel changes).
// Bound to the main thread.
class CompanionPanelView : public PanelContentView {
public:
    explicit CompanionPanelView(std::shared_ptr<CompanionManager> companionManager);

    // Called after each re-layout.
    void setNeedsDisplayHandler(std::function<void()> handler) override { needsDisplay_ = std::move(handler); }

    const CompanionPanelModel& model() const { return model_; }
    const LayoutNode& tree() const { return tree_; }
    // Re-layouts since construction, the first included.
    int layoutCount() const { return layoutCount_; }

    // A click at a point of the view: runs the action of the button under it, if any.
    void click(Point p) override;

    double fittingHeight() const override { return size_.height; }
    // Room for the card's shadows.
    PanelMargins margins() const override { return margins_; }
    PanelPixels render(Size size) const override;
    std::vector<Rect> pointerCursorRegions(Size size) const override;

private:
    CompanionPanelInputs inputs() const;
    void reevaluate();
    void perform(const std::string& buttonId);
    std::optional<Task<void>> screenContentRequest_;

    std::shared_ptr<CompanionManager> companionManager_;
    ChangeObserver observer_;
    CompanionPanelModel model_;
    LayoutNode tree_;
    Size size_;
    PanelMargins margins_;
    int layoutCount_ = 0;
    std::function<void()> needsDisplay_;
};

}  // namespace velmo
