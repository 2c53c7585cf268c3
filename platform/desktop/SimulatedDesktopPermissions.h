#pragma once

#include <atomic>

#include "platform/desktop/Permissions.h"

namespace velmo {

// Test double: grants and withdrawals are set by the test at any time; requests are counted.
// With `announces` set it vouches for its answers between announcements, which the test makes
// with announceChange().
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

    Cancellable observeChanges(std::function<void()> changed) override {
        return changes_.publisher().sink([changed = std::move(changed)](const bool&) { changed(); });
    }
    bool announcesChanges() override { return announces.load(); }
    void announceChange() const { changes_.send(true); }

    std::atomic<bool> announces{false};
    std::atomic<bool> accessibility{false};
    std::atomic<bool> screenRecording{false};
    std::atomic<int> accessibilityRequests{0};
    std::atomic<int> screenRecordingRequests{0};

private:
    Subject<bool> changes_;
};

}  // namespace velmo
