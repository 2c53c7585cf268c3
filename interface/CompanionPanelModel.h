#pragma once

// What the companion panel shows, derived from the companion object's published state and the
// onboarding default; and the layout tree that draws it. Equal models draw the same panel, so
// the view re-lays only when the model changes.
//
// Thread contract: plain values, made and read on the main thread.

#include <string>
#include <vector>

#include "companion/CompanionManager.h"
#include "interface/LayoutNode.h"
#include "interface/PanelContentView.h"
#include "interface/drawing/Color.h"

namespace velmo {

// The values the panel reads on each evaluation.
struct CompanionPanelInputs {
    CompanionVoiceState voiceState = CompanionVoiceState::idle;
    bool isOverlayVisible = false;
    bool hasMicrophonePermission = false;
    bool hasAccessibilityPermission = false;
    bool hasScreenRecordingPermission = false;
    bool hasScreenContentPermission = false;
    bool hasCompletedOnboarding = false;
    bool operator==(const CompanionPanelInputs&) const = default;

    bool allPermissionsGranted() const {
        return hasMicrophonePermission && hasAccessibilityPermission && hasScreenRecordingPermission && hasScreenContentPermission;
    }
};

// Inputs where onboarding is or is not done and the four permissions are all granted or all not,
// as the running application has them at rest (the overlay up only when both are true).
CompanionPanelInputs companionPanelSituation(bool onboarded, bool allGranted);

enum class CompanionPanelMessage { holdToTalk, allSet, revoked, welcome };

enum class CompanionPermission { microphone, accessibility, screenRecording, screenContent };

struct CompanionPermissionRow {
    CompanionPermission permission;
    std::string title;
    std::string symbol;
    bool granted = false;
    bool operator==(const CompanionPermissionRow&) const = default;
};

struct CompanionPanelModel {
    std::string statusText;
    Color statusDotColor;
    CompanionPanelMessage message = CompanionPanelMessage::welcome;
    std::vector<CompanionPermissionRow> permissionRows;  // empty while the section is hidden
    bool showsStartButton = false;
    bool showsReplayButton = false;
    bool operator==(const CompanionPanelModel&) const = default;
};

CompanionPanelModel makeCompanionPanelModel(const CompanionPanelInputs& inputs);

// Button ids of the panel's layout tree.
namespace companion_panel_button {
inline constexpr const char* start = "start";
inline constexpr const char* quit = "quit";
inline constexpr const char* replay = "replay";
inline constexpr const char* findApp = "findApp";
inline constexpr const char* grantMicrophone = "grant.microphone";
inline constexpr const char* grantAccessibility = "grant.accessibility";
inline constexpr const char* grantScreenRecording = "grant.screenRecording";
inline constexpr const char* grantScreenContent = "grant.screenContent";
}  // namespace companion_panel_button

// The panel's card, 320 points wide, before layout.
LayoutNode companionPanelLayout(const CompanionPanelModel& model);

// The panel as its window shows it: the layers of a tree laid out at the origin (its natural
// size `size`), moved right and down into the room its card's shadows take around it.
struct CompanionPanelPicture {
    LayerList layers;
    PanelMargins margins;
    Size canvas;  // `size` with the margins around it
};
CompanionPanelPicture companionPanelPicture(const LayoutNode& tree, Size size, const std::string& layerPrefix);

}  // namespace velmo
