#include "crashreporter/async/zvcrash_async_cfe_reader.h"

#include <gtest/gtest.h>

#include <vector>

#include "crashreporter/async/CompactUnwindTesting.h"
#include "crashreporter/async/SimulatedTask.h"

namespace {

using zvcrash::testing::CompactUnwindSectionBuilder;
using zvcrash::testing::SimulatedTask;

constexpr uint32_t kCpuX86_64 = 0x1000007;
constexpr uint64_t kSectionAddress = 0x200000;

// A section mapped from a simulated task, with a reader over it.
class MappedSection {
public:
    explicit MappedSection(std::vector<uint8_t> bytes) {
        const uint64_t length = bytes.size();
        task_.map(kSectionAddress, std::move(bytes));
        EXPECT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&mobj_, task_.task(), kSectionAddress, length, true));
    }
    ~MappedSection() { zvcrash_async_mobject_free(&mobj_); }
    const zvcrash_async_mobject* mobject() const { return &mobj_; }

    zvcrash_error_t find(uint64_t pc, uint32_t* function, uint32_t* encoding) {
        zvcrash_async_cfe_reader reader;
        zvcrash_error_t error = zvcrash_async_cfe_reader_init(&reader, &mobj_, kCpuX86_64);
        if (error != ZVCRASH_OK) return error;
        error = zvcrash_async_cfe_reader_find_pc(&reader, pc, function, encoding);
        zvcrash_async_cfe_reader_free(&reader);
        return error;
    }

private:
    SimulatedTask task_;
    zvcrash_async_mobject mobj_{};
};

TEST(ZVCrashCfeReader, AcceptsKnownCpuTypesAndVersionOne) {
    MappedSection section(CompactUnwindSectionBuilder().regularPage(0x1000, {{0x1000, 0x01000000}}).build());
    zvcrash_async_cfe_reader reader;
    for (uint32_t cpu : {7u, 0x1000007u, 0x100000cu}) EXPECT_EQ(ZVCRASH_OK, zvcrash_async_cfe_reader_init(&reader, section.mobject(), cpu));
    for (uint32_t cpu : {0u, 12u, 18u, 0x1000012u})
        EXPECT_EQ(ZVCRASH_ERR_NOTSUP, zvcrash_async_cfe_reader_init(&reader, section.mobject(), cpu));

    MappedSection version2(CompactUnwindSectionBuilder().version(2).build());
    EXPECT_EQ(ZVCRASH_ERR_NOTSUP, zvcrash_async_cfe_reader_init(&reader, version2.mobject(), kCpuX86_64));

    // A section too short for its header.
    MappedSection truncated(std::vector<uint8_t>(20, 0));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_cfe_reader_init(&reader, truncated.mobject(), kCpuX86_64));
}

TEST(ZVCrashCfeReader, RegularPagesAcrossTheFirstLevelIndex) {
    MappedSection section(CompactUnwindSectionBuilder()
                              .regularPage(0x1000, {{0x1000, 0xa1}, {0x1040, 0xa2}, {0x1100, 0xa3}})
                              .regularPage(0x2000, {{0x2000, 0xb1}, {0x2800, 0xb2}})
                              .sentinel(0x3000)
                              .build());
    struct Case {
        uint64_t pc;
        zvcrash_error_t error;
        uint32_t function;
        uint32_t encoding;
    };
    const Case cases[] = {
        {0x0fff, ZVCRASH_ERR_NOTFOUND, 0, 0},  // below the first entry
        {0x1000, ZVCRASH_OK, 0x1000, 0xa1},
        {0x103f, ZVCRASH_OK, 0x1000, 0xa1},
        {0x1040, ZVCRASH_OK, 0x1040, 0xa2},
        {0x1fff, ZVCRASH_OK, 0x1100, 0xa3},
        {0x2000, ZVCRASH_OK, 0x2000, 0xb1},
        {0x2900, ZVCRASH_OK, 0x2800, 0xb2},
        // The last searchable first-level entry covers what lies past it.
        {0x5000, ZVCRASH_OK, 0x2800, 0xb2},
    };
    for (const Case& c : cases) {
        uint32_t function = 0, encoding = 0;
        EXPECT_EQ(c.error, section.find(c.pc, &function, &encoding)) << std::hex << c.pc;
        if (c.error != ZVCRASH_OK) continue;
        EXPECT_EQ(c.function, function) << std::hex << c.pc;
        EXPECT_EQ(c.encoding, encoding) << std::hex << c.pc;
    }
}

TEST(ZVCrashCfeReader, CompressedPagesSelectCommonThenLocalEncodings) {
    // Two common encodings: index 2, the common count, is the page's first own encoding.
    MappedSection section(CompactUnwindSectionBuilder()
                              .commonEncodings({0xc0, 0xc1})
                              .compressedPage(0x4000, {{0x0, 1}, {0x20, 2}, {0x60, 3}, {0x80, 0}}, {0x10, 0x11})
                              .build());
    struct Case {
        uint64_t pc;
        uint32_t function;
        uint32_t encoding;
    };
    const Case cases[] = {{0x4000, 0x4000, 0xc1}, {0x4030, 0x4020, 0x10}, {0x4060, 0x4060, 0x11}, {0x4fff, 0x4080, 0xc0}};
    for (const Case& c : cases) {
        uint32_t function = 0, encoding = 0;
        ASSERT_EQ(ZVCRASH_OK, section.find(c.pc, &function, &encoding)) << std::hex << c.pc;
        EXPECT_EQ(c.function, function) << std::hex << c.pc;
        EXPECT_EQ(c.encoding, encoding) << std::hex << c.pc;
    }
    uint32_t function, encoding;
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, section.find(0x3fff, &function, &encoding));
}

TEST(ZVCrashCfeReader, CompressedIndexPastThePageEncodingsIsRefused) {
    MappedSection section(CompactUnwindSectionBuilder().commonEncodings({0xc0}).compressedPage(0x1000, {{0, 3}}, {0x10, 0x11}).build());
    uint32_t function, encoding;
    EXPECT_EQ(ZVCRASH_ERR_INVAL, section.find(0x1000, &function, &encoding));
}

TEST(ZVCrashCfeReader, MalformedSectionsGiveInvalidArgument) {
    uint32_t function, encoding;
    // A page of unknown kind.
    MappedSection badKind(CompactUnwindSectionBuilder().rawPage(0x1000, {4, 0, 0, 0, 8, 0, 0, 0}).build());
    EXPECT_EQ(ZVCRASH_ERR_INVAL, badKind.find(0x1000, &function, &encoding));

    // A regular page that claims more entries than the section holds.
    MappedSection longPage(CompactUnwindSectionBuilder().rawPage(0x1000, {2, 0, 0, 0, 8, 0, 200, 0}).build());
    EXPECT_EQ(ZVCRASH_ERR_INVAL, longPage.find(0x1000, &function, &encoding));

    // A page offset past the section's end.
    std::vector<uint8_t> bytes = CompactUnwindSectionBuilder().regularPage(0x1000, {{0x1000, 1}}).build();
    bytes[28 + 4] = 0xff;
    bytes[28 + 5] = 0xff;
    MappedSection farPage(bytes);
    EXPECT_EQ(ZVCRASH_ERR_INVAL, farPage.find(0x1000, &function, &encoding));

    // A common-encodings array and a first-level index larger than the section.
    bytes = CompactUnwindSectionBuilder().regularPage(0x1000, {{0x1000, 1}}).build();
    std::vector<uint8_t> bigCommon = bytes;
    bigCommon[8] = 0xff;
    MappedSection commonTooLong(bigCommon);
    EXPECT_EQ(ZVCRASH_ERR_INVAL, commonTooLong.find(0x1000, &function, &encoding));
    std::vector<uint8_t> bigIndex = bytes;
    bigIndex[24] = 0xff;
    MappedSection indexTooLong(bigIndex);
    EXPECT_EQ(ZVCRASH_ERR_INVAL, indexTooLong.find(0x1000, &function, &encoding));

    // No first-level entries at all, and only the sentinel.
    std::vector<uint8_t> empty = bytes;
    empty[24] = 0;
    MappedSection noIndex(empty);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, noIndex.find(0x1000, &function, &encoding));
    MappedSection sentinelOnly(CompactUnwindSectionBuilder().build());
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, sentinelOnly.find(0x1000, &function, &encoding));
}

}  // namespace
