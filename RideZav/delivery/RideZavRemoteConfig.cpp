#include "RideZav/delivery/RideZavRemoteConfig.h"

#include <utility>

#include "RideZav/core/RideZavLog.h"
#include "platform/runtime/MainLoop.h"

namespace ridezav {

std::shared_ptr<RideZavRemoteConfig> RideZavRemoteConfig::make(std::shared_ptr<RideZavConfig> config,
                                                               std::shared_ptr<RideZavStorage> storage,
                                                               std::shared_ptr<RideZavApi> api,
                                                               DefaultPersonProperties getDefaultPersonProperties,
                                                               FeatureFlagCalled featureFlagCalledCallback) {
    std::shared_ptr<RideZavRemoteConfig> remoteConfig(
        new RideZavRemoteConfig(std::move(config), std::move(storage), std::move(api),
                                std::move(getDefaultPersonProperties), std::move(featureFlagCalledCallback)));
    remoteConfig->loadStoredPropertiesForFlags();
    remoteConfig->applyStoredSessionReplay();
    remoteConfig->applyStoredErrorTracking();
    remoteConfig->loadRemoteConfig();
    return remoteConfig;
}

RideZavRemoteConfig::RideZavRemoteConfig(std::shared_ptr<RideZavConfig> config, std::shared_ptr<RideZavStorage> storage,
                                         std::shared_ptr<RideZavApi> api,
                                         DefaultPersonProperties getDefaultPersonProperties,
                                         FeatureFlagCalled featureFlagCalledCallback)
    : config_(std::move(config)),
      storage_(std::move(storage)),
      api_(std::move(api)),
      getDefaultPersonProperties_(std::move(getDefaultPersonProperties)),
      featureFlagCalledCallback_(std::move(featureFlagCalledCallback)),
      dispatchQueue_(std::make_shared<velmo::SerialQueue>("com.ridezav.RemoteConfig")) {}

RideZavRemoteConfig::~RideZavRemoteConfig() {
    // The last reference may go on our own queue, which cannot join itself: the main loop
    // releases it instead.
    if (dispatchQueue_->isCurrent()) velmo::MainLoop::postToMain([queue = std::move(dispatchQueue_)] {});
}

std::optional<Object> RideZavRemoteConfig::storedObject(StorageKey key) const {
    auto value = storage_->getJSON(key);
    if (!value || !value->isObject()) return std::nullopt;
    return std::move(*value->get<Object>());
}

bool RideZavRemoteConfig::autoCaptureExceptions() const {
    std::lock_guard lock(errorTrackingLock_);
    return autoCaptureExceptions_;
}

bool RideZavRemoteConfig::sessionReplayFlagActive() const {
    std::lock_guard lock(sessionReplayLock_);
    return sessionReplayFlagActive_;
}

std::optional<double> RideZavRemoteConfig::recordingSampleRate() const {
    std::lock_guard lock(sessionReplayLock_);
    return recordingSampleRate_;
}

bool RideZavRemoteConfig::isLoadingRemoteConfig() const {
    std::lock_guard lock(loadingRemoteConfigLock_);
    return loadingRemoteConfig_;
}

bool RideZavRemoteConfig::remoteConfigDidFetch() const {
    std::lock_guard lock(loadingRemoteConfigLock_);
    return remoteConfigDidFetch_;
}

void RideZavRemoteConfig::loadStoredPropertiesForFlags() {
    {
        std::lock_guard lock(personPropertiesForFlagsLock_);
        if (auto stored = storedObject(StorageKey::personPropertiesForFlags)) personPropertiesForFlags_ = std::move(*stored);
    }
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    auto stored = storedObject(StorageKey::groupPropertiesForFlags);
    if (!stored) return;
    std::map<std::string, Object> groups;
    for (auto& [type, properties] : *stored) {
        if (!properties.isObject()) return;  // one group of another shape: the whole value is ignored
        groups[type] = *properties.get<Object>();
    }
    groupPropertiesForFlags_ = std::move(groups);
}

void RideZavRemoteConfig::applyStoredSessionReplay() {
    std::optional<Object> settings;
    Object featureFlags;
    {
        std::lock_guard lock(featureFlagsLock_);
        settings = storedObject(StorageKey::sessionReplay);
        featureFlags = getCachedFeatureFlags().value_or(Object{});
    }
    if (!settings) return;
    if (const Value* endpoint = settings->find("endpoint"); endpoint && endpoint->isString()) {
        config_->setSnapshotEndpoint(*endpoint->get<std::string>());
    }
    const bool active = linkedFlagActive(*settings, featureFlags, *config_, featureFlagCalledCallback_);
    std::lock_guard lock(sessionReplayLock_);
    sessionReplayFlagActive_ = active;
}

bool RideZavRemoteConfig::linkedFlagActive(const Object& settings, const Object& featureFlags,
                                           const RideZavConfig& config, const FeatureFlagCalled& featureFlagCalled) {
    const auto report = [&](const std::string& key, const Value& value) {
        if (config.sendFeatureFlagEvent && featureFlagCalled) featureFlagCalled(key, value);
    };
    const Value* linked = settings.find("linkedFlag");
    if (!linked) return true;
    if (const auto* name = linked->get<std::string>()) {
        const Value* value = featureFlags.find(*name);
        if (!value) return false;
        report(*name, *value);
        if (const auto* b = value->get<bool>()) return *b;
        return value->isString();
    }
    if (const auto* object = linked->get<Object>()) {
        const Value* flag = object->find("flag");
        const Value* variant = object->find("variant");
        if (!flag || !flag->isString() || !variant || !variant->isString()) return false;
        const Value* value = featureFlags.find(*flag->get<std::string>());
        if (!value || !value->isString()) return false;
        report(*flag->get<std::string>(), *value);
        return *value->get<std::string>() == *variant->get<std::string>();
    }
    return true;
}

void RideZavRemoteConfig::applyStoredErrorTracking() {
    auto stored = storedObject(StorageKey::errorTracking);
    if (!stored) return;
    const Value* autocapture = stored->find("autocaptureExceptions");
    std::lock_guard lock(errorTrackingLock_);
    autoCaptureExceptions_ = autocapture && autocapture->isBool() && *autocapture->get<bool>();
}

std::optional<Object> RideZavRemoteConfig::getCachedRemoteConfig() {
    std::lock_guard lock(remoteConfigLock_);
    if (!remoteConfig_) remoteConfig_ = storedObject(StorageKey::remoteConfig);
    return remoteConfig_;
}

void RideZavRemoteConfig::loadRemoteConfig() {
    const bool present = getCachedRemoteConfig().has_value();
    if (config_->disableRemoteConfigForTesting) return;
    if (present && remoteConfigDidFetch()) return;
    std::weak_ptr<RideZavRemoteConfig> weak = weak_from_this();
    dispatchQueue_->async([weak, api = api_] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->loadingRemoteConfigLock_);
            self->loadingRemoteConfig_ = true;
        } else {
            return;
        }
        api->getRemoteConfig([weak](std::optional<Object> object, std::exception_ptr) {
            if (auto self = weak.lock()) self->onRemoteConfigResponse(std::move(object));
        });
    });
}

void RideZavRemoteConfig::onRemoteConfigResponse(std::optional<Object> remoteConfig) {
    if (remoteConfig) {
        {
            std::lock_guard lock(remoteConfigLock_);
            remoteConfig_ = remoteConfig;
            storage_->setJSON(StorageKey::remoteConfig, *remoteConfig);
        }
        applyErrorTracking(*remoteConfig);
        std::weak_ptr<RideZavRemoteConfig> weak = weak_from_this();
        velmo::MainLoop::postToMain([weak, remoteConfig] {
            if (auto self = weak.lock()) self->onRemoteConfigLoaded.invoke(remoteConfig);
        });
    }
    {
        std::lock_guard lock(loadingRemoteConfigLock_);
        remoteConfigDidFetch_ = true;
        loadingRemoteConfig_ = false;
    }
    if (!remoteConfig) {
        ridezavLog("Remote config response is missing, skipping loading flags");
        notifyFeatureFlagsLoaded(std::nullopt);
        return;
    }
    const Value* hasFeatureFlags = remoteConfig->find(hasFeatureFlagsKey);
    if (hasFeatureFlags && hasFeatureFlags->isBool() && !*hasFeatureFlags->get<bool>()) {
        ridezavLog("hasFeatureFlags is false, clearing flags and skipping loading flags");
        clearFeatureFlags();
        notifyFeatureFlagsLoaded(Object{});
    } else if (config_->preloadFeatureFlags) {
        preloadFeatureFlagsFromCache();
    }
}

void RideZavRemoteConfig::applyErrorTracking(const Object& remoteConfig) {
    const Value* errorTracking = remoteConfig.find("errorTracking");
    bool enabled = false;
    if (errorTracking && errorTracking->isBool()) {
        enabled = *errorTracking->get<bool>();
        if (!enabled) storage_->setData(StorageKey::errorTracking, std::nullopt);
    } else if (errorTracking && errorTracking->isObject()) {
        const Value* autocapture = errorTracking->get<Object>()->find("autocaptureExceptions");
        enabled = autocapture && autocapture->isBool() && *autocapture->get<bool>();
        storage_->setJSON(StorageKey::errorTracking, *errorTracking);
    }
    std::lock_guard lock(errorTrackingLock_);
    autoCaptureExceptions_ = enabled;
}

void RideZavRemoteConfig::notifyFeatureFlagsLoaded(std::optional<Object> flags) {
    std::weak_ptr<RideZavRemoteConfig> weak = weak_from_this();
    velmo::MainLoop::postToMain([weak, flags = std::move(flags)] {
        if (auto self = weak.lock()) self->onFeatureFlagsLoaded.invoke(flags);
    });
}

std::optional<Object> RideZavRemoteConfig::getCachedFeatureFlags() {
    if (!featureFlags_) featureFlags_ = storedObject(StorageKey::enabledFeatureFlags);
    return featureFlags_;
}

std::optional<Object> RideZavRemoteConfig::getCachedFeatureFlagPayloads() {
    if (!featureFlagPayloads_) featureFlagPayloads_ = storedObject(StorageKey::enabledFeatureFlagPayloads);
    return featureFlagPayloads_;
}

std::optional<Object> RideZavRemoteConfig::getCachedFlags() {
    if (!flags_) flags_ = storedObject(StorageKey::flags);
    return flags_;
}

std::optional<Object> RideZavRemoteConfig::cachedFeatureFlags() {
    std::lock_guard lock(featureFlagsLock_);
    return getCachedFeatureFlags();
}

std::optional<Object> RideZavRemoteConfig::cachedFeatureFlagPayloads() {
    std::lock_guard lock(featureFlagsLock_);
    return getCachedFeatureFlagPayloads();
}

std::optional<Object> RideZavRemoteConfig::cachedFlags() {
    std::lock_guard lock(featureFlagsLock_);
    return getCachedFlags();
}

std::optional<std::string> RideZavRemoteConfig::requestId() {
    std::lock_guard lock(featureFlagsLock_);
    return requestId_;
}

std::optional<std::int64_t> RideZavRemoteConfig::evaluatedAt() {
    std::lock_guard lock(featureFlagsLock_);
    return evaluatedAt_;
}

Object RideZavRemoteConfig::personPropertiesForFlags() {
    std::lock_guard lock(personPropertiesForFlagsLock_);
    return personPropertiesForFlags_;
}

std::map<std::string, Object> RideZavRemoteConfig::groupPropertiesForFlags() {
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    return groupPropertiesForFlags_;
}

void RideZavRemoteConfig::preloadFeatureFlagsFromCache() {
    std::lock_guard lock(featureFlagsLock_);
    getCachedFeatureFlags();
}

void RideZavRemoteConfig::clearFeatureFlags() {
    std::lock_guard lock(featureFlagsLock_);
    flags_ = Object{};
    featureFlags_ = Object{};
    featureFlagPayloads_ = Object{};
    storage_->setJSON(StorageKey::flags, Object{});
    storage_->setJSON(StorageKey::enabledFeatureFlags, Object{});
    storage_->setJSON(StorageKey::enabledFeatureFlagPayloads, Object{});
    requestId_.reset();
    evaluatedAt_.reset();
    storage_->setData(StorageKey::requestId, std::nullopt);
    storage_->setData(StorageKey::evaluatedAt, std::nullopt);
}

}  // namespace ridezav
