#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/desktop/Geometry.h"
#include "platform/media/VideoPlayer.h"
#include "platform/runtime/Published.h"

namespace velmo {

enum class CompanionVoiceState : std::uint8_t { idle, listening, processing, responding };
const char* caseName(CompanionVoiceState state);

// Everything the companion publishes for the interface, in one place: the companion reads it
// out, and each of its parts writes the fields it is responsible for. Shared by the parts so
// that work still running (a reply, a delayed onboarding step) keeps what it writes alive.
struct CompanionPublishedState {
    CompanionPublishedState() = default;
    CompanionPublishedState(const CompanionPublishedState&) = delete;
    CompanionPublishedState& operator=(const CompanionPublishedState&) = delete;

    // Announced before any value below takes a new one.
    ObjectWillChange objectWillChange;
    Published<CompanionVoiceState> voiceState{CompanionVoiceState::idle, &objectWillChange};
    Published<std::optional<std::string>> lastTranscript{std::nullopt, &objectWillChange};
    Published<double> currentAudioPowerLevel{0.0, &objectWillChange};
    Published<bool> hasAccessibilityPermission{false, &objectWillChange};
    Published<bool> hasScreenRecordingPermission{false, &objectWillChange};
    Published<bool> hasMicrophonePermission{false, &objectWillChange};
    Published<bool> hasScreenContentPermission{false, &objectWillChange};
    Published<std::optional<Point>> detectedElementScreenLocation{std::nullopt, &objectWillChange};
    Published<std::optional<Rect>> detectedElementDisplayFrame{std::nullopt, &objectWillChange};
    Published<std::optional<std::string>> detectedElementBubbleText{std::nullopt, &objectWillChange};
    Published<std::shared_ptr<VideoPlayer>> onboardingVideoPlayer{nullptr, &objectWillChange};
    Published<bool> showOnboardingVideo{false, &objectWillChange};
    Published<double> onboardingVideoOpacity{0.0, &objectWillChange};
    Published<std::string> onboardingPromptText{std::string(), &objectWillChange};
    Published<double> onboardingPromptOpacity{0.0, &objectWillChange};
    Published<bool> showOnboardingPrompt{false, &objectWillChange};
    Published<bool> isOverlayVisible{false, &objectWillChange};
    Published<bool> isRequestingScreenContent{false, &objectWillChange};
};

}  // namespace velmo
