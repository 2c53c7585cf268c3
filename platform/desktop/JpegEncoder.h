#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
    std::optional<std::vector<std::uint8_t>> encode(const std::uint8_t* pixels, int width, int height, std::size_t stride,
                                                    double compressionFactor);

private:
    std::mutex mutex_;
    void* handle_ = nullptr;
    unsigned char* buffer_ = nullptr;
    unsigned long bufferSize_ = 0;
};

// The same encoding fed row by row through libjpeg's scanline interface, so a picture can be
// encoded while its later rows are still being made. The bytes equal those of JpegEncoder at
// the same quality. One picture at a time, on one thread at a time; the encoder keeps its
// compressor and output buffer for the next picture.
class JpegScanlineEncoder {
public:
    JpegScanlineEncoder();
    ~JpegScanlineEncoder();
    JpegScanlineEncoder(const JpegScanlineEncoder&) = delete;
    JpegScanlineEncoder& operator=(const JpegScanlineEncoder&) = delete;

    // Starts a picture of blue-green-red-x pixels; false when the size is not valid or the
    // library fails (then `write` and `finish` fail too).
    bool begin(int width, int height, int quality);
    // The next `count` rows, `stride` bytes apart.
    bool write(const std::uint8_t* rows, std::size_t stride, int count);
    // The picture once every row was written; none after any failure.
    std::optional<std::vector<std::uint8_t>> finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velmo
