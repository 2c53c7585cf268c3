#include "testing/X11TestDesktop.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/shape.h>

#include <cstdlib>

#include "platform/desktop/X11ScreenLayer.h"

namespace velmo::test {

X11TestDesktop::X11TestDesktop(const std::string& screen, const std::vector<std::string>& extraServerArguments)
    : server_(screen, extraServerArguments) {
    if (!server_.isRunning()) {
        failure_ = server_.failure();
        return;
    }
    display_ = XOpenDisplay(server_.display().c_str());
    if (!display_) failure_ = "cannot connect to " + server_.display();
}

X11TestDesktop::~X11TestDesktop() {
    if (display_) XCloseDisplay(display_);
}

bool X11TestDesktop::setMonitors(const std::vector<Monitor>& monitors) {
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const Monitor& m = monitors[i];
        // The first takes over Xvfb's one output (and with it the automatic monitor).
        std::string name = (i == 0 ? "'*" : "'") + m.name + "'";
        std::string geometry =
            std::to_string(m.width) + "/300x" + std::to_string(m.height) + "/200+" + std::to_string(m.x) + "+" + std::to_string(m.y);
        std::string command = "xrandr --setmonitor " + name + " " + geometry + (i == 0 ? " screen" : " none");
        if (server_.run(command + " >/dev/null 2>&1") != 0) return false;
    }
    return true;
}

void X11TestDesktop::fillRoot(int x, int y, int width, int height, std::uint32_t rgb) {
    Window root = DefaultRootWindow(display_);
    GC gc = XCreateGC(display_, root, 0, nullptr);
    XSetForeground(display_, gc, rgb);
    XFillRectangle(display_, root, gc, x, y, unsigned(width), unsigned(height));
    XFreeGC(display_, gc);
    sync();
}

void X11TestDesktop::putRootPixels(int x, int y, int width, int height, const std::vector<std::uint8_t>& pixels) {
    int screen = DefaultScreen(display_);
    XImage* image =
        XCreateImage(display_, DefaultVisual(display_, screen), unsigned(DefaultDepth(display_, screen)), ZPixmap, 0,
                     const_cast<char*>(reinterpret_cast<const char*>(pixels.data())), unsigned(width), unsigned(height), 32, width * 4);
    if (!image) return;
    Window root = DefaultRootWindow(display_);
    GC gc = XCreateGC(display_, root, 0, nullptr);
    XPutImage(display_, root, gc, image, 0, 0, x, y, unsigned(width), unsigned(height));
    XFreeGC(display_, gc);
    image->data = nullptr;  // the caller's
    XDestroyImage(image);
    sync();
}

void X11TestDesktop::fillQuadrants(const Monitor& m, const std::uint32_t (&rgb)[4]) {
    int hw = m.width / 2, hh = m.height / 2;
    fillRoot(m.x, m.y, hw, hh, rgb[0]);
    fillRoot(m.x + hw, m.y, m.width - hw, hh, rgb[1]);
    fillRoot(m.x, m.y + hh, hw, m.height - hh, rgb[2]);
    fillRoot(m.x + hw, m.y + hh, m.width - hw, m.height - hh, rgb[3]);
}

Window X11TestDesktop::createWindow(int x, int y, int width, int height, std::uint32_t rgb,
                                    const std::optional<std::string>& bundleIdentifier, const std::optional<std::string>& windowClass) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = rgb;
    int screen = DefaultScreen(display_);
    Window w =
        XCreateWindow(display_, DefaultRootWindow(display_), x, y, unsigned(width), unsigned(height), 0, DefaultDepth(display_, screen),
                      InputOutput, DefaultVisual(display_, screen), CWOverrideRedirect | CWBackPixel, &attributes);
    if (bundleIdentifier) {
        X11ScreenLayer::setOwningBundleIdentifier(display_, w, *bundleIdentifier);
    }
    if (windowClass) {
        XClassHint hint;
        std::string name = *windowClass;
        hint.res_name = name.data();
        hint.res_class = name.data();
        XSetClassHint(display_, w, &hint);
    }
    XMapRaised(display_, w);
    sync();
    return w;
}

Window X11TestDesktop::createTranslucentWindow(int x, int y, int width, int height, std::uint32_t argb) {
    XVisualInfo info;
    if (!XMatchVisualInfo(display_, DefaultScreen(display_), 32, TrueColor, &info)) return 0;
    Window root = DefaultRootWindow(display_);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = argb;
    attributes.border_pixel = 0;
    attributes.colormap = XCreateColormap(display_, root, info.visual, AllocNone);
    Window w = XCreateWindow(display_, root, x, y, unsigned(width), unsigned(height), 0, 32, InputOutput, info.visual,
                             CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWColormap, &attributes);
    XMapRaised(display_, w);
    sync();
    return w;
}

void X11TestDesktop::shapeWindow(Window window, std::vector<XRectangle> rectangles) {
    XShapeCombineRectangles(display_, window, ShapeBounding, 0, 0, rectangles.data(), int(rectangles.size()), ShapeSet, Unsorted);
    sync();
}

void X11TestDesktop::announceCompositingManager() {
    Window owner = XCreateSimpleWindow(display_, DefaultRootWindow(display_), -10, -10, 1, 1, 0, 0, 0);
    std::string selection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display_));
    XSetSelectionOwner(display_, XInternAtom(display_, selection.c_str(), False), owner, CurrentTime);
    sync();
}

void X11TestDesktop::fillWindow(Window window, int x, int y, int width, int height, std::uint32_t rgb) {
    GC gc = XCreateGC(display_, window, 0, nullptr);
    XSetForeground(display_, gc, rgb);
    XFillRectangle(display_, window, gc, x, y, unsigned(width), unsigned(height));
    XFreeGC(display_, gc);
    sync();
}

void X11TestDesktop::movePointer(int x, int y) {
    XTestFakeMotionEvent(display_, DefaultScreen(display_), x, y, CurrentTime);
    sync();
}

void X11TestDesktop::sync() { XSync(display_, False); }

}  // namespace velmo::test
