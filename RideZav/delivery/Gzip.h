#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace ridezav {

namespace Gzip {
inline constexpr int maxWindowBits = 15;  // zlib's largest window; + 16 asks for a gzip wrapper
}

// A zlib compression level.
struct CompressionLevel {
    std::int32_t rawValue;

    static constexpr std::int32_t noCompression = 0;
    static constexpr std::int32_t bestSpeed = 1;
    static constexpr std::int32_t bestCompression = 9;
    static constexpr std::int32_t defaultCompression = -1;

    constexpr explicit CompressionLevel(std::int32_t raw = defaultCompression)
        : rawValue(raw) {}
    bool operator==(const CompressionLevel&) const = default;
};

class GzipError : public std::exception {
public:
    // unknown carries the zlib code; the others stand for Z_STREAM_ERROR .. Z_VERSION_ERROR.
    class Kind {
    public:
        enum class Case { unknown, stream, data, memory, buffer, version };
        static Kind fromCode(int zlibCode);
        static constexpr Kind unknown(int code) { return Kind(Case::unknown, code); }
        static constexpr Kind stream() { return Kind(Case::stream); }
        static constexpr Kind data() { return Kind(Case::data); }
        static constexpr Kind memory() { return Kind(Case::memory); }
        static constexpr Kind buffer() { return Kind(Case::buffer); }
        static constexpr Kind version() { return Kind(Case::version); }

        Case kase() const { return case_; }
        int code() const { return code_; }  // meaningful for unknown only
        bool operator==(const Kind& other) const { return case_ == other.case_ && (case_ != Case::unknown || code_ == other.code_); }

    private:
        constexpr explicit Kind(Case c, int code = 0)
            : case_(c),
              code_(code) {}
        Case case_;
        int code_;
    };

    // The stream's message when set and valid UTF-8, else "Unknown gzip error".
    GzipError(int zlibCode, const char* streamMessage);

    Kind kind;
    std::string message;

    const char* what() const noexcept override { return message.c_str(); }
};

// The input as one complete gzip member (window bits 31 by default); an empty input gives an
// empty output. Throws GzipError. Pure: safe from any thread.
std::string gzipped(std::string_view input, CompressionLevel level = CompressionLevel(), int wBits = Gzip::maxWindowBits + 16);

}  // namespace ridezav
