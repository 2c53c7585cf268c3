#include "RideZav/integrations/RideZavAppLifeCycleIntegration.h"

#include <atomic>
#include <charconv>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "RideZav/RideZavSDK.h"
#include "RideZav/core/InternalRideZavError.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/integrations/DIContainer.h"
#include "RideZav/integrations/ProcessWideInstallSlot.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"

namespace ridezav {

namespace {

constexpr const char* kVersionKey = "VURVersionKey";
constexpr const char* kBuildKey = "VURBuildKeyV2";

// The integration type binds to one facade per process; the check runs once per process.
ProcessWideInstallSlot& installSlot() {
    static auto* slot = new ProcessWideInstallSlot();  // never released
    return *slot;
}
std::atomic<bool> installOrUpdateDone{false};

std::optional<std::string> infoText(const char* key) {
    const velmo::PlistValue value = velmo::Bundle::main().objectForInfoDictionaryKey(key);
    if (const std::string* text = value.asString()) return *text;
    return std::nullopt;
}

// A decimal integer ("+" or "-", then digits, in range) as an integer, any other text as it is.
Value buildValue(const std::string& text) {
    std::string_view digits = text;
    if (digits.starts_with('+')) {
        digits.remove_prefix(1);  // from_chars takes a minus only
        if (digits.starts_with('-')) return text;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return text;
    return value;
}

}  // namespace

struct RideZavAppLifeCycleIntegration::State {
    std::mutex mutex;  // guards rideZav and boundTo
    std::weak_ptr<RideZavSDK> rideZav;  // guarded by mutex
    const RideZavSDK* boundTo = nullptr;  // guarded by mutex; compared only, never followed
    std::atomic<bool> isFreshAppLaunch{true};
    std::atomic<bool> isAppBackgrounded{true};
    // Written by install and uninstall, which the facade serialises.
    RegistrationToken didBecomeActiveToken;
    RegistrationToken didEnterBackgroundToken;
    RegistrationToken didFinishLaunchingToken;

    std::shared_ptr<RideZavSDK> facade() {
        std::lock_guard lock(mutex);
        return rideZav.lock();
    }

    static bool captures(const RideZavSDK& sdk) {
        auto config = sdk.config();
        return config && config->captureApplicationLifecycleEvents;
    }

    void captureInstallOrUpdate() {
        auto sdk = facade();
        if (!sdk) return;
        if (installOrUpdateDone.exchange(true)) return;
        if (!captures(*sdk)) {
            ridezavLog(
                "Skipping Application Installed/Application Updated event - captureApplicationLifecycleEvents is "
                "disabled in configuration");
            return;
        }
        const auto version = infoText("CFBundleShortVersionString");
        const auto build = infoText("CFBundleVersion");
        auto& defaults = velmo::UserDefaults::standard();
        const auto previousVersion = defaults.stringForKey(kVersionKey);
        const auto previousBuild = defaults.stringForKey(kBuildKey);

        std::string event = "Application Installed";
        Object properties;
        if (previousBuild) {
            if (build && *build == *previousBuild) return;
            event = "Application Updated";
            if (previousVersion) properties.set("previous_version", *previousVersion);
            properties.set("previous_build", buildValue(*previousBuild));
        } else if (!build && version && previousVersion) {
            // A bundle without a build is known by its version alone: without this, each of its
            // launches would count as a new installation.
            if (*version == *previousVersion) return;
            event = "Application Updated";
            properties.set("previous_version", *previousVersion);
        }
        if (version) {
            properties.set("version", *version);
            defaults.setString(kVersionKey, *version);
        }
        if (build) {
            properties.set("build", buildValue(*build));
            defaults.setString(kBuildKey, *build);
        }
        // The defaults are written as each value is set; there is nothing left to synchronise.
        sdk->capture(event, std::optional<Object>(std::move(properties)));
    }

    void becomeActive() {
        auto sdk = facade();
        if (!sdk) return;
        if (!isAppBackgrounded.load()) {
            ridezavLog("Skipping Application Opened event - app already in foreground");
            return;
        }
        isAppBackgrounded = false;
        if (!captures(*sdk)) {
            ridezavLog("Skipping Application Opened event - captureApplicationLifecycleEvents is disabled in configuration");
            return;
        }
        Object properties{{"from_background", !isFreshAppLaunch.load()}};
        if (isFreshAppLaunch.load()) {
            if (auto version = infoText("CFBundleShortVersionString")) properties.set("version", *version);
            if (auto build = infoText("CFBundleVersion")) properties.set("build", *build);
            isFreshAppLaunch = false;
        }
        sdk->capture("Application Opened", std::optional<Object>(std::move(properties)));
    }

    void enterBackground() {
        auto sdk = facade();
        if (!sdk) return;
        if (isAppBackgrounded.exchange(true)) return;
        if (!captures(*sdk)) {
            ridezavLog(
                "Skipping Application Backgrounded event - captureApplicationLifecycleEvents is disabled in "
                "configuration");
            return;
        }
        sdk->capture("Application Backgrounded", std::optional<Object>());
    }
};

RideZavAppLifeCycleIntegration::RideZavAppLifeCycleIntegration()
    : state_(std::make_shared<State>()) {}

RideZavAppLifeCycleIntegration::~RideZavAppLifeCycleIntegration() {
    // One dropped while still bound must not keep every later facade from installing.
    const RideZavSDK* bound = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        bound = state_->boundTo;
    }
    if (bound) installSlot().release();
}

void RideZavAppLifeCycleIntegration::install(RideZavSDK& rideZav) {
    installSlot().claim("App life cycle integration already installed to another RideZavSDK instance.");
    {
        std::lock_guard lock(state_->mutex);
        state_->rideZav = rideZav.weak_from_this();
        state_->boundTo = &rideZav;
    }
    auto& publisher = DI::Container::shared().appLifecyclePublisher();
    std::weak_ptr<State> weak = state_;
    state_->didFinishLaunchingToken = publisher.onDidFinishLaunching().subscribe([weak] {
        if (auto state = weak.lock()) state->captureInstallOrUpdate();
    });
    state_->didBecomeActiveToken = publisher.onDidBecomeActive().subscribe([weak] {
        if (auto state = weak.lock()) state->becomeActive();
    });
    state_->didEnterBackgroundToken = publisher.onDidEnterBackground().subscribe([weak] {
        if (auto state = weak.lock()) state->enterBackground();
    });
    state_->captureInstallOrUpdate();
}

void RideZavAppLifeCycleIntegration::uninstall(RideZavSDK& rideZav) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->boundTo != &rideZav) return;
    }
    state_->didFinishLaunchingToken.reset();
    state_->didBecomeActiveToken.reset();
    state_->didEnterBackgroundToken.reset();
    {
        std::lock_guard lock(state_->mutex);
        state_->rideZav.reset();
        state_->boundTo = nullptr;
    }
    installSlot().release();
}

bool RideZavAppLifeCycleIntegration::isFreshAppLaunch() const { return state_->isFreshAppLaunch.load(); }
bool RideZavAppLifeCycleIntegration::isAppBackgrounded() const { return state_->isAppBackgrounded.load(); }

void RideZavAppLifeCycleIntegration::resetInstallOrUpdateCheckForTesting() { installOrUpdateDone = false; }

}  // namespace ridezav
