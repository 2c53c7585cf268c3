#include "testing/XTestKeyboard.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace velmo::test {

XTestKeyboard::XTestKeyboard(const std::string& display) {
    display_ = XOpenDisplay(display.c_str());
    int eventBase, errorBase, major, minor;
    if (display_ && !XTestQueryExtension(display_, &eventBase, &errorBase, &major, &minor)) {
        XCloseDisplay(display_);
        display_ = nullptr;
    }
}

XTestKeyboard::~XTestKeyboard() {
    if (display_) XCloseDisplay(display_);
}

bool XTestKeyboard::send(const std::string& keysymName, bool down) {
    if (!display_) return false;
    KeySym sym = XStringToKeysym(keysymName.c_str());
    if (sym == NoSymbol) return false;
    KeyCode code = XKeysymToKeycode(display_, sym);
    if (code == 0) return false;
    if (!XTestFakeKeyEvent(display_, code, down ? True : False, CurrentTime)) return false;
    XSync(display_, False);
    return true;
}

}  // namespace velmo::test
