// UTF-8 checks against a decoder written the long way: a sequence is well formed exactly when
// it is the shortest form of a scalar value.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/base/UTF8.h"

namespace {
std::size_t referenceLength(const std::uint8_t* p, std::size_t n) {
    for (std::size_t length = 1; length <= 4 && length <= n; ++length) {
        // Decode the bits as the lead byte says, then encode the value again: equal only if shortest.
        std::string encoded;
        std::uint32_t cp;
        if (length == 1) {
            if (p[0] >= 0x80) continue;
            return 1;
        }
        const std::uint8_t lead = p[0];
        const std::uint8_t mask = static_cast<std::uint8_t>(0xFF << (7 - length));
        if ((lead & mask) != static_cast<std::uint8_t>(mask << 1)) continue;
        cp = lead & (0x7F >> length);
        bool ok = true;
        for (std::size_t k = 1; k < length; ++k) {
            if ((p[k] & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
        velmo::appendUTF8(cp, encoded);
        return encoded == std::string_view(reinterpret_cast<const char*>(p), length) ? length : 0;
    }
    return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bool valid = true;
    for (std::size_t i = 0; i < size;) {
        const std::size_t n = velmo::utf8SequenceLength(data + i, size - i);
        if (n != referenceLength(data + i, size - i)) std::abort();
        if (n == 0) {
            valid = false;
            ++i;
        } else {
            i += n;
        }
    }
    if (velmo::isValidUTF8(std::string_view(reinterpret_cast<const char*>(data), size)) != valid) std::abort();
    return 0;
}
