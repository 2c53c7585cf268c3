#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "interface/drawing/Layer.h"
#include "interface/drawing/Path.h"
#include "platform/desktop/Geometry.h"

namespace velmo {

// Seconds since the platform's reference date, 1 January 2001 00:00 UTC.
double secondsSinceReferenceDate(std::chrono::system_clock::time_point when);

// The pointer shape: an equilateral triangle of side min(width, height), apex up, whose
// centroid is the rectangle's centre.
struct Triangle {
    static Path path(const Rect& r);
    // The glyph as the cursor frames it (16 x 16, "#3380FF"), before its view's placement.
    static Layer layer(Point center, double rotationDegrees = 0);
};

// The listening meter: `barCount` rounded bars whose heights follow the microphone level and
// an idle ripple. Stateless; heights are a closed formula of the level and the time.
struct BlueCursorWaveformView {
    double audioPowerLevel = 0;
    int barCount = 5;
    std::vector<double> listeningBarProfile{0.4, 0.7, 1.0, 0.7, 0.4};

    static constexpr double barWidth = 2;
    static constexpr double barSpacing = 2;
    static constexpr double barCornerRadius = 1.5;

    // Bars actually drawn: min(barCount, profile size), none for a negative count.
    int drawnBarCount() const;
    // Heights at `t` seconds since the reference date; a NaN level counts as silence.
    std::vector<double> barHeights(double t) const;
    Size size(double t) const;
    // One path layer holding every bar, so the stack casts a single shadow.
    Layer layer(Point center, double t) const;

    // The level as it shapes the bars (0...1): what moves when the level changes, so a view
    // can animate it and draw the bars between two levels.
    static double shapedLevel(double audioPowerLevel);
    std::vector<double> barHeightsAtShapedLevel(double shaped, double t) const;
    Layer layerAtShapedLevel(Point center, double shaped, double t) const;
};

// The processing glyph: a circle trimmed to 0.15...0.85 with an angular gradient, turning
// once every `turnDuration`.
struct BlueCursorSpinnerView {
    static constexpr double diameter = 14;
    static constexpr double lineWidth = 2.5;
    static constexpr double trimFrom = 0.15;
    static constexpr double trimTo = 0.85;
    static constexpr std::chrono::duration<double> turnDuration{0.8};

    // `rotationDegrees` is the spinning angle (0...360) the animation engine supplies.
    static Layer layer(Point center, double rotationDegrees);
};

}  // namespace velmo
