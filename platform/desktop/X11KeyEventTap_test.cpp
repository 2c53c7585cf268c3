#include <gtest/gtest.h>
// After GoogleTest: Xlib defines None and Bool as macros.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/X11Connection.h"
#include "platform/desktop/X11KeyEventTap.h"
#include "platform/desktop/X11ScreenLayer.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/XTestKeyboard.h"
#include "testing/XvfbServer.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::XTestKeyboard;
using velmo::test::XvfbServer;

namespace {

struct Recorder {
    std::vector<KeyEvent> heard;
    std::shared_ptr<KeyEventTap> dropOnFirstEvent;
    static KeyEvent callback(KeyEventType type, const KeyEvent& event, void* userInfo) {
        auto* self = static_cast<Recorder*>(userInfo);
        self->heard.push_back(event);
        if (auto tap = std::move(self->dropOnFirstEvent)) tap->invalidate();
        return event;
    }
};

constexpr KeyEventMask allKeys =
    keyEventMaskBit(KeyEventType::flagsChanged) | keyEventMaskBit(KeyEventType::keyDown) | keyEventMaskBit(KeyEventType::keyUp);

std::shared_ptr<KeyEventTap> createTap(KeyEventTapFactory& factory, Recorder& recorder, KeyEventMask mask = allKeys) {
    return factory.createTap(KeyEventTapLocation::session, KeyEventTapPlacement::headInsert, KeyEventTapOptions::listenOnly, mask,
                             &Recorder::callback, &recorder);
}

// A running tap: its source in the main loop, enabled.
struct RunningTap {
    std::shared_ptr<KeyEventTap> tap;
    std::shared_ptr<KeyEventTapRunLoopSource> source;
    explicit RunningTap(std::shared_ptr<KeyEventTap> t)
        : tap(std::move(t)) {
        if (!tap) return;
        source = tap->createRunLoopSource();
        if (source) source->addToMainLoop();
        tap->setEnabled(true);
    }
};

KeyEvent flagsChanged(KeyEventFlags flags) { return KeyEvent{KeyEventType::flagsChanged, flags}; }

std::string describe(const std::vector<KeyEvent>& events) {
    std::string out;
    char buf[48];
    for (const auto& e : events) {
        std::snprintf(buf, sizeof buf, "(%u, 0x%llx) ", unsigned(e.type), (unsigned long long)e.flags);
        out += buf;
    }
    return out;
}

class X11KeyEventTapTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb.isRunning()) << xvfb.failure();
        ASSERT_TRUE(keyboard.isOpen());
    }

    bool waitFor(const Recorder& recorder, std::size_t count) {
        return scope.loop().runUntil([&] { return recorder.heard.size() >= count; }, 10.0s);
    }

    // Types the keys ("+Control_L" down, "-Control_L" up) and waits for `expected`.
    void expectEvents(const std::vector<std::string>& keys, const std::vector<KeyEvent>& expected, KeyEventMask mask = allKeys) {
        Recorder recorder;
        RunningTap running(createTap(factory, recorder, mask));
        ASSERT_TRUE(running.tap);
        ASSERT_TRUE(running.source);
        for (const auto& key : keys) {
            std::string name = key.substr(1);
            ASSERT_TRUE(key[0] == '+' ? keyboard.press(name) : keyboard.release(name)) << "no key for " << name;
        }
        waitFor(recorder, expected.size());
        EXPECT_EQ(recorder.heard, expected) << describe(recorder.heard);
    }

    VirtualMainLoopScope scope;
    XvfbServer xvfb{"640x480x24"};
    XTestKeyboard keyboard{xvfb.display()};
    X11KeyEventTapFactory factory{xvfb.display()};
};

}  // namespace

TEST_F(X11KeyEventTapTest, EachModifierKeySetsItsFlagWhileDown) {
    struct Case {
        const char* keysym;
        KeyEventFlags flag;
    };
    for (const Case& c :
         {Case{"Control_L", KeyEventFlag::control}, Case{"Control_R", KeyEventFlag::control}, Case{"Alt_L", KeyEventFlag::alternate},
          Case{"Alt_R", KeyEventFlag::alternate}, Case{"Shift_L", KeyEventFlag::shift}, Case{"Shift_R", KeyEventFlag::shift},
          Case{"Super_L", KeyEventFlag::command}, Case{"Super_R", KeyEventFlag::command}}) {
        SCOPED_TRACE(c.keysym);
        expectEvents({std::string("+") + c.keysym, std::string("-") + c.keysym}, {flagsChanged(c.flag), flagsChanged(0)});
    }
}

TEST_F(X11KeyEventTapTest, KeysBetweenModifiersCarryTheHeldFlags) {
    const KeyEventFlags chord = KeyEventFlag::control | KeyEventFlag::alternate;
    expectEvents({"+Control_L", "+Alt_L", "+a", "-a", "-Alt_L", "-Control_L"},
                 {flagsChanged(KeyEventFlag::control), flagsChanged(chord), KeyEvent{KeyEventType::keyDown, chord},
                  KeyEvent{KeyEventType::keyUp, chord}, flagsChanged(KeyEventFlag::control), flagsChanged(0)});
}

TEST_F(X11KeyEventTapTest, AFlagStaysWhileEitherOfItsKeysIsDown) {
    expectEvents(
        {"+Control_L", "+Control_R", "-Control_L", "-Control_R"},
        {flagsChanged(KeyEventFlag::control), flagsChanged(KeyEventFlag::control), flagsChanged(KeyEventFlag::control), flagsChanged(0)});
}

TEST_F(X11KeyEventTapTest, CapsLockLocksOnOnePressAndUnlocksAfterTheNext) {
    expectEvents({"+Caps_Lock", "-Caps_Lock", "+Caps_Lock", "-Caps_Lock"},
                 {flagsChanged(KeyEventFlag::alphaShift), flagsChanged(KeyEventFlag::alphaShift), flagsChanged(KeyEventFlag::alphaShift),
                  flagsChanged(0)});
}

TEST_F(X11KeyEventTapTest, TypesOutsideTheMaskAreNotDelivered) {
    // The letter goes first; the control key after it proves it would have arrived by then.
    expectEvents({"+a", "-a", "+Control_L", "-Control_L"}, {flagsChanged(KeyEventFlag::control), flagsChanged(0)},
                 keyEventMaskBit(KeyEventType::flagsChanged));
}

TEST_F(X11KeyEventTapTest, ModifiersAlreadyDownWhenTheTapStartsCount) {
    ASSERT_TRUE(keyboard.press("Caps_Lock"));
    ASSERT_TRUE(keyboard.release("Caps_Lock"));  // the server now has caps locked
    ASSERT_TRUE(keyboard.press("Control_L"));
    expectEvents({"+Alt_L"}, {flagsChanged(KeyEventFlag::control | KeyEventFlag::alternate | KeyEventFlag::alphaShift)});
}

TEST_F(X11KeyEventTapTest, AnInvalidatedTapHearsNothingWhileAnotherStillDoes) {
    Recorder gone, staying;
    RunningTap first(createTap(factory, gone));
    RunningTap second(createTap(factory, staying));
    ASSERT_TRUE(first.source && second.source);
    first.tap->invalidate();
    EXPECT_FALSE(first.source->isInMainLoop());
    ASSERT_TRUE(keyboard.press("Control_L"));
    ASSERT_TRUE(waitFor(staying, 1));
    EXPECT_TRUE(gone.heard.empty());
}

TEST_F(X11KeyEventTapTest, NothingArrivesWhileTheTapIsDisabledYetItsFlagsKeepUp) {
    Recorder recorder;
    RunningTap running(createTap(factory, recorder));
    ASSERT_TRUE(running.source);
    running.tap->setEnabled(false);
    ASSERT_TRUE(keyboard.press("Shift_L"));
    scope.loop().runUntil([] { return false; }, 0.2s);
    running.tap->setEnabled(true);
    ASSERT_TRUE(keyboard.press("Control_L"));
    ASSERT_TRUE(waitFor(recorder, 1));
    // Shift went by unseen, but the flags still know it is down.
    EXPECT_EQ(recorder.heard, (std::vector<KeyEvent>{flagsChanged(KeyEventFlag::shift | KeyEventFlag::control)}));
}

TEST(X11KeyEventTap, NoTapWithoutAnX11Display) {
    struct Case {
        const char* name;
        const char* display;  // null: unset
        const char* wayland;
    };
    for (const Case& c : {Case{"Wayland only", nullptr, "wayland-0"}, Case{"nothing", nullptr, nullptr},
                          Case{"empty DISPLAY", "", "wayland-0"}, Case{"no server there", ":9876", nullptr}}) {
        SCOPED_TRACE(c.name);
        c.display ? setenv("DISPLAY", c.display, 1) : unsetenv("DISPLAY");
        c.wayland ? setenv("WAYLAND_DISPLAY", c.wayland, 1) : unsetenv("WAYLAND_DISPLAY");
        X11KeyEventTapFactory factory;
        Recorder recorder;
        EXPECT_EQ(createTap(factory, recorder), nullptr);
    }
}

TEST(X11KeyEventTap, TheSessionDisplayIsUsedByDefault) {
    VirtualMainLoopScope scope;
    XvfbServer xvfb("640x480x24");
    ASSERT_TRUE(xvfb.isRunning()) << xvfb.failure();
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    setenv("WAYLAND_DISPLAY", "wayland-0", 1);  // an X11 display inside a Wayland session works
    X11KeyEventTapFactory factory;
    Recorder recorder;
    RunningTap running(createTap(factory, recorder));
    ASSERT_TRUE(running.source);
    XTestKeyboard keyboard(xvfb.display());
    ASSERT_TRUE(keyboard.press("Alt_R"));
    ASSERT_TRUE(scope.loop().runUntil([&] { return !recorder.heard.empty(); }, 10.0s));
    EXPECT_EQ(recorder.heard[0], flagsChanged(KeyEventFlag::alternate));
}

TEST_F(X11KeyEventTapTest, ACallbackMayEndItsTapWithMoreEventsWaiting) {
    Recorder recorder;
    RunningTap running(createTap(factory, recorder));
    ASSERT_TRUE(running.source);
    std::weak_ptr<KeyEventTap> weak = running.tap;
    recorder.dropOnFirstEvent = std::move(running.tap);  // the source does not keep its tap
    ASSERT_TRUE(keyboard.press("Control_L"));
    ASSERT_TRUE(keyboard.press("Alt_L"));
    ASSERT_TRUE(keyboard.release("Alt_L"));
    ASSERT_TRUE(waitFor(recorder, 1));
    scope.loop().runUntil([] { return false; }, 0.2s);  // the rest, had the tap lived
    EXPECT_EQ(recorder.heard.size(), 1u);
    EXPECT_TRUE(weak.expired());
}

// The application's parts on the main thread share one connection: each hears its own events,
// and one letting go of its XInput selection leaves the other's in place.
TEST(X11KeyEventTap, OnASharedConnectionTheTapAndPointerMotionEachHearTheirOwnEvents) {
    VirtualMainLoopScope scope;
    XvfbServer xvfb("640x480x24");
    ASSERT_TRUE(xvfb.isRunning()) << xvfb.failure();
    XTestKeyboard keyboard(xvfb.display());
    auto connection = X11Connection::open(xvfb.display());
    ASSERT_TRUE(connection);
    X11KeyEventTapFactory factory(connection);
    X11ScreenLayer::Options options;
    options.connection = connection;
    X11ScreenLayer layer(options);
    int moves = 0;
    Cancellable motion = layer.observePointerMotion([&] { ++moves; });
    EXPECT_TRUE(layer.announcesPointerMotion());
    Recorder recorder;
    RunningTap running(createTap(factory, recorder));
    ASSERT_TRUE(running.source);

    ASSERT_TRUE(keyboard.press("Control_L"));
    ASSERT_TRUE(keyboard.release("Control_L"));
    ASSERT_TRUE(scope.loop().runUntil([&] { return recorder.heard.size() >= 2; }, 10.0s)) << describe(recorder.heard);
    Display* pointer = XOpenDisplay(xvfb.display().c_str());
    ASSERT_TRUE(pointer);
    XTestFakeRelativeMotionEvent(pointer, 7, 5, CurrentTime);
    XSync(pointer, False);
    EXPECT_TRUE(scope.loop().runUntil([&] { return moves > 0; }, 10.0s));
    EXPECT_EQ(layer.screens().size(), 1u);  // the synchronous questions on the same connection

    motion.cancel();
    EXPECT_FALSE(layer.announcesPointerMotion());
    ASSERT_TRUE(keyboard.press("Alt_L"));
    ASSERT_TRUE(keyboard.release("Alt_L"));
    ASSERT_TRUE(scope.loop().runUntil([&] { return recorder.heard.size() >= 4; }, 10.0s)) << describe(recorder.heard);
    EXPECT_EQ(recorder.heard, (std::vector<KeyEvent>{flagsChanged(KeyEventFlag::control), flagsChanged(0),
                                                     flagsChanged(KeyEventFlag::alternate), flagsChanged(0)}));
    const int movesBefore = moves;
    XTestFakeRelativeMotionEvent(pointer, -7, -5, CurrentTime);
    XSync(pointer, False);
    scope.loop().runUntil([] { return false; }, 0.2s);
    EXPECT_EQ(moves, movesBefore);
    XCloseDisplay(pointer);
}
