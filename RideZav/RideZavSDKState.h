#pragma once

// The facade's internals shared by its source files; not for callers of the library.

#include <memory>

#include "RideZav/RideZavSDK.h"

namespace ridezav {

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

namespace sdk_lines {
inline constexpr const char* setupGuard =
    "RideZav method was called without `setup` being complete. Call wil be ignored.";
inline constexpr const char* optOut = "RideZav is in OptOut state.";
}  // namespace sdk_lines

}  // namespace ridezav
