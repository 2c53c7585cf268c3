#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "RideZav/RideZavConfig.h"
#include "companion/CompanionManager.h"
#include "interface/MenuBarPanelManaging.h"
#include "interface/VelmoConfiguration.h"
#include "platform/desktop/StatusBarDesktop.h"

namespace velmo {

// The application delegate: owns the companion object and the panel manager for the life of
// the process, runs the launch sequence once and stops the companion object at termination.
class CompanionAppDelegate {
public:
    // Everything is required (main builds the real ones, tests simulated ones).
    struct Dependencies {
        // The bundle configuration as main read it, reported by the launch after its start line.
        std::optional<VelmoConfiguration> configuration;
        // The analytics facade's set-up, applied by the launch.
        std::optional<ridezav::RideZavConfig> analytics;
        CompanionManager::Dependencies companion;
        // Makes the panel manager around the companion object.
        std::function<std::shared_ptr<MenuBarPanelManaging>(std::shared_ptr<CompanionManager>)> makePanelManager;
    };

    // Throws std::invalid_argument when a dependency is missing.
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
    ridezav::RideZavConfig analytics_;
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
