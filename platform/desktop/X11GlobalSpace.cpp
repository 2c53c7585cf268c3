#include "platform/desktop/X11GlobalSpace.h"

#include <algorithm>
#include <cmath>

namespace velmo {

X11Rect X11Rect::intersection(const X11Rect& o) const {
    int left = std::max(x, o.x);
    int top = std::max(y, o.y);
    int right = std::min(x + width, o.x + o.width);
    int bottom = std::min(y + height, o.y + o.height);
    if (right <= left || bottom <= top) return {left, top, 0, 0};
    return {left, top, right - left, bottom - top};
}

Rect X11GlobalSpace::rectFromX11(const X11Rect& r) const {
    double bottomEdge = primary_.y + primary_.height;
    return {double(r.x - primary_.x), bottomEdge - (r.y + r.height), double(r.width), double(r.height)};
}

Point X11GlobalSpace::pointFromX11Pixel(int x, int y) const {
    double bottomEdge = primary_.y + primary_.height;
    return {x - primary_.x + 0.5, bottomEdge - y - 0.5};
}

void X11GlobalSpace::pixelFromPoint(Point p, int& x, int& y) const {
    double bottomEdge = primary_.y + primary_.height;
    x = int(std::floor(p.x)) + primary_.x;
    y = int(std::floor(bottomEdge - p.y));
}

X11Rect X11GlobalSpace::rectToX11(const Rect& r) const {
    double bottomEdge = primary_.y + primary_.height;
    int left = int(std::lround(r.minX())) + primary_.x;
    int right = int(std::lround(r.maxX())) + primary_.x;
    int top = int(std::lround(bottomEdge - r.maxY()));
    int bottom = int(std::lround(bottomEdge - r.minY()));
    return {left, top, right - left, bottom - top};
}

}  // namespace velmo
