// The facade's feature-flag operations: properties for flag evaluation, reloads, reads, and the
// feature-view, feature-interaction and "$feature_flag_called" events.

#include "RideZav/RideZavSDK.h"

#include "RideZav/RideZavSDKState.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavUtils.h"
#include "RideZav/delivery/RideZavRemoteConfig.h"

namespace ridezav {

namespace {

// The value the application sees: the variant when there is one, else the enabled state.
Value flagValue(const RideZavFeatureFlagResult& result) {
    if (result.variant()) return *result.variant();
    return result.enabled();
}

Value entryOrNull(const Object& object, std::string_view key) {
    const Value* value = object.find(key);
    return value ? *value : Value(nullptr);
}

}  // namespace

void RideZavSDK::setPersonPropertiesForFlags(const Object& properties, bool reloadFeatureFlags) {
    if (!setupGuard()) return;
    auto remote = remoteConfig();
    if (!remote) return;
    auto sanitized = sanitize(properties);
    if (!sanitized || sanitized->empty()) return;  // nothing to send, so no reload either
    remote->mergePersonPropertiesForFlags(*sanitized);
    if (reloadFeatureFlags) remote->reloadFeatureFlags();
}

void RideZavSDK::resetPersonPropertiesForFlags(bool reloadFeatureFlags) {
    if (!setupGuard()) return;
    auto remote = remoteConfig();
    if (!remote) return;
    remote->resetPersonPropertiesForFlags();
    if (reloadFeatureFlags) remote->reloadFeatureFlags();
}

void RideZavSDK::setGroupPropertiesForFlags(const std::string& groupType, const Object& properties, bool reloadFeatureFlags) {
    if (!setupGuard()) return;
    auto remote = remoteConfig();
    if (!remote) return;
    auto sanitized = sanitize(properties);
    if (!sanitized || sanitized->empty()) return;
    remote->setGroupPropertiesForFlags(groupType, *sanitized);
    if (reloadFeatureFlags) remote->reloadFeatureFlags();
}

void RideZavSDK::resetGroupPropertiesForFlags(bool reloadFeatureFlags) {
    if (!setupGuard()) return;
    auto remote = remoteConfig();
    if (!remote) return;
    remote->resetGroupPropertiesForFlags(std::nullopt);
    if (reloadFeatureFlags) remote->reloadFeatureFlags();
}

void RideZavSDK::resetGroupPropertiesForFlags(const std::string& groupType, bool reloadFeatureFlags) {
    if (!setupGuard()) return;
    auto remote = remoteConfig();
    if (!remote) return;
    remote->resetGroupPropertiesForFlags(groupType);
    if (reloadFeatureFlags) remote->reloadFeatureFlags();
}

void RideZavSDK::reloadFeatureFlags() {
    if (!setupGuard()) return;
    if (auto remote = remoteConfig()) remote->reloadFeatureFlags();
}

void RideZavSDK::reloadFeatureFlags(std::function<void()> callback) {
    if (!setupGuard()) return;
    auto remote = remoteConfig();
    if (!remote) return;
    remote->reloadFeatureFlags([callback = std::move(callback)](const std::optional<Object>&) {
        if (callback) callback();
    });
}

void RideZavSDK::captureFeatureView(const std::string& flag, std::optional<std::string> flagVariant) {
    captureFeatureEvent("$feature_view", flag, flagVariant);
}

void RideZavSDK::captureFeatureInteraction(const std::string& flag, std::optional<std::string> flagVariant) {
    captureFeatureEvent("$feature_interaction", flag, flagVariant);
}

void RideZavSDK::captureFeatureEvent(const std::string& event, const std::string& flag, const std::optional<std::string>& flagVariant) {
    if (!setupGuard()) return;
    if (!stateUnlessOptedOut()) return;
    const std::string operation = event == "$feature_view" ? "captureFeatureView" : "captureFeatureInteraction";
    std::optional<Value> value;
    if (flagVariant)
        value = *flagVariant;
    else
        value = getFeatureFlag(flag, false);
    if (!value) {
        ridezavLog(operation + " called for flag '" + flag + "' but no variant value is available. Event will not be captured.");
        return;
    }
    Object properties{{"feature_flag", flag}};
    if (value->isString()) properties.set("feature_flag_variant", *value);
    Object personProperties{{event + "/" + flag, *value}};
    captureInternal(event, std::nullopt, std::move(properties), std::move(personProperties), std::nullopt, std::nullopt, std::nullopt);
}

std::optional<RideZavFeatureFlagResult> RideZavSDK::getFeatureFlagResult(const std::string& key) {
    if (!setupGuard()) return std::nullopt;
    auto current = state();
    return getFeatureFlagResult(key, current && current->config->sendFeatureFlagEvent);
}

std::optional<RideZavFeatureFlagResult> RideZavSDK::getFeatureFlagResult(const std::string& key, bool sendFeatureFlagEvent) {
    if (!setupGuard()) return std::nullopt;
    auto remote = remoteConfig();
    if (!remote) return std::nullopt;
    auto result = remote->getFeatureFlagResult(key);
    if (sendFeatureFlagEvent) reportFeatureFlagCalled(key, result ? flagValue(*result) : Value(nullptr));
    return result;
}

std::optional<Value> RideZavSDK::getFeatureFlag(const std::string& key) {
    if (!setupGuard()) return std::nullopt;
    auto current = state();
    return getFeatureFlag(key, current && current->config->sendFeatureFlagEvent);
}

std::optional<Value> RideZavSDK::getFeatureFlag(const std::string& key, bool sendFeatureFlagEvent) {
    auto result = getFeatureFlagResult(key, sendFeatureFlagEvent);
    if (!result) return std::nullopt;
    return flagValue(*result);
}

bool RideZavSDK::isFeatureEnabled(const std::string& key) {
    if (!setupGuard()) return false;
    auto current = state();
    return isFeatureEnabled(key, current && current->config->sendFeatureFlagEvent);
}

bool RideZavSDK::isFeatureEnabled(const std::string& key, bool sendFeatureFlagEvent) {
    auto value = getFeatureFlag(key, sendFeatureFlagEvent);
    if (!value) return false;
    if (value->isString()) return true;
    const bool* enabled = value->get<bool>();
    return enabled && *enabled;
}

std::optional<Value> RideZavSDK::getFeatureFlagPayload(const std::string& key) {
    auto result = getFeatureFlagResult(key, false);
    if (!result) return std::nullopt;
    return result->payload();
}

void RideZavSDK::reportFeatureFlagCalled(const std::string& key, const Value& value) {
    auto remote = remoteConfig();
    if (!remote) return;
    {
        std::lock_guard lock(flagCallReportedLock_);
        auto& reported = flagCallReported_[key];
        // Value equality: none with none, Bool with the same Bool, String with the same text.
        for (const Value& seen : reported)
            if (seen == value) return;
        reported.push_back(value);
    }
    const auto context = remote->flagReportContext(key);
    Object properties{{"$feature_flag", key}, {"$feature_flag_response", value}, {"$feature_flag_request_id", context.requestId}};
    if (context.evaluatedAt) properties.set("$feature_flag_evaluated_at", *context.evaluatedAt);
    if (const Object* details = context.details ? context.details->get<Object>() : nullptr) {
        if (const Value* reason = details->find("reason"); reason && reason->isObject())
            properties.set("$feature_flag_reason", entryOrNull(*reason->get<Object>(), "description"));
        if (const Value* metadata = details->find("metadata"); metadata && metadata->isObject()) {
            properties.set("$feature_flag_id", entryOrNull(*metadata->get<Object>(), "id"));
            properties.set("$feature_flag_version", entryOrNull(*metadata->get<Object>(), "version"));
        }
    }
    captureInternal("$feature_flag_called", std::nullopt, std::move(properties), std::nullopt, std::nullopt, std::nullopt, std::nullopt);
}

}  // namespace ridezav
