#include "RideZav/delivery/Gzip.h"
#include "testing/LoopbackIngestionServer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>

namespace ridezav {
namespace {

// Inflates one gzip member; fails the test on any zlib error or trailing bytes.
std::string gunzip(const std::string& compressed) {
    auto plain = velmo::test::gunzip(compressed);
    EXPECT_TRUE(plain) << "not one whole gzip member";
    return plain.value_or("");
}

std::string randomBytes(std::size_t n) {
    std::mt19937 random(7);
    std::string bytes(n, '\0');
    for (auto& c : bytes) c = static_cast<char>(random());
    return bytes;
}

TEST(Gzip, EmptyInputGivesEmptyOutput) { EXPECT_EQ(gzipped(""), ""); }

TEST(Gzip, OutputIsOneGzipMemberThatInflatesToTheInput) {
    const std::string cases[] = {"a", R"({"api_key":"k","batch":[{"event":"e"}]})", std::string(100000, 'x')};
    for (const auto& input : cases) {
        const std::string out = gzipped(input);
        ASSERT_GE(out.size(), 2u);
        EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x1F);
        EXPECT_EQ(static_cast<unsigned char>(out[1]), 0x8B);
        EXPECT_EQ(gunzip(out), input);
    }
}

TEST(Gzip, OutputLongerThanOneBufferStepGrowsAcrossPasses) {
    const std::string input = randomBytes(64 * 1024);  // incompressible: more than 16 KiB out
    const std::string out = gzipped(input, CompressionLevel(CompressionLevel::bestSpeed));
    EXPECT_GT(out.size(), 16384u * 3);
    EXPECT_EQ(gunzip(out), input);
}

TEST(Gzip, EveryNamedLevelRoundTrips) {
    const std::string input = "hello hello hello hello";
    for (int level : {CompressionLevel::noCompression, CompressionLevel::bestSpeed, CompressionLevel::bestCompression,
                      CompressionLevel::defaultCompression}) {
        EXPECT_EQ(gunzip(gzipped(input, CompressionLevel(level))), input) << level;
    }
}

TEST(Gzip, LevelOutsideZlibRangeIsAStreamErrorWithoutMessage) {
    try {
        gzipped("data", CompressionLevel(10));
        FAIL() << "no error thrown";
    } catch (const GzipError& error) {
        EXPECT_EQ(error.kind, GzipError::Kind::stream());
        EXPECT_EQ(error.message, "Unknown gzip error");
    }
}

TEST(Gzip, ErrorKindsFollowZlibCodes) {
    EXPECT_EQ(GzipError(Z_STREAM_ERROR, nullptr).kind, GzipError::Kind::stream());
    EXPECT_EQ(GzipError(Z_DATA_ERROR, nullptr).kind, GzipError::Kind::data());
    EXPECT_EQ(GzipError(Z_MEM_ERROR, nullptr).kind, GzipError::Kind::memory());
    EXPECT_EQ(GzipError(Z_BUF_ERROR, nullptr).kind, GzipError::Kind::buffer());
    EXPECT_EQ(GzipError(Z_VERSION_ERROR, nullptr).kind, GzipError::Kind::version());
    EXPECT_EQ(GzipError(-7, nullptr).kind, GzipError::Kind::unknown(-7));
    EXPECT_NE(GzipError(-7, nullptr).kind, GzipError::Kind::unknown(-8));
    EXPECT_EQ(GzipError(-3, "invalid stored block").message, "invalid stored block");
    EXPECT_EQ(GzipError(-3, "\xff\xfe").message, "Unknown gzip error");
}

}  // namespace
}  // namespace ridezav
