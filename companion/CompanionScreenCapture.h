#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Geometry.h"
#include "platform/runtime/Task.h"

namespace velmo {

// One captured display, as sent to the messages service and used to map a pointing tag back
// onto the screen.
struct CompanionScreenCapture {
    std::vector<std::uint8_t> imageData;  // JPEG at compression factor 0.8
    std::string label;  // introduces the image to the messages service
    bool isCursorScreen = false;  // the mouse, read once per capture, lies in displayFrame
    std::int64_t displayWidthInPoints = 0;
    std::int64_t displayHeightInPoints = 0;
    Rect displayFrame;  // global points
    std::int64_t screenshotWidthInPixels = 0;
    std::int64_t screenshotHeightInPixels = 0;
};

// Every display of the current screen layer, the one under the mouse first, each with its
// longer side at 1280 pixels, JPEG-encoded, without this application's own windows (those whose
// owner has the main bundle's identifier).
// Throws velmo::Error in the domain "CompanionScreenCapture" with code -1 when there is no
// display and -2 when no display could be captured; errors of the screen layer pass unchanged.
Task<std::vector<CompanionScreenCapture>> captureAllDisplays();

// The screenshot size for a display of this many points: the longer side 1280, the other from
// the aspect, truncated. None for a display without area, or too narrow to keep a pixel.
struct ScreenshotSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const ScreenshotSize&) const = default;
};
std::optional<ScreenshotSize> screenshotSizeForDisplay(std::int64_t width, std::int64_t height);

}  // namespace velmo
