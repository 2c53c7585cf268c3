#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/desktop/OverlayWindowLayer.h"
#include "platform/desktop/StatusBarDesktop.h"

namespace velmo {

// The status-bar desktop on an X11 display, on one connection the main loop watches. The status
// item is an XEmbed tray icon docked with the tray manager of the screen
// (_NET_SYSTEM_TRAY_S<n>); there is none when no tray manager runs. Panels are 32-bit ARGB
// override-redirect windows: above the others, on every workspace, never focused, with button
// and motion events; presses outside their content rectangle (the room for a shadow) go to the
// windows beneath. While a mouse-down monitor is installed, XInput2 raw button events on the
// root are read (button 1 left, 3 right; the middle and scroll buttons do not count); presses on
// the tray icon or a panel go to the local monitors. The application is active while a panel is
// open and the user pressed on the icon or a panel since it opened (or _NET_ACTIVE_WINDOW is one
// of its windows). The icon asks trays for 22 x 22 pixels and has no frame while it lies on no
// monitor.
// Overlay windows are 32-bit override-redirect windows with an empty input region (every click
// goes to the windows beneath), raised again whenever another top-level window is mapped or
// restacked; frames go out as the damaged rectangles only, through shared memory where the
// server offers it. Without a compositing manager (no owner of _NET_WM_CM_S<n>) their shape is
// the union of what is drawn, so the transparent rest does not cover the desktop in black; a
// compositing manager that comes or goes while they or a panel are shown has them shaped anew
// and drawn again.
class X11StatusBarDesktop : public StatusBarDesktop, public OverlayWindowLayer, public std::enable_shared_from_this<X11StatusBarDesktop> {
public:
    // Null when the display cannot be opened or lacks XInput 2.
    static std::shared_ptr<X11StatusBarDesktop> open(const std::optional<std::string>& displayName = std::nullopt);
    ~X11StatusBarDesktop() override;

    std::shared_ptr<StatusItem> makeStatusItem() override;
    std::shared_ptr<PanelWindow> makePanel(const Rect& contentRect) override;
    MonitorToken addGlobalMonitorForEvents(unsigned mask, std::function<void()> handler) override;
    MonitorToken addLocalMonitorForEvents(unsigned mask, std::function<void()> handler) override;
    void removeMonitor(MonitorToken token) override;
    Point mouseLocation() override;
    std::vector<Rect> screenFrames() override;
    // _NET_WORKAREA on each monitor, else the monitor.
    std::vector<Rect> workAreas() override;
    bool isApplicationActive() override;
    // Needs hasArgbVisual().
    std::shared_ptr<OverlayPlatformWindow> makeOverlayWindow(const Rect& frame) override;
    // Whether the screen has a 32-bit TrueColor visual, which overlays need.
    bool hasArgbVisual() const;

    // The X window of a panel made here, or of the tray icon (tests).
    static unsigned long windowOf(const PanelWindow& panel);
    static unsigned long windowOf(const StatusItem& item);
    static unsigned long windowOf(const OverlayPlatformWindow& window);

    struct Impl;
    explicit X11StatusBarDesktop(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmo
