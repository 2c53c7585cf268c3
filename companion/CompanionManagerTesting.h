#pragma once

#include "companion/CompanionManager.h"

namespace velmo::test {

// Writable access to the companion's published state, for tests and renderings that set a
// scene the companion would reach by itself only through a whole episode.
class CompanionManagerAccess {
public:
    explicit CompanionManagerAccess(CompanionManager& c)
        : voiceState(c.voiceState_),
          lastTranscript(c.lastTranscript_),
          currentAudioPowerLevel(c.currentAudioPowerLevel_),
          hasAccessibilityPermission(c.hasAccessibilityPermission_),
          hasScreenRecordingPermission(c.hasScreenRecordingPermission_),
          hasMicrophonePermission(c.hasMicrophonePermission_),
          hasScreenContentPermission(c.hasScreenContentPermission_),
          detectedElementScreenLocation(c.detectedElementScreenLocation_),
          detectedElementDisplayFrame(c.detectedElementDisplayFrame_),
          detectedElementBubbleText(c.detectedElementBubbleText_),
          onboardingVideoPlayer(c.onboardingVideoPlayer_),
          showOnboardingVideo(c.showOnboardingVideo_),
          onboardingVideoOpacity(c.onboardingVideoOpacity_),
          onboardingPromptText(c.onboardingPromptText_),
          onboardingPromptOpacity(c.onboardingPromptOpacity_),
          showOnboardingPrompt(c.showOnboardingPrompt_),
          isOverlayVisible(c.isOverlayVisible_),
          isRequestingScreenContent(c.isRequestingScreenContent_) {}

    Published<CompanionVoiceState>& voiceState;
    Published<std::optional<std::string>>& lastTranscript;
    Published<double>& currentAudioPowerLevel;
    Published<bool>& hasAccessibilityPermission;
    Published<bool>& hasScreenRecordingPermission;
    Published<bool>& hasMicrophonePermission;
    Published<bool>& hasScreenContentPermission;
    Published<std::optional<Point>>& detectedElementScreenLocation;
    Published<std::optional<Rect>>& detectedElementDisplayFrame;
    Published<std::optional<std::string>>& detectedElementBubbleText;
    Published<std::shared_ptr<VideoPlayer>>& onboardingVideoPlayer;
    Published<bool>& showOnboardingVideo;
    Published<double>& onboardingVideoOpacity;
    Published<std::string>& onboardingPromptText;
    Published<double>& onboardingPromptOpacity;
    Published<bool>& showOnboardingPrompt;
    Published<bool>& isOverlayVisible;
    Published<bool>& isRequestingScreenContent;
};

inline CompanionManagerAccess writable(CompanionManager& companion) { return CompanionManagerAccess(companion); }

}  // namespace velmo::test
