#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace velmo {

struct Image;

// JPEG encoding through libjpeg-turbo. One encoder keeps its compressor and output buffer for
// reuse; calls from several threads take turns.
class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // The quality for a compression factor: 0.8 gives 80; factors are held to 0..1 and the
    // quality to 1..100.
    static int qualityForCompressionFactor(double compressionFactor);

    // None when the image is empty or malformed, or the library fails.
    std::optional<std::vector<std::uint8_t>> encode(const Image& image, double compressionFactor);
    // The same on raw blue-green-red-alpha pixels with the given row stride in bytes.
    std::optional<std::vector<std::uint8_t>> encode(const std::uint8_t* pixels, int width, int height,
                                                    std::size_t stride, double compressionFactor);

private:
    std::mutex mutex_;
    void* handle_ = nullptr;
    unsigned char* buffer_ = nullptr;
    unsigned long bufferSize_ = 0;
};

}  // namespace velmo
