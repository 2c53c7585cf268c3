#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/X11KeyEventTap.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/XTestKeyboard.h"
#include "testing/XvfbServer.h"
#include "voice/GlobalPushToTalkShortcutMonitor.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::XTestKeyboard;
using velmo::test::XvfbServer;

namespace {

// Puts the X11 factory of the private server in place, and the default back afterwards.
struct InstalledX11Factory {
    explicit InstalledX11Factory(const std::string& display) {
        KeyEventTapFactory::install(std::make_shared<X11KeyEventTapFactory>(display));
    }
    ~InstalledX11Factory() { KeyEventTapFactory::install(nullptr); }
};

}  // namespace

TEST(GlobalPushToTalkShortcutMonitorOnX11, TheChordHeldOnTheKeyboardPressesAndLettingGoReleases) {
    struct Case {
        const char* control;
        const char* option;
        const char* releasedFirst;
    };
    for (const Case& c : {Case{"Control_L", "Alt_L", "Alt_L"}, Case{"Control_R", "Alt_R", "Control_R"}}) {
        SCOPED_TRACE(std::string(c.control) + " + " + c.option);
        VirtualMainLoopScope scope;
        XvfbServer xvfb("640x480x24");
        ASSERT_TRUE(xvfb.isRunning()) << xvfb.failure();
        InstalledX11Factory factory(xvfb.display());
        XTestKeyboard keyboard(xvfb.display());
        ASSERT_TRUE(keyboard.isOpen());

        GlobalPushToTalkShortcutMonitor monitor;
        std::vector<ShortcutTransition> heard;
        Cancellable subscription =
            monitor.shortcutTransitionPublisher.publisher().receiveOnMain().sink([&](const ShortcutTransition& t) { heard.push_back(t); });
        monitor.start();
        ASSERT_TRUE(monitor.globalEventTap());

        ASSERT_TRUE(keyboard.press(c.control));
        ASSERT_TRUE(keyboard.press(c.option));
        ASSERT_TRUE(scope.loop().runUntil([&] { return !heard.empty(); }, 10.0s));
        EXPECT_EQ(heard, std::vector<ShortcutTransition>{ShortcutTransition::pressed});
        EXPECT_TRUE(monitor.isShortcutCurrentlyPressed.get());

        ASSERT_TRUE(keyboard.release(c.releasedFirst));
        ASSERT_TRUE(scope.loop().runUntil([&] { return heard.size() >= 2; }, 10.0s));
        EXPECT_EQ(heard, (std::vector<ShortcutTransition>{ShortcutTransition::pressed, ShortcutTransition::released}));
        EXPECT_FALSE(monitor.isShortcutCurrentlyPressed.get());
        monitor.stop();
    }
}
