#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmo {

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
class Base64 {
public:
    static constexpr std::size_t encodedSize(std::size_t bytes) { return (bytes + 2) / 3 * 4; }
    static std::string encode(std::string_view bytes);
    // Appends the encoding of `bytes` to `out`, which grows by encodedSize(bytes.size()).
    static void encodeAppending(std::string_view bytes, std::string& out);
    // Writes exactly encodedSize(bytes.size()) characters at `out`.
    static void encodeInto(std::string_view bytes, char* out);
    // Strict decoding of padded standard Base64; nothing on any other input.
    static std::optional<std::string> decode(std::string_view text);
};

}  // namespace velmo
