#include "interface/CompanionAppDelegate.h"

#include <stdexcept>

#include "RideZav/RideZavSDK.h"
#include "companion/CompanionAnalytics.h"
#include "platform/desktop/ApplicationNotifications.h"
#include "platform/desktop/LoginItem.h"
#include "platform/base/Logger.h"
#include "platform/foundation/InfoPlistString.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/NotificationCenter.h"

using namespace std::chrono_literals;

namespace velmo {

namespace {
CompanionAppDelegate::Dependencies& checked(CompanionAppDelegate::Dependencies& dependencies) {
    if (!dependencies.configuration || !dependencies.analytics || !dependencies.makePanelManager)
        throw std::invalid_argument(
            "CompanionAppDelegate: the configuration, the analytics set-up and the panel manager's maker are needed");
    return dependencies;
}
}  // namespace

CompanionAppDelegate::CompanionAppDelegate(Dependencies dependencies)
    : configuration_(std::move(*checked(dependencies).configuration)),
      analytics_(std::move(*dependencies.analytics)),
      companionManager_(CompanionManager::create(std::move(dependencies.companion))),
      makePanelManager_(std::move(dependencies.makePanelManager)) {}

CompanionAppDelegate::~CompanionAppDelegate() {
    if (focusDesktop_ && clickElsewhereMonitor_) focusDesktop_->removeMonitor(clickElsewhereMonitor_);
    if (focusDesktop_ && clickInOwnWindowMonitor_) focusDesktop_->removeMonitor(clickInOwnWindowMonitor_);
}

void CompanionAppDelegate::setApplicationActive(bool active) {
    if (active == applicationActive_) return;
    applicationActive_ = active;
    NotificationCenter::defaultCenter().post(active ? ApplicationNotification::didBecomeActive : ApplicationNotification::didResignActive);
}

void CompanionAppDelegate::applicationDidFinishLaunching() {
    if (launched_) return;
    launched_ = true;
    // Observers run on a later turn of the main loop, after the analytics set-up below.
    NotificationCenter::defaultCenter().post(ApplicationNotification::didFinishLaunching);
    logLine("🎯 Velmo: Starting...");
    logLine("🎯 Velmo: Version " + bundleShortVersionString());
    configuration_.report();
    UserDefaults::standard().registerDefaults({{"NSInitialToolTipDelay", PlistValue(0)}});
    ridezav::RideZavSDK::shared().setup(analytics_);
    CompanionAnalytics::trackAppOpened();
    menuBarPanelManager_ = makePanelManager_(companionManager_);
    companionManager_->start();
    // Just launched, the application is the active one; a click in another application's window
    // hands that window the focus (the panel and the overlays never take it).
    setApplicationActive(true);
    if ((focusDesktop_ = StatusBarDesktop::current())) {
        const unsigned buttons = MouseEventMask::leftMouseDown | MouseEventMask::rightMouseDown;
        clickElsewhereMonitor_ = focusDesktop_->addGlobalMonitorForEvents(buttons, [this] { setApplicationActive(false); });
        // Coming back to the status item or the panel makes it the active application again.
        clickInOwnWindowMonitor_ = focusDesktop_->addLocalMonitorForEvents(buttons, [this] { setApplicationActive(true); });
    }

    const bool onboarded = UserDefaults::standard().boolForKey("hasCompletedOnboarding");
    if (!(onboarded && companionManager_->allPermissionsGranted()) && menuBarPanelManager_) {
        MainLoop::postToMainAfter(0.3s, [panel = menuBarPanelManager_] { panel->showPanel(); });
    }
    registerLoginItem();
}

void CompanionAppDelegate::applicationWillTerminate() {
    if (terminated_) return;
    terminated_ = true;
    companionManager_->stop();
    setApplicationActive(false);
}

void CompanionAppDelegate::registerLoginItem() {
    auto service = LoginItemService::mainApp();
    if (service->status() == LoginItemStatus::enabled) return;
    try {
        service->registerApp();
        logLine("🎯 Velmo: Registered as login item");
    } catch (...) {
        logLine("⚠️ Velmo: Failed to register as login item: " + describeException(std::current_exception()));
    }
}

}  // namespace velmo
