#include "interface/drawing/Path.h"

#include <algorithm>

namespace velmo {

bool Path::Element::operator==(const Element& o) const {
    if (op != o.op) return false;
    int n = op == Op::Curve ? 3 : op == Op::Close ? 0 : 1;
    for (int i = 0; i < n; ++i)
        if (!(p[i] == o.p[i])) return false;
    return true;
}

void Path::moveTo(Point p) { elements_.push_back({Op::Move, {p, {}, {}}}); }
void Path::lineTo(Point p) { elements_.push_back({Op::Line, {p, {}, {}}}); }
void Path::curveTo(Point c1, Point c2, Point end) { elements_.push_back({Op::Curve, {c1, c2, end}}); }
void Path::close() { elements_.push_back({Op::Close, {}}); }

void Path::addRoundedRect(const Rect& r, double cornerRadius) {
    double x0 = r.minX(), y0 = r.minY(), x1 = r.maxX(), y1 = r.maxY();
    double w = x1 - x0, h = y1 - y0;
    if (w <= 0 || h <= 0) return;
    // A continuous corner starts about 1.28 radii from the corner; it may not pass the midpoint.
    double limit = std::min(w, h) / 2;
    double r0 = std::clamp(cornerRadius, 0.0, limit);
    if (r0 == 0) {
        moveTo({x0, y0});
        lineTo({x1, y0});
        lineTo({x1, y1});
        lineTo({x0, y1});
        close();
        return;
    }
    double e = std::min(r0 * 1.28, limit);  // where the curve meets the edge
    double k = std::min(r0 * 0.355, e);  // control points: the curve passes where a circular corner would
    moveTo({x0 + e, y0});
    lineTo({x1 - e, y0});
    curveTo({x1 - k, y0}, {x1, y0 + k}, {x1, y0 + e});
    lineTo({x1, y1 - e});
    curveTo({x1, y1 - k}, {x1 - k, y1}, {x1 - e, y1});
    lineTo({x0 + e, y1});
    curveTo({x0 + k, y1}, {x0, y1 - k}, {x0, y1 - e});
    lineTo({x0, y0 + e});
    curveTo({x0, y0 + k}, {x0 + k, y0}, {x0 + e, y0});
    close();
}

}  // namespace velmo
