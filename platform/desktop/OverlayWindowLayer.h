#pragma once

// What the cursor overlay needs of the desktop: transparent, click-through windows above
// everything, one per screen, that show premultiplied ARGB frames. The process has one current
// layer: the installed one (the application's X11 layer, or a simulated one in tests), else none.
//
// All of it lives on the main thread.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/desktop/Geometry.h"

namespace velmo {

// Whole pixels of a window, origin top-left, y down.
struct WindowPixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const WindowPixelRect&) const = default;
};

// The parts of a premultiplied BGRA frame that are mostly opaque (alpha of at least 128), as
// rectangles, looked for only inside `drawn`. Without a compositing manager the server ignores
// alpha, so this is what an overlay window may show: soft shadows and glows would otherwise come
// out as black boxes. Rows with the same spans are joined into one taller rectangle.
std::vector<WindowPixelRect> opaqueRegion(const std::uint8_t* pixels, int width, int height, int stride,
                                          const std::vector<WindowPixelRect>& drawn);

class OverlayPlatformWindow {
public:
    virtual ~OverlayPlatformWindow() = default;
    // Premultiplied ARGB32 pixels of the whole window, `stride` bytes a row; only `damaged`
    // changed since the last frame. `drawn` covers everything that is not transparent, for a
    // desktop that cannot blend the window over what lies beneath.
    virtual void present(const std::uint8_t* pixels, int width, int height, int stride, const std::vector<WindowPixelRect>& damaged,
                         const std::vector<WindowPixelRect>& drawn) = 0;
    // Above other windows, whether or not the application is active; never focused.
    virtual void orderFrontRegardless() = 0;
    virtual void orderOut() = 0;
    virtual bool isVisible() const = 0;
    virtual Rect frame() const = 0;  // global points
};

class OverlayWindowLayer {
public:
    virtual ~OverlayWindowLayer() = default;
    // A hidden window covering `frame` (global points).
    virtual std::shared_ptr<OverlayPlatformWindow> makeOverlayWindow(const Rect& frame) = 0;

    static std::shared_ptr<OverlayWindowLayer> current();
    // Null: none.
    static void install(std::shared_ptr<OverlayWindowLayer> layer);
};

}  // namespace velmo
