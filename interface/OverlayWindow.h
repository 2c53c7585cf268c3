#pragma once

// The overlay: one transparent, click-through window per screen above everything, each showing
// that screen's blue cursor, and the manager that shows and takes them down as a whole.
//
// Thread contract: bound to the main thread, windows, views and manager alike.

#include <memory>
#include <optional>
#include <vector>

#include "companion/OverlayWindowManaging.h"
#include "interface/BlueCursorView.h"
#include "platform/desktop/OverlayWindowLayer.h"
#include "platform/desktop/ScreenLayer.h"
#include "platform/runtime/SequenceChecker.h"

namespace velmo {

class OverlayWindow {
public:
    // A hidden window covering the screen's frame, made through `layer`.
    OverlayWindow(const Screen& screen, OverlayWindowLayer& layer);
    ~OverlayWindow();
    OverlayWindow(const OverlayWindow&) = delete;
    OverlayWindow& operator=(const OverlayWindow&) = delete;

    // The view drawn in the window, or none; it repaints whenever the view says it changed.
    void setContentView(BlueCursorView* view);
    void orderFrontRegardless();
    void orderOut();

    static constexpr bool canBecomeKeyWindow() { return false; }
    static constexpr bool canBecomeMainWindow() { return false; }

    Rect frame() const;
    OverlayPlatformWindow& platformWindow() { return *window_; }

private:
    struct Content;
    std::shared_ptr<OverlayPlatformWindow> window_;
    std::shared_ptr<Content> content_;
};

class OverlayWindowManager : public OverlayWindowManaging {
public:
    // Windows come from `layer`; the views read the world through `environment` (empty fields:
    // the real ones, the pointer sampled once per main-loop turn for all screens).
    explicit OverlayWindowManager(std::shared_ptr<OverlayWindowLayer> layer, BlueCursorView::Environment environment = {});
    ~OverlayWindowManager() override;

    void showOverlay(const std::vector<Screen>& screens, CompanionManager& companion) override;
    void hideOverlay() override;
    bool hasShownOverlayBefore() const override { return hasShownOverlayBefore_; }
    void setHasShownOverlayBefore(bool value) override { hasShownOverlayBefore_ = value; }

    const std::vector<std::unique_ptr<OverlayWindow>>& overlayWindows() const { return overlayWindows_; }
    // The cursor views of the current showing; none while hidden.
    BlueCursorOverlay* cursorViews() { return views_.get(); }

private:
    [[no_unique_address]] SequenceChecker sequenceChecker_;
    std::shared_ptr<OverlayWindowLayer> layer_;
    BlueCursorView::Environment environment_;
    std::vector<std::unique_ptr<OverlayWindow>> overlayWindows_;
    std::unique_ptr<BlueCursorOverlay> views_;
    bool hasShownOverlayBefore_ = false;
};

}  // namespace velmo
