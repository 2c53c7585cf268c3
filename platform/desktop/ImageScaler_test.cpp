#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "platform/desktop/ImageScaler.h"

using namespace velmo;

namespace {

struct Bgra {
    int width, height;
    std::vector<std::uint8_t> bytes;
    Bgra(int w, int h)
        : width(w),
          height(h),
          bytes(std::size_t(w) * std::size_t(h) * 4, 0) {}
    std::uint8_t* at(int x, int y) { return bytes.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4; }
    void set(int x, int y, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
        std::uint8_t* p = at(x, y);
        p[0] = b;
        p[1] = g;
        p[2] = r;
        p[3] = 255;
    }
};

Bgra scaled(ImageScaler& scaler, Bgra& source, int w, int h) {
    Bgra out(w, h);
    scaler.scale(source.bytes.data(), source.width, source.height, std::size_t(source.width) * 4, out.bytes.data(), w, h,
                 std::size_t(w) * 4);
    return out;
}

}  // namespace

TEST(ImageScaler, TapWeightsCoverEverySourcePixelAndAddUpExactly) {
    const std::pair<int, int> sizes[] = {{1920, 1280}, {2560, 1280}, {1080, 720}, {982, 831}, {1512, 1280}, {600, 960},  {800, 1280},
                                         {1000, 1280}, {7, 3},       {3, 7},      {1, 5},     {5, 1},       {1280, 1280}};
    for (auto [source, out] : sizes) {
        ImageScaler::Axis axis = ImageScaler::makeAxis(source, out);
        ASSERT_EQ(axis.taps.size(), std::size_t(out)) << source << "->" << out;
        for (const auto& t : axis.taps) {
            int sum = 0;
            for (int k = 0; k < t.count; ++k) sum += axis.weights[std::size_t(t.offset + k)];
            EXPECT_EQ(sum, 16384) << source << "->" << out;
            EXPECT_GE(t.first, 0);
            EXPECT_LE(t.first + t.count, source);
        }
        if (out < source) {
            // Area averaging: every source pixel gives the same total share.
            std::vector<long> share(std::size_t(source), 0);
            for (const auto& t : axis.taps) {
                for (int k = 0; k < t.count; ++k) share[std::size_t(t.first + k)] += axis.weights[std::size_t(t.offset + k)];
            }
            double expected = 16384.0 * out / source;
            for (long s : share) EXPECT_NEAR(double(s), expected, 4.0) << source << "->" << out;
        }
    }
}

TEST(ImageScaler, AxisTapsForHalvingDoublingAndCopying) {
    ImageScaler::Axis half = ImageScaler::makeAxis(4, 2);
    ASSERT_EQ(half.taps.size(), 2u);
    EXPECT_EQ(half.taps[1].first, 2);
    EXPECT_EQ(half.taps[1].count, 2);
    EXPECT_EQ(half.weights[std::size_t(half.taps[1].offset)], 8192);

    // Doubling: output centres at -0.25, 0.25, 0.75 and 1.25 source pixels.
    ImageScaler::Axis twice = ImageScaler::makeAxis(2, 4);
    ASSERT_EQ(twice.taps.size(), 4u);
    EXPECT_EQ(twice.taps[0].count, 1);
    EXPECT_EQ(twice.taps[1].count, 2);
    EXPECT_EQ(twice.weights[std::size_t(twice.taps[1].offset)], 12288);
    EXPECT_EQ(twice.weights[std::size_t(twice.taps[1].offset) + 1], 4096);
    EXPECT_EQ(twice.taps[3].first, 1);
    EXPECT_EQ(twice.taps[3].count, 1);

    ImageScaler::Axis same = ImageScaler::makeAxis(3, 3);
    for (int o = 0; o < 3; ++o) {
        EXPECT_EQ(same.taps[std::size_t(o)].first, o);
        EXPECT_EQ(same.taps[std::size_t(o)].count, 1);
    }
}

TEST(ImageScaler, FlatColourStaysFlatInEveryDirection) {
    const std::pair<int, int> outs[] = {{64, 36}, {160, 90}, {100, 200}, {30, 90}, {100, 50}};
    Bgra source(100, 50);
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 100; ++x) source.set(x, y, 10, 128, 250);
    ImageScaler scaler;
    for (auto [w, h] : outs) {
        Bgra out = scaled(scaler, source, w, h);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                ASSERT_EQ(out.at(x, y)[0], 10) << w << "x" << h;
                ASSERT_EQ(out.at(x, y)[1], 128) << w << "x" << h;
                ASSERT_EQ(out.at(x, y)[2], 250) << w << "x" << h;
            }
        }
    }
}

TEST(ImageScaler, ShrinkingAveragesTheCoveredArea) {
    // Halving: each output pixel is the mean of a 2x2 block.
    Bgra source(4, 2);
    const std::uint8_t values[2][4] = {{0, 100, 200, 40}, {50, 150, 0, 80}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) source.set(x, y, values[y][x], 0, 0);
    ImageScaler scaler;
    Bgra half = scaled(scaler, source, 2, 1);
    EXPECT_EQ(half.at(0, 0)[0], 75);  // (0 + 100 + 50 + 150) / 4
    EXPECT_EQ(half.at(1, 0)[0], 80);  // (200 + 40 + 0 + 80) / 4

    // Three to two: the middle pixel is shared half and half.
    Bgra row(3, 1);
    row.set(0, 0, 0, 0, 0);
    row.set(1, 0, 90, 0, 0);
    row.set(2, 0, 180, 0, 0);
    Bgra two = scaled(scaler, row, 2, 1);
    EXPECT_EQ(two.at(0, 0)[0], 30);  // (0 * 1 + 90 * 0.5) / 1.5
    EXPECT_EQ(two.at(1, 0)[0], 150);  // (90 * 0.5 + 180 * 1) / 1.5

    // One-pixel lines of a large source are not lost: they weigh by their share.
    Bgra wide(1920, 1);
    for (int x = 0; x < 1920; ++x) wide.set(x, 0, x % 3 == 0 ? 255 : 0, 0, 0);
    Bgra narrow = scaled(scaler, wide, 1280, 1);
    long total = 0;
    for (int x = 0; x < 1280; ++x) total += narrow.at(x, 0)[0];
    EXPECT_NEAR(double(total) / 1280, 85.0, 1.0);
}

TEST(ImageScaler, GrowingInterpolatesBetweenPixelCentres) {
    Bgra source(2, 1);
    source.set(0, 0, 0, 0, 0);
    source.set(1, 0, 200, 0, 0);
    ImageScaler scaler;
    Bgra out = scaled(scaler, source, 4, 1);
    EXPECT_EQ(out.at(0, 0)[0], 0);
    EXPECT_EQ(out.at(1, 0)[0], 50);
    EXPECT_EQ(out.at(2, 0)[0], 150);
    EXPECT_EQ(out.at(3, 0)[0], 200);

    // Up on one axis and down on the other at once.
    Bgra tall(4, 1);
    for (int x = 0; x < 4; ++x) tall.set(x, 0, 0, std::uint8_t(x * 60), 0);
    Bgra mixed = scaled(scaler, tall, 2, 3);
    for (int y = 0; y < 3; ++y) {
        EXPECT_EQ(mixed.at(0, y)[1], 30);
        EXPECT_EQ(mixed.at(1, y)[1], 150);
    }
}

TEST(ImageScaler, SameSizeCopiesAndRespectsStrides) {
    Bgra source(5, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) source.set(x, y, std::uint8_t(x * 40), std::uint8_t(y * 70), 9);
    // A source with padded rows and an output with padded rows.
    std::vector<std::uint8_t> padded(std::size_t(3) * 32, 0xee);
    for (int y = 0; y < 3; ++y) std::copy_n(source.at(0, y), 20, padded.data() + std::size_t(y) * 32);
    std::vector<std::uint8_t> out(std::size_t(3) * 24, 0xaa);
    ImageScaler scaler;
    scaler.scale(padded.data(), 5, 3, 32, out.data(), 5, 3, 24);
    for (int y = 0; y < 3; ++y) {
        EXPECT_TRUE(std::equal(source.at(0, y), source.at(0, y) + 20, out.data() + std::size_t(y) * 24));
        EXPECT_EQ(out[std::size_t(y) * 24 + 20], 0xaa);  // the padding is left alone
    }
}

namespace {

// The scaler's arithmetic written out plainly from its tap tables: the vertical pass keeps
// value x weight / 128 rounded down per tap, the horizontal one rounds the weighted sum to 8 bits.
std::vector<std::uint8_t> referenceScale(const std::vector<std::uint8_t>& source, int sw, int sh, std::size_t stride, int ow, int oh) {
    const ImageScaler::Axis h = ImageScaler::makeAxis(sw, ow), v = ImageScaler::makeAxis(sh, oh);
    std::vector<std::uint8_t> out(std::size_t(ow) * std::size_t(oh) * 4);
    std::vector<std::uint32_t> row(std::size_t(sw) * 4);
    for (int y = 0; y < oh; ++y) {
        const ImageScaler::Taps& tv = v.taps[std::size_t(y)];
        for (std::size_t i = 0; i < row.size(); ++i) {
            std::uint32_t acc = 0;
            for (int k = 0; k < tv.count; ++k)
                acc += (std::uint32_t(v.weights[std::size_t(tv.offset + k)]) * source[std::size_t(tv.first + k) * stride + i]) >> 7;
            row[i] = acc;
        }
        for (int x = 0; x < ow; ++x) {
            const ImageScaler::Taps& th = h.taps[std::size_t(x)];
            for (std::size_t c = 0; c < 4; ++c) {
                std::uint32_t acc = 1u << 20;
                for (int k = 0; k < th.count; ++k)
                    acc += std::uint32_t(h.weights[std::size_t(th.offset + k)]) * row[std::size_t(th.first + k) * 4 + c];
                out[(std::size_t(y) * std::size_t(ow) + std::size_t(x)) * 4 + c] = std::uint8_t(acc >> 21);
            }
        }
    }
    return out;
}

}  // namespace

TEST(ImageScaler, ExactHalvingGivesTheSameBytesAsTheGeneralArithmetic) {
    // Output widths 1 to 17 reach every tail of the 8- and 4-pixel steps; the large ones are
    // scaled on the workers and, last, through the pipeline; odd neighbours of exact halving
    // take the general passes.
    struct Case {
        int sw, sh, ow, oh;
    };
    std::vector<Case> cases;
    for (int ow = 1; ow <= 17; ++ow) cases.push_back({2 * ow, 6, ow, 3});
    cases.insert(cases.end(),
                 {{2 * 517, 2 * 513, 517, 513}, {2560, 1440, 1280, 720}, {35, 14, 17, 7}, {2561, 1441, 1280, 720}, {33, 5, 16, 3}});
    std::mt19937 random(36);
    ImageScaler scaler;
    for (const Case& c : cases) {
        const std::size_t stride = std::size_t(c.sw) * 4 + 12;  // padded rows
        std::vector<std::uint8_t> source(stride * std::size_t(c.sh));
        for (auto& byte : source) byte = std::uint8_t(random());
        const std::vector<std::uint8_t> expected = referenceScale(source, c.sw, c.sh, stride, c.ow, c.oh);
        std::vector<std::uint8_t> out(expected.size(), 0xaa);
        scaler.scale(source.data(), c.sw, c.sh, stride, out.data(), c.ow, c.oh, std::size_t(c.ow) * 4);
        ASSERT_EQ(out, expected) << c.sw << "x" << c.sh << " -> " << c.ow << "x" << c.oh;
        if (c.ow * c.oh > int(ImageScaler::kSmallPicture)) {
            std::vector<std::uint8_t> piped(expected.size(), 0xaa);
            scaler.scale(source.data(), c.sw, c.sh, stride, piped.data(), c.ow, c.oh, std::size_t(c.ow) * 4, nullptr, [](int, int) {});
            ASSERT_EQ(piped, expected) << "pipeline " << c.sw << "x" << c.sh;
        }
    }
}
