#include "crashreporter/async/zvcrash_async_dwarf_frame_reader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crashreporter/async/EhFrameTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_dwarf_encoding.h"

namespace {

using namespace zvcrash::async;
using zvcrash::testing::CieSpec;
using zvcrash::testing::DwarfBytes;
using zvcrash::testing::EhFrameBuilder;
using zvcrash::testing::FdeSpec;
using zvcrash::testing::MappedBytes;
using zvcrash::testing::SimulatedTask;

constexpr uint64_t kSection = 0x10000;
const zvcrash_async_byteorder* const kOrder = zvcrash_async_byteorder_direct();

struct LebCase {
    std::vector<uint8_t> bytes;
    bool isSigned;
    zvcrash_error_t error;
    uint64_t value;
    uint64_t size;
};

TEST(DwarfEncoding, Leb128) {
    const std::vector<LebCase> cases = {
        {{0x02}, false, ZVCRASH_OK, 2, 1},
        {{0xe5, 0x8e, 0x26}, false, ZVCRASH_OK, 624485, 3},
        // Ten bytes whose last has no continuation bit: the whole 64 bits.
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, false, ZVCRASH_OK, UINT64_MAX, 10},
        // A tenth byte that still continues is refused without reading an eleventh (which is not
        // mapped: reading it would give ZVCRASH_ERR_INVAL).
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}, false, ZVCRASH_ERR_NOTSUP, 0, 0},
        {{0x80}, false, ZVCRASH_ERR_INVAL, 0, 0},
        {{0x7f}, true, ZVCRASH_OK, static_cast<uint64_t>(-1), 1},
        {{0x80, 0x7f}, true, ZVCRASH_OK, static_cast<uint64_t>(-128), 2},
        {{0x3f}, true, ZVCRASH_OK, 63, 1},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}, true, ZVCRASH_OK, static_cast<uint64_t>(-1), 10},
    };
    for (const auto& c : cases) {
        SimulatedTask task;
        MappedBytes bytes(task, kSection, c.bytes);
        uint64_t value = 0, size = 0;
        zvcrash_error_t error;
        if (c.isSigned) {
            int64_t signedValue = 0;
            error = zvcrash_async_dwarf_read_sleb128(bytes.mobj(), kSection, 0, &signedValue, &size);
            value = static_cast<uint64_t>(signedValue);
        } else {
            error = zvcrash_async_dwarf_read_uleb128(bytes.mobj(), kSection, 0, &value, &size);
        }
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(c.error, error);
        if (c.error == ZVCRASH_OK) {
            EXPECT_EQ(c.value, value);
            EXPECT_EQ(c.size, size);
        }
        uint64_t taskValue = 0, taskSize = 0;
        if (!c.isSigned) {
            // Past the region the task has nothing: its own code instead of the mapping's.
            const zvcrash_error_t taskError = c.error == ZVCRASH_ERR_INVAL ? ZVCRASH_ERR_NOTFOUND : c.error;
            EXPECT_EQ(taskError, zvcrash_async_dwarf_read_task_uleb128(task.task(), kSection, 0, &taskValue, &taskSize));
            if (c.error == ZVCRASH_OK) {
                EXPECT_EQ(c.value, taskValue);
            }
        }
    }
}

TEST(DwarfEncoding, UintmaxSizes) {
    SimulatedTask task;
    MappedBytes bytes(task, kSection, {1, 2, 3, 4, 5, 6, 7, 8});
    uint64_t value = 0;
    const std::vector<std::pair<uint8_t, uint64_t>> sizes = {{1, 0x01}, {2, 0x0201}, {4, 0x04030201}, {8, 0x0807060504030201}};
    for (const auto& [size, expected] : sizes) {
        EXPECT_EQ(ZVCRASH_OK, zvcrash_async_dwarf_read_uintmax(bytes.mobj(), kOrder, kSection, 0, size, &value));
        EXPECT_EQ(expected, value);
    }
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_dwarf_read_uintmax(bytes.mobj(), kOrder, kSection, 0, 3, &value));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_dwarf_read_uintmax(bytes.mobj(), kOrder, kSection, 4, 8, &value));
}

struct PointerCase {
    const char* name;
    std::vector<uint8_t> bytes;
    uint8_t encoding;
    bool bases;
    zvcrash_error_t error;
    uint64_t value;
    uint64_t size;
};

TEST(DwarfEncoding, GnuEhPointers) {
    // The reader sits at kSection + 2 so that the aligned form has padding to count; the word
    // that the indirect forms name is at 0x20000.
    const uint64_t at = kSection + 2;
    const std::vector<PointerCase> cases = {
        {"absptr", DwarfBytes().u64(0x1122334455667788).bytes(), 0x00, false, ZVCRASH_OK, 0x1122334455667788, 8},
        {"uleb128", DwarfBytes().uleb(300).bytes(), 0x01, false, ZVCRASH_OK, 300, 2},
        {"udata2", DwarfBytes().u16(0xfffe).bytes(), 0x02, false, ZVCRASH_OK, 0xfffe, 2},
        {"udata4", DwarfBytes().u32(0xfffffffe).bytes(), 0x03, false, ZVCRASH_OK, 0xfffffffe, 4},
        {"udata8", DwarfBytes().u64(7).bytes(), 0x04, false, ZVCRASH_OK, 7, 8},
        {"sleb128", DwarfBytes().sleb(-2).bytes(), 0x09, false, ZVCRASH_OK, static_cast<uint64_t>(-2), 1},
        {"sdata2", DwarfBytes().u16(0xfffe).bytes(), 0x0a, false, ZVCRASH_OK, static_cast<uint64_t>(-2), 2},
        {"sdata4", DwarfBytes().u32(0xfffffffe).bytes(), 0x0b, false, ZVCRASH_OK, static_cast<uint64_t>(-2), 4},
        {"sdata8", DwarfBytes().u64(static_cast<uint64_t>(-2)).bytes(), 0x0c, false, ZVCRASH_OK, static_cast<uint64_t>(-2), 8},
        {"pcrel sdata4", DwarfBytes().u32(0xfffffff0).bytes(), 0x1b, false, ZVCRASH_OK, at - 16, 4},
        {"textrel unset", DwarfBytes().u32(4).bytes(), 0x23, false, ZVCRASH_ERR_NOTSUP, 0, 0},
        {"textrel", DwarfBytes().u32(4).bytes(), 0x23, true, ZVCRASH_OK, 0x1004, 4},
        {"datarel", DwarfBytes().u32(4).bytes(), 0x33, true, ZVCRASH_OK, 0x2004, 4},
        {"funcrel", DwarfBytes().u32(4).bytes(), 0x43, true, ZVCRASH_OK, 0x3004, 4},
        {"aligned unset", DwarfBytes().u64(0).bytes(), 0x50, false, ZVCRASH_ERR_NOTSUP, 0, 0},
        // Link-time address of the field 0x802: padded to 0x808, six bytes of padding counted.
        {"aligned", DwarfBytes().u16(0).u32(0).u64(0xabcd).bytes(), 0x50, true, ZVCRASH_OK, 0xabcd, 14},
        {"base 6", DwarfBytes().u32(0).bytes(), 0x63, true, ZVCRASH_ERR_NOTSUP, 0, 0},
        {"format 5", DwarfBytes().u32(0).bytes(), 0x05, true, ZVCRASH_ERR_NOTSUP, 0, 0},
        {"omit", DwarfBytes().u32(0).bytes(), 0xff, true, ZVCRASH_ERR_NOTFOUND, 0, 0},
        {"indirect udata8", DwarfBytes().u64(0x20000).bytes(), 0x84, false, ZVCRASH_OK, 0x5566778899aabbcc, 8},
        {"indirect unmapped", DwarfBytes().u64(0x30000).bytes(), 0x84, false, ZVCRASH_ERR_NOTFOUND, 0, 0},
        {"truncated", {1, 2}, 0x03, false, ZVCRASH_ERR_INVAL, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedTask task;
        std::vector<uint8_t> bytes = {0xee, 0xee};
        bytes.insert(bytes.end(), c.bytes.begin(), c.bytes.end());
        MappedBytes section(task, kSection, bytes);
        task.map(0x20000, DwarfBytes().u64(0x5566778899aabbcc).bytes());
        gnu_ehptr_reader<unsigned long long> reader(kOrder);
        if (c.bases) {
            reader.set_frame_section_base(kSection, 0x800);
            reader.set_text_base(0x1000);
            reader.set_data_base(0x2000);
            reader.set_func_base(0x3000);
        }
        unsigned long long value = 0;
        uint64_t size = 0;
        EXPECT_EQ(c.error, reader.read(section.mobj(), kSection, 2, c.encoding, &value, &size));
        if (c.error == ZVCRASH_OK) {
            EXPECT_EQ(c.value, value);
            EXPECT_EQ(c.size, size);
        }
    }
}

TEST(DwarfEncoding, ThirtyTwoBitPointers) {
    SimulatedTask task;
    MappedBytes section(task, kSection, DwarfBytes().u32(0x80000000).u32(0xfffffffc).bytes());
    task.map(0x20000, DwarfBytes().u32(0xcafe).bytes());
    gnu_ehptr_reader<unsigned int> reader(kOrder);
    unsigned int value = 0;
    uint64_t size = 0;
    ASSERT_EQ(ZVCRASH_OK, reader.read(section.mobj(), kSection, 0, 0x00, &value, &size));
    EXPECT_EQ(0x80000000u, value);
    EXPECT_EQ(4u, size);
    // PC-relative wraps in 32 bits.
    ASSERT_EQ(ZVCRASH_OK, reader.read(section.mobj(), kSection, 4, 0x1b, &value, &size));
    EXPECT_EQ(static_cast<unsigned int>(kSection + 4 - 4), value);
}

// A section with one CIE and one FDE for [0x400000, 0x400100).
struct OneFde {
    EhFrameBuilder builder;
    uint64_t cie;
    uint64_t fde;
    OneFde(bool debugFrame, CieSpec cieSpec = {}, FdeSpec fdeSpec = {0x400000, 0x100, {}, {0x41}})
        : builder(kSection, debugFrame) {
        cie = builder.addCie(cieSpec);
        fde = builder.addFde(cie, fdeSpec);
        builder.addTerminator();
    }
};

TEST(DwarfFrameReader, CieIdZeroDependsOnTheSection) {
    CieSpec absolute;
    absolute.augmentation = "";
    absolute.pointerEncoding = 0;
    struct Case {
        bool builtAsDebugFrame;
        bool readAsDebugFrame;
        zvcrash_error_t error;
    };
    // .eh_frame's CIE has id 0 and its FDE points back; .debug_frame's CIE has id all ones and
    // its FDE's id field, 0, is the CIE's offset. Read with the other section's rules, the CIE
    // becomes an FDE with a nonsense pointer, or the FDE becomes a CIE and nothing is found.
    const std::vector<Case> cases = {
        {false, false, ZVCRASH_OK},
        {true, true, ZVCRASH_OK},
        {true, false, ZVCRASH_ERR_INVAL},
        {false, true, ZVCRASH_ERR_INVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.builtAsDebugFrame << " read as " << c.readAsDebugFrame);
        OneFde section(c.builtAsDebugFrame, absolute);
        SimulatedTask task;
        MappedBytes bytes(task, kSection, section.builder.bytes());
        zvcrash_async_dwarf_frame_reader reader;
        zvcrash_async_dwarf_frame_reader_init(&reader, bytes.mobj(), kOrder, true, c.readAsDebugFrame);
        zvcrash_async_dwarf_fde_info<unsigned long long> fde;
        EXPECT_EQ(c.error, zvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x400010ull, &fde));
        if (c.error == ZVCRASH_OK) {
            EXPECT_EQ(section.cie, fde.cie_offset);
            EXPECT_EQ(0x400000u, fde.pc_start);
            EXPECT_EQ(0x400100u, fde.pc_end);
        }
    }
    // In .debug_frame an entry whose id is 0 is an FDE of the CIE at offset 0.
    OneFde debug(true, absolute);
    ASSERT_EQ(0u, debug.cie);
    const auto& bytes = debug.builder.bytes();
    uint32_t id;
    std::memcpy(&id, bytes.data() + debug.fde + 4, 4);
    EXPECT_EQ(0u, id);
}

TEST(DwarfFrameReader, SixtyFourBitLengths) {
    CieSpec cie;
    cie.dwarf64 = true;
    OneFde section(false, cie, {0x400000, 0x100, {}, {0x41}, true});
    SimulatedTask task;
    MappedBytes bytes(task, kSection, section.builder.bytes());
    zvcrash_async_dwarf_frame_reader reader;
    zvcrash_async_dwarf_frame_reader_init(&reader, bytes.mobj(), kOrder, true, false);
    zvcrash_async_dwarf_fde_info<unsigned long long> fde;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x4000ffull, &fde));
    // A 12-byte header, an 8-byte CIE pointer, 4 + 4 bytes of PC, one byte of augmentation length.
    EXPECT_EQ(section.fde + 12, fde.fde_offset);
    EXPECT_EQ(section.fde + 12 + 8 + 8 + 1, fde.instructions_offset);
    EXPECT_EQ(1u, fde.instructions_length);
    EXPECT_EQ(section.cie, fde.cie_offset);

    zvcrash_async_dwarf_cie_info<unsigned long long> info;
    gnu_ehptr_reader<unsigned long long> ptr_reader(kOrder);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_dwarf_cie_info_init(&info, bytes.mobj(), kOrder, &ptr_reader, kSection + fde.cie_offset));
    EXPECT_EQ(section.cie + 12, info.cie_offset);
    EXPECT_EQ(0u, info.cie_id);
}

TEST(DwarfFrameReader, PcRelativeStartsFromTheFieldsOwnAddress) {
    OneFde section(false);
    SimulatedTask task;
    MappedBytes bytes(task, kSection, section.builder.bytes());
    // The stored value is the distance from the PC-start field, which follows the CIE pointer.
    const uint64_t field = kSection + section.fde + 8;
    int32_t stored;
    std::memcpy(&stored, section.builder.bytes().data() + section.fde + 8, 4);
    EXPECT_EQ(static_cast<int64_t>(0x400000 - field), stored);

    zvcrash_async_dwarf_fde_info<unsigned long long> fde;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_dwarf_fde_info_init(&fde, bytes.mobj(), kOrder, kSection + section.fde, false));
    EXPECT_EQ(0x400000u, fde.pc_start);
    EXPECT_EQ(0x400100u, fde.pc_end);
    zvcrash_async_dwarf_cie_info<unsigned long long> cie;
    gnu_ehptr_reader<unsigned long long> ptr_reader(kOrder);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_dwarf_cie_info_init(&cie, bytes.mobj(), kOrder, &ptr_reader, kSection + section.cie));
    EXPECT_TRUE(cie.eh_augmentation.has_eh_augmentation_data);
    EXPECT_TRUE(cie.eh_augmentation.has_pointer_encoding);
    EXPECT_EQ(0x1b, cie.eh_augmentation.pointer_encoding);
    EXPECT_EQ(1u, cie.code_alignment_factor);
    EXPECT_EQ(-8, cie.data_alignment_factor);
    EXPECT_EQ(16u, cie.return_address_register);
}

TEST(DwarfFrameReader, PersonalityLsdaAndEncodingWithEightBytesOfFdeAugmentation) {
    CieSpec spec;
    spec.augmentation = "zPLR";
    // Personality absolute 8 bytes, LSDA udata8, FDE pointers PC-relative signed 32-bit.
    spec.augmentationData = DwarfBytes().u8(0x00).u64(0x7000123).u8(0x04).u8(0x1b).bytes();
    spec.instructions = {0x0c, 0x07, 0x08};
    OneFde section(false, spec, {0x400000, 0x100, DwarfBytes().u64(0x500000).bytes(), {0x41, 0x00}});
    SimulatedTask task;
    MappedBytes bytes(task, kSection, section.builder.bytes());

    zvcrash_async_dwarf_fde_info<unsigned long long> fde;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_dwarf_fde_info_init(&fde, bytes.mobj(), kOrder, kSection + section.fde, false));
    const uint64_t rangeEnd = section.fde + 4 + 4 + 4 + 4;
    EXPECT_EQ(rangeEnd + 9, fde.instructions_offset);
    EXPECT_EQ(2u, fde.instructions_length);

    zvcrash_async_dwarf_cie_info<unsigned long long> cie;
    gnu_ehptr_reader<unsigned long long> ptr_reader(kOrder);
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_dwarf_cie_info_init(&cie, bytes.mobj(), kOrder, &ptr_reader, kSection + section.cie));
    EXPECT_TRUE(cie.eh_augmentation.has_personality_address);
    EXPECT_EQ(0x7000123u, cie.eh_augmentation.personality_address);
    EXPECT_TRUE(cie.eh_augmentation.has_lsda_encoding);
    EXPECT_EQ(0x04, cie.eh_augmentation.lsda_encoding);
    EXPECT_EQ(0x1b, cie.eh_augmentation.pointer_encoding);
    EXPECT_FALSE(cie.eh_augmentation.signal_frame);
    EXPECT_EQ(3u, cie.initial_instructions_length);
}

TEST(DwarfFrameReader, CieVersionsAndAugmentations) {
    struct Case {
        const char* name;
        uint8_t version;
        std::string augmentation;
        std::vector<uint8_t> data;
        zvcrash_error_t error;
    };
    const std::vector<Case> cases = {
        {"version 1", 1, "zR", {0x1b}, ZVCRASH_OK},
        {"version 2", 2, "zR", {0x1b}, ZVCRASH_ERR_INVAL},
        {"version 3", 3, "zR", {0x1b}, ZVCRASH_OK},
        {"version 4", 4, "zR", {0x1b}, ZVCRASH_OK},
        {"version 5", 5, "zR", {0x1b}, ZVCRASH_ERR_INVAL},
        {"old eh augmentation", 1, "eh", {}, ZVCRASH_ERR_NOTSUP},
        {"signal frame", 1, "zRS", {0x1b}, ZVCRASH_OK},
        // An unknown letter ends the interpretation; the declared data length still holds.
        {"unknown letter", 1, "zRXR", {0x1b, 0xaa, 0xbb}, ZVCRASH_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CieSpec spec;
        spec.version = c.version;
        spec.augmentation = c.augmentation;
        spec.augmentationData = c.data;
        spec.addressSize = 8;
        spec.segmentSize = 0;
        spec.instructions = {0x0c, 0x07, 0x08};
        EhFrameBuilder builder(kSection);
        const uint64_t offset = builder.addCie(spec);
        SimulatedTask task;
        MappedBytes bytes(task, kSection, builder.bytes());
        zvcrash_async_dwarf_cie_info<unsigned long long> cie;
        gnu_ehptr_reader<unsigned long long> ptr_reader(kOrder);
        EXPECT_EQ(c.error, zvcrash_async_dwarf_cie_info_init(&cie, bytes.mobj(), kOrder, &ptr_reader, kSection + offset));
        if (c.error != ZVCRASH_OK) continue;
        EXPECT_EQ(c.version, cie.cie_version);
        EXPECT_EQ(c.version == 4 ? 8 : 0, cie.address_size);
        EXPECT_EQ(3u, cie.initial_instructions_length);
        EXPECT_EQ(builder.bytes().size() - 3, cie.initial_instructions_offset);
        EXPECT_EQ(c.augmentation == "zRS", cie.eh_augmentation.signal_frame);
    }
}

TEST(DwarfFrameReader, SearchEndsAtTheTerminatorAndRefusesDamage) {
    OneFde section(false);
    SimulatedTask task;
    MappedBytes bytes(task, kSection, section.builder.bytes());
    zvcrash_async_dwarf_frame_reader reader;
    zvcrash_async_dwarf_frame_reader_init(&reader, bytes.mobj(), kOrder, true, false);
    zvcrash_async_dwarf_fde_info<unsigned long long> fde;
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x400100ull, &fde));
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x3fffffull, &fde));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_dwarf_frame_reader_find_fde(&reader, bytes.mobj()->length, 0x400000ull, &fde));
    // The reader's width must match the search's.
    zvcrash_async_dwarf_fde_info<unsigned int> narrow;
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x400000u, &narrow));

    // An entry whose length runs past the section: its next position is never reached, the
    // FDE after a truncated CIE fails to parse.
    std::vector<uint8_t> damaged = section.builder.bytes();
    damaged.resize(section.fde + 10);
    SimulatedTask task2;
    MappedBytes cut(task2, kSection, damaged);
    zvcrash_async_dwarf_frame_reader_init(&reader, cut.mobj(), kOrder, true, false);
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x400000ull, &fde));
}

}  // namespace
