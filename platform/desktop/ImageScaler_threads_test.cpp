#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/desktop/ImageScaler.h"

using namespace velmo;

namespace {

std::vector<std::uint8_t> noise(int width, int height) {
    std::vector<std::uint8_t> p(std::size_t(width) * std::size_t(height) * 4);
    std::uint32_t seed = 99;
    for (auto& b : p) b = std::uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
    return p;
}

// The same arithmetic, one pixel at a time on one thread: each channel is filtered down the
// columns into value x 128 (each tap rounded down), then along the row back to 8 bits,
// rounded to nearest.
std::vector<std::uint8_t> referenceScale(const std::vector<std::uint8_t>& source, int sw, int sh, int ow, int oh) {
    ImageScaler::Axis h = ImageScaler::makeAxis(sw, ow), v = ImageScaler::makeAxis(sh, oh);
    std::vector<std::uint8_t> out(std::size_t(ow) * std::size_t(oh) * 4);
    std::vector<std::uint32_t> column(std::size_t(sw) * 4);
    for (int y = 0; y < oh; ++y) {
        const auto& tv = v.taps[std::size_t(y)];
        for (std::size_t i = 0; i < column.size(); ++i) {
            std::uint32_t acc = 0;
            for (int k = 0; k < tv.count; ++k)
                acc += (v.weights[std::size_t(tv.offset + k)] * source[std::size_t(tv.first + k) * std::size_t(sw) * 4 + i]) >> 7;
            column[i] = acc;
        }
        for (int x = 0; x < ow; ++x) {
            const auto& th = h.taps[std::size_t(x)];
            for (int c = 0; c < 4; ++c) {
                std::uint32_t acc = 1u << 20;
                for (int k = 0; k < th.count; ++k)
                    acc += h.weights[std::size_t(th.offset + k)] * column[std::size_t(th.first + k) * 4 + std::size_t(c)];
                out[(std::size_t(y) * std::size_t(ow) + std::size_t(x)) * 4 + std::size_t(c)] = std::uint8_t(acc >> 21);
            }
        }
    }
    return out;
}

}  // namespace

// Screen-sized pictures are scaled in bands on several threads, and may be scaled while their
// rows still arrive: the result is the same as one pass over the finished picture.
TEST(ImageScalerThreads, BandsAndArrivingRowsGiveTheSamePixels) {
    const struct {
        int sw, sh, ow, oh;
    } sizes[] = {{1920, 1080, 1280, 720},
                 {1080, 1920, 720, 1280},
                 {800, 600, 1280, 960},
                 {3840, 2160, 1280, 720},
                 {1366, 768, 1277, 718}};  // rows that end in part of a vector step
    for (const auto& s : sizes) {
        std::vector<std::uint8_t> source = noise(s.sw, s.sh);
        const std::size_t outBytes = std::size_t(s.ow) * std::size_t(s.oh) * 4;
        const std::vector<std::uint8_t> reference = referenceScale(source, s.sw, s.sh, s.ow, s.oh);
        std::vector<std::uint8_t> plain(outBytes, 0);
        ImageScaler().scale(source.data(), s.sw, s.sh, std::size_t(s.sw) * 4, plain.data(), s.ow, s.oh, std::size_t(s.ow) * 4);
        EXPECT_EQ(plain, reference) << s.sw << "x" << s.sh;

        std::vector<std::uint8_t> arriving(outBytes, 0);
        std::vector<std::uint8_t> filling(source.size(), 0);
        ImageScaler scaler;
        scaler.scale(filling.data(), s.sw, s.sh, std::size_t(s.sw) * 4, arriving.data(), s.ow, s.oh, std::size_t(s.ow) * 4,
                     [&](const ImageScaler::RowsReady& ready) {
                         // Rows are copied in as a server would deliver them, in uneven bands.
                         int done = 0;
                         for (int band : {1, 37, 200, 5, 400}) {
                             int to = std::min(s.sh, done + band);
                             std::copy(source.begin() + std::ptrdiff_t(done) * s.sw * 4, source.begin() + std::ptrdiff_t(to) * s.sw * 4,
                                       filling.begin() + std::ptrdiff_t(done) * s.sw * 4);
                             done = to;
                             ready(done);
                         }
                         std::copy(source.begin() + std::ptrdiff_t(done) * s.sw * 4, source.end(),
                                   filling.begin() + std::ptrdiff_t(done) * s.sw * 4);
                         ready(s.sh);
                     });
        EXPECT_EQ(arriving, reference) << s.sw << "x" << s.sh;
    }
}

TEST(ImageScalerThreads, AFailingProducerStopsTheBandsAndItsErrorComesOut) {
    std::vector<std::uint8_t> source = noise(1920, 1080);
    std::vector<std::uint8_t> out(std::size_t(1280) * 720 * 4, 0);
    ImageScaler scaler;
    EXPECT_THROW(scaler.scale(source.data(), 1920, 1080, 1920 * 4, out.data(), 1280, 720, 1280 * 4,
                              [](const ImageScaler::RowsReady& ready) {
                                  ready(300);
                                  throw std::runtime_error("the server went away");
                              }),
                 std::runtime_error);
    // The scaler is still usable afterwards.
    std::vector<std::uint8_t> again(out.size(), 0);
    scaler.scale(source.data(), 1920, 1080, 1920 * 4, again.data(), 1280, 720, 1280 * 4);
    std::vector<std::uint8_t> reference(out.size(), 0);
    ImageScaler().scale(source.data(), 1920, 1080, 1920 * 4, reference.data(), 1280, 720, 1280 * 4);
    EXPECT_EQ(again, reference);
}

// The pipeline: rows arrive on a worker while the caller is handed finished output rows in
// order, each range once; a producer that fails ends the call with its error and no more rows.
TEST(ImageScalerThreads, FinishedRowsReachTheConsumerInOrderWhileTheSourceArrives) {
    const int sw = 1920, sh = 1080, ow = 1280, oh = 720;
    std::vector<std::uint8_t> source = noise(sw, sh);
    const std::vector<std::uint8_t> reference = referenceScale(source, sw, sh, ow, oh);
    std::vector<std::uint8_t> filling(source.size(), 0), out(reference.size(), 0), seen(reference.size(), 0);
    ImageScaler scaler;
    for (int round = 0; round < 3; ++round) {  // the same workers serve every call
        std::fill(filling.begin(), filling.end(), 0);
        int next = 0;
        const ImageScaler::Producer produce = [&](const ImageScaler::RowsReady& ready) {
            for (int to : {50, 400, 700, sh}) {
                std::copy(source.begin() + std::ptrdiff_t(next) * sw * 4, source.begin() + std::ptrdiff_t(to) * sw * 4,
                          filling.begin() + std::ptrdiff_t(next) * sw * 4);
                next = to;
                ready(to);
            }
        };
        int expectedFrom = 0;
        scaler.scale(filling.data(), sw, sh, std::size_t(sw) * 4, out.data(), ow, oh, std::size_t(ow) * 4, &produce, [&](int from, int to) {
            EXPECT_EQ(from, expectedFrom);
            ASSERT_GT(to, from);
            // The rows are final when handed over.
            std::copy(out.begin() + std::ptrdiff_t(from) * ow * 4, out.begin() + std::ptrdiff_t(to) * ow * 4,
                      seen.begin() + std::ptrdiff_t(from) * ow * 4);
            expectedFrom = to;
        });
        EXPECT_EQ(expectedFrom, oh);
        EXPECT_EQ(seen, reference) << "round " << round;
    }

    int consumed = 0;
    const ImageScaler::Producer failing = [&](const ImageScaler::RowsReady& ready) {
        ready(100);
        throw std::runtime_error("the server went away");
    };
    EXPECT_THROW(scaler.scale(filling.data(), sw, sh, std::size_t(sw) * 4, out.data(), ow, oh, std::size_t(ow) * 4, &failing,
                              [&](int from, int to) { consumed = to; }),
                 std::runtime_error);
    EXPECT_LT(consumed, oh);
}

// Two threads: the source arrives on the scaler's own thread, the caller only consumes; without
// a producer the rows come all the same. A consumer that fails ends the call with its error.
TEST(ImageScalerThreads, ThePipelineProducesOnItsOwnThreadConsumesOnTheCallerAndPassesOnAConsumersError) {
    const int sw = 2560, sh = 1440, ow = 1280, oh = 720;
    std::vector<std::uint8_t> source = noise(sw, sh);
    const std::vector<std::uint8_t> reference = referenceScale(source, sw, sh, ow, oh);
    std::vector<std::uint8_t> out(reference.size(), 0);
    ImageScaler scaler;
    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id producer;
    const ImageScaler::Producer produce = [&](const ImageScaler::RowsReady& ready) {
        producer = std::this_thread::get_id();
        for (int to = 90; to < sh; to += 90) ready(to);
        ready(sh);
    };
    bool consumedOnCaller = true;
    scaler.scale(source.data(), sw, sh, std::size_t(sw) * 4, out.data(), ow, oh, std::size_t(ow) * 4, &produce,
                 [&](int, int) { consumedOnCaller = consumedOnCaller && std::this_thread::get_id() == caller; });
    EXPECT_NE(producer, caller);
    EXPECT_TRUE(consumedOnCaller);
    EXPECT_EQ(out, reference);

    std::fill(out.begin(), out.end(), 0);
    int last = 0;
    scaler.scale(source.data(), sw, sh, std::size_t(sw) * 4, out.data(), ow, oh, std::size_t(ow) * 4, nullptr,
                 [&](int, int to) { last = to; });
    EXPECT_EQ(last, oh);
    EXPECT_EQ(out, reference);

    EXPECT_THROW(scaler.scale(source.data(), sw, sh, std::size_t(sw) * 4, out.data(), ow, oh, std::size_t(ow) * 4, &produce,
                              [](int, int to) {
                                  if (to > 100) throw std::runtime_error("the encoder ran out of memory");
                              }),
                 std::runtime_error);
}
