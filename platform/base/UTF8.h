#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmo {

// The length of the well-formed UTF-8 sequence starting at `p` (1 to 4), or 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF included).
inline std::size_t utf8SequenceLength(const unsigned char* p, std::size_t available) {
    if (available == 0) return 0;
    unsigned char c = p[0];
    if (c < 0x80) return 1;
    std::size_t length;
    std::uint32_t min;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
        length = 2, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;
    }
    if (length > available) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return length;
}

inline bool isValidUTF8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 0;
    while (i < s.size()) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = utf8SequenceLength(p + i, s.size() - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Appends the UTF-8 form of a code point (no checks).
// `s` cut to at most `maxBytes`, never inside a multi-byte sequence.
inline std::string_view utf8Prefix(std::string_view s, std::size_t maxBytes) {
    if (s.size() <= maxBytes) return s;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return s.substr(0, cut);
}

inline void appendUTF8(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace velmo
