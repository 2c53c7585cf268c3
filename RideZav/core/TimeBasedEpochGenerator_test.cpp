#include "RideZav/core/TimeBasedEpochGenerator.h"

#include <gtest/gtest.h>

#include <vector>

#include "RideZav/core/CoreTesting.h"

namespace ridezav {
namespace {

using velmo::test::dateFromMilliseconds;
using Bytes = std::vector<std::uint8_t>;

struct Fixture {
    std::shared_ptr<velmo::test::ManualWallClock> clock = std::make_shared<velmo::test::ManualWallClock>();
    std::shared_ptr<velmo::test::ScriptedRandomSource> random = std::make_shared<velmo::test::ScriptedRandomSource>();
    TimeBasedEpochGenerator generator{clock, random};
};

Bytes bytesOf(const velmo::UUID& id) { return Bytes(id.bytes().begin(), id.bytes().end()); }

TEST(TimeBasedEpochGenerator, LayoutOfTimestampVersionAndVariant) {
    Fixture f;
    f.clock->set(dateFromMilliseconds(0x0123456789AB));
    f.random->push({0xFF, 0xEE, 0xFF, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
    const Bytes id = bytesOf(f.generator.generateV7());
    EXPECT_EQ(id, (Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0x7F, 0xEE, 0xBF, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}));
}

TEST(TimeBasedEpochGenerator, SameMillisecondIncrementsTheRawEntropy) {
    struct Case {
        Bytes entropy;
        Bytes secondTail;  // bytes 6..15 of the second identifier
    };
    const std::vector<Case> cases = {
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10}, {0x70, 0, 0x80, 0, 0, 0, 0, 0, 0, 0x11}},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xFF}, {0x70, 0, 0x80, 0, 0, 0, 0, 0, 0x02, 0x00}},
        // The carry runs through the masked variant byte: the raw value counts on.
        {{0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x70, 0x01, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        {{0x0F, 0xFF, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x7F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        // All 0xFF wraps to all zero.
        {Bytes(10, 0xFF), {0x70, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.clock->set(dateFromMilliseconds(1'700'000'000'000));
        f.random->push(c.entropy);
        const Bytes first = bytesOf(f.generator.generateV7());
        const Bytes second = bytesOf(f.generator.generateV7());
        EXPECT_TRUE(std::equal(first.begin(), first.begin() + 6, second.begin()));
        EXPECT_EQ(Bytes(second.begin() + 6, second.end()), c.secondTail);
        EXPECT_EQ(f.random->secureCalls(), 1);
    }
}

TEST(TimeBasedEpochGenerator, ALaterOrEarlierMillisecondDrawsFreshEntropy) {
    Fixture f;
    f.clock->set(dateFromMilliseconds(5000));
    f.random->push(Bytes(10, 0x11));
    f.random->push(Bytes(10, 0x22));
    f.random->push(Bytes(10, 0x33));
    const Bytes first = bytesOf(f.generator.generateV7());
    f.clock->set(dateFromMilliseconds(5001));
    const Bytes later = bytesOf(f.generator.generateV7());
    f.clock->set(dateFromMilliseconds(4000));  // set back
    const Bytes earlier = bytesOf(f.generator.generateV7());
    EXPECT_EQ(first[15], 0x11);
    EXPECT_EQ(later[15], 0x22);  // not 0x12
    EXPECT_EQ(later[5], 0x89);  // 5001 = 0x1389
    EXPECT_EQ(earlier[15], 0x33);
    EXPECT_EQ((Bytes(earlier.begin(), earlier.begin() + 6)), (Bytes{0, 0, 0, 0, 0x0F, 0xA0}));
    EXPECT_LT(earlier, first);  // a backward step is not smoothed over
    EXPECT_EQ(f.random->secureCalls(), 3);
}

TEST(TimeBasedEpochGenerator, FailingSecureSourceFallsBackToTheOrdinaryGenerator) {
    Fixture f;
    f.clock->set(dateFromMilliseconds(1));
    f.random->failSecure(true);
    const Bytes id = bytesOf(f.generator.generateV7());
    EXPECT_EQ(id[7], 0x03);  // the second 64-bit draw, low byte
    EXPECT_EQ(id[15], 0x0B);
}

TEST(TimeBasedEpochGenerator, ClockBefore1970IsClampedToZero) {
    Fixture f;
    f.clock->set(dateFromMilliseconds(-12345));
    f.random->push(Bytes(10, 0x40));
    const Bytes id = bytesOf(f.generator.generateV7());
    EXPECT_EQ((Bytes(id.begin(), id.begin() + 6)), Bytes(6, 0));
}

TEST(TimeBasedEpochGenerator, TheSharedGeneratorFollowsAnInstalledClock) {
    auto clock = std::make_shared<velmo::test::ManualWallClock>(dateFromMilliseconds(0x010203040506));
    {
        velmo::test::ScopedWallClock scope(clock);
        const Bytes id = bytesOf(TimeBasedEpochGenerator::shared().generateV7());
        EXPECT_EQ((Bytes(id.begin(), id.begin() + 6)), (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}));
    }
    const Bytes after = bytesOf(TimeBasedEpochGenerator::shared().generateV7());
    EXPECT_NE((Bytes(after.begin(), after.begin() + 6)), (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}));
}

TEST(TimeBasedEpochGenerator, TextFormShowsVersionAndVariantDigits) {
    for (int i = 0; i < 200; ++i) {
        const std::string text = TimeBasedEpochGenerator::shared().generateV7().uuidString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '7');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        EXPECT_EQ(text, velmo::UUID::fromString(text)->uuidString());
    }
}

}  // namespace
}  // namespace ridezav
