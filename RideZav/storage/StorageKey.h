#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace ridezav {

// One persisted value of the client; its raw value is the file (or folder) name.
enum class StorageKey {
    distinctId,
    anonymousId,
    queue,
    oldQeueue,
    replayQeueue,
    enabledFeatureFlags,
    enabledFeatureFlagPayloads,
    flags,
    groups,
    registerProperties,
    optOut,
    sessionReplay,
    isIdentified,
    personProcessingEnabled,
    remoteConfig,
    surveySeen,
    lastSeenSurveyDate,
    requestId,
    evaluatedAt,
    personPropertiesForFlags,
    groupPropertiesForFlags,
    errorTracking,
};

inline constexpr std::size_t storageKeyCount = 22;

// Every key in declared order.
const std::array<StorageKey, storageKeyCount>& allStorageKeys();
// "ridezav.anonymousId", "ridezav.queueFolder", ...
std::string_view rawValue(StorageKey key);
// The case name shown in log lines ("anonymousId").
std::string_view caseName(StorageKey key);
// Exact match with one of the raw values only.
std::optional<StorageKey> storageKeyFromRawValue(std::string_view raw);

}  // namespace ridezav
