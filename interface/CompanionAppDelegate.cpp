#include "interface/CompanionAppDelegate.h"

#include "RideZav/RideZavSDK.h"
#include "companion/CompanionAnalytics.h"
#include "interface/CompanionPanelView.h"
#include "interface/MenuBarPanelManager.h"
#include "platform/desktop/ApplicationNotifications.h"
#include "platform/desktop/LoginItem.h"
#include "platform/base/Logger.h"
#include "platform/foundation/InfoPlistString.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/runtime/MainLoop.h"
#include "platform/runtime/NotificationCenter.h"
#include "voice/GlobalPushToTalkShortcutMonitor.h"
#include "voice/MirrinDictationManager.h"

using namespace std::chrono_literals;

namespace velmo {

CompanionAppDelegate::CompanionAppDelegate()
    : CompanionAppDelegate(Dependencies{}) {}

namespace {
// The composition root of the companion object: what the caller left empty gets the real one.
CompanionManager::Dependencies withRealImplementations(CompanionManager::Dependencies dependencies,
                                                       const VelmoConfiguration& configuration) {
    if (!dependencies.dictationManager) {
        // The back-end was chosen with the configuration; its lines come with the configuration's.
        MirrinDictationManager::Dependencies dictation;
        dictation.transcriptionProvider = makeTranscriptionProvider(configuration.transcription, configuration.lookup(),
                                                                    MirrinTranscriptionProviderFactories::standard());
        dependencies.dictationManager = MirrinDictationManager::create(std::move(dictation));
    }
    if (!dependencies.shortcutMonitor) dependencies.shortcutMonitor = std::make_shared<GlobalPushToTalkShortcutMonitor>();
    if (!dependencies.serviceClients) dependencies.serviceClients = CompanionServiceClientFactory::standard(configuration.lookup());
    // Where no overlay can be shown the cursor keeps its state and draws nothing.
    if (!dependencies.overlayWindowManager) dependencies.overlayWindowManager = std::make_shared<HeadlessOverlayWindowManager>();
    return dependencies;
}
}  // namespace

CompanionAppDelegate::CompanionAppDelegate(Dependencies dependencies)
    : configuration_(dependencies.configuration ? std::move(*dependencies.configuration) : VelmoConfiguration::read()),
      companionManager_(CompanionManager::create(withRealImplementations(std::move(dependencies.companion), configuration_))),
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
    ridezav::RideZavSDK::shared().setup(ridezav::RideZavConfig(analyticsProjectKey, configuration_.analyticsIngestionHost));
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
