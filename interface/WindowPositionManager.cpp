#include "interface/WindowPositionManager.h"

#include "platform/desktop/Workspace.h"
#include "platform/foundation/Bundle.h"

namespace velmo {

void WindowPositionManager::openAccessibilitySettings() { Workspace::shared()->openURL(accessibilitySettingsURL); }

void WindowPositionManager::openScreenRecordingSettings() { Workspace::shared()->openURL(screenRecordingSettingsURL); }

void WindowPositionManager::revealAppInFinder() { Workspace::shared()->activateFileViewerSelecting({Bundle::main().bundlePath()}); }

}  // namespace velmo
