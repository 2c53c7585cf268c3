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
// and motion events. The global mouse-down monitor reads XInput2 raw button events on the root
// (button 1 left, 3 right; the middle and scroll buttons do not count), leaving out presses on
// the tray icon. The application is active while _NET_ACTIVE_WINDOW is one of its windows.
// Overlay windows are 32-bit override-redirect windows with an empty input region (every click
// goes to the windows beneath), raised again whenever another top-level window is mapped or
// restacked; frames go out as the damaged rectangles only, through shared memory where the
// server offers it. Without a compositing manager (no owner of _NET_WM_CM_S<n> when shown)
// their shape is the union of what is drawn, so the transparent rest does not cover the
// desktop in black.
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
