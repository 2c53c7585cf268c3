#include "testing/X11WindowInspection.h"

#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <chrono>

#include "platform/desktop/X11ScreenLayer.h"
#include "platform/desktop/X11WindowTree.h"

namespace velmo::test {

std::vector<Window> rootChildren(Display* d) { return x11TopLevelWindows(d); }

WindowFacts factsOf(Display* d, Window w) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(d, w, &a)) return {};
    return {a.map_state == IsViewable, a.override_redirect != 0, a.depth, a.x, a.y, a.width, a.height};
}

std::string bundleIdentifierOf(Display* d, Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string value;
    const Atom property = XInternAtom(d, X11ScreenLayer::bundleIdentifierProperty(), False);
    if (XGetWindowProperty(d, w, property, 0, 256, False, AnyPropertyType, &type, &format, &count, &after, &data) == Success && data)
        value.assign(reinterpret_cast<char*>(data), count);
    if (data) XFree(data);
    return value;
}

std::uint32_t pixelOf(Display* d, Window w, int x, int y) {
    XImage* image = XGetImage(d, w, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0;
    std::uint32_t p = std::uint32_t(XGetPixel(image, 0, 0));
    XDestroyImage(image);
    return p | 0xff000000u;
}

std::vector<XRectangle> shapeOf(Display* d, Window w, int kind) {
    int count = 0, ordering = 0;
    XRectangle* rects = XShapeGetRectangles(d, w, kind, &count, &ordering);
    std::vector<XRectangle> out(rects, rects + count);
    if (rects) XFree(rects);
    return out;
}

bool shapeContains(const std::vector<XRectangle>& shape, int x, int y) {
    for (const auto& r : shape)
        if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) return true;
    return false;
}

bool nextEvent(Display* d, Window w, long mask, XEvent& event) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        XSync(d, False);
        if (XCheckWindowEvent(d, w, mask, &event)) return true;
    }
    return false;
}

}  // namespace velmo::test
