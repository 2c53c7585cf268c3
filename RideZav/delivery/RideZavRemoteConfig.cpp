#include "RideZav/delivery/RideZavRemoteConfig.h"

#include <utility>

#include "RideZav/core/RideZavLog.h"
#include "RideZav/storage/RideZavStorageManager.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/MainLoop.h"

namespace ridezav {

std::shared_ptr<RideZavRemoteConfig> RideZavRemoteConfig::make(std::shared_ptr<RideZavConfig> config,
                                                               std::shared_ptr<RideZavStorage> storage, std::shared_ptr<RideZavApi> api,
                                                               DefaultPersonProperties getDefaultPersonProperties,
                                                               FeatureFlagCalled featureFlagCalledCallback) {
    std::shared_ptr<RideZavRemoteConfig> remoteConfig(new RideZavRemoteConfig(std::move(config), std::move(storage), std::move(api),
                                                                              std::move(getDefaultPersonProperties),
                                                                              std::move(featureFlagCalledCallback)));
    remoteConfig->loadStoredPropertiesForFlags();
    remoteConfig->applyStoredSessionReplay();
    remoteConfig->applyStoredErrorTracking();
    remoteConfig->loadRemoteConfig();
    return remoteConfig;
}

RideZavRemoteConfig::RideZavRemoteConfig(std::shared_ptr<RideZavConfig> config, std::shared_ptr<RideZavStorage> storage,
                                         std::shared_ptr<RideZavApi> api, DefaultPersonProperties getDefaultPersonProperties,
                                         FeatureFlagCalled featureFlagCalledCallback)
    : config_(std::move(config)),
      storage_(std::move(storage)),
      api_(std::move(api)),
      getDefaultPersonProperties_(std::move(getDefaultPersonProperties)),
      featureFlagCalledCallback_(std::move(featureFlagCalledCallback)),
      dispatchQueue_(std::make_shared<velmo::SerialQueue>("com.ridezav.RemoteConfig")) {}

// The last reference may go on our own queue; the queue then lets its thread finish alone.
RideZavRemoteConfig::~RideZavRemoteConfig() = default;

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

bool RideZavRemoteConfig::linkedFlagActive(const Object& settings, const Object& featureFlags, const RideZavConfig& config,
                                           const FeatureFlagCalled& featureFlagCalled) {
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
    {
        std::lock_guard lock(featureFlagsLock_);
        getCachedFeatureFlags();
    }
    if (!config_->preloadFeatureFlags) return;
    std::weak_ptr<RideZavRemoteConfig> weak = weak_from_this();
    dispatchQueue_->async([weak] {
        if (auto self = weak.lock()) self->reloadFeatureFlags();
    });
}

void RideZavRemoteConfig::reloadFeatureFlags(FlagsCallback callback) {
    if (!canReloadFlagsForTesting) return;
    const auto manager = config_->storageManager;
    if (!manager) {
        ridezavLog("No RideZavStorageManager found in config, skipping loading feature flags");
        if (callback) callback(std::nullopt);
        return;
    }
    std::map<std::string, std::string> groups;
    {
        std::lock_guard lock(featureFlagsLock_);
        if (auto stored = storedObject(StorageKey::groups)) {
            for (const auto& [type, key] : *stored) {
                if (!key.isString()) {
                    groups.clear();
                    break;
                }
                groups[type] = *key.get<std::string>();
            }
        }
    }
    const std::string distinctId = manager->getDistinctId();
    std::optional<std::string> anonymousId;
    if (!config_->reuseAnonymousId) anonymousId = manager->getAnonymousId();
    loadFeatureFlags(distinctId, anonymousId, groups, std::move(callback));
}

bool RideZavRemoteConfig::hasPendingFeatureFlagsRequest() {
    std::lock_guard lock(loadingFeatureFlagsLock_);
    return pendingFeatureFlagsRequest_.has_value();
}

void RideZavRemoteConfig::loadFeatureFlags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
                                           const std::map<std::string, std::string>& groups, FlagsCallback callback) {
    std::optional<PendingFeatureFlagsRequest> replaced;
    bool queued = false;
    {
        std::lock_guard lock(loadingFeatureFlagsLock_);
        queued = loadingFeatureFlags_;
        if (queued) {
            replaced = std::exchange(pendingFeatureFlagsRequest_,
                                     PendingFeatureFlagsRequest{distinctId, anonymousId, groups, std::move(callback)});
        } else {
            loadingFeatureFlags_ = true;
        }
    }
    if (queued) {
        // Queued behind the request in flight; a replaced request hears the cached flags now.
        std::optional<Object> cached;
        {
            std::lock_guard lock(featureFlagsLock_);
            cached = getCachedFeatureFlags();
        }
        if (replaced && replaced->callback) replaced->callback(cached);
        return;
    }
    Object personProperties;
    {
        std::lock_guard lock(personPropertiesForFlagsLock_);
        personProperties = personPropertiesForFlags_;
    }
    if (config_->setDefaultPersonProperties && getDefaultPersonProperties_) {
        Object merged = getDefaultPersonProperties_();
        for (auto& [key, value] : personProperties) merged.set(key, value);
        personProperties = std::move(merged);
    }
    std::optional<RideZavApi::GroupProperties> groupProperties;
    {
        std::lock_guard lock(groupPropertiesForFlagsLock_);
        if (!groupPropertiesForFlags_.empty()) groupProperties = groupPropertiesForFlags_;
    }
    std::weak_ptr<RideZavRemoteConfig> weak = weak_from_this();
    api_->flags(distinctId, anonymousId, groups, personProperties, groupProperties,
                [weak, queue = dispatchQueue_, callback](std::optional<Object> object, std::exception_ptr) {
                    queue->async([weak, object = std::move(object), callback] {
                        if (auto self = weak.lock()) self->processFeatureFlagsResponse(object, callback);
                    });
                });
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

namespace {

void mergeOver(Object& target, const Object& newer) {
    for (const auto& [key, value] : newer) target.set(key, value);
}

}  // namespace

void RideZavRemoteConfig::processFeatureFlagsResponse(std::optional<Object> response, const FlagsCallback& callback) {
    const auto finish = [&](const std::optional<Object>& result) {
        finishLoadingFeatureFlags(result);
        if (callback) callback(result);
    };
    if (!response) {
        ridezavLog("Error: Flags response data is nil");
        finish(std::nullopt);
        return;
    }
    if (const Value* quota = response->find("quotaLimited"); quota && quota->isArray()) {
        bool allStrings = true;
        bool limited = false;
        for (const auto& item : *quota->get<Array>()) {
            if (!item.isString())
                allStrings = false;
            else if (*item.get<std::string>() == "feature_flags")
                limited = true;
        }
        if (allStrings && limited) {
            ridezavLog(
                "Warning: Feature flags quota limit reached - flags could not be updated. "
                "See the billing limits in the service's documentation.");
            std::optional<Object> cached;
            {
                std::lock_guard lock(featureFlagsLock_);
                cached = getCachedFeatureFlags().value_or(Object{});
            }
            finish(cached);
            return;
        }
    }
    if (const Value* details = response->find("flags"); details && details->isObject()) {
        Object featureFlags;
        Object payloads;
        for (const auto& [key, detail] : *details->get<Object>()) {
            const auto* d = detail.get<Object>();
            if (!d) continue;
            const Value* variant = d->find("variant");
            const Value* enabled = d->find("enabled");
            const bool hasVariant = variant && variant->isString();
            const bool on = enabled && enabled->isBool() && *enabled->get<bool>();
            const bool off = enabled && enabled->isBool() && !*enabled->get<bool>();
            if (hasVariant)
                featureFlags.set(key, *variant);
            else if (on)
                featureFlags.set(key, true);
            else if (off)
                featureFlags.set(key, false);
            if (hasVariant || on) {
                const Value* metadata = d->find("metadata");
                if (metadata && metadata->isObject()) {
                    if (const Value* payload = metadata->get<Object>()->find("payload")) payloads.set(key, *payload);
                }
            }
        }
        response->set("featureFlags", std::move(featureFlags));
        response->set("featureFlagPayloads", std::move(payloads));
    }
    const Value* newFlags = response->find("featureFlags");
    const Value* newPayloads = response->find("featureFlagPayloads");
    if (!newFlags || !newFlags->isObject() || !newPayloads || !newPayloads->isObject()) {
        ridezavLog("Error: Flags response missing correct featureFlags format");
        finish(std::nullopt);
        return;
    }
    const Value* detailsValue = response->find("flags");
    const std::optional<Object> details =
        detailsValue && detailsValue->isObject() ? std::optional<Object>(*detailsValue->get<Object>()) : std::nullopt;
    const Value* requestIdValue = response->find("requestId");
    const Value* evaluatedAtValue = response->find("evaluatedAt");
    const Value* errorsValue = response->find("errorsWhileComputingFlags");
    const bool errors = errorsValue && errorsValue->isBool() && *errorsValue->get<bool>();
    Object result;
    {
        std::lock_guard lock(featureFlagsLock_);
        if (requestIdValue && requestIdValue->isString()) {
            requestId_ = *requestIdValue->get<std::string>();
            storage_->setJSON(StorageKey::requestId, *requestIdValue);
        }
        if (evaluatedAtValue && evaluatedAtValue->isInteger()) {
            evaluatedAt_ = evaluatedAtValue->asInt64();
            storage_->setJSON(StorageKey::evaluatedAt, *evaluatedAtValue);
        }
        Object featureFlags = *newFlags->get<Object>();
        Object payloads = *newPayloads->get<Object>();
        std::optional<Object> flags = details;
        if (errors) {
            // A partial answer: what it holds wins, the rest of the cache stays.
            Object merged = getCachedFeatureFlags().value_or(Object{});
            mergeOver(merged, featureFlags);
            featureFlags = std::move(merged);
            Object mergedPayloads = getCachedFeatureFlagPayloads().value_or(Object{});
            mergeOver(mergedPayloads, payloads);
            payloads = std::move(mergedPayloads);
            if (details) {
                Object mergedDetails = getCachedFlags().value_or(Object{});
                mergeOver(mergedDetails, *details);
                flags = std::move(mergedDetails);
            }
        }
        featureFlags_ = featureFlags;
        featureFlagPayloads_ = payloads;
        storage_->setJSON(StorageKey::enabledFeatureFlags, featureFlags);
        storage_->setJSON(StorageKey::enabledFeatureFlagPayloads, payloads);
        if (flags) {
            flags_ = *flags;
            storage_->setJSON(StorageKey::flags, *flags);
        }
        result = std::move(featureFlags);
    }
    finish(result);
}

std::optional<RideZavFeatureFlagResult> RideZavRemoteConfig::getFeatureFlagResult(const std::string& key) {
    std::optional<Value> value;
    std::optional<Value> payload;
    {
        std::lock_guard lock(featureFlagsLock_);
        if (auto flags = getCachedFeatureFlags(); flags && flags->find(key)) value = *flags->find(key);
        if (auto payloads = getCachedFeatureFlagPayloads(); payloads && payloads->find(key)) payload = *payloads->find(key);
    }
    if (!value) return std::nullopt;
    if (payload && payload->isString()) {
        const std::string& text = *payload->get<std::string>();
        if (auto parsed = parseJSON(text)) {
            payload = std::move(*parsed);
        } else {
            std::string error = "invalid JSON text";
            try {
                const auto ignored = OrderedJSON::parse(text);
                (void)ignored;
            } catch (const std::exception& e) {
                error = e.what();
            }
            ridezavLog("Error parsing the object " + text + ": " + error);
        }
    }
    if (const auto* variant = value->get<std::string>()) return RideZavFeatureFlagResult(key, true, *variant, payload);
    const auto* enabled = value->get<bool>();
    return RideZavFeatureFlagResult(key, enabled && *enabled, std::nullopt, payload);
}

void RideZavRemoteConfig::mergePersonPropertiesForFlags(const Object& properties) {
    std::lock_guard lock(personPropertiesForFlagsLock_);
    for (const auto& [key, value] : properties) personPropertiesForFlags_.set(key, value);
    storage_->setJSON(StorageKey::personPropertiesForFlags, personPropertiesForFlags_);
}

RideZavRemoteConfig::FlagReportContext RideZavRemoteConfig::flagReportContext(const std::string& key) {
    FlagReportContext context;
    std::lock_guard lock(featureFlagsLock_);
    context.requestId = requestId_ ? *requestId_ : storage_->getString(StorageKey::requestId).value_or("");
    context.evaluatedAt = evaluatedAt_ ? evaluatedAt_ : storage_->getNumber(StorageKey::evaluatedAt);
    if (auto flags = getCachedFlags())
        if (const Value* details = flags->find(key)) context.details = *details;
    return context;
}

void RideZavRemoteConfig::resetPersonPropertiesForFlags() {
    std::lock_guard lock(personPropertiesForFlagsLock_);
    personPropertiesForFlags_ = Object{};
    storage_->setJSON(StorageKey::personPropertiesForFlags, Object{});
}

namespace {

Object groupsObject(const std::map<std::string, Object>& groups) {
    Object object;
    for (const auto& [type, properties] : groups) object.set(type, properties);
    return object;
}

}  // namespace

void RideZavRemoteConfig::setGroupPropertiesForFlags(const std::string& type, const Object& properties) {
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    mergeOver(groupPropertiesForFlags_[type], properties);
    storage_->setJSON(StorageKey::groupPropertiesForFlags, groupsObject(groupPropertiesForFlags_));
}

void RideZavRemoteConfig::resetGroupPropertiesForFlags(const std::optional<std::string>& type) {
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    if (type)
        groupPropertiesForFlags_.erase(*type);
    else
        groupPropertiesForFlags_.clear();
    storage_->setJSON(StorageKey::groupPropertiesForFlags, groupsObject(groupPropertiesForFlags_));
}

void RideZavRemoteConfig::finishLoadingFeatureFlags(const std::optional<Object>& result) {
    std::weak_ptr<RideZavRemoteConfig> weak = weak_from_this();
    velmo::MainLoop::postToMain([weak, result] {
        if (auto self = weak.lock()) self->onFeatureFlagsLoaded.invoke(result);
        velmo::NotificationCenter::defaultCenter().post("RideZavDidReceiveFeatureFlags");
    });
    std::optional<PendingFeatureFlagsRequest> pending;
    {
        std::lock_guard lock(loadingFeatureFlagsLock_);
        loadingFeatureFlags_ = false;
        pending = std::exchange(pendingFeatureFlagsRequest_, std::nullopt);
    }
    if (pending) loadFeatureFlags(pending->distinctId, pending->anonymousId, pending->groups, std::move(pending->callback));
}

}  // namespace ridezav
