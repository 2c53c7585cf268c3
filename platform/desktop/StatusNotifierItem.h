#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/StatusBarDesktop.h"

namespace velmo {

// A StatusNotifierItem on the D-Bus session bus, which current desktops show in their status
// area: it registers with org.kde.StatusNotifierWatcher (again whenever the watcher restarts),
// serves its icon as IconPixmap (the template tinted light, for a dark panel), its tool tip,
// and takes Activate and SecondaryActivate as the click. Its button frame is a small square
// around the last activation point. The bus is watched by the main loop.
struct StatusNotifierItemOptions {
    std::string busAddress;  // empty: the session bus
    // Converts an activation point (root pixels of the X screen) into global points.
    std::function<Point(int x, int y)> globalPointFromScreen;
    // Called on each activation, before the click goes to the action.
    std::function<void()> activated;
};

// Null when there is no session bus or no watcher owns its name.
std::shared_ptr<StatusItem> makeStatusNotifierItem(StatusNotifierItemOptions options);

// The button frame (global points) of an activation at root pixel (x, y) as a caller on the bus
// gave it: clamped to what an X screen can hold before anything is computed from it.
Rect statusNotifierButtonFrame(int x, int y, const std::function<Point(int x, int y)>& globalPointFromScreen);

// The IconPixmap bytes of an icon: straight ARGB32 in network order, the template tinted with
// this colour (0xRRGGBB) and outlined (tintedOutlinedIcon).
std::vector<std::uint8_t> statusNotifierPixmapBytes(const StatusItemIcon& icon, std::uint32_t rgb);

}  // namespace velmo
