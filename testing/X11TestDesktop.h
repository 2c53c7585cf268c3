#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "testing/XvfbServer.h"

namespace velmo::test {

// A private X desktop for screen tests: its own Xvfb, XRandR monitors set as the test asks,
// a connection to draw with, plain windows of known colours, and the pointer moved by XTest.
class X11TestDesktop {
public:
    struct Monitor {
        std::string name;
        int x = 0, y = 0, width = 0, height = 0;  // root coordinates
    };

    // `screen` is the X screen geometry, for example "2600x1200x24".
    explicit X11TestDesktop(const std::string& screen, const std::vector<std::string>& extraServerArguments = {});
    ~X11TestDesktop();
    X11TestDesktop(const X11TestDesktop&) = delete;
    X11TestDesktop& operator=(const X11TestDesktop&) = delete;

    bool isReady() const { return display_ != nullptr; }
    const std::string& failure() const { return failure_; }
    const std::string& displayName() const { return server_.display(); }
    pid_t serverPid() const { return server_.pid(); }
    Display* connection() const { return display_; }

    // Replaces the monitors; the first one is primary. False when xrandr refuses.
    bool setMonitors(const std::vector<Monitor>& monitors);
    // Paints straight onto the root window (0xRRGGBB).
    void fillRoot(int x, int y, int width, int height, std::uint32_t rgb);
    // Puts 4-byte blue-green-red-x pixels (width * 4 bytes a row) onto the root window.
    void putRootPixels(int x, int y, int width, int height, const std::vector<std::uint8_t>& pixels);
    // Paints a monitor's four quadrants onto the root: top-left, top-right, bottom-left, bottom-right.
    void fillQuadrants(const Monitor& monitor, const std::uint32_t (&rgb)[4]);
    // A mapped window filled with one colour, stacked above the earlier ones. It carries the
    // bundle identifier property and an X11 class when they are given.
    Window createWindow(int x, int y, int width, int height, std::uint32_t rgb,
                        const std::optional<std::string>& bundleIdentifier = std::nullopt,
                        const std::optional<std::string>& windowClass = std::nullopt);
    // A mapped 32-bit window whose background is this premultiplied 0xAARRGGBB colour.
    Window createTranslucentWindow(int x, int y, int width, int height, std::uint32_t argb);
    // Cuts a window down to these rectangles (window coordinates) with the Shape extension.
    void shapeWindow(Window window, std::vector<XRectangle> rectangles);
    // Claims the compositing-manager selection of the screen, as a compositing manager does.
    void announceCompositingManager();
    // Paints part of a window (window coordinates).
    void fillWindow(Window window, int x, int y, int width, int height, std::uint32_t rgb);
    // Moves the pointer with XTest to a root position.
    void movePointer(int x, int y);
    // Waits until the server has done everything asked so far.
    void sync();

private:
    XvfbServer server_;
    Display* display_ = nullptr;
    std::string failure_;
};

}  // namespace velmo::test
