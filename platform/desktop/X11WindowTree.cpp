#include "platform/desktop/X11WindowTree.h"

#include <X11/Xlib.h>

namespace velmo {

std::vector<unsigned long> x11ChildWindows(Display* display, unsigned long parent) {
    Window root = 0, up = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, parent, &root, &up, &children, &count)) return {};
    std::vector<unsigned long> windows(children, children + count);
    if (children) XFree(children);
    return windows;
}

std::vector<unsigned long> x11TopLevelWindows(Display* display) { return x11ChildWindows(display, DefaultRootWindow(display)); }

}  // namespace velmo
