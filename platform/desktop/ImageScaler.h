#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmo {

// Resizes blue-green-red-alpha pixels. Along each axis a smaller output averages the source
// area each output pixel covers; a larger one interpolates linearly between pixel centres; an
// equal one copies. A scaler keeps its tap tables and row buffer for reuse with the same sizes.
class ImageScaler {
public:
    // Writes outWidth x outHeight pixels (outStride bytes per row) to `out`.
    void scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride,
               std::uint8_t* out, int outWidth, int outHeight, std::size_t outStride);

    // Contributions of source pixels to one output pixel: `count` taps from `first`, weights in
    // units of 1/16384 that add up to exactly 16384.
    struct Taps {
        int first = 0;
        int count = 0;
        int offset = 0;  // into `weights`
    };
    struct Axis {
        std::vector<Taps> taps;
        std::vector<std::uint16_t> weights;
    };
    static Axis makeAxis(int sourceLength, int outLength);

private:
    int cachedSource_[2] = {0, 0};
    int cachedOut_[2] = {0, 0};
    Axis horizontal_;
    Axis vertical_;
    std::vector<std::uint16_t> row_;  // one vertically filtered row, 16 bits a channel
};

}  // namespace velmo
