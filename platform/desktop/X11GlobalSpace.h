#pragma once

#include "platform/desktop/Geometry.h"

namespace velmo {

// A rectangle in X11 root coordinates: pixels, origin at the top-left of the root window, y down.
struct X11Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const X11Rect&) const = default;
    bool isEmpty() const { return width <= 0 || height <= 0; }
    X11Rect intersection(const X11Rect& o) const;
};

// Converts between X11 root coordinates and global points (origin at the lower-left corner of
// the primary monitor, y up; one point a pixel).
class X11GlobalSpace {
public:
    explicit X11GlobalSpace(X11Rect primary)
        : primary_(primary) {}

    Rect rectFromX11(const X11Rect& r) const;
    // A pixel stands for its centre, so the pointer on any pixel of a monitor, its top row
    // included, lies inside that monitor's frame.
    Point pointFromX11Pixel(int x, int y) const;
    // The pixel a global point lies on.
    void pixelFromPoint(Point p, int& x, int& y) const;
    X11Rect rectToX11(const Rect& r) const;

private:
    X11Rect primary_;
};

}  // namespace velmo
