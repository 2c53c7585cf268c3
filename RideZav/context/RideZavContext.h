#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RideZav/core/ReadWriteLock.h"
#include "RideZav/core/RideZavValue.h"
#include "platform/foundation/SystemInfo.h"
#include "platform/runtime/NotificationCenter.h"

namespace velmo {
class Bundle;
}

namespace ridezav {

class Reachability;

struct ScreenSize {
    double width = 0;
    double height = 0;
    bool operator==(const ScreenSize&) const = default;
};

// The size of the screen under the pointer, from the process's screen layer.
std::optional<ScreenSize> pointerScreenSize();

// Where the context reads the machine from. The defaults are the real machine; tests point each
// source at fixtures.
struct RideZavContextSources {
    const velmo::Bundle* bundle = nullptr;  // null: the main bundle
    std::function<velmo::KernelInfo()> kernel = velmo::readKernelInfo;
    std::vector<std::string> osReleasePaths = {"/etc/os-release", "/usr/lib/os-release"};
    std::string dmiFolder = "/sys/class/dmi/id";
    velmo::EnvironmentLookup environment = velmo::processEnvironment;
    std::string timezoneFile = "/etc/timezone";
    std::string localtimeLink = "/etc/localtime";
    // The size in points of the screen the user works on: the X11 monitor under the pointer
    // (the primary one when the pointer is on none); none without a desktop. Measured at each
    // capture and on the window notifications, on any thread.
    std::function<std::optional<ScreenSize>()> screenSize = pointerScreenSize;
};

// "$app_build": the integer a decimal text spells (optional sign, no overflow), else the text.
Value appBuildValue(const std::string& text);
// The marketing family of a Mac model identifier ("MacBookPro18,1" -> "MacBook Pro").
std::string macDeviceName(std::string_view model);

// The device, application, operating-system, screen, locale and network properties of every
// event. The static context, the SDK information and the person-properties context are computed
// once and cached; the dynamic context anew on each call, the screen measured again with it.
// Thread contract: every operation from any thread; the caches are guarded by cacheMutex_, the
// screen size by its ReadWriteLock (written on the main thread only).
class RideZavContext : public std::enable_shared_from_this<RideZavContext> {
public:
    // Registers the screen-size observer for a window becoming key, a window changing screen
    // and the application becoming active.
    static std::shared_ptr<RideZavContext> create(std::shared_ptr<Reachability> reachability, RideZavContextSources sources = {});
    ~RideZavContext();
    RideZavContext(const RideZavContext&) = delete;
    RideZavContext& operator=(const RideZavContext&) = delete;

    Object staticContext();
    Object sdkInfo();
    Object personPropertiesContext();
    Object dynamicContext();

    // Re-measures the screen; off the main thread the measurement is posted there.
    void onShouldUpdateScreenSize();

private:
    RideZavContext(std::shared_ptr<Reachability> reachability, RideZavContextSources sources);
    void measureScreenSize();
    Object computeStaticContext() const;

    ReadWriteLock<std::optional<ScreenSize>> screenSize_{std::nullopt};
    const std::shared_ptr<Reachability> reachability_;
    const RideZavContextSources sources_;
    std::mutex cacheMutex_;
    std::optional<Object> theStaticContext_;  // guarded by cacheMutex_
    std::optional<Object> theSdkInfo_;  // guarded by cacheMutex_
    std::optional<Object> thePersonPropertiesContext_;  // guarded by cacheMutex_
    std::vector<velmo::NotificationCenter::Token> observers_;
};

}  // namespace ridezav
