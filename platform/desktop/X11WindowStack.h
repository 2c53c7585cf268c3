#pragma once

#include <X11/Xlib.h>

#include <vector>

#include "platform/desktop/X11GlobalSpace.h"

namespace velmo {

// A top-level window as XGetWindowAttributes and XShapeGetRectangles describe it.
struct X11StackedWindow {
    Window id = 0;
    int x = 0, y = 0, width = 0, height = 0, borderWidth = 0;  // root coordinates, outside corner
    int depth = 0;
    Visual* visual = nullptr;
    int mapState = IsUnmapped;
    bool inputOnly = false;
    // The bounding shape in root coordinates, border included: the outer rectangle without the
    // Shape extension.
    std::vector<X11Rect> shape;
};

// The top-level windows bottom first, with their attributes and bounding shapes; windows gone
// meanwhile are left out. Every query is sent before the first reply is awaited, so the stack
// costs two round trips however many windows there are. `withShapes`: the server has the Shape
// extension. On the thread that owns `display`.
std::vector<X11StackedWindow> x11TopLevelStack(Display* display, bool withShapes);

}  // namespace velmo
