#pragma once

#include "companion/CompanionManager.h"

namespace velmo::test {

// Writable access to the companion's published state, for tests and renderings that set a
// scene the companion would reach by itself only through a whole episode.
class CompanionManagerAccess {
public:
    explicit CompanionManagerAccess(CompanionManager& c)
        : voiceState(c.state_->voiceState),
          lastTranscript(c.state_->lastTranscript),
          currentAudioPowerLevel(c.state_->currentAudioPowerLevel),
          hasAccessibilityPermission(c.state_->hasAccessibilityPermission),
          hasScreenRecordingPermission(c.state_->hasScreenRecordingPermission),
          hasMicrophonePermission(c.state_->hasMicrophonePermission),
          hasScreenContentPermission(c.state_->hasScreenContentPermission),
          detectedElementScreenLocation(c.state_->detectedElementScreenLocation),
          detectedElementDisplayFrame(c.state_->detectedElementDisplayFrame),
          detectedElementBubbleText(c.state_->detectedElementBubbleText),
          onboardingVideoPlayer(c.state_->onboardingVideoPlayer),
          showOnboardingVideo(c.state_->showOnboardingVideo),
          onboardingVideoOpacity(c.state_->onboardingVideoOpacity),
          onboardingPromptText(c.state_->onboardingPromptText),
          onboardingPromptOpacity(c.state_->onboardingPromptOpacity),
          showOnboardingPrompt(c.state_->showOnboardingPrompt),
          isOverlayVisible(c.state_->isOverlayVisible),
          isRequestingScreenContent(c.state_->isRequestingScreenContent) {}

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
