// Who the events are about: super properties, identify, person properties and groups.
#include "RideZav/RideZavSDK.h"
#include "RideZav/RideZavSDKState.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavUtils.h"
#include "RideZav/delivery/RideZavQueue.h"
#include "RideZav/storage/RideZavStorage.h"
#include "RideZav/storage/RideZavStorageManager.h"

namespace ridezav {

using namespace facade;

namespace {

bool nonEmpty(const std::optional<Object>& properties) { return properties && !properties->empty(); }

// The stored super properties; an empty map when nothing (or no map) is stored.
Object storedSuperProperties(const RideZavStorage& storage) {
    if (auto stored = storage.getJSON(StorageKey::registerProperties))
        if (const Object* object = stored->get<Object>()) return *object;
    return {};
}

}  // namespace

void RideZavSDK::registerProperties(const Object& properties) {
    if (!setupGuard()) return;
    auto current = state();
    if (!current || !current->storage) return;
    const auto sanitized = sanitize(properties);
    {
        std::lock_guard lock(personPropsLock_);
        Object merged = storedSuperProperties(*current->storage);
        if (sanitized)
            for (const auto& [key, value] : *sanitized) merged.set(key, value);
        current->storage->setJSON(StorageKey::registerProperties, merged);
    }
    refreshEventContext();
}

void RideZavSDK::unregisterProperties(const std::string& key) {
    if (!setupGuard()) return;
    auto current = state();
    if (!current || !current->storage) return;
    {
        std::lock_guard lock(personPropsLock_);
        Object stored = storedSuperProperties(*current->storage);
        stored.erase(key);
        current->storage->setJSON(StorageKey::registerProperties, stored);
    }
    refreshEventContext();
}

void RideZavSDK::identify(const std::string& distinctId, std::optional<Object> userProperties,
                          std::optional<Object> userPropertiesSetOnce) {
    if (!setupGuard()) return;
    if (distinctId.empty()) {
        ridezavLog("identify call not allowed, distinctId is invalid: " + distinctId);
        return;
    }
    auto current = stateUnlessOptedOut();
    if (!current) return;
    if (!requirePersonProcessing("identify(_:userProperties:userPropertiesSetOnce:)")) return;
    if (!current->queue || !current->storageManager) return;
    auto& identity = *current->storageManager;
    const std::string previous = identity.getDistinctId();
    const bool identified = identity.isIdentified();

    if (distinctId == previous) {
        if (nonEmpty(userProperties) || nonEmpty(userPropertiesSetOnce)) {
            if (personPropertiesChanged(distinctId, userProperties, userPropertiesSetOnce))
                captureInternal("$set", distinctId, std::nullopt, userProperties, userPropertiesSetOnce, std::nullopt, std::nullopt);
            else
                ridezavLog("A duplicate identify call was made with the same properties. The $set event has been ignored.");
        } else {
            ridezavLog("already identified with id: " + previous);
        }
        return;
    }
    if (identified) {
        ridezavLog("already identified with id: " + previous);
        return;
    }

    Object properties{{"distinct_id", distinctId}};
    if (!current->config->reuseAnonymousId) {
        identity.setAnonymousId(previous);
        properties.set("$anon_distinct_id", previous);
    }
    identity.setDistinctId(distinctId);
    identity.setIdentified(true);

    const auto user = sanitize(userProperties);
    const auto setOnce = sanitize(userPropertiesSetOnce);
    Object built = buildProperties(*current, distinctId, properties, user, setOnce, std::nullopt, true, std::nullopt);
    auto event = buildEvent("$identify", distinctId, std::move(built), presentTime());
    if (!event) return;  // the identity change stands
    enqueue(*current, *event, false);
    keepPersonPropertiesForFlags(*current, user, setOnce);
    reloadFeatureFlags();
    refreshEventContext();
}

void RideZavSDK::setPersonProperties(std::optional<Object> userPropertiesToSet, std::optional<Object> userPropertiesToSetOnce) {
    if (!setupGuard()) return;
    if (!nonEmpty(userPropertiesToSet) && !nonEmpty(userPropertiesToSetOnce)) return;
    if (!requirePersonProcessing("setPersonProperties(userPropertiesToSet:userPropertiesToSetOnce:)")) return;
    auto current = state();
    if (!current) return;
    const std::string distinctId = current->storageManager ? current->storageManager->getDistinctId() : "";
    if (!personPropertiesChanged(distinctId, userPropertiesToSet, userPropertiesToSetOnce)) {
        ridezavLog("A duplicate setPersonProperties call was made with the same properties. It has been ignored.");
        return;
    }
    // A property to set wins over a set-once property of the same key.
    Object forFlags = userPropertiesToSetOnce.value_or(Object{});
    if (userPropertiesToSet)
        for (const auto& [key, value] : *userPropertiesToSet) forFlags.set(key, value);
    if (!forFlags.empty()) setPersonPropertiesForFlags(forFlags, false);
    captureInternal("$set", distinctId, std::nullopt, std::move(userPropertiesToSet), std::move(userPropertiesToSetOnce), std::nullopt,
                    std::nullopt);
}

void RideZavSDK::group(const std::string& type, const std::string& key, std::optional<Object> groupProperties) {
    if (!setupGuard()) return;
    auto current = stateUnlessOptedOut();
    if (!current) return;
    if (!requirePersonProcessing("group(type:key:groupProperties:)")) return;
    groupsUpdate({{type, key}});
    groupIdentify(type, key, sanitize(groupProperties));
    refreshEventContext();
}

bool RideZavSDK::personPropertiesChanged(const std::string& distinctId, const std::optional<Object>& userProperties,
                                         const std::optional<Object>& userPropertiesSetOnce) {
    Object fingerprint{{"distinct_id", distinctId}};
    if (userProperties) fingerprint.set("userPropertiesToSet", *userProperties);
    if (userPropertiesSetOnce) fingerprint.set("userPropertiesToSetOnce", *userPropertiesSetOnce);
    const auto sanitized = sanitize(fingerprint).value_or(Object{});
    std::string hash;
    if (auto json = jsonData(sanitized, JSONWritingOptions{.sortedKeys = true})) {
        hash = *json;
    } else {
        // Not JSON (text that is not UTF-8): the entries' plain description still tells two calls
        // apart. Bad bytes are replaced there, since the strict writer throws on them.
        for (const auto& [name, value] : sanitized) {
            const auto json = toOrderedJSON(value);
            hash += name + "=" + (json ? json->dump(-1, ' ', false, OrderedJSON::error_handler_t::replace) : "?") + ";";
        }
    }
    std::lock_guard lock(cachedPersonPropertiesLock_);
    if (cachedPersonPropertiesHash_ == hash) return false;
    cachedPersonPropertiesHash_ = std::move(hash);
    return true;
}

bool RideZavSDK::groupsChangeFlags(const std::map<std::string, std::string>& stored, const std::map<std::string, std::string>& given) {
    if (stored.empty()) return true;
    for (const auto& [type, key] : given) {
        auto found = stored.find(type);
        if (found == stored.end() || found->second != key) return true;
    }
    return false;
}

void RideZavSDK::groupsUpdate(const std::map<std::string, std::string>& groups) {
    auto current = state();
    if (!current || !current->storage) return;
    bool reload = false;
    {
        std::lock_guard lock(groupsLock_);
        const auto stored = current->storage->getJSON(StorageKey::groups);
        const auto before = textToText(stored ? &*stored : nullptr);
        auto merged = before;
        for (const auto& [type, key] : groups) merged[type] = key;
        current->storage->setJSON(StorageKey::groups, groupsObject(merged));
        reload = groupsChangeFlags(before, groups);
    }
    if (reload) reloadFeatureFlags();
}

void RideZavSDK::groupIdentify(const std::string& type, const std::string& key, const std::optional<Object>& groupProperties) {
    if (!setupGuard()) return;
    auto current = stateUnlessOptedOut();
    if (!current) return;
    if (!current->queue) return;
    Object properties{{"$group_type", type}, {"$group_key", key}};
    if (groupProperties) properties.set("$group_set", *groupProperties);
    keepGroupPropertiesForFlags(type, groupProperties);
    const std::string distinctId = current->storageManager ? current->storageManager->getDistinctId() : "";
    Object built = buildProperties(*current, distinctId, properties, std::nullopt, std::nullopt, std::nullopt, true, std::nullopt);
    if (auto event = buildEvent("$groupidentify", distinctId, std::move(built), presentTime())) enqueue(*current, *event, false);
}

}  // namespace ridezav
