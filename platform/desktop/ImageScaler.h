#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace velmo {

// Resizes blue-green-red-alpha pixels. Along each axis a smaller output averages the source
// area each output pixel covers; a larger one interpolates linearly between pixel centres; an
// equal one copies. A scaler keeps its tap tables and row buffers for reuse with the same sizes;
// large pictures are scaled in bands on a few threads at once. One call at a time.
class ImageScaler {
public:
    // Writes outWidth x outHeight pixels (outStride bytes per row) to `out`.
    void scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride,
               std::uint8_t* out, int outWidth, int outHeight, std::size_t outStride);

    // The same while the source is still being filled from the top: `produce` runs on the
    // calling thread and reports through its argument how many rows can be read so far, while
    // the bands, each on its own thread, wait for the rows they need. An exception thrown by
    // `produce` stops the bands and leaves this call.
    using RowsReady = std::function<void(int rows)>;
    void scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride,
               std::uint8_t* out, int outWidth, int outHeight, std::size_t outStride,
               const std::function<void(const RowsReady&)>& produce);

    // Contributions of source pixels to one output pixel: `count` taps from `first`, weights in
    // units of 1/16384 that add up to exactly 16384.
    struct Taps {
        int first = 0;
        int count = 0;
        int offset = 0;  // into `weights`
    };
    // Two weights packed, the first in the low half; the second is 0 for a single tap.
    struct Pair {
        int first = 0;
        std::uint32_t weights = 0;
    };
    struct Axis {
        std::vector<Taps> taps;
        std::vector<std::uint16_t> weights;
        std::vector<Pair> pairs;  // filled when no output pixel has more than two taps
    };
    static Axis makeAxis(int sourceLength, int outLength);

private:
    void scaleBands(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride,
                    std::uint8_t* out, int outWidth, int outHeight, std::size_t outStride,
                    const std::function<void(const RowsReady&)>* produce);

    int cachedSource_[2] = {0, 0};
    int cachedOut_[2] = {0, 0};
    Axis horizontal_;
    Axis vertical_;
    std::vector<std::vector<std::int16_t>> rows_;  // a vertically filtered row per band, 16 bits a channel
};

}  // namespace velmo
