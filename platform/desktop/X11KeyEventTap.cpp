#include "platform/desktop/X11KeyEventTap.h"
#include "platform/desktop/X11ErrorTrap.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <array>
#include <cstdlib>

#include "platform/runtime/MainLoop.h"

namespace velmo {

namespace {

// The flag a key stands for, or 0 for a key that is no modifier.
KeyEventFlags modifierOfKeysym(KeySym sym) {
    switch (sym) {
        case XK_Control_L:
        case XK_Control_R:
            return KeyEventFlag::control;
        case XK_Alt_L:
        case XK_Alt_R:
            return KeyEventFlag::alternate;
        case XK_Shift_L:
        case XK_Shift_R:
            return KeyEventFlag::shift;
        case XK_Super_L:
        case XK_Super_R:
            return KeyEventFlag::command;
        case XK_Caps_Lock:
            return KeyEventFlag::alphaShift;
        default:
            return 0;
    }
}

class X11KeyEventTap final : public KeyEventTap {
public:
    X11KeyEventTap(Display* display, int xiOpcode, KeyEventMask mask, KeyEventTapCallback callback, void* userInfo)
        : KeyEventTap(mask, callback, userInfo),
          display_(display),
          xiOpcode_(xiOpcode) {}
    ~X11KeyEventTap() override { invalidate(); }

    // Modifiers already down (or locked) when the tap starts count from the first event on.
    void readInitialState() {
        char keys[32] = {};
        XQueryKeymap(display_, keys);
        for (int keycode = 8; keycode < 256; ++keycode) {
            if (!(keys[keycode / 8] & (1 << (keycode % 8)))) continue;
            KeyEventFlags role = modifierOfKeysym(XkbKeycodeToKeysym(display_, KeyCode(keycode), 0, 0));
            if (role == 0 || role == KeyEventFlag::alphaShift) continue;
            isDown_[keycode] = true;
            heldFlag_[keycode] = role;
        }
        XkbStateRec state{};
        if (XkbGetState(display_, XkbUseCoreKbd, &state) == Success) capsLocked_ = (state.locked_mods & LockMask) != 0;
    }

protected:
    void attachToMainLoop() override {
        auto loop = MainLoop::current();
        if (!loop) return;
        std::weak_ptr<KeyEventTap> weak = weak_from_this();
        auto read = [weak] {
            // Held while reading: a callback may let go of the tap.
            if (auto tap = weak.lock()) static_cast<X11KeyEventTap&>(*tap).readEvents();
        };
        watch_ = loop->watchFd(ConnectionNumber(display_), FdReadable, [read](unsigned) { read(); });
        // Xlib may already hold events it read during set-up; the descriptor will not announce those.
        loop->post(read);
    }
    void detachFromMainLoop() override { watch_.cancel(); }
    void didInvalidate() override {
        watch_.cancel();
        closeWatchedDisplay(display_);
        display_ = nullptr;
    }

private:
    void readEvents() {
        // A dead connection stays readable for ever; the loss handler ends the process.
        if (display_ && x11ServerIsGone(display_)) {
            watch_.cancel();
            return;
        }
        // Each step re-checks: the callback may have invalidated the tap (closing the display).
        while (isValid() && isInMainLoop() && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
                continue;
            }
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type != GenericEvent || cookie->extension != xiOpcode_) continue;
            if (!XGetEventData(display_, cookie)) continue;
            int type = cookie->evtype;
            int keycode = static_cast<XIRawEvent*>(cookie->data)->detail;
            XFreeEventData(display_, cookie);
            if (type == XI_RawKeyPress || type == XI_RawKeyRelease) handleKey(keycode, type == XI_RawKeyPress);
        }
    }

    void handleKey(int keycode, bool pressed) {
        if (keycode < 0 || keycode > 255) return;
        KeyEventFlags role = modifierOfKeysym(XkbKeycodeToKeysym(display_, KeyCode(keycode), 0, 0));
        if (role == 0) {
            dispatch(KeyEvent{pressed ? KeyEventType::keyDown : KeyEventType::keyUp, flags()});
            return;
        }
        if (pressed) {
            if (isDown_[keycode]) return;  // auto-repeat of a held modifier changes nothing
            isDown_[keycode] = true;
            if (role == KeyEventFlag::alphaShift) {
                // Caps Lock locks on its press and unlocks on the release that follows a press
                // made while locked.
                capsWasLockedAtPress_ = capsLocked_;
                capsLocked_ = true;
            } else {
                heldFlag_[keycode] = role;
            }
        } else {
            isDown_[keycode] = false;
            heldFlag_[keycode] = 0;
            if (role == KeyEventFlag::alphaShift && capsWasLockedAtPress_) capsLocked_ = false;
        }
        dispatch(KeyEvent{KeyEventType::flagsChanged, flags()});
    }

    KeyEventFlags flags() const {
        KeyEventFlags result = capsLocked_ ? KeyEventFlag::alphaShift : 0;
        for (KeyEventFlags held : heldFlag_) result |= held;
        return result;
    }

    Display* display_;
    int xiOpcode_;
    FdWatch watch_;
    std::array<bool, 256> isDown_{};
    std::array<KeyEventFlags, 256> heldFlag_{};
    bool capsLocked_ = false;
    bool capsWasLockedAtPress_ = false;
};

}  // namespace

X11KeyEventTapFactory::X11KeyEventTapFactory(std::optional<std::string> displayName)
    : displayName_(std::move(displayName)) {}

std::shared_ptr<KeyEventTap> X11KeyEventTapFactory::createTap(KeyEventTapLocation, KeyEventTapPlacement, KeyEventTapOptions,
                                                              KeyEventMask mask, KeyEventTapCallback callback, void* userInfo) {
    std::string name;
    if (displayName_) {
        name = *displayName_;
    } else {
        // Without DISPLAY there is no X11 to ask; a Wayland compositor does not let one client
        // see the keys of the others.
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) return nullptr;
        name = display;
    }
    Display* display = XOpenDisplay(name.c_str());
    if (!display) return nullptr;
    watchX11ServerLoss(display);

    int opcode = 0, firstEvent = 0, firstError = 0;
    int major = 2, minor = 1;  // from 2.1 on, raw events reach the root window even while another client grabs
    if (!XQueryExtension(display, "XInputExtension", &opcode, &firstEvent, &firstError) ||
        XIQueryVersion(display, &major, &minor) != Success || major < 2 || (major == 2 && minor < 1)) {
        closeWatchedDisplay(display);
        return nullptr;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XIEventMask selection{};
    selection.deviceid = XIAllMasterDevices;
    selection.mask_len = sizeof bits;
    selection.mask = bits;
    XISelectEvents(display, DefaultRootWindow(display), &selection, 1);
    XSync(display, False);  // selected before the tap is handed out, so no later key is missed

    auto tap = std::make_shared<X11KeyEventTap>(display, opcode, mask, callback, userInfo);
    tap->readInitialState();
    return tap;
}

}  // namespace velmo
