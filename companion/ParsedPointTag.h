#pragma once

#include <optional>
#include <string>

#include "platform/desktop/Geometry.h"

namespace velmo {

struct PixelPoint {
    double x = 0;
    double y = 0;
    bool operator==(const PixelPoint&) const = default;
};

// A reply split into what is spoken and the pointing tag at its end.
struct ParsedPointTag {
    std::string spokenText;
    std::optional<PixelPoint> coordinate;  // screenshot pixels, origin top-left, y down
    std::optional<std::string> elementLabel;
};

// Finds a trailing "[POINT:x,y:label]" or "[POINT:none]" (only white space may follow it).
// Without such a tag the whole reply is spoken unchanged.
ParsedPointTag parsePointTag(const std::string& reply);

// Maps a tag coordinate in screenshot pixels to global screen points on the display the
// screenshot shows: clamped to the screenshot, scaled to points and flipped to y-up.
Point mapScreenshotPointToScreen(PixelPoint pixel, double screenshotWidthInPixels, double screenshotHeightInPixels,
                                 double displayWidthInPoints, double displayHeightInPoints, Rect displayFrame);

// A tag coordinate as the signed 64-bit whole number the pointing log line shows; values
// beyond the type's range saturate.
long long saturatedWholeNumber(double value);

}  // namespace velmo
