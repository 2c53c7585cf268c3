#pragma once

#include <mutex>
#include <string>

namespace ridezav {

// The library's own name and version, sent as "$lib" and "$lib_version". Process-wide settings
// that a host framework wrapping the library may change; thread-safe.
namespace detail {
struct SdkIdentity {
    std::mutex mutex;  // guards name and version
    std::string name = "ridezav-ios";
    std::string version = "3.47.0";
    static SdkIdentity& shared() {
        static SdkIdentity* identity = new SdkIdentity();  // never released
        return *identity;
    }
};
}  // namespace detail

inline std::string rideZavSdkName() {
    auto& identity = detail::SdkIdentity::shared();
    std::lock_guard lock(identity.mutex);
    return identity.name;
}
inline void setRideZavSdkName(std::string name) {
    auto& identity = detail::SdkIdentity::shared();
    std::lock_guard lock(identity.mutex);
    identity.name = std::move(name);
}
inline std::string rideZavVersion() {
    auto& identity = detail::SdkIdentity::shared();
    std::lock_guard lock(identity.mutex);
    return identity.version;
}
inline void setRideZavVersion(std::string version) {
    auto& identity = detail::SdkIdentity::shared();
    std::lock_guard lock(identity.mutex);
    identity.version = std::move(version);
}

}  // namespace ridezav
