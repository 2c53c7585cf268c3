#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace velmo::test {

// A decoded JPEG: width, height and 3 bytes a pixel (red, green, blue), top row first.
struct DecodedJpeg {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
    std::uint32_t pixel(int x, int y) const;  // 0xRRGGBB
};
std::optional<DecodedJpeg> decodeJpeg(const std::vector<std::uint8_t>& data);
// Whether two 0xRRGGBB colours differ by at most `tolerance` in every channel.
bool colourNear(std::uint32_t a, std::uint32_t b, int tolerance);

}  // namespace velmo::test
