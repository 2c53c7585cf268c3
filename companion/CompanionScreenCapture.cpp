#include "companion/CompanionScreenCapture.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "platform/desktop/ScreenLayer.h"
#include "platform/foundation/Bundle.h"
#include "platform/base/Error.h"

namespace velmo {

namespace {

constexpr const char* kDomain = "CompanionScreenCapture";
constexpr double kLongestSide = 1280;
constexpr double kCompressionFactor = 0.8;

// Toward zero, held to the 64-bit range (NaN gives 0).
std::int64_t truncated(double value) {
    if (!(value == value)) return 0;
    if (value >= 9.2e18) return INT64_MAX;
    if (value <= -9.2e18) return INT64_MIN;
    return std::int64_t(value);
}

std::string labelFor(std::size_t position, std::size_t count, bool isCursorScreen) {
    if (count == 1) return "user's screen (cursor is here)";
    return "screen " + std::to_string(position) + " of " + std::to_string(count) +
           (isCursorScreen ? " \u2014 cursor is on this screen (primary focus)" : " \u2014 secondary screen");
}

}  // namespace

std::optional<ScreenshotSize> screenshotSizeForDisplay(std::int64_t width, std::int64_t height) {
    // A display without area has no aspect to keep.
    if (width <= 0 || height <= 0) return std::nullopt;
    double aspect = double(width) / double(height);
    ScreenshotSize size;
    if (width < height) {
        size.height = std::int64_t(kLongestSide);
        size.width = truncated(aspect * kLongestSide);
    } else {
        size.width = std::int64_t(kLongestSide);
        size.height = truncated(kLongestSide / aspect);
    }
    if (size.width <= 0 || size.height <= 0) return std::nullopt;
    return size;
}

Task<std::vector<CompanionScreenCapture>> captureAllDisplays() {
    std::shared_ptr<ScreenLayer> layer = ScreenLayer::current();
    ShareableContent content = co_await layer->shareableContent(false, true);
    if (content.displays.empty()) throw Error(kDomain, -1, "No display available for capture");

    // One instant for the order, the cursor flags and the frames.
    const Point mouse = layer->mouseLocation();

    const std::optional<std::string> ownBundle = Bundle::main().bundleIdentifier();
    std::vector<ShareableWindow> ownWindows;
    for (const auto& w : content.windows) {
        std::optional<std::string> owner;
        if (w.owningApplication) owner = w.owningApplication->bundleIdentifier;
        if (owner == ownBundle) ownWindows.push_back(w);
    }

    std::map<std::uint32_t, Rect> screenFrames;
    for (const auto& screen : layer->screens()) {
        if (auto number = screenNumber(screen)) screenFrames[*number] = screen.frame;
    }
    auto frameOf = [&](const ShareableDisplay& d) {
        auto it = screenFrames.find(d.displayID);
        if (it != screenFrames.end()) return it->second;
        return Rect{d.frame.x, d.frame.y, double(d.width), double(d.height)};
    };

    std::vector<ShareableDisplay> displays = content.displays;
    std::stable_sort(displays.begin(), displays.end(), [&](const ShareableDisplay& a, const ShareableDisplay& b) {
        return frameOf(a).contains(mouse) && !frameOf(b).contains(mouse);
    });

    std::vector<CompanionScreenCapture> captures;
    for (std::size_t index = 0; index < displays.size(); ++index) {
        const ShareableDisplay& display = displays[index];
        const Rect frame = frameOf(display);
        const bool isCursorScreen = frame.contains(mouse);
        std::optional<ScreenshotSize> size = screenshotSizeForDisplay(display.width, display.height);
        if (!size) continue;

        ContentFilter filter{display, ownWindows};
        StreamConfiguration configuration{size->width, size->height};
        Image image = co_await layer->captureImage(std::move(filter), configuration);
        std::optional<std::vector<std::uint8_t>> jpeg = layer->jpegRepresentation(image, kCompressionFactor);
        if (!jpeg) continue;

        CompanionScreenCapture capture;
        capture.imageData = std::move(*jpeg);
        capture.label = labelFor(index + 1, displays.size(), isCursorScreen);
        capture.isCursorScreen = isCursorScreen;
        capture.displayWidthInPoints = truncated(frame.width);
        capture.displayHeightInPoints = truncated(frame.height);
        capture.displayFrame = frame;
        capture.screenshotWidthInPixels = configuration.width;
        capture.screenshotHeightInPixels = configuration.height;
        captures.push_back(std::move(capture));
    }
    if (captures.empty()) throw Error(kDomain, -2, "Failed to capture any screen");
    co_return captures;
}

}  // namespace velmo
