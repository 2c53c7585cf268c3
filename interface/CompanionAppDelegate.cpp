#include "interface/CompanionAppDelegate.h"

#include "RideZav/RideZavSDK.h"
#include "companion/CompanionAnalytics.h"
#include "interface/ConfigurationCheck.h"
#include "interface/CompanionPanelView.h"
#include "interface/MenuBarPanelManager.h"
#include "platform/desktop/ApplicationNotifications.h"
#include "platform/desktop/LoginItem.h"
#include "platform/foundation/InfoPlistString.h"
#include "platform/foundation/Logger.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/NotificationCenter.h"
#include "voice/GlobalPushToTalkShortcutMonitor.h"
#include "voice/MirrinDictationManager.h"

#ifndef VELMO_ANALYTICS_HOST
#define VELMO_ANALYTICS_HOST "https://ingest.ridezav.com"
#endif

namespace velmo {

const char* const CompanionAppDelegate::analyticsIngestionHost = VELMO_ANALYTICS_HOST;

CompanionAppDelegate::CompanionAppDelegate() : CompanionAppDelegate(Dependencies{}) {}

namespace {
// The composition root of the companion object: what the caller left empty gets the real one.
CompanionManager::Dependencies withRealImplementations(CompanionManager::Dependencies dependencies) {
    if (!dependencies.dictationManager) dependencies.dictationManager = MirrinDictationManager::create();
    if (!dependencies.shortcutMonitor) dependencies.shortcutMonitor = std::make_shared<GlobalPushToTalkShortcutMonitor>();
    // Where no overlay can be shown the cursor keeps its state and draws nothing.
    if (!dependencies.overlayWindowManager) dependencies.overlayWindowManager = std::make_shared<HeadlessOverlayWindowManager>();
    return dependencies;
}
}  // namespace

CompanionAppDelegate::CompanionAppDelegate(Dependencies dependencies)
    : companionManager_(CompanionManager::create(withRealImplementations(std::move(dependencies.companion)))),
      makePanelManager_(std::move(dependencies.makePanelManager)) {
    if (!makePanelManager_)
        makePanelManager_ = [](std::shared_ptr<CompanionManager> companion) -> std::shared_ptr<MenuBarPanelManaging> {
            if (StatusBarDesktop::current())
                return MenuBarPanelManager::create(std::move(companion), [](const std::shared_ptr<CompanionManager>& c) {
                    return std::make_shared<CompanionPanelView>(c);
                });
            return HeadlessMenuBarPanelManager::create(std::move(companion));
        };
}

void CompanionAppDelegate::applicationDidFinishLaunching() {
    if (launched_) return;
    launched_ = true;
    // Observers run on a later turn of the main loop, after the analytics set-up below.
    NotificationCenter::defaultCenter().post(ApplicationNotification::didFinishLaunching);
    logLine("🎯 Velmo: Starting...");
    logLine("🎯 Velmo: Version " + bundleShortVersionString());
    for (const std::string& line : configurationProblems()) logLine(line);
    UserDefaults::standard().registerDefaults({{"NSInitialToolTipDelay", PlistValue(0)}});
    ridezav::RideZavSDK::shared().setup(ridezav::RideZavConfig(analyticsProjectKey, analyticsIngestionHost));
    CompanionAnalytics::trackAppOpened();
    menuBarPanelManager_ = makePanelManager_(companionManager_);
    companionManager_->start();

    const bool onboarded = UserDefaults::standard().boolForKey("hasCompletedOnboarding");
    if (!(onboarded && companionManager_->allPermissionsGranted()) && menuBarPanelManager_) {
        MainLoop::postToMainAfter(0.3, [panel = menuBarPanelManager_] { panel->showPanel(); });
    }
    registerLoginItem();
}

void CompanionAppDelegate::applicationWillTerminate() {
    if (terminated_) return;
    terminated_ = true;
    companionManager_->stop();
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
