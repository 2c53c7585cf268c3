#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/desktop/KeyEventTap.h"
#include "platform/desktop/SimulatedKeyEventTap.h"
#include "platform/desktop/X11KeyEventTap.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace velmo;

namespace {

// What a callback heard, and what it hands back: the event with its flags marked, so a test can
// tell the callback's answer from the event it was given.
struct Listener {
    std::vector<std::pair<KeyEventType, KeyEvent>> heard;
    std::shared_ptr<KeyEventTap> dropOnFirstEvent;

    static KeyEvent callback(KeyEventType type, const KeyEvent& event, void* userInfo) {
        auto* self = static_cast<Listener*>(userInfo);
        self->heard.emplace_back(type, event);
        self->dropOnFirstEvent.reset();
        return KeyEvent{event.type, event.flags | 1};
    }
};

constexpr KeyEventMask allKeys =
    keyEventMaskBit(KeyEventType::flagsChanged) | keyEventMaskBit(KeyEventType::keyDown) | keyEventMaskBit(KeyEventType::keyUp);

std::shared_ptr<SimulatedKeyEventTap> makeTap(SimulatedKeyEventTapFactory& factory, Listener& listener, KeyEventMask mask = allKeys) {
    auto tap = factory.createTap(KeyEventTapLocation::session, KeyEventTapPlacement::headInsert, KeyEventTapOptions::listenOnly, mask,
                                 &Listener::callback, &listener);
    return std::static_pointer_cast<SimulatedKeyEventTap>(tap);
}

// A tap with its source in the main loop, enabled.
struct RunningTap {
    std::shared_ptr<SimulatedKeyEventTap> tap;
    std::shared_ptr<KeyEventTapRunLoopSource> source;
    explicit RunningTap(std::shared_ptr<SimulatedKeyEventTap> t)
        : tap(std::move(t)),
          source(tap->createRunLoopSource()) {
        source->addToMainLoop();
        tap->setEnabled(true);
    }
};

const KeyEvent controlDown{KeyEventType::flagsChanged, KeyEventFlag::control};
const KeyEvent letterDown{KeyEventType::keyDown, 0};

}  // namespace

TEST(KeyEventTap, MaskBitsFollowTheTypeNumbers) {
    EXPECT_EQ(allKeys, 0x1C00u);
    EXPECT_EQ(keyEventMaskBit(KeyEventType::tapDisabledByTimeout), 0u);  // no bit: never masked in
}

TEST(KeyEventTap, DeliversOnlyOnceInTheMainLoopAndEnabledAndOnlyTheMaskedTypes) {
    VirtualMainLoopScope scope;
    SimulatedKeyEventTapFactory factory;
    Listener listener;
    auto tap = makeTap(factory, listener, keyEventMaskBit(KeyEventType::flagsChanged));
    ASSERT_TRUE(tap);
    EXPECT_FALSE(tap->isEnabled());  // taps start disabled

    tap->post(controlDown);  // neither in the loop nor enabled
    scope.loop().runUntilIdle();
    tap->setEnabled(true);
    tap->post(controlDown);  // enabled, but its source is not in the loop
    scope.loop().runUntilIdle();
    EXPECT_TRUE(listener.heard.empty());

    auto source = tap->createRunLoopSource();
    ASSERT_TRUE(source);
    EXPECT_EQ(tap->createRunLoopSource(), source);  // one source per tap
    source->addToMainLoop();
    EXPECT_TRUE(source->isInMainLoop());
    tap->post(letterDown);  // not in the mask
    tap->post(controlDown);
    EXPECT_TRUE(listener.heard.empty());  // delivery is on the main loop, never inline
    scope.loop().runUntilIdle();
    ASSERT_EQ(listener.heard.size(), 1u);
    EXPECT_EQ(listener.heard[0].first, KeyEventType::flagsChanged);
    EXPECT_EQ(listener.heard[0].second, controlDown);
    ASSERT_EQ(tap->deliveries().size(), 1u);
    EXPECT_EQ(tap->deliveries()[0].passedOn.flags, KeyEventFlag::control | 1);

    source->removeFromMainLoop();
    tap->post(controlDown);
    scope.loop().runUntilIdle();
    EXPECT_EQ(listener.heard.size(), 1u);
}

TEST(KeyEventTap, ASystemDisabledTapTellsItsCallbackAndStaysOffUntilEnabledAgain) {
    struct Case {
        const char* name;
        void (SimulatedKeyEventTap::*disable)();
        KeyEventType reason;
    };
    for (const Case& c : {Case{"timeout", &SimulatedKeyEventTap::disableByTimeout, KeyEventType::tapDisabledByTimeout},
                          Case{"user input", &SimulatedKeyEventTap::disableByUserInput, KeyEventType::tapDisabledByUserInput}}) {
        SCOPED_TRACE(c.name);
        VirtualMainLoopScope scope;
        SimulatedKeyEventTapFactory factory;
        Listener listener;
        auto [tap, source] = RunningTap(makeTap(factory, listener));

        ((*tap).*c.disable)();
        EXPECT_FALSE(tap->isEnabled());
        tap->post(controlDown);  // missed while off
        scope.loop().runUntilIdle();
        ASSERT_EQ(listener.heard.size(), 1u);  // the disabling type arrives whatever the mask
        EXPECT_EQ(listener.heard[0].first, c.reason);
        EXPECT_EQ(listener.heard[0].second.type, c.reason);

        tap->setEnabled(true);
        tap->post(controlDown);
        scope.loop().runUntilIdle();
        ASSERT_EQ(listener.heard.size(), 2u);
        EXPECT_EQ(listener.heard[1].second, controlDown);
    }
}

TEST(KeyEventTap, AnInvalidatedTapHearsNothingMoreAndCannotComeBack) {
    VirtualMainLoopScope scope;
    SimulatedKeyEventTapFactory factory;
    Listener listener;
    auto [tap, source] = RunningTap(makeTap(factory, listener));
    tap->post(controlDown);
    tap->disableByTimeout();  // its notice is still on the way when the tap goes
    tap->invalidate();
    tap->invalidate();
    EXPECT_FALSE(tap->isValid());
    EXPECT_FALSE(source->isInMainLoop());
    tap->setEnabled(true);
    EXPECT_FALSE(tap->isEnabled());
    source->addToMainLoop();
    EXPECT_FALSE(source->isInMainLoop());
    EXPECT_EQ(tap->createRunLoopSource(), nullptr);
    tap->post(controlDown);
    scope.loop().runUntilIdle();
    EXPECT_TRUE(listener.heard.empty());
}

TEST(KeyEventTap, ReleasingTheLastSourceTakesItOutOfTheMainLoop) {
    VirtualMainLoopScope scope;
    SimulatedKeyEventTapFactory factory;
    Listener listener;
    auto tap = makeTap(factory, listener);
    tap->setEnabled(true);
    tap->createRunLoopSource()->addToMainLoop();  // the temporary source goes at once
    EXPECT_FALSE(tap->isInMainLoop());
}

TEST(KeyEventTap, SwitchesMakeTheTapOrItsSourceFail) {
    VirtualMainLoopScope scope;
    SimulatedKeyEventTapFactory factory;
    Listener listener;
    factory.setFailsTapCreation(true);
    EXPECT_EQ(makeTap(factory, listener), nullptr);
    factory.setFailsTapCreation(false);
    factory.setFailsRunLoopSourceCreation(true);
    auto tap = makeTap(factory, listener);
    ASSERT_TRUE(tap);
    EXPECT_EQ(tap->createRunLoopSource(), nullptr);
    factory.setFailsRunLoopSourceCreation(false);
    EXPECT_NE(tap->createRunLoopSource(), nullptr);
    EXPECT_EQ(factory.attemptCount(), 2u);
    EXPECT_EQ(factory.taps().size(), 1u);
    EXPECT_EQ(tap->location(), KeyEventTapLocation::session);
    EXPECT_EQ(tap->userInfo(), &listener);
}

TEST(KeyEventTap, NoSourceWithoutAMainLoop) {
    SimulatedKeyEventTapFactory factory;
    Listener listener;
    auto previous = MainLoop::current();
    MainLoop::install(nullptr);
    auto tap = makeTap(factory, listener);
    EXPECT_EQ(tap->createRunLoopSource(), nullptr);
    MainLoop::install(previous);
}

TEST(KeyEventTap, ACallbackMayLetGoOfTheLastReferenceToItsTap) {
    VirtualMainLoopScope scope;
    Listener listener;
    auto tap = std::make_shared<SimulatedKeyEventTap>(KeyEventTapLocation::session, KeyEventTapPlacement::headInsert,
                                                      KeyEventTapOptions::listenOnly, allKeys, &Listener::callback, &listener,
                                                      std::make_shared<SimulatedKeyEventTapSwitches>());
    std::weak_ptr<KeyEventTap> weak = tap;
    auto source = RunningTap(tap).source;
    tap->post(controlDown);
    tap->post(controlDown);
    listener.dropOnFirstEvent = std::move(tap);
    scope.loop().runUntilIdle();
    EXPECT_EQ(listener.heard.size(), 1u);
    EXPECT_TRUE(weak.expired());
    EXPECT_FALSE(source->isInMainLoop());
}

TEST(KeyEventTapFactory, AScopeInstallsASimulatedOneAndPutsBackWhatWasInstalled) {
    auto x11 = std::make_shared<X11KeyEventTapFactory>();
    KeyEventTapFactory::install(x11);
    {
        SimulatedKeyEventTapScope scope;
        EXPECT_EQ(KeyEventTapFactory::current().get(), &scope.factory());
    }
    EXPECT_EQ(KeyEventTapFactory::current(), x11);
    EXPECT_EQ(KeyEventTapFactory::install(nullptr), x11);
    EXPECT_DEATH(KeyEventTapFactory::current(), "no key event tap factory is installed");
}
