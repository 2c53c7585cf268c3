#include "platform/desktop/Permissions.h"

#include "platform/desktop/X11ErrorTrap.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>

#include "platform/runtime/ProcessWide.h"

namespace velmo {

namespace {
ProcessWide<DesktopPermissions>& permissionSets() {
    static ProcessWide<DesktopPermissions> instance([] { return std::make_shared<X11DesktopPermissions>(); });
    return instance;
}

struct DisplayConnection {
    Display* display = XOpenDisplay(nullptr);
    ~DisplayConnection() {
        if (display) XCloseDisplay(display);
    }
};
}  // namespace

std::shared_ptr<DesktopPermissions> DesktopPermissions::current() { return permissionSets().current(); }

void DesktopPermissions::install(std::shared_ptr<DesktopPermissions> permissions) {
    permissionSets().exchange(std::move(permissions));
}

bool X11DesktopPermissions::isAccessibilityTrusted() {
    DisplayConnection c;
    if (!c.display) return false;
    int opcode, event, error;
    if (!XQueryExtension(c.display, "XInputExtension", &opcode, &event, &error)) return false;
    // The key tap listens for raw events, which need XInput 2.1.
    int major = 2, minor = 1;
    return XIQueryVersion(c.display, &major, &minor) == Success && (major > 2 || (major == 2 && minor >= 1));
}

bool X11DesktopPermissions::preflightScreenCaptureAccess() {
    DisplayConnection c;
    if (!c.display) return false;
    X11ErrorTrap trap(c.display);  // a refused read must not end the process
    XImage* image = XGetImage(c.display, DefaultRootWindow(c.display), 0, 0, 1, 1, AllPlanes, ZPixmap);
    if (trap.failed() || !image) {
        if (image) XDestroyImage(image);
        return false;
    }
    XDestroyImage(image);
    return true;
}

}  // namespace velmo
