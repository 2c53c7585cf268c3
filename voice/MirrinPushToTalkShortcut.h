#pragma once

#include <cstdint>

namespace velmo {

// The push-to-talk chord: control and option held together.
struct MirrinPushToTalkShortcut {
    MirrinPushToTalkShortcut() = delete;

    enum class ShortcutTransition : std::uint8_t { none, pressed, released };
};

using ShortcutTransition = MirrinPushToTalkShortcut::ShortcutTransition;

}  // namespace velmo
