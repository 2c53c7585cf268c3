#include "companion/ScreenshotPointing.h"

namespace velmo {

ClaudeAPI::Image labelledImageOf(const CompanionScreenCapture& c) {
    std::string label = c.label + " (image dimensions: " + std::to_string(c.screenshotWidthInPixels) + "x" +
                        std::to_string(c.screenshotHeightInPixels) + " pixels)";
    return {std::string(c.imageData.begin(), c.imageData.end()), std::move(label)};
}

const CompanionScreenCapture* cursorCaptureIn(const std::vector<CompanionScreenCapture>& captures) {
    for (const auto& c : captures)
        if (c.isCursorScreen) return &c;
    return nullptr;
}

Point screenPointOf(PixelPoint pixel, const CompanionScreenCapture& c) {
    return mapScreenshotPointToScreen(pixel, double(c.screenshotWidthInPixels), double(c.screenshotHeightInPixels),
                                      double(c.displayWidthInPoints), double(c.displayHeightInPoints), c.displayFrame);
}

}  // namespace velmo
