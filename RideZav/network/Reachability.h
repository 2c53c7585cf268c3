#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "RideZav/core/RegistrationToken.h"
#include "RideZav/core/RideZavMulticastCallback.h"
#include "platform/net/NetworkReachabilityTarget.h"

namespace velmo {
class NotificationCenter;
class SerialQueue;
}  // namespace velmo

namespace ridezav {

using velmo::ReachabilityFlags;

enum class Connection { unavailable, wifi, cellular };
// "No Connection", "WiFi", "Cellular".
std::string_view describe(Connection connection);

// Declared for callers that use it; nothing here produces or reads it.
enum class NetworkStatus { notReachable, reachableViaWiFi, reachableViaWWAN };

// The posted change notification (object: a std::weak_ptr<Reachability>).
inline constexpr const char* reachabilityChangedNotification = "reachabilityChanged";
// Kept for callers that look for it; nothing posts under it.
inline constexpr const char* ReachabilityChangedNotification = "ReachabilityChangedNotification";

class ReachabilityError : public std::exception {
public:
    enum class Kind {
        failedToCreateWithAddress,
        failedToCreateWithHostname,
        unableToSetCallback,
        unableToSetDispatchQueue,
        unableToGetFlags,
    };
    ReachabilityError(Kind kind, int code, std::string detail = {});
    Kind kind() const { return kind_; }
    int code() const { return code_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Kind kind_;
    int code_;
    std::string message_;
};

// The ten-character description of flags ("-R ------d"), "unavailable flags" when none.
std::string describeFlags(std::optional<ReachabilityFlags> flags);
// The connection the flags give: wifi when reachable and either no connection is required or it
// is made on traffic or on demand without intervention; else unavailable. Never cellular.
Connection connectionFor(std::optional<ReachabilityFlags> flags);

// Watches whether the machine can reach the network. The target calls back on the monitor's
// own serial queue, where flags are read and written; changes are delivered (single-slot
// callbacks, every subscriber, then "reachabilityChanged") on the notification queue, or on the
// serial queue when there is none. The target holds the monitor only weakly, and a monitor
// destroyed while a delivery is queued is skipped.
// Thread contract: all operations from any thread; flags_, the callbacks and notifierRunning_
// are guarded by mutex_, never held while a callback runs.
class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    using NetworkReachable = std::function<void(Reachability&)>;
    using NetworkUnreachable = std::function<void(Reachability&)>;
    // Where deliveries run: takes one piece of work and runs it later, in order.
    using DispatchQueue = std::function<void(std::function<void()>)>;

    // Deliveries posted to the process's main loop.
    static DispatchQueue mainQueue();

    // The address form: any route to the internet (a default route on this machine). Throws
    // failedToCreateWithAddress when the target cannot be made.
    static std::shared_ptr<Reachability> create(DispatchQueue notificationQueue = nullptr);
    // Over a given target (the simulated one in tests).
    static std::shared_ptr<Reachability> create(std::shared_ptr<velmo::NetworkReachabilityTarget> target,
                                                DispatchQueue notificationQueue = nullptr);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    void setWhenReachable(NetworkReachable callback);
    void setWhenUnreachable(NetworkUnreachable callback);
    // Every subscriber hears every change, beside the single-slot callbacks; the token ends it.
    [[nodiscard]] RegistrationToken subscribeWhenReachable(NetworkReachable callback);
    [[nodiscard]] RegistrationToken subscribeWhenUnreachable(NetworkUnreachable callback);

    bool allowsCellularConnection() const;
    void setAllowsCellularConnection(bool allows);  // no connection is cellular here
    bool reachableOnWWAN() const { return true; }
    void setNotificationCenter(velmo::NotificationCenter* center);  // null: the default centre

    // Installs the target's callback and reads the first flags; throws ReachabilityError.
    void startNotifier();
    void stopNotifier();
    // Reads the flags now and delivers a change; throws unableToGetFlags (after stopping).
    void setReachabilityFlags();

    Connection connection();
    std::string description() { return std::string(describe(connection())); }
    bool isReachable() { return connection() != Connection::unavailable; }
    bool isReachableViaWiFi() { return connection() == Connection::wifi; }
    // The diagnostic text of the target's context ("-R ------d").
    std::string flagsDescription() const;

    std::optional<ReachabilityFlags> flags() const;
    bool notifierRunning() const;

private:
    Reachability(std::shared_ptr<velmo::NetworkReachabilityTarget> target, DispatchQueue notificationQueue);
    // On the serial queue: stores the flags and notifies when they changed.
    void store(ReachabilityFlags flags);
    void readFlagsOnQueue();  // throws
    void notify();
    void deliver();

    const std::shared_ptr<velmo::NetworkReachabilityTarget> target_;
    std::shared_ptr<velmo::SerialQueue> serialQueue_;
    const DispatchQueue notificationQueue_;

    mutable std::mutex mutex_;
    NetworkReachable whenReachable_;  // guarded by mutex_
    NetworkUnreachable whenUnreachable_;  // guarded by mutex_
    bool allowsCellularConnection_ = true;  // guarded by mutex_
    velmo::NotificationCenter* notificationCenter_;  // guarded by mutex_
    bool notifierRunning_ = false;  // guarded by mutex_
    std::optional<ReachabilityFlags> flags_;  // guarded by mutex_; written on the serial queue only

    RideZavMulticastCallback<Reachability&> reachableSubscribers_;
    RideZavMulticastCallback<Reachability&> unreachableSubscribers_;
};

}  // namespace ridezav
