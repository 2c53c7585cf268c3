#include "platform/desktop/ImageScaler.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
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
void verticalPass(const std::uint8_t* r0, std::size_t stride, int count, const std::uint16_t* w, std::size_t n,
                  std::int16_t* row) {
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
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + std::size_t(x) * 4),
                             _mm_packus_epi16(_mm_packs_epi32(a0, a1), zero));
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

}  // namespace

void ImageScaler::scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride,
                        std::uint8_t* out, int outWidth, int outHeight, std::size_t outStride) {
    scaleBands(source, sourceWidth, sourceHeight, sourceStride, out, outWidth, outHeight, outStride, nullptr);
}

void ImageScaler::scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride,
                        std::uint8_t* out, int outWidth, int outHeight, std::size_t outStride,
                        const std::function<void(const RowsReady&)>& produce) {
    scaleBands(source, sourceWidth, sourceHeight, sourceStride, out, outWidth, outHeight, outStride, &produce);
}

void ImageScaler::scaleBands(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride,
                             std::uint8_t* out, int outWidth, int outHeight, std::size_t outStride,
                             const std::function<void(const RowsReady&)>* produce) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || outWidth <= 0 || outHeight <= 0) {
        if (produce) (*produce)([](int) {});
        return;
    }
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
    const std::size_t n = std::size_t(sourceWidth) * 4;
    const bool sameWidth = sourceWidth == outWidth;

    // Rows of the source that can be read; all of them when there is no producer.
    struct Arrival {
        std::atomic<int> ready{0};
        std::atomic<bool> stopped{false};
        std::mutex mutex;
        std::condition_variable changed;
    } arrival;
    if (!produce) arrival.ready = sourceHeight;
    auto waitFor = [&](int rows) {
        if (arrival.ready.load(std::memory_order_acquire) >= rows) return true;
        std::unique_lock lock(arrival.mutex);
        arrival.changed.wait(lock, [&] { return arrival.ready.load() >= rows || arrival.stopped.load(); });
        return arrival.ready.load() >= rows;
    };

    // A screen-sized picture is cut into bands of rows, scaled side by side.
    const std::size_t pixels = std::size_t(outWidth) * std::size_t(outHeight);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const int bands = pixels >= 256 * 1024 ? int(std::min(cores, 4u)) : 1;
    if (rows_.size() < std::size_t(bands)) rows_.resize(std::size_t(bands));
    for (int index = 0; index < bands; ++index) rows_[std::size_t(index)].assign(n + 4, 0);  // a spare pixel for pairs
    auto band = [&](int index) {
        std::int16_t* row = rows_[std::size_t(index)].data();
        const int first = int(std::int64_t(outHeight) * index / bands);
        const int last = int(std::int64_t(outHeight) * (index + 1) / bands);
        for (int y = first; y < last; ++y) {
            const Taps& tv = vertical_.taps[std::size_t(y)];
            if (!waitFor(tv.first + tv.count)) return;
            const std::uint8_t* r0 = source + std::size_t(tv.first) * sourceStride;
            std::uint8_t* dst = out + std::size_t(y) * outStride;
            if (tv.count == 1 && sameWidth) {
                std::memcpy(dst, r0, n);
                continue;
            }
            verticalPass(r0, sourceStride, tv.count, vertical_.weights.data() + tv.offset, n, row);
            horizontalPass(row, horizontal_, outWidth, dst);
        }
    };
    std::vector<std::thread> helpers;
    if (!produce) {
        for (int index = 1; index < bands; ++index) helpers.emplace_back(band, index);
        band(0);
        for (auto& helper : helpers) helper.join();
        return;
    }
    for (int index = 0; index < bands; ++index) helpers.emplace_back(band, index);
    auto finish = [&](bool complete) {
        {
            std::lock_guard lock(arrival.mutex);
            if (complete) arrival.ready.store(sourceHeight, std::memory_order_release);
            arrival.stopped.store(true);
        }
        arrival.changed.notify_all();
        for (auto& helper : helpers) helper.join();
    };
    try {
        (*produce)([&](int rows) {
            {
                std::lock_guard lock(arrival.mutex);
                arrival.ready.store(std::min(rows, sourceHeight), std::memory_order_release);
            }
            arrival.changed.notify_all();
        });
    } catch (...) {
        finish(false);
        throw;
    }
    finish(true);
}

}  // namespace velmo
