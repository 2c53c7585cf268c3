#include "interface/drawing/CompanionPalette.h"

#include <cstdint>
#include <limits>
#include <string>

namespace velmo {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Scans like the platform scanner: leading white space skipped, optional "0x"/"0X", then hex
// digits up to the first other character; an overflowing number stays at the largest value.
std::uint64_t scanHex(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && isSpace(s[i])) ++i;
    if (i + 2 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') && hexDigit(s[i + 2]) >= 0) i += 2;
    std::uint64_t value = 0;
    bool saturated = false;
    for (; i < s.size(); ++i) {
        int d = hexDigit(s[i]);
        if (d < 0) break;
        if (saturated) continue;
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) {
            value = std::numeric_limits<std::uint64_t>::max();
            saturated = true;
            continue;
        }
        value = (value << 4) | std::uint64_t(d);
    }
    return value;
}

}  // namespace

Color colorFromHex(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && isSpace(text[begin])) ++begin;
    while (end > begin && isSpace(text[end - 1])) --end;
    std::string rest;
    for (char c : text.substr(begin, end - begin))
        if (c != '#') rest.push_back(c);
    std::uint64_t v = scanHex(rest);
    return {double((v >> 16) & 255) / 255.0, double((v >> 8) & 255) / 255.0, double(v & 255) / 255.0, 1.0};
}

// Function-local statics: one thread-safe initialisation each.
const Color& CompanionPalette::background() {
    static const Color c = colorFromHex("#101211");
    return c;
}
const Color& CompanionPalette::divider() {
    static const Color c = colorFromHex("#373B39");
    return c;
}
const Color& CompanionPalette::textPrimary() {
    static const Color c = colorFromHex("#ECEEED");
    return c;
}
const Color& CompanionPalette::textSecondary() {
    static const Color c = colorFromHex("#ADB5B2");
    return c;
}
const Color& CompanionPalette::textTertiary() {
    static const Color c = colorFromHex("#6B736F");
    return c;
}
const Color& CompanionPalette::textOnAccent() {
    static const Color c = Color::white();
    return c;
}
const Color& CompanionPalette::accentLight() {
    static const Color c = colorFromHex("#60a5fa");
    return c;
}
const Color& CompanionPalette::accent() {
    static const Color c = colorFromHex("#2563eb");
    return c;
}
const Color& CompanionPalette::primaryButton() {
    static const Color c = accent();
    return c;
}
const Color& CompanionPalette::success() {
    static const Color c = colorFromHex("#34D399");
    return c;
}
const Color& CompanionPalette::warning() {
    static const Color c = colorFromHex("#FFB224");
    return c;
}
const Color& CompanionPalette::cursorBlue() {
    static const Color c = colorFromHex("#3380FF");
    return c;
}

}  // namespace velmo
