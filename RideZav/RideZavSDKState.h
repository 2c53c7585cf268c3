#pragma once

// Shared by the facade's source files only.

#include <map>
#include <memory>
#include <string>

#include "RideZav/RideZavSDK.h"
#include "RideZav/core/RideZavValue.h"
#include "RideZav/core/WallClock.h"

namespace ridezav {

class RideZavApi;

// What set-up made, published once; readers keep their copy for the length of a call.
struct RideZavSDK::State {
    std::shared_ptr<RideZavConfig> config;
    std::shared_ptr<RideZavStorage> storage;
    std::shared_ptr<RideZavApi> api;
    std::shared_ptr<RideZavStorageManager> storageManager;
    std::shared_ptr<Reachability> reachability;
    std::shared_ptr<RideZavContext> context;
    std::shared_ptr<RideZavQueue> queue;
    std::shared_ptr<RideZavQueue> replayQueue;
};

namespace facade {

inline constexpr const char* kOptOutLine = "RideZav is in OptOut state.";

inline Date presentTime() { return WallClock::current()->now(); }

// Merge keeping the value already present (first writer wins).
inline void mergeKeepingExisting(Object& into, const Object& from) {
    for (const auto& [key, value] : from) into.insertIfAbsent(key, value);
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
