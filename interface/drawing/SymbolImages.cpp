#include "interface/drawing/SymbolImages.h"

#include <cmath>
#include <functional>
#include <map>

namespace velmo {

namespace {

// Outlines are given in a unit box (0..1, y down) and scaled to the symbol's side.
struct Pen {
    double side;
    Point at(double x, double y) const { return {x * side, y * side}; }
};

// A circular arc from `fromDegrees` to `toDegrees` (clockwise on screen, 0 at 3 o'clock), in
// Bézier pieces of at most a quarter turn, as a new subpath.
void addArc(Path& path, const Pen& pen, double cx, double cy, double r, double fromDegrees, double toDegrees) {
    const double from = fromDegrees * M_PI / 180, to = toDegrees * M_PI / 180;
    const int pieces = std::max(1, int(std::ceil(std::fabs(to - from) / (M_PI / 2) - 1e-9)));
    const double step = (to - from) / pieces;
    const double k = 4.0 / 3.0 * std::tan(step / 4);
    auto point = [&](double a) { return pen.at(cx + r * std::cos(a), cy + r * std::sin(a)); };
    path.moveTo(point(from));
    for (int i = 0; i < pieces; ++i) {
        const double a0 = from + i * step, a1 = a0 + step;
        const Point c1 = pen.at(cx + r * (std::cos(a0) - k * std::sin(a0)), cy + r * (std::sin(a0) + k * std::cos(a0)));
        const Point c2 = pen.at(cx + r * (std::cos(a1) + k * std::sin(a1)), cy + r * (std::sin(a1) - k * std::cos(a1)));
        path.curveTo(c1, c2, point(a1));
    }
}

void addCircle(Path& path, const Pen& pen, double cx, double cy, double r) {
    addArc(path, pen, cx, cy, r, 0, 360);
    path.close();
}

void addLine(Path& path, const Pen& pen, double x0, double y0, double x1, double y1) {
    path.moveTo(pen.at(x0, y0));
    path.lineTo(pen.at(x1, y1));
}

// One symbol: what is stroked and what is filled.
struct Outline {
    Path stroked;
    Path filled;
};

Outline mic(const Pen& pen) {
    Outline o;
    o.stroked.addRoundedRect({pen.at(0.36, 0.04).x, pen.at(0.36, 0.04).y, 0.28 * pen.side, 0.54 * pen.side}, 0.14 * pen.side);
    addArc(o.stroked, pen, 0.5, 0.43, 0.28, 0, 180);  // the holder under the capsule
    addLine(o.stroked, pen, 0.5, 0.71, 0.5, 0.9);
    addLine(o.stroked, pen, 0.34, 0.92, 0.66, 0.92);
    return o;
}

Outline handRaised(const Pen& pen) {
    Outline o;
    // Four fingers, the palm and the thumb.
    addLine(o.stroked, pen, 0.33, 0.5, 0.33, 0.2);
    addLine(o.stroked, pen, 0.5, 0.46, 0.5, 0.06);
    addLine(o.stroked, pen, 0.67, 0.48, 0.67, 0.12);
    addLine(o.stroked, pen, 0.84, 0.54, 0.84, 0.26);
    Path& p = o.stroked;
    p.moveTo(pen.at(0.33, 0.46));
    p.lineTo(pen.at(0.33, 0.68));
    p.lineTo(pen.at(0.2, 0.55));
    p.curveTo(pen.at(0.13, 0.48), pen.at(0.03, 0.56), pen.at(0.11, 0.65));
    p.lineTo(pen.at(0.34, 0.89));
    p.curveTo(pen.at(0.4, 0.95), pen.at(0.48, 0.97), pen.at(0.58, 0.97));
    p.curveTo(pen.at(0.74, 0.97), pen.at(0.84, 0.87), pen.at(0.84, 0.72));
    p.lineTo(pen.at(0.84, 0.5));
    return o;
}

Outline rectangleDashedBadgeRecord(const Pen& pen) {
    Outline o;
    // The dashed frame, its dashes laid out edge by edge from each corner.
    const double left = 0.04, top = 0.14, right = 0.84, bottom = 0.74, dash = 0.07, gap = 0.17;
    // Round ends grow each dash by the line width, so the gaps are wide.
    auto dashes = [&](double x0, double y0, double x1, double y1) {
        const double length = std::hypot(x1 - x0, y1 - y0);
        for (double t = 0; t < length - 1e-9; t += dash + gap) {
            const double e = std::min(length, t + dash);
            addLine(o.stroked, pen, x0 + (x1 - x0) * t / length, y0 + (y1 - y0) * t / length, x0 + (x1 - x0) * e / length,
                    y0 + (y1 - y0) * e / length);
        }
    };
    dashes(left, top, right, top);
    dashes(left, top, left, bottom);
    dashes(left, bottom, 0.6, bottom);
    dashes(right, top, right, 0.5);
    addCircle(o.filled, pen, 0.8, 0.76, 0.17);  // the record badge over the corner
    return o;
}

Outline eye(const Pen& pen) {
    Outline o;
    o.stroked.moveTo(pen.at(0.04, 0.5));
    o.stroked.curveTo(pen.at(0.24, 0.18), pen.at(0.76, 0.18), pen.at(0.96, 0.5));
    o.stroked.curveTo(pen.at(0.76, 0.82), pen.at(0.24, 0.82), pen.at(0.04, 0.5));
    o.stroked.close();
    addCircle(o.filled, pen, 0.5, 0.5, 0.15);
    return o;
}

Outline power(const Pen& pen) {
    Outline o;
    addArc(o.stroked, pen, 0.5, 0.54, 0.38, -55, 235);  // open at the top
    addLine(o.stroked, pen, 0.5, 0.06, 0.5, 0.48);
    return o;
}

Outline playCircle(const Pen& pen) {
    Outline o;
    addCircle(o.stroked, pen, 0.5, 0.5, 0.44);
    o.filled.moveTo(pen.at(0.4, 0.31));
    o.filled.lineTo(pen.at(0.71, 0.5));
    o.filled.lineTo(pen.at(0.4, 0.69));
    o.filled.close();
    return o;
}

const std::map<std::string, std::function<Outline(const Pen&)>>& symbols() {
    static const std::map<std::string, std::function<Outline(const Pen&)>> table{
        {"mic", mic},     {"hand.raised", handRaised}, {"rectangle.dashed.badge.record", rectangleDashedBadgeRecord}, {"eye", eye},
        {"power", power}, {"play.circle", playCircle},
    };
    return table;
}

}  // namespace

bool isKnownSymbol(const std::string& name) { return symbols().count(name) > 0; }

LayerList symbolLayers(const std::string& name, double pointSize, int weight, Color tint, Rect frame, const std::string& id) {
    auto it = symbols().find(name);
    if (it == symbols().end() || pointSize <= 0) return {};
    const Pen pen{pointSize};
    const Outline outline = it->second(pen);
    Layer base;
    base.kind = Layer::Kind::Path;
    base.center = {frame.x + frame.width / 2, frame.y + frame.height / 2};
    base.size = {pointSize, pointSize};
    LayerList out;
    if (!outline.stroked.empty()) {
        Layer l = base;
        l.id = id + ".stroke";
        l.path = outline.stroked;
        l.fill = Color::clear();
        l.outline = tint;
        // About a twelfth of the size at regular weight, heavier with the weight.
        l.lineWidth = pointSize * (0.07 + 0.02 * (weight - 400) / 100.0);
        out.push_back(std::move(l));
    }
    if (!outline.filled.empty()) {
        Layer l = base;
        l.id = id + ".fill";
        l.path = outline.filled;
        l.fill = tint;
        out.push_back(std::move(l));
    }
    return out;
}

}  // namespace velmo
