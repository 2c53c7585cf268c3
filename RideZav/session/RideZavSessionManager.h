#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "RideZav/core/RegistrationToken.h"
#include "RideZav/core/RideZavMulticastCallback.h"
#include "RideZav/core/RideZavValue.h"

namespace ridezav {

enum class SessionIDChangeReason {
    sessionIdEmpty,
    sessionStart,
    sessionEnd,
    sessionReset,
    sessionTimeout,
    sessionPastMaximumLength,
    customSessionId,
};
// "Session id was empty", "Session started", ...
std::string_view rawValue(SessionIDChangeReason reason);
// "sessionIdEmpty", "sessionStart", ... (what the log lines show).
std::string_view caseName(SessionIDChangeReason reason);
// Exact match with a raw value only.
std::optional<SessionIDChangeReason> sessionIDChangeReasonFromRawValue(std::string_view raw);

// The current session id (an upper-case v7 UUID), when the session started and when it was last
// active. A session ends after 1800 s without activity or 86400 s after its start; nothing is
// persisted. Under the library name "ridezav-react-native" the host manages sessions and only
// setSessionId changes the id. Time comes from WallClock::current().
// Thread contract: every operation from any thread; sessionLock_ guards sessionId_, both
// timestamps and isAppInBackground_, and is never held while onSessionIdChanged fires, while an
// id is made or while a line is logged.
class RideZavSessionManager : public std::enable_shared_from_this<RideZavSessionManager> {
public:
    static constexpr std::chrono::duration<double> sessionActivityThreshold{1800};
    static constexpr std::chrono::duration<double> sessionMaxLengthThreshold{86400};

    static std::shared_ptr<RideZavSessionManager> create();
    // The process's manager, made on first use.
    static const std::shared_ptr<RideZavSessionManager>& shared();

    // The id valid at `at`; readOnly never starts, rotates or clears a session.
    std::optional<std::string> getSessionId(Date at, bool readOnly);
    std::optional<std::string> getSessionId() { return getSessionId(now(), true); }
    void startSession(std::function<void()> completion = nullptr);
    void endSession();
    void resetSession();
    void setSessionId(std::string sessionId);
    void touchSession();
    // Subscribes to the lifecycle publisher's become-active and enter-background events.
    void registerApplicationLifecycleObservers();
    void clearLifecycleObservers();

    RideZavMulticastCallback<>& onSessionIdChanged() { return onSessionIdChanged_; }
    bool isAppInBackground() const;

private:
    RideZavSessionManager() = default;
    static Date now();
    static bool managedByHost();
    void setSessionIdLocked(std::optional<std::string> id, std::optional<Date> at, SessionIDChangeReason reason);
    std::optional<std::string> rotateSession(Date at, SessionIDChangeReason reason);
    void didBecomeActive();
    void didEnterBackground();

    mutable std::mutex sessionLock_;
    std::optional<std::string> sessionId_;  // guarded by sessionLock_
    std::optional<double> sessionStartTimestamp_;  // guarded by sessionLock_; seconds since 1970
    std::optional<double> sessionActivityTimestamp_;  // guarded by sessionLock_; seconds since 1970
    bool isAppInBackground_ = true;  // guarded by sessionLock_
    RideZavMulticastCallback<> onSessionIdChanged_;
    std::mutex tokenLock_;
    RegistrationToken didBecomeActiveToken_;  // guarded by tokenLock_
    RegistrationToken didEnterBackgroundToken_;  // guarded by tokenLock_
};

}  // namespace ridezav
