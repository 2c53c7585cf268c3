#include "RideZav/session/RideZavSessionManager.h"

#include <gtest/gtest.h>

#include "RideZav/core/CoreTesting.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavSdkIdentity.h"
#include "RideZav/integrations/ApplicationLifecyclePublisher.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"

namespace ridezav {
namespace {

using std::chrono::seconds;

class SessionManagerTest : public testing::Test {
protected:
    SessionManagerTest() {
        RideZavLog::setDebug(true);
        manager->registerApplicationLifecycleObservers();
        changedToken = manager->onSessionIdChanged().subscribe([this] {
            // Fired outside the lock: reading back from inside must not deadlock.
            seenInCallback.push_back(manager->getSessionId().value_or("(none)"));
        });
    }
    ~SessionManagerTest() override {
        RideZavLog::setDebug(false);
        setRideZavSdkName("ridezav-ios");
    }

    Date at(double secondsFromStart) const {
        return start + std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(secondsFromStart));
    }
    void setNow(double secondsFromStart) { clock->set(at(secondsFromStart)); }
    void foreground() { ApplicationLifecyclePublisher::shared().appDidBecomeActive(); }
    void background() { ApplicationLifecyclePublisher::shared().appDidEnterBackground(); }
    std::vector<std::string> sessionLines() const { return log.linesStartingWith("[RideZav] "); }
    std::string started() {
        manager->startSession();
        return manager->getSessionId().value();
    }

    const Date start = velmo::test::dateFromMilliseconds(1'700'000'000'000);
    std::shared_ptr<velmo::test::ManualWallClock> clock = std::make_shared<velmo::test::ManualWallClock>(start);
    velmo::test::ScopedWallClock scopedClock{clock};
    velmo::LogCapture log;
    std::shared_ptr<RideZavSessionManager> manager = RideZavSessionManager::create();
    std::vector<std::string> seenInCallback;
    RegistrationToken changedToken;
};

TEST_F(SessionManagerTest, ReasonsByRawValueAndCaseName) {
    const std::tuple<SessionIDChangeReason, const char*, const char*> table[] = {
        {SessionIDChangeReason::sessionIdEmpty, "Session id was empty", "sessionIdEmpty"},
        {SessionIDChangeReason::sessionStart, "Session started", "sessionStart"},
        {SessionIDChangeReason::sessionEnd, "Session ended", "sessionEnd"},
        {SessionIDChangeReason::sessionReset, "Session was reset", "sessionReset"},
        {SessionIDChangeReason::sessionTimeout, "Session timed out", "sessionTimeout"},
        {SessionIDChangeReason::sessionPastMaximumLength, "Session past maximum length", "sessionPastMaximumLength"},
        {SessionIDChangeReason::customSessionId, "Custom session set", "customSessionId"},
    };
    for (const auto& [reason, raw, name] : table) {
        EXPECT_EQ(rawValue(reason), raw);
        EXPECT_EQ(caseName(reason), name);
        EXPECT_EQ(sessionIDChangeReasonFromRawValue(raw), reason);
    }
    EXPECT_EQ(sessionIDChangeReasonFromRawValue("session started"), std::nullopt);
    EXPECT_EQ(sessionIDChangeReasonFromRawValue("sessionStart"), std::nullopt);
}

TEST_F(SessionManagerTest, StartedSessionIsReturnedInForegroundAndBackground) {
    bool completed = false;
    manager->startSession([&] { completed = true; });
    EXPECT_TRUE(completed);
    const std::string id = manager->getSessionId().value();
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '7');  // a version-7 id
    for (char c : id) EXPECT_FALSE(c >= 'a' && c <= 'z') << id;
    EXPECT_TRUE(manager->isAppInBackground());
    EXPECT_EQ(manager->getSessionId(clock->now(), false), id);
    foreground();
    EXPECT_FALSE(manager->isAppInBackground());
    EXPECT_EQ(manager->getSessionId(clock->now(), false), id);
    EXPECT_EQ(sessionLines(), std::vector<std::string>{"[RideZav] New session id created " + id + " (sessionStart)"});
    EXPECT_EQ(seenInCallback, std::vector<std::string>{id});
}

TEST_F(SessionManagerTest, InactivityEndsTheSessionAfter1800Seconds) {
    struct Case {
        bool inForeground;
        double elapsed;
        bool changes;
    };
    const Case cases[] = {{true, 1800, false}, {true, 1801, true}, {false, 1800, false}, {false, 1801, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.inForeground ? "foreground " : "background ") + std::to_string(c.elapsed));
        clock->set(start);
        auto subject = RideZavSessionManager::create();
        subject->registerApplicationLifecycleObservers();
        subject->startSession();
        if (c.inForeground) foreground();
        const std::string id = subject->getSessionId().value();
        log.clear();
        const auto result = subject->getSessionId(at(c.elapsed), false);
        if (!c.changes) {
            EXPECT_EQ(result, id);
            EXPECT_TRUE(sessionLines().empty());
        } else if (c.inForeground) {
            ASSERT_TRUE(result);
            EXPECT_NE(*result, id);
            EXPECT_EQ(sessionLines(), std::vector<std::string>{"[RideZav] New session id created " + *result + " (sessionTimeout)"});
            EXPECT_EQ(subject->getSessionId(at(c.elapsed), false), result);  // the new session started then
        } else {
            EXPECT_EQ(result, std::nullopt);
            EXPECT_EQ(subject->getSessionId(), std::nullopt);
            EXPECT_EQ(sessionLines(), std::vector<std::string>{"[RideZav] Session id cleared - reason: (sessionTimeout)"});
        }
        if (c.inForeground) background();
    }
}

TEST_F(SessionManagerTest, TouchedSessionEndsAfter86400SecondsSinceItsStart) {
    const std::string id = started();
    foreground();
    for (double t = 600; t <= 86400; t += 600) {
        setNow(t);
        manager->touchSession();
    }
    EXPECT_EQ(manager->getSessionId(at(86400), false), id);
    log.clear();
    const auto next = manager->getSessionId(at(86401), false);
    ASSERT_TRUE(next);
    EXPECT_NE(*next, id);
    EXPECT_EQ(sessionLines(), std::vector<std::string>{"[RideZav] New session id created " + *next + " (sessionPastMaximumLength)"});
}

TEST_F(SessionManagerTest, TouchingAfterTheThresholdRotatesAndWithinItMovesActivity) {
    const std::string id = started();
    foreground();
    setNow(1000);
    manager->touchSession();
    EXPECT_EQ(manager->getSessionId(at(2800), false), id);  // 1800 s after the touch
    setNow(4601);
    manager->touchSession();  // 3601 s after the touch
    const auto rotated = manager->getSessionId();
    ASSERT_TRUE(rotated);
    EXPECT_NE(*rotated, id);
    EXPECT_EQ(sessionLines().back(), "[RideZav] New session id created " + *rotated + " (sessionTimeout)");
}

TEST_F(SessionManagerTest, ReadOnlyCallsNeverChangeTheSession) {
    EXPECT_EQ(manager->getSessionId(at(0), true), std::nullopt);  // no id: nothing starts
    foreground();
    EXPECT_EQ(manager->getSessionId(at(0), true), std::nullopt);
    const std::string id = started();
    log.clear();
    seenInCallback.clear();
    EXPECT_EQ(manager->getSessionId(at(100000), true), id);
    EXPECT_EQ(manager->getSessionId(at(1801), true), id);
    EXPECT_TRUE(sessionLines().empty());
    EXPECT_TRUE(seenInCallback.empty());
}

TEST_F(SessionManagerTest, EmptyOrMissingIdsAndAClockSetBack) {
    // No id in the background: nothing starts.
    EXPECT_EQ(manager->getSessionId(at(0), false), std::nullopt);
    EXPECT_TRUE(sessionLines().empty());

    const std::string id = started();
    foreground();
    // A clock set back never ends a session.
    EXPECT_EQ(manager->getSessionId(at(-100000), false), id);

    manager->endSession();
    EXPECT_EQ(manager->getSessionId(), std::nullopt);
    EXPECT_EQ(sessionLines().back(), "[RideZav] Session id cleared - reason: (sessionEnd)");
    const auto fresh = manager->getSessionId(at(5), false);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(sessionLines().back(), "[RideZav] New session id created " + *fresh + " (sessionIdEmpty)");

    // An empty custom id restarts both timestamps and is replaced in the foreground.
    setNow(50000);
    manager->setSessionId("");
    EXPECT_EQ(manager->getSessionId(), "");
    EXPECT_EQ(sessionLines().back(), "[RideZav] New session id created  (customSessionId)");
    background();
    EXPECT_EQ(manager->getSessionId(at(50010), false), "");  // in the background it stays
    setNow(60000);
    manager->touchSession();  // an empty id is never rotated
    EXPECT_EQ(manager->getSessionId(), "");
    foreground();
    const auto replaced = manager->getSessionId(at(60001), false);
    ASSERT_TRUE(replaced);
    EXPECT_FALSE(replaced->empty());
    EXPECT_EQ(sessionLines().back(), "[RideZav] New session id created " + *replaced + " (sessionIdEmpty)");

    manager->setSessionId("custom-1");
    EXPECT_EQ(manager->getSessionId(at(60000 + 1800), false), "custom-1");  // timestamps restarted at 60000
    EXPECT_EQ(manager->getSessionId(at(40000), false), "custom-1");
    manager->resetSession();
    EXPECT_NE(manager->getSessionId(), "custom-1");
    EXPECT_EQ(sessionLines().back(), "[RideZav] New session id created " + *manager->getSessionId() + " (sessionReset)");
}

TEST_F(SessionManagerTest, LifecycleTouchesOncePerTransition) {
    const std::string id = started();
    setNow(1700);
    foreground();  // the first become-active touches the session set-up started
    setNow(3400);
    foreground();  // already in the foreground: no touch
    EXPECT_EQ(manager->getSessionId(at(3500), false), id);  // 1800 s after the touch at 1700
    background();  // touches at 3400
    EXPECT_EQ(manager->getSessionId(at(5200), false), id);
    EXPECT_EQ(manager->getSessionId(at(5201), false), std::nullopt);  // background timeout clears
    manager->clearLifecycleObservers();
    foreground();
    EXPECT_TRUE(manager->isAppInBackground());
}

TEST_F(SessionManagerTest, HostManagedSessionsChangeOnlyThroughSetSessionId) {
    setRideZavSdkName("ridezav-react-native");
    foreground();
    bool completed = false;
    manager->startSession([&] { completed = true; });
    EXPECT_FALSE(completed);
    EXPECT_EQ(manager->getSessionId(at(0), false), std::nullopt);
    manager->setSessionId("host-1");
    manager->resetSession();
    manager->endSession();
    setNow(100000);
    manager->touchSession();
    EXPECT_EQ(manager->getSessionId(at(100000), false), "host-1");
    EXPECT_EQ(sessionLines(), std::vector<std::string>{"[RideZav] New session id created host-1 (customSessionId)"});
}

TEST_F(SessionManagerTest, NoLinesWhileDebugIsOff) {
    RideZavLog::setDebug(false);
    started();
    manager->endSession();
    EXPECT_TRUE(sessionLines().empty());
    EXPECT_EQ(seenInCallback.size(), 2u);
}

}  // namespace
}  // namespace ridezav
