#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmo::test {

// What a test reads of other clients' windows on its private X server.

// The top-level windows, bottom first.
std::vector<Window> rootChildren(Display* d);
// A window's mapping, kind and geometry (relative to its parent); all empty for no window.
struct WindowFacts {
    bool viewable = false;
    bool overrideRedirect = false;
    int depth = 0;
    int x = 0, y = 0, width = 0, height = 0;
};
WindowFacts factsOf(Display* d, Window w);
// The bundle identifier the application puts on its own windows, or empty.
std::string bundleIdentifierOf(Display* d, Window w);
// The premultiplied ARGB word of one pixel of the window's own contents, alpha forced opaque
// (the server keeps alpha only where a compositor reads it).
std::uint32_t pixelOf(Display* d, Window w, int x, int y);
// The window's shape of `kind` (ShapeBounding or ShapeInput) as rectangles.
std::vector<XRectangle> shapeOf(Display* d, Window w, int kind);
bool shapeContains(const std::vector<XRectangle>& shape, int x, int y);
// Waits, one round trip at a time, up to 10 s for an event of `mask` on `w`.
bool nextEvent(Display* d, Window w, long mask, XEvent& event);

}  // namespace velmo::test
