#pragma once

#include <memory>

#include "platform/desktop/KeyEventTap.h"
#include "platform/runtime/Published.h"
#include "voice/MirrinPushToTalkShortcut.h"
#include "voice/PushToTalkShortcutMonitoring.h"

namespace velmo {

// Watches the keyboard of the whole session and reports when the push-to-talk chord (control
// and option together) goes down and comes up. It only observes: every event passes on
// unchanged. Bound to the main thread: start, stop, the flag and the transitions all live there.
class GlobalPushToTalkShortcutMonitor : public PushToTalkShortcutMonitoring {
public:
    GlobalPushToTalkShortcutMonitor() = default;
    ~GlobalPushToTalkShortcutMonitor() override;  // stops first
    GlobalPushToTalkShortcutMonitor(const GlobalPushToTalkShortcutMonitor&) = delete;
    GlobalPushToTalkShortcutMonitor& operator=(const GlobalPushToTalkShortcutMonitor&) = delete;

    // Installs the tap on the main loop; does nothing while one is installed, so it may be
    // called on every permission poll. A failure is logged and the next call tries again.
    void start() override;
    // Takes the tap away. The flag drops without a `released` transition. Safe when stopped.
    void stop() override;

    // The tap callback. With no monitor behind `userInfo` it just passes the event on.
    static KeyEvent handleGlobalEventTapEvent(KeyEventType type, const KeyEvent& event, void* userInfo);

    std::shared_ptr<KeyEventTap> globalEventTap() const { return globalEventTap_; }
    std::shared_ptr<KeyEventTapRunLoopSource> globalEventTapRunLoopSource() const { return globalEventTapRunLoopSource_; }

    ObjectWillChange objectWillChange;
    // `pressed` and `released`, as they happen; no current value is kept.
    Subject<ShortcutTransition> shortcutTransitionPublisher;
    Publisher<ShortcutTransition> shortcutTransitions() const override { return shortcutTransitionPublisher.publisher(); }
    // True while the chord is held; set before the matching transition is sent.
    Published<bool> isShortcutCurrentlyPressed{false, &objectWillChange};

    // Flags changed, key down and key up.
    static constexpr KeyEventMask eventMask =
        keyEventMaskBit(KeyEventType::flagsChanged) | keyEventMaskBit(KeyEventType::keyDown) | keyEventMaskBit(KeyEventType::keyUp);

private:
    std::shared_ptr<KeyEventTap> globalEventTap_;
    std::shared_ptr<KeyEventTapRunLoopSource> globalEventTapRunLoopSource_;
};

}  // namespace velmo
