#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/ScreenLayer.h"
#include "platform/desktop/X11GlobalSpace.h"

struct _XDisplay;

namespace velmo {

class X11Connection;

// One XRandR monitor. Its identifier (the atom of its name) is the display's `displayID` and
// the screen's "NSScreenNumber".
struct X11Monitor {
    std::uint32_t identifier = 0;
    std::string name;
    X11Rect rect;  // root coordinates
    bool primary = false;
};

// The screen layer on an X11 display. XRandR monitors are the displays and the screens, the
// primary one first (without XRandR, the whole X screen is one); pixels come through shared
// memory where it works, else XGetImage, and are grabbed and scaled in bands on one thread
// while another already encodes the finished rows as JPEG; windows are left out of screenshots
// by composing from the windows beneath (X11WindowCompositor).
// Without a display every asynchronous operation fails with a clear error, the screen list is
// empty and the mouse is at (0, 0).
class X11ScreenLayer : public ScreenLayer {
public:
    struct Options {
        std::string displayName;  // empty: $DISPLAY
        bool useSharedMemory = true;  // false forces XGetImage
        // Screenshots are encoded as JPEG at this factor while they are scaled, so
        // `jpegRepresentation` at the same factor costs nothing more.
        double preparedCompressionFactor = 0.8;
        // The main thread's shared connection: it answers the synchronous questions and
        // carries pointer motion (capture keeps a connection of its own on its thread).
        std::shared_ptr<X11Connection> connection = nullptr;
    };

    X11ScreenLayer();
    explicit X11ScreenLayer(Options options);
    ~X11ScreenLayer() override;

    bool isConnected() const;
    // Why there is no connection, when there is none.
    const std::string& failure() const;
    bool usesSharedMemory() const;
    // Whether excluded windows are composed away (else their areas are black).
    bool canComposeExcludedWindows() const;

    Task<ShareableContent> shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
    Task<Image> captureImage(ContentFilter filter, StreamConfiguration configuration) override;
    std::vector<Screen> screens() override;
    Point mouseLocation() override;
    // XInput2 raw motion, on the shared connection (else one of its own, open while anyone listens).
    Cancellable observePointerMotion(std::function<void()> moved) override;
    bool announcesPointerMotion() override;
    std::optional<std::vector<std::uint8_t>> jpegRepresentation(const Image& image, double compressionFactor) override;

    // The monitors, the primary one first.
    std::vector<X11Monitor> monitors();
    // The conversion between root coordinates and global points on this desktop now.
    X11GlobalSpace globalSpace();

    // Marks a window this process made as belonging to the application with this bundle
    // identifier, so the shareable content names its owner (and capture can leave it out).
    static void setOwningBundleIdentifier(_XDisplay* display, unsigned long window, const std::string& bundleIdentifier);
    // The name of the window property that carries it.
    static const char* bundleIdentifierProperty();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmo
