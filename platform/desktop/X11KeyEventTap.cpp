#include "platform/desktop/X11KeyEventTap.h"
#include "platform/desktop/X11ErrorTrap.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <array>

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
    X11KeyEventTap(std::shared_ptr<X11Connection> connection, KeyEventMask mask, KeyEventTapCallback callback, void* userInfo)
        : KeyEventTap(mask, callback, userInfo),
          connection_(std::move(connection)),
          display_(connection_->display()),
          xiOpcode_(connection_->xinputOpcode()) {
        connection_->selectRootRawEvent(XI_RawKeyPress, true);
        connection_->selectRootRawEvent(XI_RawKeyRelease, true);
    }
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
        if (!connection_ || !MainLoop::current()) return;
        std::weak_ptr<KeyEventTap> weak = weak_from_this();
        detachFromMainLoop();
        handler_ = connection_->addEventHandler([weak](XEvent& event) {
            // Held while handling: a callback may let go of the tap.
            if (auto tap = weak.lock()) static_cast<X11KeyEventTap&>(*tap).handle(event);
        });
        connection_->watchOnMainLoop();
        // Xlib may already hold events it read during set-up; the descriptor will not announce those.
        MainLoop::postToMain([connection = std::weak_ptr<X11Connection>(connection_)] {
            if (auto c = connection.lock()) c->readEvents();
        });
    }
    void detachFromMainLoop() override {
        if (connection_ && handler_) connection_->removeEventHandler(handler_);
        handler_ = 0;
    }
    void didInvalidate() override {
        if (!connection_) return;
        detachFromMainLoop();
        connection_->selectRootRawEvent(XI_RawKeyPress, false);
        connection_->selectRootRawEvent(XI_RawKeyRelease, false);
        connection_.reset();
        display_ = nullptr;
    }

private:
    void handle(XEvent& event) {
        // The callback may have invalidated the tap.
        if (!isValid() || !isInMainLoop() || !display_) return;
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            return;
        }
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != xiOpcode_ || !cookie->data) return;
        int type = cookie->evtype;
        int keycode = static_cast<XIRawEvent*>(cookie->data)->detail;
        if (type == XI_RawKeyPress || type == XI_RawKeyRelease) handleKey(keycode, type == XI_RawKeyPress);
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

    std::shared_ptr<X11Connection> connection_;
    Display* display_;
    int xiOpcode_;
    X11Connection::HandlerToken handler_ = 0;
    std::array<bool, 256> isDown_{};
    std::array<KeyEventFlags, 256> heldFlag_{};
    bool capsLocked_ = false;
    bool capsWasLockedAtPress_ = false;
};

}  // namespace

X11KeyEventTapFactory::X11KeyEventTapFactory(std::optional<std::string> displayName)
    : displayName_(std::move(displayName)) {}

X11KeyEventTapFactory::X11KeyEventTapFactory(std::shared_ptr<X11Connection> connection)
    : connection_(std::move(connection)) {}

std::shared_ptr<KeyEventTap> X11KeyEventTapFactory::createTap(KeyEventTapLocation, KeyEventTapPlacement, KeyEventTapOptions,
                                                              KeyEventMask mask, KeyEventTapCallback callback, void* userInfo) {
    // Without DISPLAY there is no X11 to ask; a Wayland compositor does not let one client see
    // the keys of the others.
    std::shared_ptr<X11Connection> connection = connection_ ? connection_ : X11Connection::open(displayName_);
    // From XInput 2.1 on, raw events reach the root window even while another client grabs.
    if (!connection || connection->xinputOpcode() < 0) return nullptr;
    auto tap = std::make_shared<X11KeyEventTap>(std::move(connection), mask, callback, userInfo);
    tap->readInitialState();
    return tap;
}

}  // namespace velmo
