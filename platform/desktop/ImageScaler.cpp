#include "platform/desktop/ImageScaler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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
    return axis;
}

void ImageScaler::scale(const std::uint8_t* source, int sourceWidth, int sourceHeight, std::size_t sourceStride,
                        std::uint8_t* out, int outWidth, int outHeight, std::size_t outStride) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || outWidth <= 0 || outHeight <= 0) return;
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
    row_.resize(n);
    std::uint16_t* row = row_.data();
    const bool sameWidth = sourceWidth == outWidth;

    for (int y = 0; y < outHeight; ++y) {
        const Taps& tv = vertical_.taps[std::size_t(y)];
        const std::uint16_t* wv = vertical_.weights.data() + tv.offset;
        const std::uint8_t* r0 = source + std::size_t(tv.first) * sourceStride;
        std::uint8_t* dst = out + std::size_t(y) * outStride;

        if (tv.count == 1 && sameWidth) {
            std::memcpy(dst, r0, n);
            continue;
        }
        // Vertical pass into 16-bit channels (value x 256).
        if (tv.count == 1) {
            for (std::size_t i = 0; i < n; ++i) row[i] = std::uint16_t(r0[i] << 8);
        } else if (tv.count == 2) {
            const std::uint8_t* r1 = r0 + sourceStride;
            const std::uint32_t w0 = wv[0], w1 = wv[1];
            for (std::size_t i = 0; i < n; ++i) row[i] = std::uint16_t((w0 * r0[i] + w1 * r1[i] + 32) >> 6);
        } else if (tv.count == 3) {
            const std::uint8_t* r1 = r0 + sourceStride;
            const std::uint8_t* r2 = r1 + sourceStride;
            const std::uint32_t w0 = wv[0], w1 = wv[1], w2 = wv[2];
            for (std::size_t i = 0; i < n; ++i) {
                row[i] = std::uint16_t((w0 * r0[i] + w1 * r1[i] + w2 * r2[i] + 32) >> 6);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t acc = 32;
                const std::uint8_t* p = r0 + i;
                for (int k = 0; k < tv.count; ++k, p += sourceStride) acc += std::uint32_t(wv[k]) * *p;
                row[i] = std::uint16_t(acc >> 6);
            }
        }
        // Horizontal pass back to 8 bits.
        for (int x = 0; x < outWidth; ++x) {
            const Taps& th = horizontal_.taps[std::size_t(x)];
            const std::uint16_t* wh = horizontal_.weights.data() + th.offset;
            const std::uint16_t* p = row + std::size_t(th.first) * 4;
            std::uint32_t a0 = 1u << 21, a1 = 1u << 21, a2 = 1u << 21, a3 = 1u << 21;
            for (int k = 0; k < th.count; ++k, p += 4) {
                std::uint32_t w = wh[k];
                a0 += w * p[0];
                a1 += w * p[1];
                a2 += w * p[2];
                a3 += w * p[3];
            }
            std::uint8_t* d = dst + std::size_t(x) * 4;
            d[0] = std::uint8_t(a0 >> 22);
            d[1] = std::uint8_t(a1 >> 22);
            d[2] = std::uint8_t(a2 >> 22);
            d[3] = std::uint8_t(a3 >> 22);
        }
    }
}

}  // namespace velmo
