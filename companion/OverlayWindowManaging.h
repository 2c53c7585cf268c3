#pragma once

#include <vector>

#include "platform/desktop/ScreenLayer.h"

namespace velmo {

class CompanionManager;

// What the companion object needs of the overlay windows: one click-through window per screen
// hosting the cursor view, shown and taken down as a whole.
class OverlayWindowManaging {
public:
    virtual ~OverlayWindowManaging() = default;
    // Replaces any shown windows with one per screen, in order. The first showing since the flag
    // was last cleared plays the cursor's welcome; the flag is set even for an empty list.
    virtual void showOverlay(const std::vector<Screen>& screens, CompanionManager& companion) = 0;
    virtual void hideOverlay() = 0;
    virtual bool hasShownOverlayBefore() const = 0;
    virtual void setHasShownOverlayBefore(bool value) = 0;
};

// Keeps the overlay's state without drawing anything: stands in where no overlay can be shown.
class HeadlessOverlayWindowManager : public OverlayWindowManaging {
public:
    void showOverlay(const std::vector<Screen>& screens, CompanionManager& companion) override {
        hideOverlay();
        lastShowWasFirstAppearance_ = !hasShownOverlayBefore_;
        hasShownOverlayBefore_ = true;
        for (const auto& screen : screens) shownScreenFrames_.push_back(screen.frame);
        ++showCount_;
    }
    void hideOverlay() override {
        if (!shownScreenFrames_.empty()) ++hideCount_;
        shownScreenFrames_.clear();
    }
    bool hasShownOverlayBefore() const override { return hasShownOverlayBefore_; }
    void setHasShownOverlayBefore(bool value) override { hasShownOverlayBefore_ = value; }

    const std::vector<Rect>& shownScreenFrames() const { return shownScreenFrames_; }
    bool lastShowWasFirstAppearance() const { return lastShowWasFirstAppearance_; }
    int showCount() const { return showCount_; }
    int hideCount() const { return hideCount_; }

private:
    bool hasShownOverlayBefore_ = false;
    bool lastShowWasFirstAppearance_ = false;
    std::vector<Rect> shownScreenFrames_;
    int showCount_ = 0;
    int hideCount_ = 0;
};

}  // namespace velmo
