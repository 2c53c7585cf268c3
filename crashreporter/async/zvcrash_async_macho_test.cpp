#include "crashreporter/async/zvcrash_async_macho.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "crashreporter/async/MachOFixtureBuilderTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_image.h"

namespace {

using zvcrash::testing::MachOFixtureBuilder;
using zvcrash::testing::SimulatedTask;
using Width = MachOFixtureBuilder::Width;
using Order = MachOFixtureBuilder::Order;

constexpr uint64_t kHeader = 0x10000000;
const std::array<uint8_t, 16> kUuid{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct Found {
    uint64_t address = 0;
    std::string name;
    int calls = 0;
};

void record(uint64_t address, const char* name, void* context) {
    auto* found = static_cast<Found*>(context);
    found->address = address;
    found->name = name;
    ++found->calls;
}

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i);
    return bytes;
}

class MachOWidthOrder : public ::testing::TestWithParam<std::tuple<Width, Order>> {};

TEST_P(MachOWidthOrder, ReadsHeaderSegmentsSectionsSymbolsAndUuid) {
    const auto [width, order] = GetParam();
    const bool m64 = width == Width::Bits64;
    MachOFixtureBuilder builder(width, order);
    builder.cpu(0x0100000c, 2)
        .section("__TEXT", "__text", pattern(0x100, 1))
        .section("__TEXT", "__unwind_info", pattern(40, 7))
        .section("__DATA", "__data", pattern(24, 9))
        .symbol("_start", 0x0)
        .symbol("_helper", 0x80, false)
        .symbol("_main", 0xc0)
        .uuid(kUuid);
    const auto fixture = builder.build();
    SimulatedTask task;
    task.map(kHeader, fixture.bytes);

    zvcrash_async_macho image;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "/fixture/image", kHeader));
    EXPECT_EQ(m64, image.m64);
    EXPECT_EQ(m64 ? 32u : 28u, zvcrash_async_macho_header_size(&image));
    EXPECT_EQ(order == Order::Host ? zvcrash_async_byteorder_direct() : zvcrash_async_byteorder_swapped(),
              zvcrash_async_macho_byteorder(&image));
    EXPECT_EQ(0x0100000cu, zvcrash_async_macho_swap32_field_a(&image));
    EXPECT_EQ(2u, zvcrash_async_macho_swap32_field_b(&image));
    EXPECT_STREQ("/fixture/image", image.name);
    EXPECT_EQ(static_cast<int64_t>(kHeader - fixture.textAddress), image.vmaddr_slide);
    EXPECT_EQ(fixture.textAddress, image.text_vmaddr);
    const uint64_t textSize = fixture.segmentOffset("__DATA");
    EXPECT_GE(image.text_size, fixture.sectionOffset("__TEXT", "__unwind_info") + 40);
    EXPECT_LE(image.text_size, textSize);

    // The extent: the header is inside, the first byte past __TEXT is not.
    EXPECT_TRUE(zvcrash_async_macho_contains_address(&image, kHeader));
    EXPECT_TRUE(zvcrash_async_macho_contains_address(&image, kHeader + image.text_size - 1));
    EXPECT_FALSE(zvcrash_async_macho_contains_address(&image, kHeader + image.text_size));
    EXPECT_FALSE(zvcrash_async_macho_contains_address(&image, kHeader - 1));

    zvcrash_async_mobject section;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_map_section(&image, "__TEXT", "__unwind_info", &section));
    EXPECT_EQ(kHeader + fixture.sectionOffset("__TEXT", "__unwind_info"), zvcrash_async_mobject_base_address(&section));
    ASSERT_EQ(40u, zvcrash_async_mobject_length(&section));
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<const void*>(section.address), pattern(40, 7).data(), 40));
    zvcrash_async_mobject_free(&section);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_macho_map_section(&image, "__TEXT", "__eh_frame", &section));
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_macho_map_section(&image, "__DWARF", "__debug_frame", &section));

    zvcrash_async_macho_segment data;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_map_segment(&image, "__DATA", &data));
    EXPECT_EQ(kHeader + fixture.segmentOffset("__DATA"), zvcrash_async_mobject_base_address(&data.mobj));
    EXPECT_NE(0u, data.fileoff);
    EXPECT_EQ(24u, data.filesize);
    zvcrash_async_macho_mapped_segment_free(&data);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_macho_map_segment(&image, "__OBJC", &data));

    Found found;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_find_symbol_by_pc(&image, kHeader + 0x90, &record, &found));
    EXPECT_EQ("_helper", found.name);
    EXPECT_EQ(kHeader + 0x80, found.address);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_find_symbol_by_pc(&image, kHeader + 0xc0, &record, &found));
    EXPECT_EQ("_main", found.name);
    uint64_t address = 0;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_find_symbol_by_name(&image, "_helper", &address));
    EXPECT_EQ(kHeader + 0x80, address);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_macho_find_symbol_by_name(&image, "_help", &address));

    // The image interface over the same record.
    zvcrash_async_image generic;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_init(&generic, task.task(), "/fixture/image", kHeader));
    EXPECT_EQ(ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO, generic.format);
    uint8_t uuid[16];
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_uuid(&generic, uuid));
    EXPECT_EQ(0, std::memcmp(uuid, kUuid.data(), 16));
    EXPECT_EQ(kHeader, zvcrash_async_image_base(&generic));
    EXPECT_EQ(image.text_size, zvcrash_async_image_size(&generic));
    EXPECT_EQ(0x0100000cu, zvcrash_async_image_cpu_type(&generic));
    EXPECT_EQ(m64, zvcrash_async_image_is_64bit(&generic));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_map_section(&generic, ZVCRASH_ASYNC_IMAGE_SECTION_UNWIND_INFO, &section));
    EXPECT_EQ(40u, zvcrash_async_mobject_length(&section));
    zvcrash_async_mobject_free(&section);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_image_map_section(&generic, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME_HDR, &section));
    found = {};
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_find_symbol_by_pc(&generic, kHeader + 0x10, &record, &found));
    EXPECT_EQ("_start", found.name);
    zvcrash_async_image_free(&generic);

    zvcrash_async_macho_free(&image);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, MachOWidthOrder,
                         ::testing::Combine(::testing::Values(Width::Bits32, Width::Bits64),
                                            ::testing::Values(Order::Host, Order::Swapped)));

TEST(ZVCrashMachO, RefusesOtherMagicsAndUnreadableHeaders) {
    struct Case {
        uint32_t magic;
        zvcrash_error_t expected;
    };
    // Universal files in either order, an ELF header, nothing.
    for (const Case c : {Case{0xcafebabe, ZVCRASH_ERR_INVAL}, Case{0xbebafeca, ZVCRASH_ERR_INVAL}, Case{0x464c457f, ZVCRASH_ERR_INVAL},
                         Case{0, ZVCRASH_ERR_INVAL}}) {
        auto fixture = MachOFixtureBuilder(Width::Bits64, Order::Host).build();
        std::memcpy(fixture.bytes.data(), &c.magic, 4);
        SimulatedTask task;
        task.map(kHeader, fixture.bytes);
        zvcrash_async_macho image;
        EXPECT_EQ(c.expected, zvcrash_async_macho_init(&image, task.task(), "x", kHeader)) << std::hex << c.magic;
    }
    SimulatedTask empty;
    zvcrash_async_macho image;
    EXPECT_EQ(ZVCRASH_ERR_INTERNAL, zvcrash_async_macho_init(&image, empty.task(), "x", kHeader));
    SimulatedTask unreadable;
    unreadable.map(kHeader, MachOFixtureBuilder(Width::Bits64, Order::Host).build().bytes, false);
    EXPECT_EQ(ZVCRASH_ERR_INTERNAL, zvcrash_async_macho_init(&image, unreadable.task(), "x", kHeader));
}

TEST(ZVCrashMachO, RefusesAnImageWithoutText) {
    // Rename __TEXT in place: the commands are intact but no segment is the text.
    auto fixture = MachOFixtureBuilder(Width::Bits64, Order::Host).section("__DATA", "__data", pattern(8, 0)).build();
    std::memcpy(fixture.bytes.data() + 32 + 8, "__TEXX", 6);
    SimulatedTask task;
    task.map(kHeader, fixture.bytes);
    zvcrash_async_macho image;
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));
}

TEST(ZVCrashMachO, ABadCommandSizeEndsTheWalk) {
    struct Case {
        const char* what;
        uint32_t cmdsize;
        bool followerFound;
    };
    for (const Case c :
         {Case{"size below 8", 4, false}, Case{"size 0", 0, false}, Case{"past the end", 0x1000, false}, Case{"exact", 8, true}}) {
        MachOFixtureBuilder builder(Width::Bits64, Order::Host);
        builder.uuid(kUuid).rawCommand(0x70, c.cmdsize).rawCommand(0x71, 8);
        const auto fixture = builder.build();
        SimulatedTask task;
        task.map(kHeader, fixture.bytes);
        zvcrash_async_macho image;
        ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader)) << c.what;
        EXPECT_NE(nullptr, zvcrash_async_macho_find_command(&image, ZVCRASH_MACHO_LC_UUID)) << c.what;
        EXPECT_EQ(c.followerFound, zvcrash_async_macho_find_command(&image, 0x70) != nullptr) << c.what;
        EXPECT_EQ(c.followerFound, zvcrash_async_macho_find_command(&image, 0x71) != nullptr) << c.what;
        int commands = 0;
        for (const void* cmd = zvcrash_async_macho_next_command(&image, nullptr); cmd != nullptr;
             cmd = zvcrash_async_macho_next_command(&image, cmd)) {
            ++commands;
        }
        // __TEXT and LC_UUID, then the two raw ones when they are sound.
        EXPECT_EQ(c.followerFound ? 4 : 2, commands) << c.what;
        zvcrash_async_macho_free(&image);
    }
}

TEST(ZVCrashMachO, ASectionRecordOutsideTheCommandsIsRefused) {
    auto fixture = MachOFixtureBuilder(Width::Bits64, Order::Host).section("__DATA", "__data", pattern(8, 0)).build();
    // __DATA's command follows __TEXT's (no sections); claim 50 sections where there is one.
    const uint32_t nsects = 50;
    std::memcpy(fixture.bytes.data() + 32 + 72 + 64, &nsects, 4);
    SimulatedTask task;
    task.map(kHeader, fixture.bytes);
    zvcrash_async_macho image;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));
    zvcrash_async_mobject mobj;
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_macho_map_section(&image, "__DATA", "__data", &mobj));
    zvcrash_async_mobject_free(&mobj);
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_macho_map_section(&image, "__DATA", "__missing", &mobj));
    zvcrash_async_macho_free(&image);
}

TEST(ZVCrashMachO, SegmentMapsAreCutAtUnreadableMemoryAndEmptyOnesFail) {
    auto fixture = MachOFixtureBuilder(Width::Bits64, Order::Host)
                       .section("__DATA", "__data", pattern(16, 0))
                       .extraVmSize("__DATA", 0x3000)
                       .segment("__EMPTY")
                       .build();
    SimulatedTask task;
    // Memory comes in whole pages.
    auto bytes = fixture.bytes;
    bytes.resize((bytes.size() + 4095) & ~size_t{4095});
    task.map(kHeader, bytes);
    zvcrash_async_macho image;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));
    zvcrash_async_macho_segment segment;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_map_segment(&image, "__DATA", &segment));
    // Only the bytes the task has: the rest of the virtual size lies on unmapped pages.
    const uint64_t start = kHeader + fixture.segmentOffset("__DATA");
    const uint64_t readable = kHeader + bytes.size() - start;
    EXPECT_EQ(readable, zvcrash_async_mobject_length(&segment.mobj));
    zvcrash_async_macho_mapped_segment_free(&segment);
    // A zero-length segment cannot be mapped partially.
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_macho_map_segment(&image, "__EMPTY", &segment));
    zvcrash_async_macho_free(&image);
}

TEST(ZVCrashMachO, EqualAddressesGoToTheFirstMetGlobalsBeforeLocals) {
    struct Case {
        bool dysymtab;
        const char* expected;
    };
    // Locals are stored first: only the global range scanned first makes the global win.
    for (const Case c : {Case{true, "_global"}, Case{false, "_local"}}) {
        auto fixture = MachOFixtureBuilder(Width::Bits64, Order::Host)
                           .section("__TEXT", "__text", pattern(0x100, 0))
                           .symbol("_local", 0x40, false)
                           .symbol("_global", 0x40, true)
                           .symbol("_before", 0x20, true)
                           .dysymtab(c.dysymtab)
                           .build();
        SimulatedTask task;
        task.map(kHeader, fixture.bytes);
        zvcrash_async_macho image;
        ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));
        Found found;
        ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_find_symbol_by_pc(&image, kHeader + 0x48, &record, &found));
        EXPECT_EQ(c.expected, found.name);
        EXPECT_EQ(1, found.calls);
        zvcrash_async_macho_free(&image);
    }
}

TEST(ZVCrashMachO, ASymbolAboveThePcIsNeverChosen) {
    MachOFixtureBuilder::Symbol debug;
    debug.name = "_stab";
    debug.offset = 0x10;
    debug.type = 0x24;  // a debugging entry: never a candidate
    auto fixture = MachOFixtureBuilder(Width::Bits32, Order::Swapped)
                       .section("__TEXT", "__text", pattern(0x100, 0))
                       .symbol("_above", 0x80)
                       .symbol(debug)
                       .build();
    SimulatedTask task;
    task.map(kHeader, fixture.bytes);
    zvcrash_async_macho image;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));
    Found found;
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_macho_find_symbol_by_pc(&image, kHeader + 0x7f, &record, &found));
    EXPECT_EQ(0, found.calls);
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_macho_find_symbol_by_pc(&image, kHeader + 0x80, &record, &found));
    EXPECT_EQ("_above", found.name);
    zvcrash_async_macho_free(&image);
}

TEST(ZVCrashMachO, ThumbSymbolsAreNormalisedAndBrokenNamesRefused) {
    MachOFixtureBuilder::Symbol thumb;
    thumb.name = "_thumb";
    thumb.offset = 0x40;
    thumb.desc = ZVCRASH_MACHO_N_ARM_THUMB_DEF;
    auto fixture = MachOFixtureBuilder(Width::Bits32, Order::Host).section("__TEXT", "__text", pattern(0x100, 0)).symbol(thumb).build();
    SimulatedTask task;
    task.map(kHeader, fixture.bytes);
    zvcrash_async_macho image;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));
    Found found;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_find_symbol_by_pc(&image, kHeader + 0x50, &record, &found));
    EXPECT_EQ(kHeader + 0x41, found.address);

    zvcrash_async_macho_symtab_reader reader;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_symtab_reader_init(&reader, &image));
    EXPECT_EQ(nullptr, zvcrash_async_macho_symtab_reader_symbol_name(&reader, static_cast<uint32_t>(reader.string_table_size)));
    EXPECT_STREQ("_thumb", zvcrash_async_macho_symtab_reader_symbol_name(&reader, 1));
    zvcrash_async_macho_symtab_reader_free(&reader);
    zvcrash_async_macho_free(&image);

    // A name that runs off the end of the string table.
    auto unterminated = MachOFixtureBuilder(Width::Bits64, Order::Host).symbol("_ok", 0x10).stringTableTail({'a', 'b'}).build();
    const size_t strx = 1;
    SimulatedTask task2;
    task2.map(kHeader, unterminated.bytes);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task2.task(), "x", kHeader));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_symtab_reader_init(&reader, &image));
    EXPECT_STREQ("_ok", zvcrash_async_macho_symtab_reader_symbol_name(&reader, strx));
    EXPECT_EQ(nullptr, zvcrash_async_macho_symtab_reader_symbol_name(&reader, static_cast<uint32_t>(reader.string_table_size - 2)));
    zvcrash_async_macho_symtab_reader_free(&reader);
    zvcrash_async_macho_free(&image);
}

TEST(ZVCrashMachO, SymbolTableReaderChecksItsTables) {
    SimulatedTask task;
    zvcrash_async_macho image;
    zvcrash_async_macho_symtab_reader reader;

    task.map(kHeader, MachOFixtureBuilder(Width::Bits64, Order::Host).build().bytes);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_macho_symtab_reader_init(&reader, &image));
    zvcrash_async_macho_free(&image);

    task.map(kHeader, MachOFixtureBuilder(Width::Bits64, Order::Host).symbol("_a", 0).dysymtabRanges(0, 0, 1, 1).build().bytes);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_macho_symtab_reader_init(&reader, &image));
    zvcrash_async_macho_free(&image);

    // __LINKEDIT placed past the end of what the task holds.
    auto fixture = MachOFixtureBuilder(Width::Bits64, Order::Host).symbol("_a", 0).build();
    fixture.bytes.resize(fixture.segmentOffset("__LINKEDIT"));
    task.map(kHeader, fixture.bytes);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));
    EXPECT_EQ(ZVCRASH_ERR_INTERNAL, zvcrash_async_macho_symtab_reader_init(&reader, &image));
    zvcrash_async_macho_free(&image);
}

TEST(ZVCrashMachO, LazyStringsGrowPageByPage) {
    SimulatedTask task;
    task.map(kHeader, MachOFixtureBuilder(Width::Bits64, Order::Host).build().bytes);
    zvcrash_async_macho image;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_init(&image, task.task(), "x", kHeader));

    // 5000 characters from 10 bytes before a page boundary: three pages in all.
    const uint64_t start = 0x20000000 - 10;
    std::vector<uint8_t> text(5000, 'q');
    text.resize(0x20002000 - start, 0);
    task.map(start, text);
    zvcrash_async_macho_string string;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_string_init(&string, &image, start));
    size_t length = 0;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_string_get_length(&string, &length));
    EXPECT_EQ(5000u, length);
    const char* pointer = nullptr;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_string_get_pointer(&string, &pointer));
    EXPECT_EQ(std::string(5000, 'q'), std::string(pointer));
    zvcrash_async_macho_string_free(&string);

    // No NUL before unmapped memory.
    const uint64_t open = 0x30000000 - 6;
    task.map(open, std::vector<uint8_t>(6 + 4096, 'a'));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_string_init(&string, &image, open));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_macho_string_get_length(&string, &length));
    zvcrash_async_macho_string_free(&string);

    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_macho_string_init(&string, &image, 0x40000000));
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, zvcrash_async_macho_string_get_pointer(&string, &pointer));
    zvcrash_async_macho_string_free(&string);
    zvcrash_async_macho_free(&image);
}

}  // namespace
