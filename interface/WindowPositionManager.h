#pragma once

namespace velmo {

// Sends the user to the privacy-settings pages and shows the application bundle in the file
// manager. Type-level operations only; each returns at once. Main thread only.
class WindowPositionManager {
public:
    static constexpr const char* accessibilitySettingsURL = "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
    static constexpr const char* screenRecordingSettingsURL =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
    static constexpr const char* microphoneSettingsURL = "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone";

    WindowPositionManager() = delete;

    static void openAccessibilitySettings();
    static void openScreenRecordingSettings();
    static void revealAppInFinder();
};

}  // namespace velmo
