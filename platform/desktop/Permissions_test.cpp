#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/desktop/Permissions.h"
#include "platform/desktop/SimulatedDesktopPermissions.h"
#include "platform/desktop/X11Connection.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/EnvironmentVariable.h"
#include "testing/XvfbServer.h"

using namespace std::chrono_literals;

using namespace velmo;

namespace {
// Points DISPLAY somewhere (nowhere: unset) for the life of the object.
struct DisplayEnv : velmo::test::EnvironmentVariable {
    explicit DisplayEnv(const char* value)
        : EnvironmentVariable("DISPLAY", value ? std::optional<std::string>(value) : std::nullopt) {}
};
}  // namespace

TEST(X11DesktopPermissions, GrantedOnAWorkingDisplayAndRefusedWithoutOne) {
    velmo::test::XvfbServer x("800x600x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    X11DesktopPermissions permissions;
    {
        DisplayEnv env(x.display().c_str());
        EXPECT_TRUE(permissions.isAccessibilityTrusted());
        EXPECT_TRUE(permissions.preflightScreenCaptureAccess());
        EXPECT_TRUE(permissions.requestScreenCaptureAccess());
    }
    {
        DisplayEnv env(nullptr);
        EXPECT_FALSE(permissions.isAccessibilityTrusted());
        EXPECT_FALSE(permissions.preflightScreenCaptureAccess());
    }
    {
        DisplayEnv env(":9999");  // nothing listens there
        EXPECT_FALSE(permissions.requestAccessibilityTrust());
    }
}

TEST(X11DesktopPermissions, OnTheSharedConnectionTheChecksOpenNoneOfTheirOwnAndTheObserverHearsSilence) {
    velmo::test::XvfbServer x("800x600x24");
    ASSERT_TRUE(x.isRunning()) << x.failure();
    VirtualMainLoopScope scope;
    auto connection = X11Connection::open(x.display());
    ASSERT_TRUE(connection);
    X11DesktopPermissions permissions(connection);
    DisplayEnv env(nullptr);  // $DISPLAY plays no part
    EXPECT_TRUE(permissions.isAccessibilityTrusted());
    EXPECT_TRUE(permissions.preflightScreenCaptureAccess());
    EXPECT_EQ(permissions.connectionsOpened(), 0);
    int changes = 0;
    Cancellable observing = permissions.observeChanges([&] { ++changes; });
    EXPECT_TRUE(permissions.announcesChanges());  // the answers hold while the server lives
    scope.loop().runUntil([] { return false; }, 0.1s);
    EXPECT_EQ(changes, 0);
    observing.cancel();
    EXPECT_FALSE(permissions.announcesChanges());
}

// The poll asks every 1.5 s: one connection serves every check while the server lives, and a
// server that went away gives refusals, not the end of the process.
TEST(X11DesktopPermissions, OneConnectionServesEveryCheckUntilTheServerGoes) {
    X11DesktopPermissions permissions;
    std::string name;
    auto x = std::make_unique<velmo::test::XvfbServer>("640x480x24");
    ASSERT_TRUE(x->isRunning()) << x->failure();
    name = x->display();
    DisplayEnv gone(name.c_str());
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(permissions.isAccessibilityTrusted());
        EXPECT_TRUE(permissions.preflightScreenCaptureAccess());
    }
    EXPECT_EQ(permissions.connectionsOpened(), 1);
    x.reset();
    {
        // Another test's server may take the freed display number at once: ask under a name
        // nothing serves, which still drops (and frees) the connection to the server that went.
        DisplayEnv none(":9999");
        EXPECT_FALSE(permissions.isAccessibilityTrusted());
        EXPECT_FALSE(permissions.preflightScreenCaptureAccess());
    }
    velmo::test::XvfbServer again("640x480x24");
    ASSERT_TRUE(again.isRunning()) << again.failure();
    DisplayEnv env(again.display().c_str());
    EXPECT_TRUE(permissions.preflightScreenCaptureAccess());
    EXPECT_EQ(permissions.connectionsOpened(), 2);
}

// Observed, the open connection is watched by the main loop: answers that cannot change while
// the server runs are announced as changed once it goes, and are then no longer vouched for.
TEST(X11DesktopPermissions, AnObservedConnectionAnnouncesTheLossOfItsServer) {
    VirtualMainLoopScope scope;
    auto x = std::make_unique<velmo::test::XvfbServer>("640x480x24");
    ASSERT_TRUE(x->isRunning()) << x->failure();
    DisplayEnv env(x->display().c_str());
    X11DesktopPermissions permissions;
    int changes = 0;
    Cancellable observed = permissions.observeChanges([&] { ++changes; });
    EXPECT_FALSE(permissions.announcesChanges());  // nothing asked yet: no connection to watch
    EXPECT_TRUE(permissions.isAccessibilityTrusted());
    EXPECT_TRUE(permissions.announcesChanges());
    scope.loop().runUntilIdle();
    EXPECT_EQ(changes, 0);

    x.reset();
    EXPECT_TRUE(scope.loop().runUntil([&] { return changes > 0; }, 20.0s));
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(permissions.announcesChanges());
    {
        DisplayEnv none(":9999");
        EXPECT_FALSE(permissions.preflightScreenCaptureAccess());
    }

    // Ended, the subscription hears nothing more and nothing is watched.
    observed.cancel();
    velmo::test::XvfbServer again("640x480x24");
    ASSERT_TRUE(again.isRunning()) << again.failure();
    DisplayEnv other(again.display().c_str());
    EXPECT_TRUE(permissions.preflightScreenCaptureAccess());
    EXPECT_FALSE(permissions.announcesChanges());
}

TEST(DesktopPermissions, TestsInstallTheSimulatedLayer) {
    auto simulated = std::make_shared<SimulatedDesktopPermissions>();
    DesktopPermissions::install(simulated);
    EXPECT_FALSE(DesktopPermissions::current()->isAccessibilityTrusted());
    simulated->accessibility = true;
    EXPECT_TRUE(DesktopPermissions::current()->requestAccessibilityTrust());
    EXPECT_EQ(simulated->accessibilityRequests.load(), 1);
    DesktopPermissions::install(nullptr);
}
