// The right to opt out, closing an instance, error capture and the installed integrations.
#include <typeinfo>

#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavSDKState.h"
#include "RideZav/core/RideZavTypeName.h"
#include "RideZav/context/RideZavContext.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavSdkIdentity.h"
#include "RideZav/exceptions/RideZavExceptionList.h"
#include "RideZav/network/Reachability.h"
#include "RideZav/session/RideZavSessionManager.h"
#include "RideZav/storage/RideZavStorage.h"
#include "RideZav/storage/RideZavStorageManager.h"

namespace ridezav {

using namespace facade;

namespace {

// The name an integration goes by in log lines.
std::string integrationTypeName(const RideZavIntegration& integration) {
    if (dynamic_cast<const RideZavErrorTrackingAutoCaptureIntegration*>(&integration)) return "RideZavErrorTrackingAutoCaptureIntegration";
    if (dynamic_cast<const RideZavScreenViewIntegration*>(&integration)) return "RideZavScreenViewIntegration";
    if (dynamic_cast<const RideZavAppLifeCycleIntegration*>(&integration)) return "RideZavAppLifeCycleIntegration";
    return unqualifiedTypeName(typeid(integration));  // one the library does not know by name
}

}  // namespace

void RideZavSDK::optIn() {
    if (!setupGuard()) return;
    auto current = state();
    if (!current || !current->config->optOut()) return;
    {
        std::lock_guard lock(optOutLock_);
        current->config->setOptOut(false);
        if (current->storage) current->storage->setJSON(StorageKey::optOut, Value(false));
    }
    std::lock_guard setupLock(setupLock_);
    installIntegrations();
}

void RideZavSDK::optOut() {
    if (!setupGuard()) return;
    auto current = state();
    if (!current || current->config->optOut()) return;
    {
        std::lock_guard lock(optOutLock_);
        current->config->setOptOut(true);
        if (current->storage) current->storage->setJSON(StorageKey::optOut, Value(true));
    }
    std::lock_guard setupLock(setupLock_);
    uninstallIntegrations();
}

bool RideZavSDK::isOptOut() {
    if (!setupGuard()) return true;
    auto current = state();
    return !current || current->config->optOut();
}

std::shared_ptr<RideZavSDK> RideZavSDK::with(const RideZavConfig& config) {
    auto instance = create(config);
    instance->setup(config);
    return instance;
}

void RideZavSDK::close() {
    if (!setupGuard()) return;
    std::lock_guard setupLock(setupLock_);
    enabled_.store(false, std::memory_order_release);
    std::shared_ptr<const State> closing;
    {
        std::lock_guard lock(stateLock_);
        closing = std::move(state_);
        // A fresh, empty configuration and no collaborators; captures still holding the old
        // snapshot finish with it.
        auto fresh = std::make_shared<State>();
        fresh->config = std::make_shared<RideZavConfig>("");
        state_ = std::move(fresh);
    }
    if (closing) {
        unregisterApiKey(closing->config->apiKey());
        // The queues' flush timers end with the queues; their stored events stay.
        if (closing->storageManager) closing->storageManager->reset(closing->config->reuseAnonymousId);
        if (closing->reachability) closing->reachability->stopNotifier();
    }
    {
        std::lock_guard lock(flagCallReportedLock_);
        flagCallReported_.clear();
    }
    closing.reset();
    if (rideZavSdkName() != "ridezav-react-native") sessionManager_->endSession();
    didEnterBackgroundToken_ = RegistrationToken();
    RideZavLog::setDebug(false);
    uninstallIntegrations();
}

void RideZavSDK::captureException(const PlatformError& error, std::optional<Object> properties) {
    if (!setupGuard()) return;
    auto current = state();
    if (!current) return;
    Object built{{"$exception_level", "error"}};
    addExceptionProperties(exceptionListForError(error, true, "generic", current->config->errorTrackingConfig()), built);
    if (properties)
        for (const auto& [key, value] : *properties) built.set(key, value);
    capture("$exception", std::optional<Object>(std::move(built)));
}

void RideZavSDK::captureException(const PlatformException& exception, std::optional<Object> properties) {
    if (!setupGuard()) return;
    auto current = state();
    if (!current) return;
    Object built{{"$exception_level", "error"}};
    addExceptionProperties(exceptionListForPlatformException(exception, true, "generic", current->config->errorTrackingConfig()), built);
    if (properties)
        for (const auto& [key, value] : *properties) built.set(key, value);
    capture("$exception", std::optional<Object>(std::move(built)));
}

void RideZavSDK::captureException(const std::exception& error, std::optional<Object> properties) {
    if (const auto* exception = dynamic_cast<const PlatformException*>(&error)) {
        captureException(*exception, std::move(properties));
        return;
    }
    if (const auto* platform = dynamic_cast<const PlatformError*>(&error)) {
        captureException(*platform, std::move(properties));
        return;
    }
    captureException(PlatformError::bridge(error), std::move(properties));
}

void RideZavSDK::captureException(const std::exception_ptr& error, std::optional<Object> properties) {
    if (!error) return;  // nothing was caught
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        captureException(caught, std::move(properties));
        return;
    } catch (...) {
    }
    captureException(PlatformError::bridge(error), std::move(properties));
}

void RideZavSDK::setIntegrationFactory(IntegrationFactory factory) { integrationFactory_ = std::move(factory); }

void RideZavSDK::installIntegrations() {
    std::lock_guard integrationsLock(integrationsLock_);
    if (!installedIntegrations_.empty()) {
        ridezavLog("Integrations already installed. Call uninstallIntegrations() first.");
        return;
    }
    auto current = state();
    if (!current) return;
    const auto& config = *current->config;
    std::vector<std::unique_ptr<RideZavIntegration>> installed;
    for (auto& integration : integrationFactory_ ? integrationFactory_(config) : config.makeIntegrations()) {
        const std::string type = integrationTypeName(*integration);
        if (integration->requiresSwizzling() && !config.enableSwizzling) {
            ridezavLog("Integration " + type + " skipped. Integration requires swizzling but enableSwizzling is disabled in config");
            continue;
        }
        try {
            integration->install(*this);
        } catch (const std::exception& error) {
            ridezavLog("Integration " + type + " failed to install: " + error.what());
            continue;
        } catch (...) {
            ridezavLog("Integration " + type + " failed to install: unknown error");
            continue;
        }
        ridezavLog("Integration " + type + " installed");
        installed.push_back(std::move(integration));
    }
    installedIntegrations_ = std::move(installed);
}

void RideZavSDK::uninstallIntegrations() {
    std::lock_guard integrationsLock(integrationsLock_);
    for (auto& integration : installedIntegrations_) {
        integration->uninstall(*this);
        ridezavLog("Integration " + integrationTypeName(*integration) + " uninstalled");
    }
    installedIntegrations_.clear();
}

void RideZavSDK::refreshEventContext() {
    if (!setupGuard()) return;
    auto current = state();
    if (!current) return;
    const std::string distinctId = current->storageManager ? current->storageManager->getDistinctId() : "";
    Object properties;
    if (current->context) {
        mergeKeepingExisting(properties, current->context->staticContext());
        mergeKeepingExisting(properties, current->context->dynamicContext());
    }
    mergeKeepingExisting(properties, featureFlagProperties(*current));
    if (current->storageManager) properties.set("$is_identified", current->storageManager->isIdentified());
    properties.set("$process_person_profile", isPersonProcessing());
    if (current->context) mergeKeepingExisting(properties, current->context->sdkInfo());
    if (auto session = sessionManager_->getSessionId(presentTime(), false)) properties.set("$session_id", *session);
    Object context{{"distinct_id", distinctId}, {"event_properties", properties}};
    std::lock_guard lock(integrationsLock_);
    for (auto& integration : installedIntegrations_) integration->eventContextDidChange(context);
}

}  // namespace ridezav
