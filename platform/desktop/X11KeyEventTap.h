#pragma once

#include <optional>
#include <string>

#include "platform/desktop/KeyEventTap.h"
#include "platform/desktop/X11Connection.h"

namespace velmo {

// Taps on the X11 display: XInput2 raw key events on the root window, which X sends whichever
// window has the focus. The taps share the connection they are given (else each opens its own),
// and read it on the main loop once their source is added. Left and right Control are control, left and right Alt are option, the Super keys
// command, Shift shift and Caps Lock the locked caps state. Modifier keys give flags-changed
// events, other keys key-down and key-up events. X keeps no watchdog over slow listeners, so an
// X11 tap is never disabled by the system.
class X11KeyEventTapFactory : public KeyEventTapFactory {
public:
    // Without a display name the session's DISPLAY is used. A Wayland session that offers no
    // X11 display (WAYLAND_DISPLAY without DISPLAY) cannot be observed: every tap fails.
    explicit X11KeyEventTapFactory(std::optional<std::string> displayName = std::nullopt);
    // Taps on this connection (the application's main-thread one).
    explicit X11KeyEventTapFactory(std::shared_ptr<X11Connection> connection);

    std::shared_ptr<KeyEventTap> createTap(KeyEventTapLocation location, KeyEventTapPlacement placement, KeyEventTapOptions options,
                                           KeyEventMask mask, KeyEventTapCallback callback, void* userInfo) override;

private:
    std::optional<std::string> displayName_;
    std::shared_ptr<X11Connection> connection_;
};

}  // namespace velmo
