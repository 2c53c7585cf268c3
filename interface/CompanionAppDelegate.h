#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "companion/CompanionManager.h"
#include "interface/MenuBarPanelManaging.h"
#include "interface/VelmoConfiguration.h"
#include "platform/desktop/StatusBarDesktop.h"

namespace velmo {

// The application delegate: owns the companion object and the panel manager for the life of
// the process, runs the launch sequence once and stops the companion object at termination.
class CompanionAppDelegate {
public:
    static constexpr const char* analyticsProjectKey = "phc_Rk7Tq2LmWz9VbN4xHs6PdJ3cYf8GtA5eKu1MnQo0Zivw";

    struct Dependencies {
        // The bundle configuration as main read it; empty: read here.
        std::optional<VelmoConfiguration> configuration;
        // Left empty: the real dictation manager, chord monitor and service clients, and an
        // overlay that draws nothing.
        CompanionManager::Dependencies companion;
        // Makes the panel manager around the companion object; empty: the real one on the current
        // status-bar desktop, the headless one where there is none.
        std::function<std::shared_ptr<MenuBarPanelManaging>(std::shared_ptr<CompanionManager>)> makePanelManager;
    };

    CompanionAppDelegate();
    explicit CompanionAppDelegate(Dependencies dependencies);
    ~CompanionAppDelegate();

    void applicationDidFinishLaunching();
    // Stops the companion object; later calls do nothing.
    void applicationWillTerminate();

    const std::shared_ptr<CompanionManager>& companionManager() const { return companionManager_; }
    const std::shared_ptr<MenuBarPanelManaging>& menuBarPanelManager() const { return menuBarPanelManager_; }
    const VelmoConfiguration& configuration() const { return configuration_; }

private:
    void registerLoginItem();
    // Posts the application's become-active and resign-active notifications as it changes.
    void setApplicationActive(bool active);

    VelmoConfiguration configuration_;
    std::shared_ptr<MenuBarPanelManaging> menuBarPanelManager_;
    std::shared_ptr<CompanionManager> companionManager_;
    std::function<std::shared_ptr<MenuBarPanelManaging>(std::shared_ptr<CompanionManager>)> makePanelManager_;
    bool launched_ = false;
    bool applicationActive_ = false;
    std::shared_ptr<StatusBarDesktop> focusDesktop_;  // watched for clicks in other windows
    StatusBarDesktop::MonitorToken clickElsewhereMonitor_ = 0;
    StatusBarDesktop::MonitorToken clickInOwnWindowMonitor_ = 0;  // the status item and the panel
    bool terminated_ = false;
};

}  // namespace velmo
