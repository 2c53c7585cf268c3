#pragma once

// Kept free of the drawing headers: the panel manager also sees the companion object's, and
// both declare an image type of their own.

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/desktop/Geometry.h"
#include "platform/desktop/StatusBarDesktop.h"

namespace velmo {

class Surface;

// Premultiplied ARGB32 pixels, `stride` bytes a row.
struct PanelPixels {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> bytes;
};

// Room a view's drawing takes around its frame (its card's shadow), whole points a side.
struct PanelMargins {
    double top = 0;
    double left = 0;
    double bottom = 0;
    double right = 0;
    bool operator==(const PanelMargins&) const = default;
};

// The margins that take in everything drawn in `drawn` around a frame of `size` at the origin
// (view points, y down).
PanelMargins marginsAround(const Rect& drawn, Size size);

// What the panel hosts: a view 320 points wide whose natural height decides the panel's.
class PanelContentView {
public:
    virtual ~PanelContentView() = default;
    virtual double fittingHeight() const = 0;
    // What the view draws outside its frame; the panel window leaves that much room around it.
    virtual PanelMargins margins() const { return {}; }
    // The view at `size` with its margins around it: the picture is margins().left + width +
    // margins().right wide, the view's frame starting at (margins().left, margins().top).
    virtual PanelPixels render(Size size) const = 0;
    // Where the pointer shows a pointing hand: the frames of the view's buttons, view points.
    virtual std::vector<Rect> pointerCursorRegions(Size size) const { return {}; }
    // A click at a point of the view (view points): the button there, if any, acts.
    virtual void click(Point p) {}
    // Called by a view whose height, picture or buttons changed, for its host to show them.
    virtual void setNeedsDisplayHandler(std::function<void()> handler) {}
};

// A drawn surface's pixels, copied out for the panel window.
PanelPixels panelPixelsOf(const Surface& surface);

// A plain card standing in for the companion panel view.
class PanelPlaceholderView : public PanelContentView {
public:
    static constexpr double height = 120;
    double fittingHeight() const override { return height; }
    PanelPixels render(Size size) const override;
};

// The 18 x 18 template triangle of the status item, black on clear.
StatusItemIcon drawMenuBarIcon();

}  // namespace velmo
