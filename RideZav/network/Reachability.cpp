#include "RideZav/network/Reachability.h"

#include <cstring>
#include <thread>

#include "platform/runtime/MainLoop.h"
#include "platform/runtime/NotificationCenter.h"
#include "platform/runtime/SerialQueue.h"

namespace ridezav {
namespace F = velmo::ReachabilityFlag;

std::string_view describe(Connection connection) {
    switch (connection) {
        case Connection::unavailable:
            return "No Connection";
        case Connection::wifi:
            return "WiFi";
        case Connection::cellular:
            return "Cellular";
    }
    return "No Connection";
}

namespace {

std::string kindName(ReachabilityError::Kind kind) {
    switch (kind) {
        case ReachabilityError::Kind::failedToCreateWithAddress:
            return "failedToCreateWithAddress";
        case ReachabilityError::Kind::failedToCreateWithHostname:
            return "failedToCreateWithHostname";
        case ReachabilityError::Kind::unableToSetCallback:
            return "unableToSetCallback";
        case ReachabilityError::Kind::unableToSetDispatchQueue:
            return "unableToSetDispatchQueue";
        case ReachabilityError::Kind::unableToGetFlags:
            return "unableToGetFlags";
    }
    return "unknown";
}

}  // namespace

ReachabilityError::ReachabilityError(Kind kind, int code, std::string detail)
    : kind_(kind),
      code_(code),
      message_(kindName(kind) + " (" + std::to_string(code) + ")") {
    if (!detail.empty()) message_ += ": " + detail;
}

std::string describeFlags(std::optional<ReachabilityFlags> flags) {
    if (!flags) return "unavailable flags";
    const auto bit = [&](ReachabilityFlags f, char c) { return (*flags & f) ? c : '-'; };
    std::string text;
    text += '-';  // no wide-area flag here
    text += bit(F::reachable, 'R');
    text += ' ';
    text += bit(F::connectionRequired, 'c');
    text += bit(F::transientConnection, 't');
    text += bit(F::interventionRequired, 'i');
    text += bit(F::connectionOnTraffic, 'C');
    text += bit(F::connectionOnDemand, 'D');
    text += bit(F::isLocalAddress, 'l');
    text += bit(F::isDirect, 'd');
    return text;
}

Connection connectionFor(std::optional<ReachabilityFlags> flags) {
    if (!flags || !(*flags & F::reachable)) return Connection::unavailable;
    if (!(*flags & F::connectionRequired)) return Connection::wifi;
    if ((*flags & (F::connectionOnTraffic | F::connectionOnDemand)) && !(*flags & F::interventionRequired)) return Connection::wifi;
    return Connection::unavailable;
}

Reachability::DispatchQueue Reachability::mainQueue() {
    return [](std::function<void()> work) { velmo::MainLoop::postToMain(std::move(work)); };
}

std::shared_ptr<Reachability> Reachability::create(DispatchQueue notificationQueue) {
    int error = 0;
    auto target = velmo::makeDefaultRouteReachabilityTarget(&error);
    if (!target)
        throw ReachabilityError(ReachabilityError::Kind::failedToCreateWithAddress, error, "0.0.0.0: " + std::string(std::strerror(error)));
    return create(std::move(target), std::move(notificationQueue));
}

std::shared_ptr<Reachability> Reachability::create(std::shared_ptr<velmo::NetworkReachabilityTarget> target,
                                                   DispatchQueue notificationQueue) {
    return std::shared_ptr<Reachability>(new Reachability(std::move(target), std::move(notificationQueue)));
}

Reachability::Reachability(std::shared_ptr<velmo::NetworkReachabilityTarget> target, DispatchQueue notificationQueue)
    : target_(std::move(target)),
      serialQueue_(std::make_shared<velmo::SerialQueue>("com.ridezav.Reachability")),
      notificationQueue_(std::move(notificationQueue)),
      notificationCenter_(&velmo::NotificationCenter::defaultCenter()) {}

Reachability::~Reachability() {
    stopNotifier();
    // The last reference may go on the serial queue itself, which cannot join its own thread.
    if (serialQueue_->isCurrent()) std::thread([queue = std::move(serialQueue_)]() mutable { queue.reset(); }).detach();
}

void Reachability::setWhenReachable(NetworkReachable callback) {
    std::lock_guard lock(mutex_);
    whenReachable_ = std::move(callback);
}

void Reachability::setWhenUnreachable(NetworkUnreachable callback) {
    std::lock_guard lock(mutex_);
    whenUnreachable_ = std::move(callback);
}

RegistrationToken Reachability::subscribeWhenReachable(NetworkReachable callback) {
    return reachableSubscribers_.subscribe(std::move(callback));
}

RegistrationToken Reachability::subscribeWhenUnreachable(NetworkUnreachable callback) {
    return unreachableSubscribers_.subscribe(std::move(callback));
}

bool Reachability::allowsCellularConnection() const {
    std::lock_guard lock(mutex_);
    return allowsCellularConnection_;
}

void Reachability::setAllowsCellularConnection(bool allows) {
    std::lock_guard lock(mutex_);
    allowsCellularConnection_ = allows;
}

void Reachability::setNotificationCenter(velmo::NotificationCenter* center) {
    std::lock_guard lock(mutex_);
    notificationCenter_ = center ? center : &velmo::NotificationCenter::defaultCenter();
}

void Reachability::startNotifier() {
    {
        std::lock_guard lock(mutex_);
        if (notifierRunning_) return;
    }
    std::weak_ptr<Reachability> weak = weak_from_this();
    if (!target_->setCallback([weak](ReachabilityFlags flags) {
            if (auto self = weak.lock()) self->store(flags);
        })) {
        const int code = target_->lastError();
        stopNotifier();
        throw ReachabilityError(ReachabilityError::Kind::unableToSetCallback, code);
    }
    if (!target_->setDispatchQueue(serialQueue_)) {
        const int code = target_->lastError();
        stopNotifier();
        throw ReachabilityError(ReachabilityError::Kind::unableToSetDispatchQueue, code);
    }
    setReachabilityFlags();
    std::lock_guard lock(mutex_);
    notifierRunning_ = true;
}

void Reachability::stopNotifier() {
    target_->setCallback(nullptr);
    target_->setDispatchQueue(nullptr);
    std::lock_guard lock(mutex_);
    notifierRunning_ = false;
}

void Reachability::setReachabilityFlags() {
    std::exception_ptr failure;
    serialQueue_->sync([&] {
        try {
            readFlagsOnQueue();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
}

void Reachability::readFlagsOnQueue() {
    const auto flags = target_->flags();
    if (!flags) {
        const int code = target_->lastError();
        stopNotifier();
        throw ReachabilityError(ReachabilityError::Kind::unableToGetFlags, code);
    }
    store(*flags);
}

void Reachability::store(ReachabilityFlags flags) {
    bool changed;
    {
        std::lock_guard lock(mutex_);
        changed = !flags_ || *flags_ != flags;
        flags_ = flags;
    }
    if (changed) notify();
}

void Reachability::notify() {
    std::weak_ptr<Reachability> weak = weak_from_this();
    auto deliver = [weak] {
        if (auto self = weak.lock()) self->deliver();
    };
    if (notificationQueue_)
        notificationQueue_(std::move(deliver));
    else
        deliver();
}

void Reachability::deliver() {
    // Flags are always known here, so this never waits on the serial queue.
    const Connection now = connectionFor(flags());
    NetworkReachable single;
    velmo::NotificationCenter* center;
    {
        std::lock_guard lock(mutex_);
        single = now != Connection::unavailable ? whenReachable_ : whenUnreachable_;
        center = notificationCenter_;
    }
    if (single) single(*this);
    (now != Connection::unavailable ? reachableSubscribers_ : unreachableSubscribers_).invoke(*this);
    center->post(reachabilityChangedNotification, std::weak_ptr<Reachability>(weak_from_this()));
}

Connection Reachability::connection() {
    if (!flags()) {
        try {
            setReachabilityFlags();
        } catch (const ReachabilityError&) {
            // Unknown flags read as no connection.
        }
    }
    return connectionFor(flags());
}

std::string Reachability::flagsDescription() const { return describeFlags(flags()); }

std::optional<ReachabilityFlags> Reachability::flags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

bool Reachability::notifierRunning() const {
    std::lock_guard lock(mutex_);
    return notifierRunning_;
}

}  // namespace ridezav
