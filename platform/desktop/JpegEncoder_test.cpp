#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/desktop/JpegEncoder.h"
#include "platform/desktop/ScreenLayer.h"
#include "testing/JpegTestImage.h"

using namespace velmo;

TEST(JpegEncoder, CompressionFactorToQuality) {
    const std::pair<double, int> cases[] = {{0.8, 80},   {1.0, 100}, {0.0, 1},  {0.005, 1},
                                            {0.555, 56}, {1.5, 100}, {-1.0, 1}, {std::numeric_limits<double>::quiet_NaN(), 1}};
    for (auto [factor, quality] : cases) EXPECT_EQ(JpegEncoder::qualityForCompressionFactor(factor), quality) << factor;
}

TEST(JpegEncoder, EncodesPixelsThatDecodeToTheSameSizeAndColours) {
    Image image;
    image.width = 120;
    image.height = 80;
    image.pixels.resize(image.stride() * 80);
    // Left half orange, right half blue.
    for (int y = 0; y < 80; ++y) {
        for (int x = 0; x < 120; ++x) {
            std::uint8_t* p = image.pixels.data() + std::size_t(y) * image.stride() + std::size_t(x) * 4;
            bool left = x < 60;
            p[0] = left ? 0x20 : 0xd0;
            p[1] = left ? 0x90 : 0x30;
            p[2] = left ? 0xf0 : 0x10;
            p[3] = 0;  // the fourth byte carries nothing
        }
    }
    JpegEncoder encoder;
    auto jpeg = encoder.encode(image, 0.8);
    ASSERT_TRUE(jpeg);
    ASSERT_GE(jpeg->size(), 4u);
    EXPECT_EQ((*jpeg)[0], 0xff);
    EXPECT_EQ((*jpeg)[1], 0xd8);
    auto decoded = velmo::test::decodeJpeg(*jpeg);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 120);
    EXPECT_EQ(decoded->height, 80);
    EXPECT_TRUE(velmo::test::colourNear(decoded->pixel(20, 40), 0xf09020, 8));
    EXPECT_TRUE(velmo::test::colourNear(decoded->pixel(100, 40), 0x1030d0, 8));

    // A lower factor gives a smaller file of the same image with detail in it.
    for (std::size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = std::uint8_t((i * 7919) >> 3);
    auto best = encoder.encode(image, 1.0);
    auto small = encoder.encode(image, 0.2);
    ASSERT_TRUE(best && small);
    EXPECT_LT(small->size(), best->size());
}

TEST(JpegEncoder, EmptyOrShortImagesGiveNothing) {
    JpegEncoder encoder;
    Image empty;
    EXPECT_EQ(encoder.encode(empty, 0.8), std::nullopt);
    Image shortRows;
    shortRows.width = 10;
    shortRows.height = 10;
    shortRows.pixels.resize(10);
    EXPECT_EQ(encoder.encode(shortRows, 0.8), std::nullopt);
    std::vector<std::uint8_t> pixels(64, 0);
    EXPECT_EQ(encoder.encode(pixels.data(), 4, 4, 8, 0.8), std::nullopt);  // stride shorter than a row
    EXPECT_TRUE(encoder.encode(pixels.data(), 4, 4, 16, 0.8));
}

// Row by row through the scanline interface gives exactly the bytes of the one-call encoder,
// whatever the batches, at the usual quality and at the high ones that change the DCT.
TEST(JpegScanlineEncoder, GivesTheSameBytesAsTheOneCallEncoder) {
    const int width = 333, height = 101;  // neither a multiple of the 16-pixel blocks
    std::vector<std::uint8_t> pixels(std::size_t(width) * height * 4);
    std::uint32_t seed = 7;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        pixels[i] = std::uint8_t((i / 4 % std::size_t(width)) / 2 + (seed >> 28));
    }
    JpegEncoder whole;
    JpegScanlineEncoder rows;
    for (int quality : {80, 20, 96, 100}) {
        auto expected = whole.encode(pixels.data(), width, height, std::size_t(width) * 4, quality / 100.0);
        ASSERT_TRUE(expected);
        ASSERT_TRUE(rows.begin(width, height, quality));
        for (int y = 0, batch = 1; y < height; y += batch, batch = batch % 40 + 7) {
            int count = std::min(batch, height - y);
            ASSERT_TRUE(rows.write(pixels.data() + std::size_t(y) * width * 4, std::size_t(width) * 4, count));
        }
        auto streamed = rows.finish();
        ASSERT_TRUE(streamed) << quality;
        EXPECT_EQ(*streamed, *expected) << quality;
    }
}

TEST(JpegScanlineEncoder, UnfinishedOrInvalidPicturesGiveNothingAndTheEncoderRecovers) {
    JpegScanlineEncoder rows;
    EXPECT_FALSE(rows.begin(0, 10, 80));
    EXPECT_FALSE(rows.write(nullptr, 0, 1));
    EXPECT_EQ(rows.finish(), std::nullopt);
    std::vector<std::uint8_t> pixels(64 * 64 * 4, 0x40);
    ASSERT_TRUE(rows.begin(64, 64, 80));
    ASSERT_TRUE(rows.write(pixels.data(), 64 * 4, 32));
    EXPECT_EQ(rows.finish(), std::nullopt);  // half the rows only
    ASSERT_TRUE(rows.begin(64, 64, 80));
    ASSERT_TRUE(rows.write(pixels.data(), 64 * 4, 64));
    auto jpeg = rows.finish();
    ASSERT_TRUE(jpeg);
    auto decoded = velmo::test::decodeJpeg(*jpeg);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 64);
}
