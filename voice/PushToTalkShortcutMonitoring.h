#pragma once

#include "platform/runtime/Published.h"
#include "voice/MirrinPushToTalkShortcut.h"

namespace velmo {

// What the companion object needs of the chord monitor: start and stop on every permission
// refresh, and the stream of pressed and released transitions.
class PushToTalkShortcutMonitoring {
public:
    virtual ~PushToTalkShortcutMonitoring() = default;
    // Does nothing while already started.
    virtual void start() = 0;
    virtual void stop() = 0;
    // `pressed` and `released` as they happen; no current value.
    virtual Publisher<ShortcutTransition> shortcutTransitions() const = 0;
};

}  // namespace velmo
