#include "interface/VelmoComposition.h"

#include "interface/CompanionPanelView.h"
#include "interface/MenuBarPanelManager.h"
#include "platform/media/MediaAuthorization.h"
#include "platform/media/PulseAudioEngine.h"
#include "voice/GlobalPushToTalkShortcutMonitor.h"
#include "voice/MirrinDictationManager.h"

namespace velmo {

ridezav::RideZavConfig makeVelmoAnalyticsConfig(const VelmoConfiguration& configuration) {
    return ridezav::RideZavConfig(velmoAnalyticsProjectKey, configuration.analyticsIngestionHost);
}

std::shared_ptr<MirrinDictationManaging> makeVelmoDictationManager(const VelmoConfiguration& configuration,
                                                                   std::shared_ptr<PulseAudioSourceMonitor> sources) {
    // The back-end was chosen with the configuration; its lines come with the configuration's.
    MirrinDictationManager::Dependencies dictation;
    dictation.transcriptionProvider =
        makeTranscriptionProvider(configuration.transcription, configuration.lookup(), MirrinTranscriptionProviderFactories::standard());
    dictation.audioEngine = std::make_shared<PulseAudioEngine>(std::string{}, std::move(sources));
    dictation.authorization = MediaAuthorization::current();
    return MirrinDictationManager::create(std::move(dictation));
}

CompanionAppDelegate::Dependencies makeVelmoDelegateDependencies(VelmoConfiguration configuration,
                                                                 std::shared_ptr<MirrinDictationManaging> dictation,
                                                                 std::shared_ptr<StatusBarDesktop> desktop,
                                                                 std::shared_ptr<OverlayWindowManaging> overlay) {
    CompanionAppDelegate::Dependencies dependencies;
    dependencies.companion.dictationManager = std::move(dictation);
    dependencies.companion.shortcutMonitor = std::make_shared<GlobalPushToTalkShortcutMonitor>();
    dependencies.companion.serviceClients = CompanionServiceClientFactory::standard(configuration.lookup());
    dependencies.companion.overlayWindowManager = overlay ? std::move(overlay) : std::make_shared<HeadlessOverlayWindowManager>();
    dependencies.makePanelManager =
        [desktop = std::move(desktop)](std::shared_ptr<CompanionManager> companion) -> std::shared_ptr<MenuBarPanelManaging> {
        if (desktop)
            return MenuBarPanelManager::create(
                std::move(companion), [](const std::shared_ptr<CompanionManager>& c) { return std::make_shared<CompanionPanelView>(c); });
        return HeadlessMenuBarPanelManager::create(std::move(companion));
    };
    dependencies.analytics = makeVelmoAnalyticsConfig(configuration);
    dependencies.configuration = std::move(configuration);
    return dependencies;
}

}  // namespace velmo
