#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace velmo {

class SerialQueue;

// Reachability flag bits, with the values the analytics wire format and its descriptions use.
using ReachabilityFlags = std::uint32_t;
namespace ReachabilityFlag {
inline constexpr ReachabilityFlags transientConnection = 1u << 0;
inline constexpr ReachabilityFlags reachable = 1u << 1;
inline constexpr ReachabilityFlags connectionRequired = 1u << 2;
inline constexpr ReachabilityFlags connectionOnTraffic = 1u << 3;
inline constexpr ReachabilityFlags interventionRequired = 1u << 4;
inline constexpr ReachabilityFlags connectionOnDemand = 1u << 5;
inline constexpr ReachabilityFlags isLocalAddress = 1u << 16;
inline constexpr ReachabilityFlags isDirect = 1u << 17;
}  // namespace ReachabilityFlag

// A watched network destination: its flags now, and a change callback run on a serial queue.
// Failures return false / none and leave an errno-style code in lastError().
// Thread contract: every operation may be called from any thread; the callback runs on the
// attached queue only, never while the target holds a lock.
class NetworkReachabilityTarget {
public:
    using Callback = std::function<void(ReachabilityFlags)>;
    virtual ~NetworkReachabilityTarget() = default;

    virtual std::optional<ReachabilityFlags> flags() = 0;
    // Installs the change callback; an empty one removes it.
    virtual bool setCallback(Callback callback) = 0;
    // The queue the callback runs on; null detaches it. Changes are watched only while both a
    // callback and a queue are set.
    virtual bool setDispatchQueue(std::shared_ptr<SerialQueue> queue) = 0;
    virtual int lastError() const = 0;
};

// "Any route to the internet" on this machine: reachable while a default route (IPv4 or IPv6)
// leaves through a link that is up, running and not loopback. Read from and watched on a
// NETLINK_ROUTE socket (links, addresses, routes), whose descriptor the main loop watches;
// every event re-evaluates. Null when the socket cannot be opened (`error` gets errno).
std::shared_ptr<NetworkReachabilityTarget> makeDefaultRouteReachabilityTarget(int* error = nullptr);

}  // namespace velmo
