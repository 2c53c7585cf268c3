#include "platform/desktop/SimulatedScreenLayer.h"

#include <algorithm>
#include <cmath>

#include "platform/base/Error.h"
#include "platform/runtime/MainLoop.h"

namespace velmo {

namespace {

// Resumes the awaiting task from a posted step, as an answer from elsewhere would.
Task<void> answerLater() {
    Completion<Unit> answered;
    MainLoop::postToMain([answered] { answered.resolve(Unit{}); });
    co_await answered;
}

void fill(Image& image, int left, int top, int right, int bottom, std::uint32_t rgb) {
    left = std::clamp(left, 0, image.width);
    right = std::clamp(right, 0, image.width);
    top = std::clamp(top, 0, image.height);
    bottom = std::clamp(bottom, 0, image.height);
    for (int y = top; y < bottom; ++y) {
        std::uint8_t* p = image.pixels.data() + std::size_t(y) * image.stride() + std::size_t(left) * 4;
        for (int x = left; x < right; ++x, p += 4) {
            p[0] = std::uint8_t(rgb);
            p[1] = std::uint8_t(rgb >> 8);
            p[2] = std::uint8_t(rgb >> 16);
            p[3] = 0xff;
        }
    }
}

}  // namespace

SimulatedScreenLayer::Window SimulatedScreenLayer::window(std::uint32_t windowID, Rect frame, std::uint32_t rgb,
                                                          std::optional<std::string> bundleIdentifier) {
    Window w;
    w.window.windowID = windowID;
    w.window.frame = frame;
    if (bundleIdentifier) w.window.owningApplication = RunningApplication{*bundleIdentifier, "Simulated", 0};
    w.rgb = rgb;
    return w;
}

Screen SimulatedScreenLayer::screenFor(const ShareableDisplay& display) {
    Screen screen;
    screen.frame = display.frame;
    screen.localizedName = "Simulated " + std::to_string(display.displayID);
    screen.deviceDescription[kScreenNumberKey] = std::int64_t(display.displayID);
    return screen;
}

void SimulatedScreenLayer::setDisplaysWithScreens(std::vector<ShareableDisplay> displays) {
    screens_.clear();
    for (const auto& d : displays) screens_.push_back(screenFor(d));
    displays_ = std::move(displays);
}

std::uint32_t SimulatedScreenLayer::displayColour(std::uint32_t displayID) const {
    auto it = colours_.find(displayID);
    if (it != colours_.end()) return it->second;
    std::uint32_t h = displayID * 2654435761u;
    return (h >> 8) & 0xffffff;
}

Task<ShareableContent> SimulatedScreenLayer::shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) {
    contentRequests_.push_back({excludingDesktopWindows, onScreenWindowsOnly});
    ShareableContent content;
    content.displays = displays_;
    for (const auto& w : windows_) {
        if (onScreenWindowsOnly && !w.window.isOnScreen) continue;
        if (excludingDesktopWindows && w.isDesktopWindow) continue;
        content.windows.push_back(w.window);
    }
    std::exception_ptr error = contentError_;
    co_await answerLater();
    if (error) std::rethrow_exception(error);
    co_return content;
}

Task<Image> SimulatedScreenLayer::captureImage(ContentFilter filter, StreamConfiguration configuration) {
    captureRequests_.push_back({filter, configuration});
    std::exception_ptr error;
    if (auto it = screenshotErrors_.find(filter.display.displayID); it != screenshotErrors_.end()) error = it->second;
    bool known =
        std::any_of(displays_.begin(), displays_.end(), [&](const ShareableDisplay& d) { return d.displayID == filter.display.displayID; });
    co_await answerLater();
    if (error) std::rethrow_exception(error);
    if (!known) {
        throw Error("SimulatedScreenLayer", 2, "The display " + std::to_string(filter.display.displayID) + " is not available");
    }
    if (configuration.width < 0 || configuration.height < 0 || configuration.width > 16384 || configuration.height > 16384) {
        throw Error("SimulatedScreenLayer", 4, "The output size is not valid");
    }
    int width = int(configuration.width > 0 ? configuration.width : filter.display.width);
    int height = int(configuration.height > 0 ? configuration.height : filter.display.height);
    co_return render(filter.display, filter.excludedWindows, width, height);
}

Image SimulatedScreenLayer::render(const ShareableDisplay& display, const std::vector<ShareableWindow>& excluded, int width,
                                   int height) const {
    Image image;
    image.width = std::max(width, 0);
    image.height = std::max(height, 0);
    image.displayID = display.displayID;
    image.pixels.assign(image.stride() * std::size_t(image.height), 0);
    fill(image, 0, 0, image.width, image.height, displayColour(display.displayID));
    const Rect& d = display.frame;
    if (d.width <= 0 || d.height <= 0) return image;
    double sx = image.width / d.width;
    double sy = image.height / d.height;
    for (const auto& w : windows_) {
        if (!w.window.isOnScreen) continue;
        bool isExcluded =
            std::any_of(excluded.begin(), excluded.end(), [&](const ShareableWindow& e) { return e.windowID == w.window.windowID; });
        if (isExcluded) continue;
        const Rect& f = w.window.frame;
        // Global points (y up) to the image's pixels (y down), held to a little beyond the image.
        auto pixel = [](double v, int limit) { return int(std::lround(std::clamp(v, -1.0, double(limit) + 1))); };
        int left = pixel((f.minX() - d.minX()) * sx, image.width);
        int right = pixel((f.maxX() - d.minX()) * sx, image.width);
        int top = pixel((d.maxY() - f.maxY()) * sy, image.height);
        int bottom = pixel((d.maxY() - f.minY()) * sy, image.height);
        fill(image, left, top, right, bottom, w.rgb);
    }
    return image;
}

std::vector<Screen> SimulatedScreenLayer::screens() {
    ++screensReads_;
    return screens_;
}

Point SimulatedScreenLayer::mouseLocation() {
    ++mouseReads_;
    return mouse_;
}

void SimulatedScreenLayer::setMouseLocation(Point location) {
    const bool moved = !(location == mouse_);
    mouse_ = location;
    if (!moved || !announcesMotion_) return;
    MainLoop::postToMain([moves = moves_] { moves.send(true); });
}

Cancellable SimulatedScreenLayer::observePointerMotion(std::function<void()> moved) {
    return moves_.publisher().sink([moved = std::move(moved)](const bool&) { moved(); });
}

std::optional<std::vector<std::uint8_t>> SimulatedScreenLayer::jpegRepresentation(const Image& image, double compressionFactor) {
    jpegRequests_.push_back({image.displayID, compressionFactor});
    if (jpegFailures_.count(image.displayID)) return std::nullopt;
    return encoder_.encode(image, compressionFactor);
}

}  // namespace velmo
