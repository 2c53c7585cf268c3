#include "RideZav/storage/StorageKey.h"

namespace ridezav {

namespace {
struct KeyNames {
    std::string_view raw;
    std::string_view caseName;
};

constexpr std::array<KeyNames, storageKeyCount> names = {{
    {"ridezav.distinctId", "distinctId"},
    {"ridezav.anonymousId", "anonymousId"},
    {"ridezav.queueFolder", "queue"},
    {"ridezav.queue.plist", "oldQeueue"},
    {"ridezav.replayFolder", "replayQeueue"},
    {"ridezav.enabledFeatureFlags", "enabledFeatureFlags"},
    {"ridezav.enabledFeatureFlagPayloads", "enabledFeatureFlagPayloads"},
    {"ridezav.flags", "flags"},
    {"ridezav.groups", "groups"},
    {"ridezav.registerProperties", "registerProperties"},
    {"ridezav.optOut", "optOut"},
    {"ridezav.sessionReplay", "sessionReplay"},
    {"ridezav.isIdentified", "isIdentified"},
    {"ridezav.enabledPersonProcessing", "personProcessingEnabled"},
    {"ridezav.remoteConfig", "remoteConfig"},
    {"ridezav.surveySeen", "surveySeen"},
    {"ridezav.lastSeenSurveyDate", "lastSeenSurveyDate"},
    {"ridezav.requestId", "requestId"},
    {"ridezav.evaluatedAt", "evaluatedAt"},
    {"ridezav.personPropertiesForFlags", "personPropertiesForFlags"},
    {"ridezav.groupPropertiesForFlags", "groupPropertiesForFlags"},
    {"ridezav.errorTracking", "errorTracking"},
}};

constexpr std::array<StorageKey, storageKeyCount> makeAll() {
    std::array<StorageKey, storageKeyCount> keys{};
    for (std::size_t i = 0; i < storageKeyCount; ++i) keys[i] = StorageKey(i);
    return keys;
}
}  // namespace

const std::array<StorageKey, storageKeyCount>& allStorageKeys() {
    static constexpr auto keys = makeAll();
    return keys;
}

std::string_view rawValue(StorageKey key) { return names[std::size_t(key)].raw; }

std::string_view caseName(StorageKey key) { return names[std::size_t(key)].caseName; }

std::optional<StorageKey> storageKeyFromRawValue(std::string_view raw) {
    for (std::size_t i = 0; i < storageKeyCount; ++i)
        if (names[i].raw == raw) return StorageKey(i);
    return std::nullopt;
}

}  // namespace ridezav
