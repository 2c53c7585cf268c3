#include "platform/desktop/X11GlobalSpace.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace velmo {

namespace {
// Far beyond any X screen (coordinates on the wire are 16-bit), yet the sum or difference of
// two such values still fits an int.
constexpr double coordinateLimit = 1 << 29;

// The nearest int to a value in any range, NaN as 0.
int clampedCoordinate(double v) {
    if (std::isnan(v)) return 0;
    return int(std::lround(std::clamp(v, -coordinateLimit, coordinateLimit)));
}
}  // namespace

X11Rect X11Rect::intersection(const X11Rect& o) const {
    int left = std::max(x, o.x);
    int top = std::max(y, o.y);
    long long right = std::min((long long)x + width, (long long)o.x + o.width);
    long long bottom = std::min((long long)y + height, (long long)o.y + o.height);
    if (right <= left || bottom <= top) return {left, top, 0, 0};
    return {left, top, int(std::min<long long>(right - left, INT_MAX)), int(std::min<long long>(bottom - top, INT_MAX))};
}

// In doubles throughout: ints from anywhere (a D-Bus caller, a fuzzed rectangle) must not overflow.
Rect X11GlobalSpace::rectFromX11(const X11Rect& r) const {
    double bottomEdge = double(primary_.y) + primary_.height;
    return {double(r.x) - primary_.x, bottomEdge - (double(r.y) + r.height), double(r.width), double(r.height)};
}

Point X11GlobalSpace::pointFromX11Pixel(int x, int y) const {
    double bottomEdge = double(primary_.y) + primary_.height;
    return {double(x) - primary_.x + 0.5, bottomEdge - y - 0.5};
}

void X11GlobalSpace::pixelFromPoint(Point p, int& x, int& y) const {
    double bottomEdge = double(primary_.y) + primary_.height;
    x = clampedCoordinate(std::floor(p.x) + primary_.x);
    y = clampedCoordinate(std::floor(bottomEdge - p.y));
}

X11Rect X11GlobalSpace::rectToX11(const Rect& r) const {
    double bottomEdge = double(primary_.y) + primary_.height;
    const double left = std::round(r.minX()) + primary_.x, top = std::round(bottomEdge - r.maxY());
    // The size kept when the origin saturates far off screen.
    const double width = std::round(r.maxX()) + primary_.x - left, height = std::round(bottomEdge - r.minY()) - top;
    return {clampedCoordinate(left), clampedCoordinate(top), std::max(0, clampedCoordinate(width)), std::max(0, clampedCoordinate(height))};
}

}  // namespace velmo
