#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo {

// A random (version 4, RFC 4122 variant) universally unique identifier.
class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // 122 random bits from the kernel's generator.
    static UUID random();
    explicit UUID(const Bytes& bytes)
        : bytes_(bytes) {}
    // Reads the 36-character text form, hexadecimal digits in either case; none otherwise.
    static std::optional<UUID> fromString(std::string_view text);

    const Bytes& bytes() const { return bytes_; }
    // The standard text form in upper case: "E621E1F8-C36C-492A-93FC-0C247A3E6E5F".
    std::string uuidString() const;

    bool operator==(const UUID&) const = default;

private:
    Bytes bytes_;
};

}  // namespace velmo
