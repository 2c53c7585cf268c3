#pragma once

// What the menu-bar panel needs of the desktop: a status item with an icon and a click, a
// floating panel window, a global mouse-down monitor, the pointer, the screens and whether the
// application is active. The process has one current desktop: the installed one (tests), else
// none until the application installs the real one.
//
// All of it lives on the main thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Geometry.h"

namespace velmo {

// Premultiplied ARGB32 pixels, one 32-bit word each, rows top first.
struct StatusItemIcon {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> argb;
    bool operator==(const StatusItemIcon&) const = default;
};

// The template as a tray shows it: the glyph in `tintRGB` over a one-pixel outline in a
// contrasting colour, so it reads on light and dark panels alike. Premultiplied like the template.
StatusItemIcon tintedOutlinedIcon(const StatusItemIcon& templateIcon, std::uint32_t tintRGB);

class StatusItem {
public:
    virtual ~StatusItem() = default;
    // The icon drawn in black on clear; the item tints it for its panel (a template image).
    virtual void setTemplateIcon(StatusItemIcon icon) = 0;
    virtual void setToolTip(const std::string& text) = 0;
    // Called on the main loop for each click of the item.
    virtual void setAction(std::function<void()> action) = 0;
    // The frame of the item's button in global points; none while the desktop has not shown
    // where the item is.
    virtual std::optional<Rect> buttonWindowFrame() const = 0;
};

class PanelWindow {
public:
    virtual ~PanelWindow() = default;
    virtual void setFrame(const Rect& frame) = 0;  // global points
    virtual Rect frame() const = 0;
    // Premultiplied ARGB32 pixels of the whole window, `stride` bytes a row.
    virtual void display(const std::uint8_t* pixels, int width, int height, int stride) = 0;
    // The part of the window that is the panel itself (window points, origin at the top-left,
    // y down); the rest is room for its shadow, which presses go through and which a desktop
    // that cannot blend the window leaves out. The whole window until set.
    virtual void setContentRect(const Rect& rect) = 0;
    // Above other windows, without taking the focus.
    virtual void orderFront() = 0;
    virtual void orderOut() = 0;
    virtual bool isVisible() const = 0;
    // The pointer turns into a pointing hand over these rectangles (window points, origin at
    // the top-left, y down); clicks there still reach the window. Replaces the earlier ones.
    virtual void setPointingHandRegions(const std::vector<Rect>& regions) = 0;
    // Called on the main loop for each left click in the window (pressed and released there),
    // with the point of release in window points, origin at the top-left, y down.
    virtual void setClickHandler(std::function<void(Point)> handler) = 0;
};

namespace MouseEventMask {
constexpr unsigned leftMouseDown = 1u << 1;
constexpr unsigned rightMouseDown = 1u << 3;
}  // namespace MouseEventMask

class StatusBarDesktop {
public:
    using MonitorToken = std::uint64_t;  // 0: none

    virtual ~StatusBarDesktop() = default;
    // Null when the desktop has no status area to put an item in.
    virtual std::shared_ptr<StatusItem> makeStatusItem() = 0;
    virtual std::shared_ptr<PanelWindow> makePanel(const Rect& contentRect) = 0;
    // Mouse-downs of the masked buttons made in other applications' windows reach `handler` on
    // the main loop.
    virtual MonitorToken addGlobalMonitorForEvents(unsigned mask, std::function<void()> handler) = 0;
    // Mouse-downs of the masked buttons made in this application's own status item and panels.
    virtual MonitorToken addLocalMonitorForEvents(unsigned mask, std::function<void()> handler) = 0;
    // Either kind.
    virtual void removeMonitor(MonitorToken token) = 0;
    virtual Point mouseLocation() = 0;
    // The screens in global points, the primary one first.
    virtual std::vector<Rect> screenFrames() = 0;
    // The part of each screen (in the order of screenFrames) that the desktop's own panels and
    // docks leave to windows; the whole screen where the desktop does not say.
    virtual std::vector<Rect> workAreas() { return screenFrames(); }
    // Whether the application is the one the user works with now (for a desktop where its
    // windows never take the focus: a panel is open and the user's last click was on the
    // application's item or panel).
    virtual bool isApplicationActive() = 0;

    static std::shared_ptr<StatusBarDesktop> current();
    // Null: none.
    static void install(std::shared_ptr<StatusBarDesktop> desktop);
};

}  // namespace velmo
