#include "platform/net/Base64.h"

#include <array>
#include <cstdint>

namespace velmo {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
    std::array<std::int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return t;
}
constexpr auto kDecode = makeDecodeTable();
}  // namespace

void Base64::encodeInto(std::string_view bytes, char* out) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8) | in[i + 2];
        out[0] = kAlphabet[v >> 18];
        out[1] = kAlphabet[(v >> 12) & 63];
        out[2] = kAlphabet[(v >> 6) & 63];
        out[3] = kAlphabet[v & 63];
        out += 4;
    }
    if (std::size_t rest = n - i; rest > 0) {
        std::uint32_t v = std::uint32_t(in[i]) << 16;
        if (rest == 2) v |= std::uint32_t(in[i + 1]) << 8;
        out[0] = kAlphabet[v >> 18];
        out[1] = kAlphabet[(v >> 12) & 63];
        out[2] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out[3] = '=';
    }
}

void Base64::encodeAppending(std::string_view bytes, std::string& out) {
    std::size_t at = out.size();
    out.resize(at + encodedSize(bytes.size()));
    encodeInto(bytes, out.data() + at);
}

std::string Base64::encode(std::string_view bytes) {
    std::string out;
    encodeAppending(bytes, out);
    return out;
}

std::optional<std::string> Base64::decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int pad = 0;
        if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            int d;
            if (k >= 4 - pad) {
                d = 0;
            } else {
                d = kDecode[static_cast<unsigned char>(c)];
                if (d < 0) return std::nullopt;
            }
            v = (v << 6) | std::uint32_t(d);
        }
        // The bits the padding leaves over must be zero, so each text decodes one way only.
        if ((pad == 2 && (v & 0xFFFF) != 0) || (pad == 1 && (v & 0xFF) != 0)) return std::nullopt;
        out.push_back(static_cast<char>(v >> 16));
        if (pad < 2) out.push_back(static_cast<char>((v >> 8) & 0xFF));
        if (pad < 1) out.push_back(static_cast<char>(v & 0xFF));
    }
    return out;
}

}  // namespace velmo
