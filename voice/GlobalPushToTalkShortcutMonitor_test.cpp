#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "platform/desktop/SimulatedKeyEventTap.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "voice/GlobalPushToTalkShortcutMonitor.h"

namespace velmo {
void PrintTo(ShortcutTransition t, std::ostream* os) {
    *os << (t == ShortcutTransition::pressed ? "pressed" : t == ShortcutTransition::released ? "released" : "none");
}
}  // namespace velmo

using namespace velmo;

namespace {

constexpr KeyEventFlags C = KeyEventFlag::control;
constexpr KeyEventFlags O = KeyEventFlag::alternate;
constexpr KeyEventFlags S = KeyEventFlag::shift;
constexpr KeyEventFlags K = KeyEventFlag::command;
constexpr KeyEventFlags L = KeyEventFlag::alphaShift;
KeyEvent F(KeyEventFlags flags) { return KeyEvent{KeyEventType::flagsChanged, flags}; }
KeyEvent D(KeyEventFlags flags) { return KeyEvent{KeyEventType::keyDown, flags}; }
KeyEvent U(KeyEventFlags flags) { return KeyEvent{KeyEventType::keyUp, flags}; }

constexpr auto pressed = ShortcutTransition::pressed;
constexpr auto released = ShortcutTransition::released;

const char* const tapFailureLine = "⚠️ Global push-to-talk: couldn't create CGEvent tap";
const char* const sourceFailureLine = "⚠️ Global push-to-talk: couldn't create event tap run loop source";

class GlobalPushToTalkShortcutMonitorTest : public testing::Test {
protected:
    SimulatedKeyEventTapFactory& factory() { return taps.factory(); }
    std::shared_ptr<SimulatedKeyEventTap> tap(std::size_t i) { return factory().taps().at(i); }

    void type(const std::vector<KeyEvent>& events) {
        for (const auto& e : events) factory().post(e);
        scope.loop().runUntilIdle();
    }
    std::vector<ShortcutTransition> transitions() const {
        std::vector<ShortcutTransition> out;
        for (const auto& [t, flag] : heard) out.push_back(t);
        return out;
    }

    VirtualMainLoopScope scope;
    SimulatedKeyEventTapScope taps;
    LogCapture log;
    GlobalPushToTalkShortcutMonitor monitor;
    // Each transition with the flag as it stood when the transition was sent.
    std::vector<std::pair<ShortcutTransition, bool>> heard;
    Cancellable subscription = monitor.shortcutTransitionPublisher.publisher().sink(
        [this](const ShortcutTransition& t) { heard.emplace_back(t, monitor.isShortcutCurrentlyPressed.get()); });
};

}  // namespace

TEST_F(GlobalPushToTalkShortcutMonitorTest, ChordTable) {
    struct Case {
        const char* name;
        std::vector<KeyEvent> events;
        std::vector<ShortcutTransition> expected;
        bool heldAfterwards;
    };
    const Case cases[] = {
        {"control, then option", {F(C), F(C | O)}, {pressed}, true},
        {"option, then control", {F(O), F(O | C)}, {pressed}, true},
        {"both at once, then both up", {F(C | O), F(0)}, {pressed, released}, false},
        {"releasing option", {F(C), F(C | O), F(C)}, {pressed, released}, false},
        {"releasing control", {F(C), F(C | O), F(O)}, {pressed, released}, false},
        {"shift added and released while held", {F(C), F(C | O), F(C | O | S), F(C | O)}, {pressed}, true},
        {"shift down first", {F(S), F(S | C), F(S | C | O)}, {pressed}, true},
        {"caps lock on throughout", {F(L | C), F(L | C | O), F(L | C)}, {pressed, released}, false},
        {"command held as well", {F(K), F(K | C), F(K | C | O)}, {pressed}, true},
        {"control with command", {F(C), F(C | K), F(K), F(0)}, {}, false},
        {"key events never change the state", {D(C | O), U(C | O), D(C | O)}, {}, false},
        {"key events while held", {F(C | O), D(0), U(0), D(C | O)}, {pressed}, true},
        {"repeated flag changes while held", {F(C | O), F(C | O), F(C | O)}, {pressed}, true},
        {"pressed twice", {F(C), F(C | O), F(C), F(C | O), F(0)}, {pressed, released, pressed, released}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        monitor.stop();
        heard.clear();
        monitor.start();
        auto current = factory().taps().back();
        type(c.events);
        EXPECT_EQ(transitions(), c.expected);
        EXPECT_EQ(monitor.isShortcutCurrentlyPressed.get(), c.heldAfterwards);
        for (const auto& [t, flagAtSend] : heard)  // the flag changes before its transition goes out
            EXPECT_EQ(flagAtSend, t == pressed);
        // Every event, the chord's own included, reached the callback and was passed on unchanged.
        ASSERT_EQ(current->deliveries().size(), c.events.size());
        for (std::size_t i = 0; i < c.events.size(); ++i) {
            EXPECT_EQ(current->deliveries()[i].event, c.events[i]);
            EXPECT_EQ(current->deliveries()[i].passedOn, c.events[i]);
        }
    }
}

TEST_F(GlobalPushToTalkShortcutMonitorTest, StartInstallsOneListenOnlySessionTapForFlagsAndKeys) {
    EXPECT_TRUE(factory().taps().empty());  // nothing until started
    monitor.start();
    monitor.start();
    scope.loop().runUntilIdle();
    EXPECT_EQ(factory().attemptCount(), 1u);
    ASSERT_EQ(factory().taps().size(), 1u);
    auto t = tap(0);
    EXPECT_EQ(t->location(), KeyEventTapLocation::session);
    EXPECT_EQ(t->placement(), KeyEventTapPlacement::headInsert);
    EXPECT_EQ(t->options(), KeyEventTapOptions::listenOnly);
    EXPECT_EQ(t->eventMask(), 0x1C00u);
    EXPECT_EQ(t->userInfo(), &monitor);
    EXPECT_TRUE(t->isEnabled());
    EXPECT_TRUE(t->isInMainLoop());
    EXPECT_EQ(monitor.globalEventTap(), t);
    ASSERT_TRUE(monitor.globalEventTapRunLoopSource());
    EXPECT_TRUE(monitor.globalEventTapRunLoopSource()->isInMainLoop());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(GlobalPushToTalkShortcutMonitorTest, ATapTheSystemRefusesIsLoggedAndTriedAgainOnTheNextStart) {
    factory().setFailsTapCreation(true);
    monitor.start();
    monitor.start();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{tapFailureLine, tapFailureLine}));
    EXPECT_FALSE(monitor.globalEventTap());
    EXPECT_FALSE(monitor.globalEventTapRunLoopSource());

    factory().setFailsTapCreation(false);
    monitor.start();
    ASSERT_EQ(factory().taps().size(), 1u);
    EXPECT_EQ(log.lines().size(), 2u);
    type({F(C | O)});
    EXPECT_EQ(transitions(), std::vector<ShortcutTransition>{pressed});
}

TEST_F(GlobalPushToTalkShortcutMonitorTest, ASourceThatCannotBeMadeInvalidatesTheTapAndIsTriedAgain) {
    factory().setFailsRunLoopSourceCreation(true);
    monitor.start();
    EXPECT_EQ(log.lines(), std::vector<std::string>{sourceFailureLine});
    ASSERT_EQ(factory().taps().size(), 1u);
    EXPECT_FALSE(tap(0)->isValid());
    EXPECT_FALSE(monitor.globalEventTap());
    EXPECT_FALSE(monitor.globalEventTapRunLoopSource());

    factory().setFailsRunLoopSourceCreation(false);
    monitor.start();
    ASSERT_EQ(factory().taps().size(), 2u);
    EXPECT_TRUE(tap(1)->isValid());
    EXPECT_TRUE(tap(1)->isInMainLoop());
    EXPECT_TRUE(tap(1)->isEnabled());
    type({F(C | O), F(0)});
    EXPECT_EQ(transitions(), (std::vector<ShortcutTransition>{pressed, released}));
    EXPECT_TRUE(tap(0)->deliveries().empty());
}

TEST_F(GlobalPushToTalkShortcutMonitorTest, ATapTheSystemDisabledIsEnabledAgainByItsNotice) {
    monitor.start();
    auto t = tap(0);
    t->disableByTimeout();
    EXPECT_FALSE(t->isEnabled());
    scope.loop().runUntilIdle();
    EXPECT_TRUE(t->isEnabled());
    type({F(C), F(C | O)});
    EXPECT_EQ(transitions(), std::vector<ShortcutTransition>{pressed});

    factory().post(F(C));
    t->disableByUserInput();  // before the release is handled, so it is missed
    scope.loop().runUntilIdle();
    EXPECT_TRUE(t->isEnabled());
    EXPECT_TRUE(monitor.isShortcutCurrentlyPressed.get());
    type({F(0)});
    EXPECT_EQ(transitions(), (std::vector<ShortcutTransition>{pressed, released}));
    EXPECT_EQ(factory().taps().size(), 1u);  // the same tap throughout
}

TEST_F(GlobalPushToTalkShortcutMonitorTest, StopWhileHeldClearsTheFlagWithoutAReleaseAndTheNextStartPressesAgain) {
    std::vector<bool> flagValues;
    Cancellable flagSubscription = monitor.isShortcutCurrentlyPressed.publisher().sink([&](const bool& v) { flagValues.push_back(v); });
    monitor.start();
    type({F(C), F(C | O)});
    auto first = tap(0);
    auto source = monitor.globalEventTapRunLoopSource();
    monitor.stop();
    EXPECT_FALSE(monitor.isShortcutCurrentlyPressed.get());
    EXPECT_EQ(flagValues, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(transitions(), std::vector<ShortcutTransition>{pressed});
    EXPECT_FALSE(first->isValid());
    EXPECT_FALSE(source->isInMainLoop());
    EXPECT_FALSE(monitor.globalEventTap());
    EXPECT_FALSE(monitor.globalEventTapRunLoopSource());

    type({F(0)});  // the release nobody hears any more
    monitor.start();
    ASSERT_EQ(factory().taps().size(), 2u);
    type({F(C | O)});
    EXPECT_EQ(transitions(), (std::vector<ShortcutTransition>{pressed, pressed}));
    EXPECT_EQ(first->deliveries().size(), 2u);
}

TEST_F(GlobalPushToTalkShortcutMonitorTest, StopWhenNotRunningIsHarmless) {
    monitor.stop();
    monitor.stop();
    EXPECT_FALSE(monitor.isShortcutCurrentlyPressed.get());
    EXPECT_TRUE(factory().taps().empty());
    monitor.start();
    EXPECT_EQ(factory().taps().size(), 1u);
}

TEST_F(GlobalPushToTalkShortcutMonitorTest, TransitionsDeliveredOnTheMainLoopKeepTheirOrder) {
    std::vector<ShortcutTransition> onMain;
    Cancellable mainSubscription =
        monitor.shortcutTransitionPublisher.publisher().receiveOnMain().sink([&](const ShortcutTransition& t) { onMain.push_back(t); });
    monitor.start();
    type({F(C), F(C | O), F(O), F(C | O), F(0)});
    EXPECT_EQ(onMain, (std::vector<ShortcutTransition>{pressed, released, pressed, released}));
}

TEST(GlobalPushToTalkShortcutMonitor, DestroyingAMonitorStopsItsTap) {
    VirtualMainLoopScope scope;
    SimulatedKeyEventTapScope taps;
    auto monitor = std::make_unique<GlobalPushToTalkShortcutMonitor>();
    monitor->start();
    auto t = taps.factory().taps().at(0);
    monitor.reset();
    EXPECT_FALSE(t->isValid());
    EXPECT_FALSE(t->isInMainLoop());
    taps.factory().post(F(C | O));  // would reach a dead monitor if the tap still ran
    scope.loop().runUntilIdle();
    EXPECT_TRUE(t->deliveries().empty());
}

TEST(GlobalPushToTalkShortcutMonitor, ASubscriberMayEndTheMonitorFromATransition) {
    VirtualMainLoopScope scope;
    SimulatedKeyEventTapScope taps;
    auto monitor = std::make_unique<GlobalPushToTalkShortcutMonitor>();
    Cancellable subscription = monitor->shortcutTransitionPublisher.publisher().sink([&](const ShortcutTransition&) {
        subscription.cancel();
        monitor.reset();
    });
    monitor->start();
    auto t = taps.factory().taps().at(0);
    taps.factory().post(F(C | O));
    taps.factory().post(F(0));
    scope.loop().runUntilIdle();
    EXPECT_FALSE(monitor);
    EXPECT_FALSE(t->isValid());
    ASSERT_EQ(t->deliveries().size(), 1u);
    EXPECT_EQ(t->deliveries()[0].passedOn, F(C | O));
}

TEST(GlobalPushToTalkShortcutMonitor, WithoutAMonitorBehindItTheCallbackPassesEventsOn) {
    for (KeyEventType type : {KeyEventType::flagsChanged, KeyEventType::keyDown, KeyEventType::tapDisabledByTimeout}) {
        KeyEvent event{type, C | O};
        EXPECT_EQ(GlobalPushToTalkShortcutMonitor::handleGlobalEventTapEvent(type, event, nullptr), event);
    }
}
