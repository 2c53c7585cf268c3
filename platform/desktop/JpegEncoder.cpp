#include "platform/desktop/JpegEncoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/desktop/ScreenLayer.h"

namespace velmo {

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() {
    if (buffer_) tjFree(buffer_);
    if (handle_) tjDestroy(handle_);
}

int JpegEncoder::qualityForCompressionFactor(double compressionFactor) {
    double factor = compressionFactor;
    if (!(factor >= 0)) factor = 0;  // NaN too
    if (factor > 1) factor = 1;
    long quality = std::lround(factor * 100);
    return int(std::clamp(quality, 1L, 100L));
}

std::optional<std::vector<std::uint8_t>> JpegEncoder::encode(const Image& image, double compressionFactor) {
    if (image.width <= 0 || image.height <= 0 || image.pixels.size() < image.stride() * std::size_t(image.height)) {
        return std::nullopt;
    }
    return encode(image.pixels.data(), image.width, image.height, image.stride(), compressionFactor);
}

std::optional<std::vector<std::uint8_t>> JpegEncoder::encode(const std::uint8_t* pixels, int width, int height,
                                                             std::size_t stride, double compressionFactor) {
    if (!pixels || width <= 0 || height <= 0 || stride < std::size_t(width) * 4 ||
        stride > std::size_t(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    if (!handle_) return std::nullopt;
    unsigned long needed = tjBufSize(width, height, TJSAMP_420);
    if (needed == static_cast<unsigned long>(-1)) return std::nullopt;
    if (needed > bufferSize_) {
        if (buffer_) tjFree(buffer_);
        buffer_ = tjAlloc(int(std::min<unsigned long>(needed, std::numeric_limits<int>::max())));
        bufferSize_ = buffer_ ? needed : 0;
        if (!buffer_) return std::nullopt;
    }
    // The buffer holds the worst case, so the library never has to grow it.
    unsigned long size = bufferSize_;
    int quality = qualityForCompressionFactor(compressionFactor);
    if (tjCompress2(handle_, pixels, width, int(stride), height, TJPF_BGRX, &buffer_, &size, TJSAMP_420, quality,
                    TJFLAG_NOREALLOC) != 0) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(buffer_, buffer_ + size);
}

}  // namespace velmo
