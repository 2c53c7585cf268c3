#pragma once

#include <exception>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "platform/desktop/JpegEncoder.h"
#include "platform/desktop/ScreenLayer.h"

namespace velmo {

// A desktop for tests: displays, screens, windows and the mouse as the test sets them, pixels
// that follow from them, injected failures, and a record of everything asked for. Used on the
// main thread; every asynchronous answer arrives through a posted step of the main loop.
class SimulatedScreenLayer : public ScreenLayer {
public:
    struct Window {
        ShareableWindow window;
        std::uint32_t rgb = 0x808080;  // the colour it is drawn with
        bool isDesktopWindow = false;  // left out when desktop windows are excluded
    };
    // An on-screen window drawn in one colour, owned by the application with this bundle
    // identifier, or by none.
    static Window window(std::uint32_t windowID, Rect frame, std::uint32_t rgb, std::optional<std::string> bundleIdentifier = std::nullopt);

    struct CaptureRequest {
        ContentFilter filter;
        StreamConfiguration configuration;
    };
    struct ContentRequest {
        bool excludingDesktopWindows = false;
        bool onScreenWindowsOnly = false;
        bool operator==(const ContentRequest&) const = default;
    };
    struct JpegRequest {
        std::uint32_t displayID = 0;
        double compressionFactor = 0;
    };

    // The displays, in the order the shareable content lists them.
    void setDisplays(std::vector<ShareableDisplay> displays) { displays_ = std::move(displays); }
    // The screen list as given, entries without a number or with odd ones included.
    void setScreens(std::vector<Screen> screens) { screens_ = std::move(screens); }
    // A screen matching the display: same frame, its number under "NSScreenNumber".
    static Screen screenFor(const ShareableDisplay& display);
    // Displays and one matching screen for each.
    void setDisplaysWithScreens(std::vector<ShareableDisplay> displays);
    // Back to front.
    void setWindows(std::vector<Window> windows) { windows_ = std::move(windows); }
    // A move is announced (posted to the main loop) to the pointer-motion listeners while
    // announcing is on; by default it is off, and listeners must ask for the pointer.
    void setMouseLocation(Point location);
    void setAnnouncesPointerMotion(bool announces) { announcesMotion_ = announces; }

    // A display's background colour; by default one derived from its identifier.
    void setDisplayColour(std::uint32_t displayID, std::uint32_t rgb) { colours_[displayID] = rgb; }
    std::uint32_t displayColour(std::uint32_t displayID) const;

    void failShareableContent(std::exception_ptr error) { contentError_ = std::move(error); }
    void failScreenshot(std::uint32_t displayID, std::exception_ptr error) { screenshotErrors_[displayID] = std::move(error); }
    // JPEG encoding of this display's images yields nothing.
    void failJpeg(std::uint32_t displayID) { jpegFailures_.insert(displayID); }

    const std::vector<ContentRequest>& contentRequests() const { return contentRequests_; }
    const std::vector<CaptureRequest>& captureRequests() const { return captureRequests_; }
    const std::vector<JpegRequest>& jpegRequests() const { return jpegRequests_; }
    int mouseLocationReads() const { return mouseReads_; }
    int screensReads() const { return screensReads_; }

    Task<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
    Task<Image> captureImage(ContentFilter filter, StreamConfiguration configuration) override;
    std::vector<Screen> screens() override;
    Point mouseLocation() override;
    Cancellable observePointerMotion(std::function<void()> moved) override;
    bool announcesPointerMotion() override { return announcesMotion_; }
    std::optional<std::vector<std::uint8_t>> jpegRepresentation(const Image& image, double compressionFactor) override;

    // The pixels a screenshot of this display shows: its colour, then every window that lies on
    // it and is not excluded, back to front. Public so tests can state what they expect.
    Image render(const ShareableDisplay& display, const std::vector<ShareableWindow>& excluded, int width, int height) const;

private:
    std::vector<ShareableDisplay> displays_;
    std::vector<Screen> screens_;
    std::vector<Window> windows_;
    Point mouse_;
    bool announcesMotion_ = false;
    Subject<bool> moves_;
    std::map<std::uint32_t, std::uint32_t> colours_;
    std::exception_ptr contentError_;
    std::map<std::uint32_t, std::exception_ptr> screenshotErrors_;
    std::set<std::uint32_t> jpegFailures_;
    std::vector<ContentRequest> contentRequests_;
    std::vector<CaptureRequest> captureRequests_;
    std::vector<JpegRequest> jpegRequests_;
    int mouseReads_ = 0;
    int screensReads_ = 0;
    JpegEncoder encoder_;
};

}  // namespace velmo
