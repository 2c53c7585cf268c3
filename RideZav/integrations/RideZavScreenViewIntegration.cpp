#include "RideZav/integrations/RideZavScreenViewIntegration.h"

#include <mutex>
#include <string>

#include "RideZav/RideZavSDK.h"
#include "RideZav/core/InternalRideZavError.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/integrations/DIContainer.h"
#include "RideZav/integrations/ProcessWideInstallSlot.h"

namespace ridezav {

namespace {

ProcessWideInstallSlot& installSlot() {
    static auto* slot = new ProcessWideInstallSlot();  // never released
    return *slot;
}

}  // namespace

struct RideZavScreenViewIntegration::State {
    std::mutex mutex;  // guards rideZav and boundTo
    std::weak_ptr<RideZavSDK> rideZav;  // guarded by mutex
    const RideZavSDK* boundTo = nullptr;  // guarded by mutex; compared only, never followed
    RegistrationToken screenViewToken;  // written by install and uninstall

    void screenView(const std::string& name) {
        std::shared_ptr<RideZavSDK> sdk;
        {
            std::lock_guard lock(mutex);
            sdk = rideZav.lock();
        }
        if (!sdk) return;
        auto config = sdk->config();
        if (config && config->captureScreenViews) {
            sdk->screen(name);
            return;
        }
        ridezavLog("Skipping $screen event - captureScreenViews is disabled in configuration");
    }
};

RideZavScreenViewIntegration::RideZavScreenViewIntegration()
    : state_(std::make_shared<State>()) {}

RideZavScreenViewIntegration::~RideZavScreenViewIntegration() {
    // One dropped while still bound must not keep every later facade from installing.
    const RideZavSDK* bound = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        bound = state_->boundTo;
    }
    if (bound) installSlot().release();
}

void RideZavScreenViewIntegration::install(RideZavSDK& rideZav) {
    installSlot().claim("Autocapture integration already installed to another RideZavSDK instance.");
    {
        std::lock_guard lock(state_->mutex);
        state_->rideZav = rideZav.weak_from_this();
        state_->boundTo = &rideZav;
    }
    std::weak_ptr<State> weak = state_;
    state_->screenViewToken = DI::Container::shared().screenViewPublisher().onScreenView().subscribe([weak](const std::string& name) {
        if (auto state = weak.lock()) state->screenView(name);
    });
}

void RideZavScreenViewIntegration::uninstall(RideZavSDK& rideZav) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->boundTo != &rideZav) return;
    }
    state_->screenViewToken.reset();
    {
        std::lock_guard lock(state_->mutex);
        state_->rideZav.reset();
        state_->boundTo = nullptr;
    }
    installSlot().release();
}

}  // namespace ridezav
