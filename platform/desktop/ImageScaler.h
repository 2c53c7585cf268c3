#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace velmo {

// Resizes blue-green-red-alpha pixels. Along each axis a smaller output averages the source
// area each output pixel covers; a larger one interpolates linearly between pixel centres; an
// equal one copies. A scaler keeps its tap tables and row buffers for reuse with the same sizes;
// large pictures are scaled 16 rows at a time on worker threads the scaler keeps for its life
// (made on first need). One call at a time, from any one thread at a time.
class ImageScaler {
public:
    ImageScaler();
    ~ImageScaler();
    ImageScaler(const ImageScaler&) = delete;
    ImageScaler& operator=(const ImageScaler&) = delete;

    // Writes outWidth x outHeight pixels (outStride bytes per row) to `out`.
    void scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride, std::uint8_t* out, int outWidth,
               int outHeight, std::size_t outStride);

    // The same while the source is still being filled from the top: `produce` runs on the
    // calling thread and reports through its argument how many rows can be read so far, while
    // the workers wait for the rows they need. An exception thrown by `produce` stops the
    // workers and leaves this call.
    using RowsReady = std::function<void(int rows)>;
    using Producer = std::function<void(const RowsReady&)>;
    void scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride, std::uint8_t* out, int outWidth,
               int outHeight, std::size_t outStride, const Producer& produce);

    // The whole pipeline on two threads: one thread of the scaler's runs `produce` (may be
    // null) and, each time rows arrive, scales the output rows they complete, while `consume`
    // runs on the calling thread and is handed the finished output rows [from, to) in order,
    // each as soon as it is final. An exception from either stops the scaling and leaves this
    // call.
    using RowsDone = std::function<void(int from, int to)>;
    void scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride, std::uint8_t* out, int outWidth,
               int outHeight, std::size_t outStride, const Producer* produce, const RowsDone& consume);

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

    // Output rows a worker scales at a time.
    static constexpr int kChunkRows = 16;
    // Output pixels below which a picture is scaled on the calling thread alone.
    static constexpr std::size_t kSmallPicture = 256 * 1024;

private:
    struct Job;
    struct Workers;
    // The plain forms on the workers; `consume` only for pictures small enough for one thread.
    void run(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride, std::uint8_t* out, int outWidth,
             int outHeight, std::size_t outStride, const Producer* produce, const RowsDone* consume);
    void scaleRows(const Job& job, int first, int last, std::int16_t* row) const;
    void prepareAxes(int sourceWidth, int sourceHeight, int outWidth, int outHeight);
    // The axes for these sizes, and the job's picture fields.
    void prepareJob(Job& job, const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride, std::uint8_t* out,
                    int outWidth, int outHeight, std::size_t outStride);

    int cachedSource_[2] = {0, 0};
    int cachedOut_[2] = {0, 0};
    Axis horizontal_;
    Axis vertical_;
    bool halving_ = false;  // both axes exactly halve, scaled by the fused pass
    std::vector<std::vector<std::int16_t>> rows_;  // a vertically filtered row per thread, 16 bits a channel
    std::unique_ptr<Workers> workers_;
    std::unique_ptr<Workers> bandThread_;  // the pipeline's grab-and-scale thread
};

}  // namespace velmo
