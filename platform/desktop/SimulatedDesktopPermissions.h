#pragma once

#include <atomic>

#include "platform/desktop/Permissions.h"

namespace velmo {

// Test double: grants and withdrawals are set by the test at any time; requests are counted.
class SimulatedDesktopPermissions : public DesktopPermissions {
public:
    bool isAccessibilityTrusted() override { return accessibility.load(); }
    bool requestAccessibilityTrust() override {
        ++accessibilityRequests;
        return accessibility.load();
    }
    bool preflightScreenCaptureAccess() override { return screenRecording.load(); }
    bool requestScreenCaptureAccess() override {
        ++screenRecordingRequests;
        return screenRecording.load();
    }

    std::atomic<bool> accessibility{false};
    std::atomic<bool> screenRecording{false};
    std::atomic<int> accessibilityRequests{0};
    std::atomic<int> screenRecordingRequests{0};
};

}  // namespace velmo
