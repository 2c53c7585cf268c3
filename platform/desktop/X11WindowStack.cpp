#include "platform/desktop/X11WindowStack.h"

#include <X11/Xlib-xcb.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace velmo {

namespace {

// The Xlib visual of a visual id, as XGetWindowAttributes finds it; null for an unknown id.
Visual* x11VisualOf(Display* display, unsigned long visualID) {
    for (int s = 0; s < ScreenCount(display); ++s) {
        const Screen* screen = ScreenOfDisplay(display, s);
        for (int d = 0; d < screen->ndepths; ++d) {
            const Depth& depth = screen->depths[d];
            for (int v = 0; v < depth.nvisuals; ++v) {
                if (depth.visuals[v].visualid == visualID) return &depth.visuals[v];
            }
        }
    }
    return nullptr;
}

}  // namespace

struct X11WindowQueries::Pending {
    Window window = 0;
    xcb_get_window_attributes_cookie_t attributes{};
    xcb_get_geometry_cookie_t geometry{};
    xcb_shape_get_rectangles_cookie_t shape{};
};

X11WindowQueries::X11WindowQueries(Display* display, bool withShapes)
    : display_(display),
      withShapes_(withShapes) {}

X11WindowQueries::~X11WindowQueries() {
    xcb_connection_t* connection = XGetXCBConnection(display_);
    for (const Pending& p : pending_) {
        xcb_discard_reply(connection, p.attributes.sequence);
        xcb_discard_reply(connection, p.geometry.sequence);
        if (withShapes_) xcb_discard_reply(connection, p.shape.sequence);
    }
}

void X11WindowQueries::ask(Window window) {
    xcb_connection_t* connection = XGetXCBConnection(display_);
    Pending p;
    p.window = window;
    p.attributes = xcb_get_window_attributes(connection, xcb_window_t(window));
    p.geometry = xcb_get_geometry(connection, xcb_window_t(window));
    if (withShapes_) p.shape = xcb_shape_get_rectangles(connection, xcb_window_t(window), XCB_SHAPE_SK_BOUNDING);
    pending_.push_back(p);
}

std::vector<std::optional<X11StackedWindow>> X11WindowQueries::collect() {
    xcb_connection_t* connection = XGetXCBConnection(display_);
    xcb_flush(connection);
    std::vector<std::optional<X11StackedWindow>> windows;
    windows.reserve(pending_.size());
    for (const Pending& p : pending_) {
        xcb_generic_error_t* error = nullptr;
        xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(connection, p.attributes, &error);
        std::free(error);
        error = nullptr;
        xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(connection, p.geometry, &error);
        std::free(error);
        error = nullptr;
        xcb_shape_get_rectangles_reply_t* shape = withShapes_ ? xcb_shape_get_rectangles_reply(connection, p.shape, &error) : nullptr;
        std::free(error);
        std::optional<X11StackedWindow> described;
        if (attributes && geometry) {  // else gone meanwhile
            X11StackedWindow& w = described.emplace();
            w.id = p.window;
            w.x = geometry->x;
            w.y = geometry->y;
            w.width = geometry->width;
            w.height = geometry->height;
            w.borderWidth = geometry->border_width;
            w.depth = geometry->depth;
            w.visual = x11VisualOf(display_, attributes->visual);
            w.mapState = attributes->map_state;
            w.inputOnly = attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY;
            const int originX = w.x + w.borderWidth, originY = w.y + w.borderWidth;
            if (shape) {
                const xcb_rectangle_t* list = xcb_shape_get_rectangles_rectangles(shape);
                const int count = xcb_shape_get_rectangles_rectangles_length(shape);
                for (int r = 0; r < count; ++r)
                    w.shape.push_back({originX + list[r].x, originY + list[r].y, list[r].width, list[r].height});
            } else {
                w.shape.push_back({w.x, w.y, w.width + 2 * w.borderWidth, w.height + 2 * w.borderWidth});
            }
        }
        windows.push_back(std::move(described));
        std::free(attributes);
        std::free(geometry);
        std::free(shape);
    }
    pending_.clear();
    return windows;
}

}  // namespace velmo
