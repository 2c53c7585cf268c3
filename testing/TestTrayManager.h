#pragma once

// The least of a system tray for X11 tests, on a connection of its own: owns the screen's tray
// selection, announces itself on the root as tray managers do, and on each dock request takes
// the icon into its bar (kept in its save-set, so the icon outlives the tray, unless told not to:
// then the icon's window goes with the tray).

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <array>
#include <optional>
#include <string>

namespace velmo::test {

class TestTrayManager {
public:
    // `foreground`, when given, is announced as the tray's icon colours (red, green, blue).
    TestTrayManager(const std::string& displayName, int x, int y, int width, int height,
                    std::optional<std::array<unsigned long, 3>> foreground = std::nullopt)
        : display_(XOpenDisplay(displayName.c_str())) {
        if (!display_) return;
        ::Window root = DefaultRootWindow(display_);
        bar_ = XCreateSimpleWindow(display_, root, x, y, unsigned(width), unsigned(height), 0, 0, 0x303030);
        if (foreground) {
            unsigned long colors[12] = {(*foreground)[0], (*foreground)[1], (*foreground)[2]};
            XChangeProperty(display_, bar_, XInternAtom(display_, "_NET_SYSTEM_TRAY_COLORS", False), XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(colors), 12);
        }
        XMapWindow(display_, bar_);
        Atom selection = XInternAtom(display_, "_NET_SYSTEM_TRAY_S0", False);
        XSetSelectionOwner(display_, selection, bar_, CurrentTime);
        XEvent announce{};
        announce.xclient.type = ClientMessage;
        announce.xclient.window = root;
        announce.xclient.message_type = XInternAtom(display_, "MANAGER", False);
        announce.xclient.format = 32;
        announce.xclient.data.l[0] = CurrentTime;
        announce.xclient.data.l[1] = long(selection);
        announce.xclient.data.l[2] = long(bar_);
        XSendEvent(display_, root, False, StructureNotifyMask, &announce);
        XSync(display_, False);
    }
    ~TestTrayManager() {
        if (display_) XCloseDisplay(display_);
    }
    TestTrayManager(const TestTrayManager&) = delete;
    TestTrayManager& operator=(const TestTrayManager&) = delete;

    bool isOpen() const { return display_ != nullptr; }
    void setKeepsIconsInSaveSet(bool keeps) { keepsIconsInSaveSet_ = keeps; }
    // Handles what has arrived; true once an icon is docked.
    bool pump() {
        while (display_ && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == ClientMessage && event.xclient.message_type == XInternAtom(display_, "_NET_SYSTEM_TRAY_OPCODE", False) &&
                event.xclient.data.l[1] == 0) {
                icon_ = ::Window(event.xclient.data.l[2]);
                if (keepsIconsInSaveSet_) XAddToSaveSet(display_, icon_);
                XReparentWindow(display_, icon_, bar_, 0, 0);
                XResizeWindow(display_, icon_, 24, 24);
                XMapWindow(display_, icon_);
                XSync(display_, False);
            }
        }
        return icon_ != 0;
    }
    ::Window icon() const { return icon_; }

private:
    Display* display_;
    ::Window bar_ = 0;
    ::Window icon_ = 0;
    bool keepsIconsInSaveSet_ = true;
};

}  // namespace velmo::test
