#pragma once

#include <string_view>

#include "interface/drawing/Color.h"

namespace velmo {

// Parses "#RRGGBB"-style text: white space trimmed, every "#" removed, the rest scanned as an
// unsigned 64-bit hex number (optional "0x"; saturates on overflow), low 24 bits, opacity 1.
// Text with no hex digits gives opaque black. Never throws.
Color colorFromHex(std::string_view text);

// The named colours of the interface. Each is made once, on first use, from any thread.
struct CompanionPalette {
    static const Color& background();
    static const Color& divider();
    static const Color& textPrimary();
    static const Color& textSecondary();
    static const Color& textTertiary();
    static const Color& textOnAccent();
    static const Color& accentLight();
    static const Color& accent();
    static const Color& primaryButton();
    static const Color& success();
    static const Color& warning();
    static const Color& cursorBlue();
};

}  // namespace velmo
