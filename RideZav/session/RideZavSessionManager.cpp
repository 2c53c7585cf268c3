#include "RideZav/session/RideZavSessionManager.h"

#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavSdkIdentity.h"
#include "RideZav/core/TimeBasedEpochGenerator.h"
#include "RideZav/core/WallClock.h"
#include "RideZav/integrations/DIContainer.h"

namespace ridezav {
namespace {

struct ReasonNames {
    SessionIDChangeReason reason;
    std::string_view raw;
    std::string_view name;
};
constexpr ReasonNames reasonNames[] = {
    {SessionIDChangeReason::sessionIdEmpty, "Session id was empty", "sessionIdEmpty"},
    {SessionIDChangeReason::sessionStart, "Session started", "sessionStart"},
    {SessionIDChangeReason::sessionEnd, "Session ended", "sessionEnd"},
    {SessionIDChangeReason::sessionReset, "Session was reset", "sessionReset"},
    {SessionIDChangeReason::sessionTimeout, "Session timed out", "sessionTimeout"},
    {SessionIDChangeReason::sessionPastMaximumLength, "Session past maximum length", "sessionPastMaximumLength"},
    {SessionIDChangeReason::customSessionId, "Custom session set", "customSessionId"},
};

double secondsSince1970(Date date) { return std::chrono::duration<double>(date.time_since_epoch()).count(); }

std::string newSessionId() { return TimeBasedEpochGenerator::shared().generateV7().uuidString(); }

// Elapsed time past a threshold; none or zero or less (a clock set back) never is.
bool expired(std::optional<double> since, double now, std::chrono::duration<double> threshold) {
    if (!since) return false;
    const double elapsed = now - *since;
    return elapsed > 0 && elapsed > threshold.count();
}

}  // namespace

std::string_view rawValue(SessionIDChangeReason reason) {
    for (const auto& entry : reasonNames)
        if (entry.reason == reason) return entry.raw;
    return {};
}

std::string_view caseName(SessionIDChangeReason reason) {
    for (const auto& entry : reasonNames)
        if (entry.reason == reason) return entry.name;
    return {};
}

std::optional<SessionIDChangeReason> sessionIDChangeReasonFromRawValue(std::string_view raw) {
    for (const auto& entry : reasonNames)
        if (entry.raw == raw) return entry.reason;
    return std::nullopt;
}

std::shared_ptr<RideZavSessionManager> RideZavSessionManager::create() {
    return std::shared_ptr<RideZavSessionManager>(new RideZavSessionManager());
}

const std::shared_ptr<RideZavSessionManager>& RideZavSessionManager::shared() {
    static const auto* manager = new std::shared_ptr<RideZavSessionManager>(create());  // never released
    return *manager;
}

Date RideZavSessionManager::now() { return WallClock::current()->now(); }

bool RideZavSessionManager::managedByHost() { return rideZavSdkName() == "ridezav-react-native"; }

bool RideZavSessionManager::isAppInBackground() const {
    std::lock_guard lock(sessionLock_);
    return isAppInBackground_;
}

void RideZavSessionManager::setSessionIdLocked(std::optional<std::string> id, std::optional<Date> at, SessionIDChangeReason reason) {
    {
        std::lock_guard lock(sessionLock_);
        sessionId_ = id;
        const std::optional<double> seconds = at ? std::optional<double>(secondsSince1970(*at)) : std::nullopt;
        sessionStartTimestamp_ = seconds;
        sessionActivityTimestamp_ = seconds;
    }
    onSessionIdChanged_.invoke();
    if (id)
        ridezavLog("New session id created " + *id + " (" + std::string(caseName(reason)) + ")");
    else
        ridezavLog("Session id cleared - reason: (" + std::string(caseName(reason)) + ")");
}

std::optional<std::string> RideZavSessionManager::rotateSession(Date at, SessionIDChangeReason reason) {
    std::optional<std::string> current;
    {
        std::lock_guard lock(sessionLock_);
        current = sessionId_;
    }
    if (!current || current->empty()) return current;
    std::string id = newSessionId();
    setSessionIdLocked(id, at, reason);
    return id;
}

std::optional<std::string> RideZavSessionManager::getSessionId(Date at, bool readOnly) {
    const double nowSeconds = secondsSince1970(at);
    std::optional<std::string> id;
    std::optional<double> activity, start;
    bool background;
    {
        std::lock_guard lock(sessionLock_);
        id = sessionId_;
        activity = sessionActivityTimestamp_;
        start = sessionStartTimestamp_;
        background = isAppInBackground_;
    }
    if (managedByHost() || readOnly) return id;
    if ((!id || id->empty()) && !background) {
        std::string fresh = newSessionId();
        setSessionIdLocked(fresh, at, SessionIDChangeReason::sessionIdEmpty);
        return fresh;
    }
    const auto end = [&](SessionIDChangeReason reason) -> std::optional<std::string> {
        if (background) {
            setSessionIdLocked(std::nullopt, std::nullopt, reason);
            return std::nullopt;
        }
        return rotateSession(at, reason);
    };
    if (expired(activity, nowSeconds, sessionActivityThreshold)) return end(SessionIDChangeReason::sessionTimeout);
    if (expired(start, nowSeconds, sessionMaxLengthThreshold)) return end(SessionIDChangeReason::sessionPastMaximumLength);
    return id;
}

void RideZavSessionManager::startSession(std::function<void()> completion) {
    if (managedByHost()) return;
    setSessionIdLocked(newSessionId(), now(), SessionIDChangeReason::sessionStart);
    if (completion) completion();
}

void RideZavSessionManager::endSession() {
    if (managedByHost()) return;
    setSessionIdLocked(std::nullopt, std::nullopt, SessionIDChangeReason::sessionEnd);
}

void RideZavSessionManager::resetSession() {
    if (managedByHost()) return;
    setSessionIdLocked(newSessionId(), now(), SessionIDChangeReason::sessionReset);
}

void RideZavSessionManager::setSessionId(std::string sessionId) {
    setSessionIdLocked(std::move(sessionId), now(), SessionIDChangeReason::customSessionId);
}

void RideZavSessionManager::touchSession() {
    if (managedByHost()) return;
    std::optional<double> activity;
    {
        std::lock_guard lock(sessionLock_);
        if (!sessionId_) return;
        activity = sessionActivityTimestamp_;
    }
    const Date at = now();
    if (expired(activity, secondsSince1970(at), sessionActivityThreshold)) {
        rotateSession(at, SessionIDChangeReason::sessionTimeout);
        return;
    }
    std::lock_guard lock(sessionLock_);
    sessionActivityTimestamp_ = secondsSince1970(at);
}

void RideZavSessionManager::registerApplicationLifecycleObservers() {
    auto& publisher = DI::Container::shared().appLifecyclePublisher();
    std::weak_ptr<RideZavSessionManager> weak = weak_from_this();
    auto active = publisher.onDidBecomeActive().subscribe([weak] {
        if (auto self = weak.lock()) self->didBecomeActive();
    });
    auto background = publisher.onDidEnterBackground().subscribe([weak] {
        if (auto self = weak.lock()) self->didEnterBackground();
    });
    std::lock_guard lock(tokenLock_);
    didBecomeActiveToken_ = std::move(active);  // the earlier subscriptions end here
    didEnterBackgroundToken_ = std::move(background);
}

void RideZavSessionManager::clearLifecycleObservers() {
    RegistrationToken active, background;
    {
        std::lock_guard lock(tokenLock_);
        active = std::move(didBecomeActiveToken_);
        background = std::move(didEnterBackgroundToken_);
    }
}

void RideZavSessionManager::didBecomeActive() {
    if (!isAppInBackground()) return;
    touchSession();
    std::lock_guard lock(sessionLock_);
    isAppInBackground_ = false;
}

void RideZavSessionManager::didEnterBackground() {
    if (isAppInBackground()) return;
    touchSession();
    std::lock_guard lock(sessionLock_);
    isAppInBackground_ = true;
}

}  // namespace ridezav
