#pragma once

#include <algorithm>

namespace velmo {

// Positions in global screen points: origin at the lower-left corner of the primary screen,
// x to the right, y upward. Pixel images use their own space (top-left origin, y down).
struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const Rect&) const = default;

    Point origin() const { return {x, y}; }
    Size size() const { return {width, height}; }
    // Edges of the rectangle with a negative size read as if it were standardised.
    double minX() const { return std::min(x, x + width); }
    double maxX() const { return std::max(x, x + width); }
    double minY() const { return std::min(y, y + height); }
    double maxY() const { return std::max(y, y + height); }
    double midX() const { return (minX() + maxX()) / 2; }
    double midY() const { return (minY() + maxY()) / 2; }
    bool isEmpty() const { return width == 0 || height == 0; }

    // Minimum edges inside, maximum edges outside, so adjacent rectangles never share a point.
    bool contains(Point p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
};

}  // namespace velmo
