#pragma once

#include <mutex>
#include <string>

#include "RideZav/core/RideZavMulticastCallback.h"

namespace ridezav {

// Publishes screen names to the screen-view integration. Nothing in the application publishes
// yet; a platform screen tracker would.
class ScreenViewPublishing {
public:
    virtual ~ScreenViewPublishing() = default;
    virtual RideZavMulticastCallback<const std::string&>& onScreenView() = 0;
};

// The process-wide screen-view publisher. Thread-safe.
class ApplicationScreenViewPublisher : public ScreenViewPublishing {
public:
    static ApplicationScreenViewPublisher& shared();

    // Made on first access, with a count observer that does nothing.
    RideZavMulticastCallback<const std::string&>& onScreenView() override;
    void publishScreenView(const std::string& screen) { onScreenView().invoke(screen); }

    bool hasSwizzled() const { return false; }  // nothing here swizzles

private:
    ApplicationScreenViewPublisher() = default;

    std::once_flag onScreenViewOnce_;
    std::unique_ptr<RideZavMulticastCallback<const std::string&>> onScreenView_;
};

}  // namespace ridezav
