#pragma once

#include <memory>

#include "RideZav/RideZavConfig.h"
#include "interface/CompanionAppDelegate.h"
#include "interface/VelmoConfiguration.h"
#include "platform/desktop/StatusBarDesktop.h"
#include "platform/media/PulseAudioSourceMonitor.h"
#include "voice/MirrinDictationManaging.h"

namespace velmo {

inline constexpr const char* velmoAnalyticsProjectKey = "phc_Rk7Tq2LmWz9VbN4xHs6PdJ3cYf8GtA5eKu1MnQo0Zivw";

// The analytics facade's set-up: the project key and the configured ingestion host.
ridezav::RideZavConfig makeVelmoAnalyticsConfig(const VelmoConfiguration& configuration);

// The dictation manager on the default microphone (as `sources` sees it), with the back-end the
// configuration chose and the installed media authorization.
std::shared_ptr<MirrinDictationManaging> makeVelmoDictationManager(const VelmoConfiguration& configuration,
                                                                   std::shared_ptr<PulseAudioSourceMonitor> sources);

// The rest of what main hands the application delegate: the chord monitor, the service clients,
// the analytics set-up and the panel manager on `desktop` (headless without one). Without an
// overlay manager the cursor keeps its state and draws nothing.
CompanionAppDelegate::Dependencies makeVelmoDelegateDependencies(VelmoConfiguration configuration,
                                                                 std::shared_ptr<MirrinDictationManaging> dictation,
                                                                 std::shared_ptr<StatusBarDesktop> desktop,
                                                                 std::shared_ptr<OverlayWindowManaging> overlay);

}  // namespace velmo
