#include "interface/drawing/CursorGlyphs.h"

#include <algorithm>
#include <cmath>

#include "interface/drawing/CompanionPalette.h"

namespace velmo {

namespace {
// Seconds from the Unix epoch to 2001-01-01 00:00:00 UTC.
constexpr double kReferenceDateOffset = 978307200.0;

Shadow glyphGlow(double radius) { return Shadow{CompanionPalette::cursorBlue(), 0.6, radius, {0, 0}}; }
}  // namespace

double secondsSinceReferenceDate(std::chrono::system_clock::time_point when) {
    return std::chrono::duration<double>(when.time_since_epoch()).count() - kReferenceDateOffset;
}

Path Triangle::path(const Rect& r) {
    double s = std::min(r.width, r.height);
    double h = s * std::sqrt(3.0) / 2;
    Path p;
    p.moveTo({r.midX(), r.midY() - h / 1.5});
    p.lineTo({r.midX() - s / 2, r.midY() + h / 3});
    p.lineTo({r.midX() + s / 2, r.midY() + h / 3});
    p.close();
    return p;
}

Layer Triangle::layer(Point center, double rotationDegrees) {
    Layer l;
    l.id = "triangle";
    l.kind = Layer::Kind::Path;
    l.center = center;
    l.size = {16, 16};
    l.rotation = rotationDegrees;
    l.path = path({0, 0, 16, 16});
    l.fill = CompanionPalette::cursorBlue();
    l.shadow = glyphGlow(8);
    return l;
}

int BlueCursorWaveformView::drawnBarCount() const {
    if (barCount <= 0) return 0;
    return int(std::min<std::size_t>(std::size_t(barCount), listeningBarProfile.size()));
}

double BlueCursorWaveformView::shapedLevel(double audioPowerLevel) {
    double level = std::isnan(audioPowerLevel) ? 0.0 : audioPowerLevel;
    double l = level - 0.008;
    double n = l > 0 ? std::min(1.0, 2.85 * l) : 0.0;
    return std::pow(n, 0.76);
}

std::vector<double> BlueCursorWaveformView::barHeightsAtShapedLevel(double shaped, double t) const {
    std::vector<double> heights;
    int count = drawnBarCount();
    heights.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        double p = listeningBarProfile[std::size_t(i)];
        heights.push_back(3 + 10 * p * shaped + 0.75 * (1 + std::sin(0.35 * i + 3.6 * t)));
    }
    return heights;
}

std::vector<double> BlueCursorWaveformView::barHeights(double t) const { return barHeightsAtShapedLevel(shapedLevel(audioPowerLevel), t); }

namespace {
Size stackSize(int count, const std::vector<double>& heights) {
    double width = count > 0 ? count * BlueCursorWaveformView::barWidth + (count - 1) * BlueCursorWaveformView::barSpacing : 0;
    double height = heights.empty() ? 0 : *std::max_element(heights.begin(), heights.end());
    return {width, height};
}
}  // namespace

Size BlueCursorWaveformView::size(double t) const { return stackSize(drawnBarCount(), barHeights(t)); }

Layer BlueCursorWaveformView::layer(Point center, double t) const { return layerAtShapedLevel(center, shapedLevel(audioPowerLevel), t); }

Layer BlueCursorWaveformView::layerAtShapedLevel(Point center, double shaped, double t) const {
    auto heights = barHeightsAtShapedLevel(shaped, t);
    Size sz = stackSize(drawnBarCount(), heights);
    Layer l;
    l.id = "waveform";
    l.kind = Layer::Kind::Path;
    l.center = center;
    l.size = sz;
    for (std::size_t i = 0; i < heights.size(); ++i) {
        double x = double(i) * (barWidth + barSpacing);
        double y = (sz.height - heights[i]) / 2;  // vertically centred in the stack
        l.path.addRoundedRect({x, y, barWidth, heights[i]}, barCornerRadius);
    }
    l.fill = CompanionPalette::cursorBlue();
    l.shadow = glyphGlow(6);
    return l;
}

Layer BlueCursorSpinnerView::layer(Point center, double rotationDegrees) {
    Layer l;
    l.id = "spinner";
    l.kind = Layer::Kind::GradientArc;
    l.center = center;
    l.size = {diameter, diameter};
    l.rotation = rotationDegrees;
    l.lineWidth = lineWidth;
    l.trimFrom = trimFrom;
    l.trimTo = trimTo;
    l.gradientFrom = CompanionPalette::cursorBlue().withOpacity(0);
    l.gradientTo = CompanionPalette::cursorBlue();
    l.gradientStartAngle = 0;
    l.shadow = glyphGlow(6);
    return l;
}

}  // namespace velmo
