#include "platform/desktop/ImageScaler.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmo {

namespace {

constexpr int kUnit = 16384;

// Rounds real weights to units that add up to exactly kUnit, moving the rounding error onto
// the largest weight.
void appendTaps(ImageScaler::Axis& axis, int first, const std::vector<double>& real) {
    ImageScaler::Taps taps;
    taps.first = first;
    taps.count = int(real.size());
    taps.offset = int(axis.weights.size());
    int sum = 0;
    std::size_t largest = 0;
    for (std::size_t k = 0; k < real.size(); ++k) {
        int w = int(std::lround(real[k] * kUnit));
        axis.weights.push_back(std::uint16_t(w));
        sum += w;
        if (real[k] > real[largest]) largest = k;
    }
    axis.weights[std::size_t(taps.offset) + largest] = std::uint16_t(axis.weights[std::size_t(taps.offset) + largest] + (kUnit - sum));
    axis.taps.push_back(taps);
}

}  // namespace

ImageScaler::Axis ImageScaler::makeAxis(int sourceLength, int outLength) {
    Axis axis;
    axis.taps.reserve(std::size_t(std::max(outLength, 0)));
    if (sourceLength <= 0 || outLength <= 0) return axis;
    if (outLength == sourceLength) {
        for (int o = 0; o < outLength; ++o) appendTaps(axis, o, {1.0});
    } else if (outLength < sourceLength) {
        // Each output pixel averages the source span it covers, partial pixels by their share.
        double span = double(sourceLength) / outLength;
        for (int o = 0; o < outLength; ++o) {
            double a = o * span;
            double b = std::min(double(sourceLength), (o + 1) * span);
            int first = int(std::floor(a));
            int last = std::min(sourceLength - 1, int(std::ceil(b)) - 1);
            std::vector<double> real;
            for (int i = first; i <= last; ++i) {
                double overlap = std::min(b, double(i + 1)) - std::max(a, double(i));
                real.push_back(overlap / span);
            }
            // Spans that touch a pixel by a rounding crumb only drop it.
            while (real.size() > 1 && real.back() * kUnit < 0.5) real.pop_back();
            while (real.size() > 1 && real.front() * kUnit < 0.5) {
                real.erase(real.begin());
                ++first;
            }
            appendTaps(axis, first, real);
        }
    } else {
        // Linear interpolation between the centres of the two nearest source pixels.
        double ratio = double(sourceLength) / outLength;
        for (int o = 0; o < outLength; ++o) {
            double c = (o + 0.5) * ratio - 0.5;
            if (c <= 0 || sourceLength == 1) {
                appendTaps(axis, 0, {1.0});
            } else if (c >= sourceLength - 1) {
                appendTaps(axis, sourceLength - 1, {1.0});
            } else {
                int i0 = int(std::floor(c));
                double f = c - i0;
                if (f * kUnit < 0.5) {
                    appendTaps(axis, i0, {1.0});
                } else {
                    appendTaps(axis, i0, {1.0 - f, f});
                }
            }
        }
    }
    // The common case of at most two taps each, kept flat for the horizontal pass.
    bool fewTaps = std::all_of(axis.taps.begin(), axis.taps.end(), [](const Taps& t) { return t.count <= 2; });
    if (fewTaps) {
        for (const Taps& t : axis.taps) {
            std::uint32_t w0 = axis.weights[std::size_t(t.offset)];
            std::uint32_t w1 = t.count > 1 ? axis.weights[std::size_t(t.offset) + 1] : 0;
            axis.pairs.push_back({t.first, w0 | (w1 << 16)});
        }
    }
    return axis;
}

namespace {

// The vertical pass leaves each channel as value x 128 in 16 bits (at most 32640), which the
// signed multiply-add of SSE2 takes; the horizontal pass brings it back to 8 bits.
constexpr int kRowShift = 7;
constexpr int kOutShift = 14 + kRowShift;

// Each tap adds floor(value x weight / 128), so a full weight gives value x 128 exactly.
void verticalPass(const std::uint8_t* r0, std::size_t stride, int count, const std::uint16_t* w, std::size_t n, std::int16_t* row) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i lo = zero, hi = zero;
        for (int k = 0; k < count; ++k) {
            // (value << 8) x (weight << 1) >> 16 = value x weight / 128.
            const __m128i weight = _mm_set1_epi16(static_cast<short>(std::uint16_t(w[k] << 1)));
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + std::size_t(k) * stride + i));
            lo = _mm_add_epi16(lo, _mm_mulhi_epu16(_mm_unpacklo_epi8(zero, v), weight));
            hi = _mm_add_epi16(hi, _mm_mulhi_epu16(_mm_unpackhi_epi8(zero, v), weight));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i + 8), hi);
    }
#endif
    for (; i < n; ++i) {
        std::uint32_t acc = 0;
        const std::uint8_t* p = r0 + i;
        for (int k = 0; k < count; ++k, p += stride) acc += (std::uint32_t(w[k]) * *p) >> kRowShift;
        row[i] = std::int16_t(acc);
    }
}

// `row` has one spare pixel of zeros past its end, so taps can be read in pairs.
void horizontalPass(const std::int16_t* row, const ImageScaler::Axis& axis, int outWidth, std::uint8_t* dst) {
#if defined(__SSE2__)
    const __m128i round = _mm_set1_epi32(1 << (kOutShift - 1));
    const __m128i zero = _mm_setzero_si128();
    // Two neighbouring pixels, channel by channel side by side, times their two weights.
    auto pair = [&](const std::int16_t* p, std::uint32_t weights) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return _mm_madd_epi16(_mm_unpacklo_epi16(v, _mm_srli_si128(v, 8)), _mm_set1_epi32(int(weights)));
    };
    if (!axis.pairs.empty()) {
        // At most two taps each: two output pixels a step.
        int x = 0;
        for (; x + 2 <= outWidth; x += 2) {
            const ImageScaler::Pair& p0 = axis.pairs[std::size_t(x)];
            const ImageScaler::Pair& p1 = axis.pairs[std::size_t(x) + 1];
            __m128i a0 = _mm_srai_epi32(_mm_add_epi32(pair(row + std::size_t(p0.first) * 4, p0.weights), round), kOutShift);
            __m128i a1 = _mm_srai_epi32(_mm_add_epi32(pair(row + std::size_t(p1.first) * 4, p1.weights), round), kOutShift);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + std::size_t(x) * 4), _mm_packus_epi16(_mm_packs_epi32(a0, a1), zero));
        }
        for (; x < outWidth; ++x) {
            const ImageScaler::Pair& p0 = axis.pairs[std::size_t(x)];
            __m128i a0 = _mm_srai_epi32(_mm_add_epi32(pair(row + std::size_t(p0.first) * 4, p0.weights), round), kOutShift);
            std::uint32_t pixel = std::uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(a0, a0), zero)));
            std::memcpy(dst + std::size_t(x) * 4, &pixel, 4);
        }
        return;
    }
    for (int x = 0; x < outWidth; ++x) {
        const ImageScaler::Taps& t = axis.taps[std::size_t(x)];
        const std::uint16_t* w = axis.weights.data() + t.offset;
        const std::int16_t* p = row + std::size_t(t.first) * 4;
        __m128i acc = round;
        for (int k = 0; k < t.count; k += 2, p += 8) {
            std::uint32_t second = k + 1 < t.count ? w[k + 1] : 0;
            acc = _mm_add_epi32(acc, pair(p, std::uint32_t(w[k]) | (second << 16)));
        }
        acc = _mm_srai_epi32(acc, kOutShift);
        std::uint32_t pixel = std::uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(acc, acc), zero)));
        std::memcpy(dst + std::size_t(x) * 4, &pixel, 4);
    }
#else
    for (int x = 0; x < outWidth; ++x) {
        const ImageScaler::Taps& t = axis.taps[std::size_t(x)];
        const std::uint16_t* w = axis.weights.data() + t.offset;
        const std::int16_t* p = row + std::size_t(t.first) * 4;
        std::uint32_t a[4] = {1u << (kOutShift - 1), 1u << (kOutShift - 1), 1u << (kOutShift - 1), 1u << (kOutShift - 1)};
        for (int k = 0; k < t.count; ++k, p += 4) {
            for (int c = 0; c < 4; ++c) a[c] += std::uint32_t(w[k]) * std::uint32_t(p[c]);
        }
        for (int c = 0; c < 4; ++c) dst[std::size_t(x) * 4 + std::size_t(c)] = std::uint8_t(a[c] >> kOutShift);
    }
#endif
}

// Exact halving on both axes: every weight above is one half, and the two passes come to
// (a + b + c + d + 2) >> 2 over each 2x2 block, which is worked out here in one pass.
void halvePass(const std::uint8_t* r0, const std::uint8_t* r1, int outWidth, std::uint8_t* dst) {
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i two = _mm_set1_epi16(2);
    // Two output pixels from four source pixels of each row, in 16 bits.
    auto sums = [&](const std::uint8_t* p0, const std::uint8_t* p1) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p0));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1));
        const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
        const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
        return _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
    };
    for (; x + 4 <= outWidth; x += 4) {
        const std::size_t at = std::size_t(x) * 8;
        const __m128i first = _mm_srli_epi16(_mm_add_epi16(sums(r0 + at, r1 + at), two), 2);
        const __m128i second = _mm_srli_epi16(_mm_add_epi16(sums(r0 + at + 16, r1 + at + 16), two), 2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + std::size_t(x) * 4), _mm_packus_epi16(first, second));
    }
#endif
    for (; x < outWidth; ++x) {
        const std::size_t at = std::size_t(x) * 8;
        for (std::size_t c = 0; c < 4; ++c) {
            const unsigned sum = unsigned(r0[at + c]) + r0[at + 4 + c] + r1[at + c] + r1[at + 4 + c];
            dst[std::size_t(x) * 4 + c] = std::uint8_t((sum + 2) >> 2);
        }
    }
}

#if defined(__x86_64__)
// The same arithmetic as the passes above on 32 bytes a step, for processors that have AVX2;
// the results are the same to the bit.
__attribute__((target("avx2"))) void verticalPassWide(const std::uint8_t* r0, std::size_t stride, int count, const std::uint16_t* w,
                                                      std::size_t n, std::int16_t* row) {
    std::size_t i = 0;
    const __m256i zero = _mm256_setzero_si256();
    for (; i + 32 <= n; i += 32) {
        __m256i lo = zero, hi = zero;
        for (int k = 0; k < count; ++k) {
            const __m256i weight = _mm256_set1_epi16(static_cast<short>(std::uint16_t(w[k] << 1)));
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + std::size_t(k) * stride + i));
            lo = _mm256_add_epi16(lo, _mm256_mulhi_epu16(_mm256_unpacklo_epi8(zero, v), weight));
            hi = _mm256_add_epi16(hi, _mm256_mulhi_epu16(_mm256_unpackhi_epi8(zero, v), weight));
        }
        // The unpacks work within each 128-bit half: put the four quarters back in order.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + i), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + i + 16), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    if (i < n) verticalPass(r0 + i, stride, count, w, n - i, row + i);
}

// Pixels x and x + 1, one in each half, each channel beside its neighbour's, times their
// weights, back to 8-bit range.
__attribute__((target("avx2"))) inline __m256i pairsWide(const std::int16_t* row, const ImageScaler::Axis& axis, int x) {
    const ImageScaler::Pair& p0 = axis.pairs[std::size_t(x)];
    const ImageScaler::Pair& p1 = axis.pairs[std::size_t(x) + 1];
    const __m256i v =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + std::size_t(p0.first) * 4))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + std::size_t(p1.first) * 4)), 1);
    const __m256i weights = _mm256_setr_epi32(int(p0.weights), int(p0.weights), int(p0.weights), int(p0.weights), int(p1.weights),
                                              int(p1.weights), int(p1.weights), int(p1.weights));
    const __m256i sum = _mm256_madd_epi16(_mm256_unpacklo_epi16(v, _mm256_srli_si256(v, 8)), weights);
    return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(1 << (kOutShift - 1))), kOutShift);
}

// The two-tap case, four output pixels a step; others go to the narrow pass.
__attribute__((target("avx2"))) void horizontalPassWide(const std::int16_t* row, const ImageScaler::Axis& axis, int outWidth,
                                                        std::uint8_t* dst) {
    if (axis.pairs.empty()) {
        horizontalPass(row, axis, outWidth, dst);
        return;
    }
    const __m256i zero = _mm256_setzero_si256();
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int x = 0;
    for (; x + 4 <= outWidth; x += 4) {
        // Halves hold (x, x + 2) and (x + 1, x + 3) after packing; the permutation restores x..x + 3.
        const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(pairsWide(row, axis, x), pairsWide(row, axis, x + 2)), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + std::size_t(x) * 4),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(packed, order)));
    }
    for (; x < outWidth; ++x) {
        const ImageScaler::Pair& p0 = axis.pairs[std::size_t(x)];
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + std::size_t(p0.first) * 4));
        const __m128i sum = _mm_madd_epi16(_mm_unpacklo_epi16(v, _mm_srli_si128(v, 8)), _mm_set1_epi32(int(p0.weights)));
        const __m128i a0 = _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << (kOutShift - 1))), kOutShift);
        const std::uint32_t pixel = std::uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(a0, a0), _mm_setzero_si128())));
        std::memcpy(dst + std::size_t(x) * 4, &pixel, 4);
    }
}

// Four output pixels of the halving pass from 32 source bytes of each row, in 16 bits: within
// each 128-bit half each channel of a pixel goes beside the same channel of its neighbour, so
// one multiply-add by ones gives the pair sums.
__attribute__((target("avx2"))) inline __m256i halveWide(const std::uint8_t* p0, const std::uint8_t* p1) {
    const __m256i beside =
        _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i a = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p0)), beside);
    const __m256i b = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p1)), beside);
    const __m256i total = _mm256_add_epi16(_mm256_maddubs_epi16(a, ones), _mm256_maddubs_epi16(b, ones));
    return _mm256_srli_epi16(_mm256_add_epi16(total, _mm256_set1_epi16(2)), 2);
}

// The halving pass, eight output pixels a step.
__attribute__((target("avx2"))) void halvePassWide(const std::uint8_t* r0, const std::uint8_t* r1, int outWidth, std::uint8_t* dst) {
    int x = 0;
    for (; x + 8 <= outWidth; x += 8) {
        const std::size_t at = std::size_t(x) * 8;
        // Packing leaves the quarters as pixels 0-1, 4-5, 2-3, 6-7.
        const __m256i packed = _mm256_packus_epi16(halveWide(r0 + at, r1 + at), halveWide(r0 + at + 32, r1 + at + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + std::size_t(x) * 4), _mm256_permute4x64_epi64(packed, 0xd8));
    }
    if (x < outWidth) halvePass(r0 + std::size_t(x) * 8, r1 + std::size_t(x) * 8, outWidth - x, dst + std::size_t(x) * 4);
}

bool hasWideVectors() {
    static const bool wide = __builtin_cpu_supports("avx2");
    return wide;
}
#endif

}  // namespace

namespace {

// Waits that are usually short spin a little before sleeping, so a handover between threads
// rarely costs a context switch.
// Kept short: a spinning thread on a busy machine takes time from the X server it waits for.
constexpr int kSpins = 500;

inline void relax() {
#if defined(__SSE2__)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
}

}  // namespace

// One call's shared state. `ready` counts the source rows that can be read (INT32_MAX once
// stopped).
struct ImageScaler::Job {
    const std::uint8_t* source = nullptr;
    std::size_t sourceStride = 0;
    std::uint8_t* out = nullptr;
    std::size_t outStride = 0;
    int outWidth = 0;
    int outHeight = 0;
    std::size_t n = 0;  // bytes of a source row
    bool sameWidth = false;
    int chunks = 0;

    std::atomic<int> ready{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> nextChunk{0};

    // False when the job was stopped before the rows came.
    bool waitForRows(int rows) const {
        int seen = ready.load(std::memory_order_acquire);
        for (int spin = 0; seen < rows && spin < kSpins; ++spin) {
            relax();
            seen = ready.load(std::memory_order_acquire);
        }
        while (seen < rows) {
            ready.wait(seen, std::memory_order_acquire);
            seen = ready.load(std::memory_order_acquire);
        }
        return !stopped.load(std::memory_order_acquire);
    }
    void publishRows(int rows) {
        ready.store(rows, std::memory_order_release);
        ready.notify_all();
    }
    // No chunk is taken after this; chunks being scaled end early.
    void stop() {
        stopped.store(true, std::memory_order_release);
        nextChunk.store(chunks, std::memory_order_relaxed);
        publishRows(std::numeric_limits<int>::max());
    }
};

// Worker threads that sleep between calls. Guarded by `mutex`: `job`, `generation`, `busy`,
// `stopping`.
struct ImageScaler::Workers {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::function<void(int worker)> job;
    std::uint64_t generation = 0;
    int busy = 0;
    bool stopping = false;
    std::vector<std::thread> threads;

    explicit Workers(int count) {
        for (int index = 0; index < count; ++index) threads.emplace_back([this, index] { loop(index); });
    }
    ~Workers() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        for (auto& t : threads) t.join();
    }
    int count() const { return int(threads.size()); }
    void start(std::function<void(int worker)> work) {
        {
            std::lock_guard lock(mutex);
            job = std::move(work);
            busy = count();
            ++generation;
        }
        wake.notify_all();
    }
    void waitUntilIdle() {
        std::unique_lock lock(mutex);
        idle.wait(lock, [&] { return busy == 0; });
        job = nullptr;
    }

private:
    void loop(int index) {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || generation != seen; });
            if (stopping) return;
            seen = generation;
            std::function<void(int)>* work = &job;
            lock.unlock();
            (*work)(index);
            lock.lock();
            if (--busy == 0) idle.notify_all();
        }
    }
};

ImageScaler::ImageScaler() = default;
ImageScaler::~ImageScaler() = default;

void ImageScaler::scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride, std::uint8_t* out,
                        int outWidth, int outHeight, std::size_t outStride) {
    run(source, sourceWidth, sourceHeight, sourceStride, out, outWidth, outHeight, outStride, nullptr, nullptr);
}

void ImageScaler::scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride, std::uint8_t* out,
                        int outWidth, int outHeight, std::size_t outStride, const Producer& produce) {
    run(source, sourceWidth, sourceHeight, sourceStride, out, outWidth, outHeight, outStride, &produce, nullptr);
}

void ImageScaler::scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride, std::uint8_t* out,
                        int outWidth, int outHeight, std::size_t outStride, const Producer* produce, const RowsDone& consume) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || outWidth <= 0 || outHeight <= 0 ||
        std::size_t(outWidth) * std::size_t(outHeight) < kSmallPicture) {
        run(source, sourceWidth, sourceHeight, sourceStride, out, outWidth, outHeight, outStride, produce, &consume);
        return;
    }
    Job job;
    prepareJob(job, source, sourceWidth, sourceHeight, sourceStride, out, outWidth, outHeight, outStride);
    job.ready.store(sourceHeight);  // the band thread scales only rows it has already produced
    if (rows_.empty()) rows_.resize(1);
    rows_[0].assign(job.n + 4, 0);

    // One thread grabs a band and scales what it completes, then the next band; the caller
    // consumes finished rows meanwhile. `finished` is the count of final output rows, or
    // INT_MAX once the band thread gave up.
    constexpr int kGaveUp = std::numeric_limits<int>::max();
    std::atomic<int> finished{0};
    std::exception_ptr failure;  // the producer's, written by the band thread
    auto publish = [&finished](int rows) {
        finished.store(rows, std::memory_order_release);
        finished.notify_one();
    };
    auto bands = [&](int) {
        std::int16_t* row = rows_[0].data();
        int next = 0;
        auto scaleAvailable = [&](int available) {
            while (next < outHeight && !job.stopped.load(std::memory_order_acquire)) {
                const Taps& tv = vertical_.taps[std::size_t(next)];
                if (tv.first + tv.count > available) break;
                scaleRows(job, next, next + 1, row);
                ++next;
                if (next % kChunkRows == 0 || next == outHeight) publish(next);
            }
        };
        try {
            if (produce) (*produce)([&](int rows) { scaleAvailable(std::min(rows, sourceHeight)); });
            scaleAvailable(sourceHeight);
        } catch (...) {
            failure = std::current_exception();
        }
        if (next < outHeight) publish(kGaveUp);
    };
    if (!bandThread_) bandThread_ = std::make_unique<Workers>(1);
    bandThread_->start(bands);
    try {
        int consumed = 0;
        while (consumed < outHeight) {
            int done = finished.load(std::memory_order_acquire);
            while (done == consumed) {
                finished.wait(done, std::memory_order_acquire);
                done = finished.load(std::memory_order_acquire);
            }
            if (done == kGaveUp) break;
            consume(consumed, done);
            consumed = done;
        }
    } catch (...) {
        job.stopped.store(true, std::memory_order_release);
        bandThread_->waitUntilIdle();
        throw;
    }
    bandThread_->waitUntilIdle();
    if (failure) std::rethrow_exception(failure);
}

void ImageScaler::prepareJob(Job& job, const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride,
                             std::uint8_t* out, int outWidth, int outHeight, std::size_t outStride) {
    prepareAxes(sourceWidth, sourceHeight, outWidth, outHeight);
    job.source = source;
    job.sourceStride = sourceStride;
    job.out = out;
    job.outStride = outStride;
    job.outWidth = outWidth;
    job.outHeight = outHeight;
    job.n = std::size_t(sourceWidth) * 4;
    job.sameWidth = sourceWidth == outWidth;
}

namespace {

// Whether each output pixel is the even half of two source pixels, both weighing one half.
bool halves(const ImageScaler::Axis& axis) {
    for (std::size_t o = 0; o < axis.taps.size(); ++o) {
        const ImageScaler::Taps& t = axis.taps[o];
        if (t.count != 2 || t.first != int(2 * o) || axis.weights[std::size_t(t.offset)] != kUnit / 2 ||
            axis.weights[std::size_t(t.offset) + 1] != kUnit / 2)
            return false;
    }
    return !axis.taps.empty();
}

}  // namespace

void ImageScaler::prepareAxes(int sourceWidth, int sourceHeight, int outWidth, int outHeight) {
    if (cachedSource_[0] != sourceWidth || cachedOut_[0] != outWidth) {
        horizontal_ = makeAxis(sourceWidth, outWidth);
        cachedSource_[0] = sourceWidth;
        cachedOut_[0] = outWidth;
    }
    if (cachedSource_[1] != sourceHeight || cachedOut_[1] != outHeight) {
        vertical_ = makeAxis(sourceHeight, outHeight);
        cachedSource_[1] = sourceHeight;
        cachedOut_[1] = outHeight;
    }
    halving_ = halves(horizontal_) && halves(vertical_);
}

void ImageScaler::scaleRows(const Job& job, int first, int last, std::int16_t* row) const {
    for (int y = first; y < last; ++y) {
        const Taps& tv = vertical_.taps[std::size_t(y)];
        if (!job.waitForRows(tv.first + tv.count)) return;
        const std::uint8_t* r0 = job.source + std::size_t(tv.first) * job.sourceStride;
        std::uint8_t* dst = job.out + std::size_t(y) * job.outStride;
        if (tv.count == 1 && job.sameWidth) {
            std::memcpy(dst, r0, job.n);
            continue;
        }
        if (halving_) {
#if defined(__x86_64__)
            if (hasWideVectors()) {
                halvePassWide(r0, r0 + job.sourceStride, job.outWidth, dst);
                continue;
            }
#endif
            halvePass(r0, r0 + job.sourceStride, job.outWidth, dst);
            continue;
        }
#if defined(__x86_64__)
        if (hasWideVectors()) {
            verticalPassWide(r0, job.sourceStride, tv.count, vertical_.weights.data() + tv.offset, job.n, row);
            horizontalPassWide(row, horizontal_, job.outWidth, dst);
            continue;
        }
#endif
        verticalPass(r0, job.sourceStride, tv.count, vertical_.weights.data() + tv.offset, job.n, row);
        horizontalPass(row, horizontal_, job.outWidth, dst);
    }
}

void ImageScaler::run(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride, std::uint8_t* out,
                      int outWidth, int outHeight, std::size_t outStride, const Producer* produce, const RowsDone* consume) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || outWidth <= 0 || outHeight <= 0) {
        if (produce) (*produce)([](int) {});
        return;
    }
    Job job;
    prepareJob(job, source, sourceWidth, sourceHeight, sourceStride, out, outWidth, outHeight, outStride);
    job.chunks = (outHeight + kChunkRows - 1) / kChunkRows;
    if (!produce) job.ready.store(sourceHeight);

    // Small pictures are not worth a handover.
    const std::size_t pixels = std::size_t(outWidth) * std::size_t(outHeight);
    if (pixels < kSmallPicture) {
        if (rows_.empty()) rows_.resize(1);
        rows_[0].assign(job.n + 4, 0);  // a spare pixel for pairs
        if (produce) (*produce)([&](int rows) { job.ready.store(std::min(rows, sourceHeight)); });
        job.ready.store(sourceHeight);
        scaleRows(job, 0, outHeight, rows_[0].data());
        if (consume) (*consume)(0, outHeight);
        return;
    }

    if (!workers_) {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        workers_ = std::make_unique<Workers>(int(std::clamp(cores - 1, 1u, 2u)));
    }
    const int threads = workers_->count() + 1;  // the caller scales too when it has nothing else to do
    if (rows_.size() < std::size_t(threads)) rows_.resize(std::size_t(threads));
    for (auto& row : rows_) row.assign(job.n + 4, 0);

    auto work = [&, this](int worker) {
        std::int16_t* row = rows_[std::size_t(worker)].data();
        for (;;) {
            int chunk = job.nextChunk.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= job.chunks) return;
            int first = chunk * kChunkRows, last = std::min(job.outHeight, first + kChunkRows);
            scaleRows(job, first, last, row);
        }
    };
    workers_->start([&work](int worker) { work(worker + 1); });
    try {
        if (produce) {
            (*produce)([&](int rows) { job.publishRows(std::min(rows, sourceHeight)); });
            job.publishRows(sourceHeight);
        }
        work(0);
    } catch (...) {
        job.stop();
        workers_->waitUntilIdle();
        throw;
    }
    workers_->waitUntilIdle();
}

}  // namespace velmo
