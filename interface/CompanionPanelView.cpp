#include "interface/CompanionPanelView.h"

#include "interface/MenuBarPanelManager.h"
#include "interface/WindowPositionManager.h"
#include "platform/desktop/ApplicationTermination.h"
#include "platform/desktop/Permissions.h"
#include "platform/desktop/Workspace.h"
#include "platform/media/MediaAuthorization.h"
#include "interface/drawing/Painter.h"
#include "platform/foundation/UserDefaults.h"

namespace velmo {

namespace {
// For the whole run: the first Grant click prompts, later ones open the settings page.
bool hasPromptedAccessibility = false;
bool hasPromptedScreenRecording = false;
}  // namespace

CompanionPanelView::CompanionPanelView(std::shared_ptr<CompanionManager> companionManager)
    : companionManager_(std::move(companionManager)) {
    CompanionManager& c = *companionManager_;
    observer_.watch(c.voiceState());
    observer_.watch(c.isOverlayVisible());
    observer_.watch(c.hasMicrophonePermission());
    observer_.watch(c.hasAccessibilityPermission());
    observer_.watch(c.hasScreenRecordingPermission());
    observer_.watch(c.hasScreenContentPermission());
    // The onboarding default is read, not observed: starting onboarding also shows the overlay.
    observer_.onAnyChange([this] { reevaluate(); });
    model_ = makeCompanionPanelModel(inputs());
    tree_ = companionPanelLayout(model_);
    size_ = layout(tree_, MenuBarPanelManager::panelWidth);
    margins_ = companionPanelPicture(tree_, size_, "panel.").margins;
    layoutCount_ = 1;
}

CompanionPanelInputs CompanionPanelView::inputs() const {
    const CompanionManager& c = *companionManager_;
    CompanionPanelInputs in;
    in.voiceState = c.voiceState();
    in.isOverlayVisible = c.isOverlayVisible();
    in.hasMicrophonePermission = c.hasMicrophonePermission();
    in.hasAccessibilityPermission = c.hasAccessibilityPermission();
    in.hasScreenRecordingPermission = c.hasScreenRecordingPermission();
    in.hasScreenContentPermission = c.hasScreenContentPermission();
    in.hasCompletedOnboarding = UserDefaults::standard().boolForKey("hasCompletedOnboarding");
    return in;
}

void CompanionPanelView::reevaluate() {
    CompanionPanelModel next = makeCompanionPanelModel(inputs());
    if (next == model_) return;
    model_ = std::move(next);
    tree_ = companionPanelLayout(model_);
    size_ = layout(tree_, MenuBarPanelManager::panelWidth);
    margins_ = companionPanelPicture(tree_, size_, "panel.").margins;
    ++layoutCount_;
    if (needsDisplay_) needsDisplay_();
}

void CompanionPanelView::click(Point p) {
    if (auto id = hitTestButton(tree_, p)) perform(*id);
}

void CompanionPanelView::perform(const std::string& id) {
    namespace b = companion_panel_button;
    if (id == b::grantMicrophone) {
        auto media = MediaAuthorization::current();
        if (media->microphoneAuthorizationStatus() == MediaAuthorizationStatus::notDetermined) {
            // The row turns to Granted through the companion object's permission poll.
            media->requestMicrophoneAccess([](bool) {});
        } else {
            Workspace::shared()->openURL("x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone");
        }
    } else if (id == b::grantAccessibility) {
        auto permissions = DesktopPermissions::current();
        if (permissions->isAccessibilityTrusted()) return;
        if (hasPromptedAccessibility) {
            WindowPositionManager::openAccessibilitySettings();
        } else {
            hasPromptedAccessibility = true;
            permissions->requestAccessibilityTrust();
        }
    } else if (id == b::findApp) {
        WindowPositionManager::revealAppInFinder();
        WindowPositionManager::openAccessibilitySettings();
    } else if (id == b::grantScreenRecording) {
        auto permissions = DesktopPermissions::current();
        if (permissions->preflightScreenCaptureAccess()) {
            UserDefaults::standard().setBool("com.korvale.hasPreviouslyConfirmedScreenRecordingPermission", true);
        } else if (hasPromptedScreenRecording) {
            WindowPositionManager::openScreenRecordingSettings();
        } else {
            hasPromptedScreenRecording = true;
            permissions->requestScreenCaptureAccess();
        }
    } else if (id == b::quit) {
        ApplicationTermination::terminate();
    } else if (id == b::grantScreenContent) {
        if (companionManager_->isRequestingScreenContent()) return;
        companionManager_->setRequestingScreenContent(true);
        auto companion = companionManager_;
        screenContentRequest_ = startTask([companion]() -> Task<void> { co_await companion->requestScreenContentPermission(); });
    } else if (id == b::start) {
        companionManager_->triggerOnboarding();
    } else if (id == b::replay) {
        companionManager_->replayOnboarding();
    }
}

PanelPixels CompanionPanelView::render(Size size) const {
    // The tree is laid out at its natural size; a host may ask for another.
    const CompanionPanelPicture picture = companionPanelPicture(tree_, size_, "panel.");
    const PanelMargins& m = picture.margins;
    Surface surface(int(m.left + size.width + m.right + 0.5), int(m.top + size.height + m.bottom + 0.5));
    Painter painter;
    painter.paintFull(surface, picture.layers);
    return panelPixelsOf(surface);
}

std::vector<Rect> CompanionPanelView::pointerCursorRegions(Size) const {
    std::vector<Rect> out;
    for (const auto& [id, frame] : buttonFrames(tree_)) out.push_back(frame);
    return out;
}

}  // namespace velmo
