#include "platform/desktop/X11WindowStack.h"

#include <X11/Xlib-xcb.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <cstdlib>

#include "platform/desktop/X11WindowTree.h"

namespace velmo {

namespace {

// The Xlib visual of a visual id, as XGetWindowAttributes finds it.
Visual* visualOf(Display* display, xcb_visualid_t id) {
    for (int s = 0; s < ScreenCount(display); ++s) {
        const Screen* screen = ScreenOfDisplay(display, s);
        for (int d = 0; d < screen->ndepths; ++d) {
            const Depth& depth = screen->depths[d];
            for (int v = 0; v < depth.nvisuals; ++v) {
                if (depth.visuals[v].visualid == id) return &depth.visuals[v];
            }
        }
    }
    return nullptr;
}

}  // namespace

std::vector<X11StackedWindow> x11TopLevelStack(Display* display, bool withShapes) {
    const std::vector<unsigned long> children = x11TopLevelWindows(display);
    xcb_connection_t* connection = XGetXCBConnection(display);
    struct Pending {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_shape_get_rectangles_cookie_t shape;
    };
    std::vector<Pending> pending(children.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
        const auto window = xcb_window_t(children[i]);
        pending[i].attributes = xcb_get_window_attributes(connection, window);
        pending[i].geometry = xcb_get_geometry(connection, window);
        if (withShapes) pending[i].shape = xcb_shape_get_rectangles(connection, window, XCB_SHAPE_SK_BOUNDING);
    }
    // Errors come with the replies, not to Xlib's handler; every reply is collected either way.
    std::vector<X11StackedWindow> windows;
    for (std::size_t i = 0; i < children.size(); ++i) {
        xcb_generic_error_t* error = nullptr;
        xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(connection, pending[i].attributes, &error);
        std::free(error);
        error = nullptr;
        xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(connection, pending[i].geometry, &error);
        std::free(error);
        error = nullptr;
        xcb_shape_get_rectangles_reply_t* shape =
            withShapes ? xcb_shape_get_rectangles_reply(connection, pending[i].shape, &error) : nullptr;
        std::free(error);
        if (attributes && geometry) {  // else gone meanwhile
            X11StackedWindow w;
            w.id = children[i];
            w.x = geometry->x;
            w.y = geometry->y;
            w.width = geometry->width;
            w.height = geometry->height;
            w.borderWidth = geometry->border_width;
            w.depth = geometry->depth;
            w.visual = visualOf(display, attributes->visual);
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
            windows.push_back(std::move(w));
        }
        std::free(attributes);
        std::free(geometry);
        std::free(shape);
    }
    return windows;
}

}  // namespace velmo
