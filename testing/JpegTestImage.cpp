#include "testing/JpegTestImage.h"

#include <turbojpeg.h>

#include <cstdlib>

namespace velmo::test {

std::uint32_t DecodedJpeg::pixel(int x, int y) const {
    const std::uint8_t* p = rgb.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3;
    return (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
}

std::optional<DecodedJpeg> decodeJpeg(const std::vector<std::uint8_t>& data) {
    tjhandle handle = tjInitDecompress();
    if (!handle) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    std::optional<DecodedJpeg> result;
    if (tjDecompressHeader3(handle, data.data(), static_cast<unsigned long>(data.size()), &width, &height, &subsampling, &colourspace) ==
        0) {
        DecodedJpeg image;
        image.width = width;
        image.height = height;
        image.rgb.resize(std::size_t(width) * std::size_t(height) * 3);
        if (tjDecompress2(handle, data.data(), static_cast<unsigned long>(data.size()), image.rgb.data(), width, 0, height, TJPF_RGB, 0) ==
            0) {
            result = std::move(image);
        }
    }
    tjDestroy(handle);
    return result;
}

bool colourNear(std::uint32_t a, std::uint32_t b, int tolerance) {
    for (int shift = 0; shift <= 16; shift += 8) {
        int ca = int((a >> shift) & 0xff), cb = int((b >> shift) & 0xff);
        if (std::abs(ca - cb) > tolerance) return false;
    }
    return true;
}

}  // namespace velmo::test
