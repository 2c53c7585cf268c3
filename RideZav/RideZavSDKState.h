#pragma once

// The facade's internals shared by its source files; not for callers of the library.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "RideZav/RideZavSDK.h"
#include "RideZav/core/RideZavValue.h"
#include "RideZav/core/WallClock.h"

namespace ridezav {

class RideZavApi;
class RideZavRemoteConfig;

// What set-up made, published once; readers keep their copy for the length of a call.
struct RideZavSDK::State {
    std::shared_ptr<RideZavConfig> config;
    std::shared_ptr<RideZavStorage> storage;
    std::shared_ptr<RideZavApi> api;
    std::shared_ptr<RideZavStorageManager> storageManager;
    std::shared_ptr<RideZavRemoteConfig> remoteConfig;
    std::shared_ptr<Reachability> reachability;
    std::shared_ptr<RideZavContext> context;
    std::shared_ptr<RideZavQueue> queue;
    std::shared_ptr<RideZavQueue> replayQueue;
};

namespace facade {

inline Date presentTime() { return WallClock::current()->now(); }

// Merge keeping the value already present (first writer wins). Large maps (many flags) look
// their keys up in a hash set instead of one linear search per key.
inline void mergeKeepingExisting(Object& into, const Object& from) {
    if (into.size() * from.size() <= 512) {
        for (const auto& [key, value] : from) into.insertIfAbsent(key, value);
        return;
    }
    std::unordered_set<std::string_view> present;
    present.reserve(into.size() + from.size());
    for (const auto& entry : into) present.insert(entry.first);
    std::vector<const Object::Entry*> added;  // collected first: appending moves into's keys
    for (const auto& entry : from)
        if (present.insert(entry.first).second) added.push_back(&entry);
    into.reserve(into.size() + added.size());
    for (const Object::Entry* entry : added) into.append(entry->first, entry->second);
}

// The text-to-text entries of a stored map; everything else is skipped.
inline std::map<std::string, std::string> textToText(const Value* value) {
    std::map<std::string, std::string> out;
    const Object* object = value ? value->get<Object>() : nullptr;
    if (!object) return out;
    for (const auto& [key, entry] : *object)
        if (const auto* text = entry.get<std::string>()) out.emplace(key, *text);
    return out;
}

inline Object groupsObject(const std::map<std::string, std::string>& groups) {
    Object out;
    for (const auto& [type, key] : groups) out.set(type, key);
    return out;
}

}  // namespace facade

}  // namespace ridezav
