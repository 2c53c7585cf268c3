#pragma once

#include <X11/Xlib.h>

#include <optional>
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

// Descriptions of windows asked for without waiting: each `ask` sends its three queries at
// once, and `collect` waits only for the answers not yet in, so any number of windows costs
// one round trip, or none when the answers came while the caller did other work. Errors come
// with the answers and never reach Xlib's handler. Answers not collected are discarded. On the
// thread that owns `display`.
class X11WindowQueries {
public:
    X11WindowQueries(Display* display, bool withShapes);
    ~X11WindowQueries();
    X11WindowQueries(const X11WindowQueries&) = delete;
    X11WindowQueries& operator=(const X11WindowQueries&) = delete;

    void ask(Window window);
    // One description per window asked for, in that order; nothing for a window that is gone.
    std::vector<std::optional<X11StackedWindow>> collect();

private:
    struct Pending;
    Display* display_;
    bool withShapes_;
    std::vector<Pending> pending_;
};

}  // namespace velmo
