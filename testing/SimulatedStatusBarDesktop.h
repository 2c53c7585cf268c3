#pragma once

// A desktop in memory for the menu-bar panel's tests: a status item that the test clicks and
// places, panels that record their frames and visibility, global monitors the test fires with
// a mouse-down at a point, and an application that is active or not as the test says.

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/desktop/StatusBarDesktop.h"
#include "platform/desktop/Workspace.h"

namespace velmo::test {

class SimulatedStatusItem : public StatusItem {
public:
    void setTemplateIcon(StatusItemIcon value) override { icon = std::move(value); }
    void setToolTip(const std::string& text) override { toolTip = text; }
    void setAction(std::function<void()> value) override { action = std::move(value); }
    std::optional<Rect> buttonWindowFrame() const override { return frame; }

    // A click of the item, as the desktop delivers it.
    void click() {
        if (action) action();
    }

    StatusItemIcon icon;
    std::string toolTip;
    std::function<void()> action;
    std::optional<Rect> frame;
};

class SimulatedPanelWindow : public PanelWindow {
public:
    void setFrame(const Rect& value) override { frame_ = value; }
    Rect frame() const override { return frame_; }
    void display(const std::uint8_t*, int width, int height, int) override { displayedSizes.push_back({double(width), double(height)}); }
    void setContentRect(const Rect& rect) override { contentRect = rect; }
    void orderFront() override { visible_ = true; }
    void orderOut() override { visible_ = false; }
    bool isVisible() const override { return visible_; }
    void setPointingHandRegions(const std::vector<Rect>& regions) override { pointingHandRegions = regions; }
    void setClickHandler(std::function<void(Point)> handler) override { clickHandler = std::move(handler); }

    // A left click at a point of the window, as the desktop delivers it.
    void click(Point where) {
        if (clickHandler) clickHandler(where);
    }

    std::vector<Size> displayedSizes;
    std::function<void(Point)> clickHandler;
    std::vector<Rect> pointingHandRegions;
    std::optional<Rect> contentRect;

private:
    Rect frame_;
    bool visible_ = false;
};

class SimulatedStatusBarDesktop : public StatusBarDesktop {
public:
    std::shared_ptr<StatusItem> makeStatusItem() override {
        ++statusItemsMade;
        return hasStatusArea ? item : nullptr;
    }
    std::shared_ptr<PanelWindow> makePanel(const Rect& contentRect) override {
        auto panel = std::make_shared<SimulatedPanelWindow>();
        panel->setFrame(contentRect);
        panels.push_back(panel);
        return panel;
    }
    MonitorToken addGlobalMonitorForEvents(unsigned mask, std::function<void()> handler) override {
        monitors[++lastToken] = {mask, std::move(handler)};
        return lastToken;
    }
    MonitorToken addLocalMonitorForEvents(unsigned mask, std::function<void()> handler) override {
        localMonitors[++lastToken] = {mask, std::move(handler)};
        return lastToken;
    }
    void removeMonitor(MonitorToken token) override {
        monitors.erase(token);
        localMonitors.erase(token);
    }
    Point mouseLocation() override { return mouse; }
    std::vector<Rect> screenFrames() override { return screens; }
    std::vector<Rect> workAreas() override { return areas.empty() ? screens : areas; }
    bool isApplicationActive() override { return applicationActive; }

    // A mouse-down of the masked button at `where` in another application's window.
    void mouseDown(unsigned button, Point where) {
        mouse = where;
        auto copy = monitors;
        for (auto& [token, monitor] : copy)
            if (monitor.first & button) monitor.second();
    }

    // A mouse-down of the masked button at `where` in the status item or a panel.
    void mouseDownInOwnWindow(unsigned button, Point where) {
        mouse = where;
        auto copy = localMonitors;
        for (auto& [token, monitor] : copy)
            if (monitor.first & button) monitor.second();
    }

    std::shared_ptr<SimulatedStatusItem> item = std::make_shared<SimulatedStatusItem>();
    bool hasStatusArea = true;
    int statusItemsMade = 0;
    std::vector<std::shared_ptr<SimulatedPanelWindow>> panels;
    std::map<MonitorToken, std::pair<unsigned, std::function<void()>>> monitors;
    std::map<MonitorToken, std::pair<unsigned, std::function<void()>>> localMonitors;
    MonitorToken lastToken = 0;
    Point mouse;
    std::vector<Rect> screens{{0, 0, 1440, 900}};
    std::vector<Rect> areas;  // empty: the whole screens
    bool applicationActive = true;
};

// Records what the application asks the workspace for, in order: ("openURL", address) and
// ("activateFileViewerSelecting", path).
class SimulatedWorkspace : public Workspace {
public:
    bool openURL(const std::string& url) override {
        requests.emplace_back("openURL", url);
        return true;
    }
    void activateFileViewerSelecting(const std::vector<std::string>& paths) override {
        for (const auto& p : paths) requests.emplace_back("activateFileViewerSelecting", p);
    }
    std::vector<std::pair<std::string, std::string>> requests;
};

}  // namespace velmo::test
