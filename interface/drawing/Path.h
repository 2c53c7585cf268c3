#pragma once

#include <vector>

#include "platform/desktop/Geometry.h"

namespace velmo {

// A vector outline in a layer's own space: origin at the layer's top-left, y downward.
// Several closed subpaths may share one path (and then one fill and one shadow).
class Path {
public:
    enum class Op { Move, Line, Curve, Close };
    struct Element {
        Op op;
        Point p[3];  // Move/Line: p[0]; Curve: control 1, control 2, end
        bool operator==(const Element&) const;
    };

    void moveTo(Point p);
    void lineTo(Point p);
    void curveTo(Point c1, Point c2, Point end);
    void close();
    // A rounded rectangle whose corners ease into the straight edges (continuous curvature look).
    void addRoundedRect(const Rect& r, double cornerRadius);

    const std::vector<Element>& elements() const { return elements_; }
    bool empty() const { return elements_.empty(); }
    bool operator==(const Path&) const = default;

private:
    std::vector<Element> elements_;
};

}  // namespace velmo
