// The crash path above the foundation with the allocator shut: images, unwind tables, the walk,
// the thread rendezvous, symbols, the signal layer and the whole report write. Whatever a
// routine needs is prepared before the allocator is shut, as the reporter does when enabled.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crashreporter/async/ClassMetadataTesting.h"
#include "crashreporter/async/CompactUnwindTesting.h"
#include "crashreporter/async/MachOFixtureBuilderTesting.h"
#include "crashreporter/async/NoAllocationTesting.h"
#include "crashreporter/async/ParkedThreadsTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_cfe_entry.h"
#include "crashreporter/async/zvcrash_async_cfe_reader.h"
#include "crashreporter/async/zvcrash_async_dwarf_cfa_state.h"
#include "crashreporter/async/zvcrash_async_dwarf_expression.h"
#include "crashreporter/async/zvcrash_async_dwarf_frame_reader.h"
#include "crashreporter/async/zvcrash_async_dwarf_unwind.h"
#include "crashreporter/async/zvcrash_async_elf.h"
#include "crashreporter/async/zvcrash_async_file.h"
#include "crashreporter/async/zvcrash_async_frame_cursor.h"
#include "crashreporter/async/zvcrash_async_image.h"
#include "crashreporter/async/zvcrash_async_image_feeder.h"
#include "crashreporter/async/zvcrash_async_image_list.h"
#include "crashreporter/async/zvcrash_async_mach_exception.h"
#include "crashreporter/async/zvcrash_async_macho.h"
#include "crashreporter/async/zvcrash_async_objc.h"
#include "crashreporter/async/zvcrash_async_signal_handler.h"
#include "crashreporter/async/zvcrash_async_signal_info.h"
#include "crashreporter/async/zvcrash_async_symbol.h"
#include "crashreporter/async/zvcrash_async_thread_rendezvous.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"
#include "crashreporter/async/zvcrash_log_writer.h"

namespace {

using zvcrash::testing::ClassMetadataBuilder;
using zvcrash::testing::CompactUnwindSectionBuilder;
using zvcrash::testing::MachOFixtureBuilder;
using zvcrash::testing::NoAllocation;
using zvcrash::testing::ParkedThreads;
using zvcrash::testing::SimulatedTask;
using P = unsigned long long;
using S = long long;

constexpr uint32_t kX86_64 = 0x1000007;

// The images of this process, listed before the allocator is shut.
class LiveImages {
public:
    LiveImages() {
        zvcrash_async_image_list_init(&list, zvcrash_async_task_self());
        zvcrash_async_image_feeder_init(&feeder, &list);
        zvcrash_async_image_list_set_reading(&list, true);
        for (auto* image = zvcrash_async_image_list_next(&list, nullptr); image != nullptr;
             image = zvcrash_async_image_list_next(&list, image)) {
            const char* path = zvcrash_async_image_path(image);
            if (image->format == ZVCRASH_ASYNC_IMAGE_FORMAT_ELF && path != nullptr && std::strstr(path, "/libc.so") != nullptr)
                libc = image;
        }
        zvcrash_async_image_list_set_reading(&list, false);
        if (libc != nullptr) zvcrash_async_elf_find_symbol_by_name(&libc->elf, "getpid", &getpidAddress);
    }
    ~LiveImages() { zvcrash_async_image_list_free(&list); }
    LiveImages(const LiveImages&) = delete;
    LiveImages& operator=(const LiveImages&) = delete;

    zvcrash_async_image_list list{};
    zvcrash_async_image_feeder feeder{};
    zvcrash_async_image* libc = nullptr;
    uint64_t getpidAddress = 0;
};

void countSymbol(uint64_t address, const char* name, void* context) {
    auto* sum = static_cast<uint64_t*>(context);
    *sum += address + static_cast<unsigned char>(name[0]);
}

// The mapping is released at once: only that it could be made matters here.
zvcrash_error_t mapAndRelease(const zvcrash_async_image* image, zvcrash_async_image_section section) {
    zvcrash_async_mobject mobj;
    const zvcrash_error_t error = zvcrash_async_image_map_section(image, section, &mobj);
    if (error == ZVCRASH_OK) zvcrash_async_mobject_free(&mobj);
    return error;
}

TEST(ZVCrashNoAllocationCrashPath, ImageListImagesAndElfReads) {
    LiveImages images;
    ASSERT_NE(nullptr, images.libc);
    ASSERT_NE(0u, images.getpidAddress);
    zvcrash_async_image* found = nullptr;
    size_t count = 0;
    uint64_t sum = 0;
    zvcrash_error_t results[12] = {};
    bool contains[2] = {};
    {
        NoAllocation shut;
        zvcrash_async_image_list_set_reading(&images.list, true);
        found = zvcrash_async_image_containing_address(&images.list, images.getpidAddress);
        for (auto* image = zvcrash_async_image_list_next(&images.list, nullptr); image != nullptr;
             image = zvcrash_async_image_list_next(&images.list, image))
            ++count;
        const zvcrash_async_image* libc = images.libc;
        contains[0] = zvcrash_async_image_contains_address(libc, images.getpidAddress);
        results[0] = mapAndRelease(libc, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME);
        results[1] = mapAndRelease(libc, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME_HDR);
        results[2] = mapAndRelease(libc, ZVCRASH_ASYNC_IMAGE_SECTION_UNWIND_INFO);
        results[3] = mapAndRelease(libc, ZVCRASH_ASYNC_IMAGE_SECTION_DEBUG_FRAME);
        results[4] = zvcrash_async_image_find_symbol_by_pc(libc, images.getpidAddress + 1, countSymbol, &sum);
        uint8_t uuid[16];
        results[5] = zvcrash_async_image_uuid(libc, uuid);
        sum += zvcrash_async_image_cpu_type(libc) + zvcrash_async_image_cpu_subtype(libc) + zvcrash_async_image_path(libc)[0] +
               zvcrash_async_image_base(libc) + zvcrash_async_image_size(libc) + (zvcrash_async_image_task(libc) != nullptr) +
               zvcrash_async_image_is_64bit(libc) + (zvcrash_async_image_byteorder(libc) != nullptr);

        const zvcrash_async_elf* elf = &libc->elf;
        contains[1] = zvcrash_async_elf_contains_address(elf, images.getpidAddress);
        zvcrash_async_mobject mobj;
        results[6] = zvcrash_async_elf_map_eh_frame(elf, &mobj);
        if (results[6] == ZVCRASH_OK) zvcrash_async_mobject_free(&mobj);
        results[7] = zvcrash_async_elf_map_eh_frame_hdr(elf, &mobj);
        if (results[7] == ZVCRASH_OK) zvcrash_async_mobject_free(&mobj);
        results[8] = zvcrash_async_elf_find_symbol_by_pc(elf, images.getpidAddress + 1, countSymbol, &sum);
        uint64_t address = 0;
        results[9] = zvcrash_async_elf_find_symbol_by_name(elf, "getpid", &address);
        results[10] = zvcrash_async_elf_uuid(elf, uuid);
        sum += zvcrash_async_elf_cpu_type(elf) + zvcrash_async_elf_cpu_subtype(elf);
        results[11] = address == images.getpidAddress ? ZVCRASH_OK : ZVCRASH_ERR_NOTFOUND;
        zvcrash_async_image_list_set_reading(&images.list, false);
    }
    EXPECT_EQ(images.libc, found);
    EXPECT_GT(count, 2u);
    EXPECT_TRUE(contains[0]);
    EXPECT_TRUE(contains[1]);
    const zvcrash_error_t expected[12] = {ZVCRASH_OK, ZVCRASH_OK, ZVCRASH_ERR_NOTFOUND, ZVCRASH_ERR_NOTFOUND, ZVCRASH_OK, ZVCRASH_OK,
                                          ZVCRASH_OK, ZVCRASH_OK, ZVCRASH_OK,           ZVCRASH_OK,           ZVCRASH_OK, ZVCRASH_OK};
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(expected[i], results[i]) << "call " << i;
    EXPECT_NE(0u, sum);
}

TEST(ZVCrashNoAllocationCrashPath, MachOReads) {
    constexpr uint64_t kHeader = 0x100000;
    MachOFixtureBuilder builder(MachOFixtureBuilder::Width::Bits64, MachOFixtureBuilder::Order::Host);
    builder.cpu(kX86_64, 3)
        .section("__TEXT", "__text", std::vector<uint8_t>(0x100, 0x90))
        .section("__TEXT", "__unwind_info", std::vector<uint8_t>(40, 7))
        .symbol("_start", 0x0)
        .symbol("_helper", 0x80, false)
        .uuid({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    const auto fixture = builder.build();
    SimulatedTask task;
    task.map(kHeader, fixture.bytes);
    zvcrash_async_image image;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_init(&image, task.task(), "/fixture/image", kHeader));
    const zvcrash_async_macho* macho = &image.macho;
    const uint64_t stringAddress = kHeader + fixture.sectionOffset("__TEXT", "__text");
    uint64_t sum = 0;
    zvcrash_error_t results[9] = {};
    {
        NoAllocation shut;
        sum += zvcrash_async_macho_byteorder(macho) != nullptr;
        sum += zvcrash_async_macho_header(macho)->ncmds + zvcrash_async_macho_header_size(macho);
        sum += zvcrash_async_macho_swap32_field_a(macho) + zvcrash_async_macho_swap32_field_b(macho);
        sum += zvcrash_async_macho_contains_address(macho, kHeader + 0x10);
        for (const void* cmd = zvcrash_async_macho_next_command(macho, nullptr); cmd != nullptr;
             cmd = zvcrash_async_macho_next_command(macho, cmd))
            ++sum;
        sum += zvcrash_async_macho_next_command_type(macho, nullptr, ZVCRASH_MACHO_LC_SEGMENT_64) != nullptr;
        sum += zvcrash_async_macho_find_command(macho, ZVCRASH_MACHO_LC_UUID) != nullptr;
        sum += zvcrash_async_macho_find_segment_cmd(macho, "__TEXT") != nullptr;
        zvcrash_async_macho_segment segment;
        results[0] = zvcrash_async_macho_map_segment(macho, "__TEXT", &segment);
        if (results[0] == ZVCRASH_OK) zvcrash_async_macho_mapped_segment_free(&segment);
        zvcrash_async_mobject mobj;
        results[1] = zvcrash_async_macho_map_section(macho, "__TEXT", "__text", &mobj);
        if (results[1] == ZVCRASH_OK) zvcrash_async_mobject_free(&mobj);
        zvcrash_async_macho_symtab_reader reader;
        results[2] = zvcrash_async_macho_symtab_reader_init(&reader, macho);
        if (results[2] == ZVCRASH_OK) {
            const auto entry = zvcrash_async_macho_symtab_reader_read(&reader, reader.symtab, 0);
            const char* name = zvcrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
            sum += entry.n_value + (name != nullptr ? name[0] : 0);
            zvcrash_async_macho_symtab_reader_free(&reader);
        }
        results[3] = zvcrash_async_macho_find_symbol_by_pc(macho, kHeader + 0x90, countSymbol, &sum);
        uint64_t address = 0;
        results[4] = zvcrash_async_macho_find_symbol_by_name(macho, "_start", &address);
        zvcrash_async_macho_string string;
        results[5] = zvcrash_async_macho_string_init(&string, macho, stringAddress);
        if (results[5] == ZVCRASH_OK) {
            size_t length = 0;
            const char* pointer = nullptr;
            // The section holds no NUL: the search ends at the readable pages' end.
            sum += zvcrash_async_macho_string_get_length(&string, &length);
            sum += zvcrash_async_macho_string_get_pointer(&string, &pointer);
            zvcrash_async_macho_string_free(&string);
        }
        results[6] = mapAndRelease(&image, ZVCRASH_ASYNC_IMAGE_SECTION_UNWIND_INFO);
        uint8_t uuid[16];
        results[7] = zvcrash_async_image_uuid(&image, uuid);
        results[8] = zvcrash_async_image_find_symbol_by_pc(&image, kHeader + 0x10, countSymbol, &sum);
        sum += zvcrash_async_image_cpu_type(&image) + zvcrash_async_image_contains_address(&image, kHeader);
    }
    zvcrash_async_image_free(&image);
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(ZVCRASH_OK, results[i]) << "call " << i;
    EXPECT_NE(0u, sum);
}

// DWARF on this process's C library: its getpid entry found both ways, parsed, run and applied
// to a state standing at that function's first instruction.
constexpr uint64_t kReturnAddress = 0x5a5a1234;

struct DwarfRun {
    const LiveImages* images;
    zvcrash_error_t results[9];
    uint64_t callerIp;
};

zvcrash_error_t runDwarf(zvcrash_async_thread_state* current, void* context) {
    using namespace zvcrash::async;
    auto* run = static_cast<DwarfRun*>(context);
    const zvcrash_async_elf* elf = &run->images->libc->elf;
    const P pc = run->images->getpidAddress;
    zvcrash_async_thread_state state;
    zvcrash_async_thread_state_copy(&state, current);
    zvcrash_async_thread_state_set_reg(&state, ZVCRASH_REG_IP, pc);
    // At a function's first instruction the return address is the word at the stack pointer.
    volatile uint64_t returnSlot[2] = {kReturnAddress, 0};
    zvcrash_async_thread_state_set_reg(&state, ZVCRASH_REG_SP, reinterpret_cast<uint64_t>(&returnSlot[0]));

    NoAllocation shut;
    zvcrash_async_mobject frames, hdr;
    run->results[0] = zvcrash_async_elf_map_eh_frame(elf, &frames);
    run->results[1] = zvcrash_async_elf_map_eh_frame_hdr(elf, &hdr);
    if (run->results[0] != ZVCRASH_OK || run->results[1] != ZVCRASH_OK) return ZVCRASH_ERR_INTERNAL;
    const zvcrash_async_byteorder* order = zvcrash_async_byteorder_direct();
    zvcrash_async_dwarf_frame_reader reader;
    run->results[2] = zvcrash_async_dwarf_frame_reader_init(&reader, &frames, order, true, false);
    zvcrash_async_dwarf_fde_info<P> linear, indexed;
    run->results[3] = zvcrash_async_dwarf_frame_reader_find_fde<P>(&reader, 0, pc, &linear);
    run->results[4] = zvcrash_async_dwarf_frame_reader_find_fde_indexed<P>(&reader, &hdr, pc, &indexed);
    const uint64_t section = zvcrash_async_mobject_base_address(&frames);
    zvcrash_async_dwarf_fde_info<P> fde;
    run->results[5] = zvcrash_async_dwarf_fde_info_init<P>(&fde, &frames, order, section + indexed.fde_offset - 4, false);
    gnu_ehptr_reader<P> pointers(order);
    zvcrash_async_dwarf_cie_info<P> cie;
    run->results[6] = zvcrash_async_dwarf_cie_info_init<P>(&cie, &frames, order, &pointers, section + indexed.cie_offset);
    dwarf_cfa_state<P, S> rows;
    zvcrash_error_t error =
        rows.eval_program(&frames, 0, indexed.pc_start, &cie, &pointers, order, section,
                          zvcrash_async_dwarf_cie_info_instructions_offset(&cie), zvcrash_async_dwarf_cie_info_instructions_length(&cie));
    if (error == ZVCRASH_OK)
        error = rows.eval_program(&frames, pc, indexed.pc_start, &cie, &pointers, order, section,
                                  zvcrash_async_dwarf_fde_info_instructions_offset(&indexed),
                                  zvcrash_async_dwarf_fde_info_instructions_length(&indexed));
    zvcrash_async_thread_state caller;
    if (error == ZVCRASH_OK) error = rows.apply_state(zvcrash_async_task_self(), &cie, &state, order, &caller);
    run->results[7] = error;
    bool signalFrame = true;
    run->results[8] = zvcrash_async_dwarf_unwind_frame<P, S>(zvcrash_async_task_self(), &reader, &hdr, &state, true, &caller, &signalFrame);
    run->callerIp = zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_REG_IP);
    zvcrash_async_dwarf_fde_info_free<P>(&fde);
    zvcrash_async_dwarf_fde_info_free<P>(&linear);
    zvcrash_async_dwarf_cie_info_free<P>(&cie);
    zvcrash_async_mobject_free(&hdr);
    zvcrash_async_mobject_free(&frames);
    return ZVCRASH_OK;
}

TEST(ZVCrashNoAllocationCrashPath, DwarfFindParseRunAndApply) {
    LiveImages images;
    ASSERT_NE(nullptr, images.libc);
    DwarfRun run{&images, {}, 0};
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_current(runDwarf, &run));
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(ZVCRASH_OK, run.results[i]) << "step " << i;
    EXPECT_EQ(kReturnAddress, run.callerIp);

    // An expression over simulated memory: 7 pushed, 5 added by its code.
    SimulatedTask task;
    constexpr uint64_t kCode = 0x4000;
    const std::vector<uint8_t> code = {0x35 /* lit5 */, 0x22 /* plus */};
    task.map(kCode, code);
    zvcrash_async_mobject mobj;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&mobj, task.task(), kCode, code.size(), true));
    zvcrash_async_thread_state state;
    zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86_64);
    const P initial[] = {7};
    P result = 0;
    zvcrash_error_t evaluated;
    {
        NoAllocation shut;
        evaluated = zvcrash::async::zvcrash_async_dwarf_expression_eval<P, S>(
            &mobj, task.task(), &state, zvcrash_async_byteorder_direct(), kCode, 0, static_cast<int64_t>(code.size()), initial, 1, &result);
    }
    zvcrash_async_mobject_free(&mobj);
    EXPECT_EQ(ZVCRASH_OK, evaluated);
    EXPECT_EQ(12u, result);
}

TEST(ZVCrashNoAllocationCrashPath, CompactUnwind) {
    // A frame-based function at 0x100 that saves nothing but the frame pointer.
    constexpr uint32_t kFrameBased = 0x01000000;
    const auto bytes = CompactUnwindSectionBuilder().regularPage(0x100, {{0x100, kFrameBased}}).sentinel(0x200).build();
    SimulatedTask task;
    constexpr uint64_t kSection = 0x8000, kStack = 0x20000;
    task.map(kSection, bytes);
    // The frame: saved rbp, then the return address.
    std::vector<uint8_t> stack(16);
    const uint64_t savedRbp = kStack + 0x100, returnAddress = 0x7777;
    std::memcpy(stack.data(), &savedRbp, 8);
    std::memcpy(stack.data() + 8, &returnAddress, 8);
    task.map(kStack, stack);
    zvcrash_async_mobject section;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&section, task.task(), kSection, bytes.size(), true));
    zvcrash_async_thread_state current, caller;
    zvcrash_async_thread_state_init(&current, ZVCRASH_THREAD_STATE_CPU_X86_64);
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_REG_IP, 0x1120);
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_REG_SP, kStack - 0x40);
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_REG_FP, kStack);
    zvcrash_error_t results[4] = {};
    uint32_t functionOffset = 0, encoding = 0, sum = 0;
    {
        NoAllocation shut;
        zvcrash_async_cfe_reader reader;
        results[0] = zvcrash_async_cfe_reader_init(&reader, &section, kX86_64);
        results[1] = zvcrash_async_cfe_reader_find_pc(&reader, 0x120, &functionOffset, &encoding);
        zvcrash_async_cfe_entry entry;
        results[2] = zvcrash_async_cfe_entry_init(&entry, kX86_64, encoding);
        uint32_t registers[ZVCRASH_CFE_SAVED_REGISTER_MAX];
        sum += zvcrash_async_cfe_entry_type(&entry) + static_cast<uint32_t>(zvcrash_async_cfe_entry_stack_offset(&entry)) +
               zvcrash_async_cfe_entry_stack_adjust(&entry) + zvcrash_async_cfe_entry_return_address_register(&entry) +
               zvcrash_async_cfe_entry_register_count(&entry);
        zvcrash_async_cfe_entry_register_list(&entry, registers);
        const uint32_t order[3] = {1, 3, 5};
        uint32_t decoded[6];
        sum += zvcrash_async_cfe_register_decode(zvcrash_async_cfe_register_encode(order, 3), 3, decoded) == ZVCRASH_OK ? decoded[1] : 0;
        results[3] = zvcrash_async_cfe_entry_apply(task.task(), 0x1000 + functionOffset, &current, &entry, &caller);
        zvcrash_async_cfe_entry_free(&entry);
        zvcrash_async_cfe_reader_free(&reader);
    }
    zvcrash_async_mobject_free(&section);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(ZVCRASH_OK, results[i]) << "call " << i;
    EXPECT_EQ(0x100u, functionOffset);
    EXPECT_EQ(kFrameBased, encoding);
    EXPECT_NE(0u, sum);
    EXPECT_EQ(returnAddress, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_REG_IP));
    EXPECT_EQ(savedRbp, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_REG_FP));
}

// A live walk of the calling thread, with the default readers and with each reader alone.
struct Walk {
    zvcrash_async_image_list* list;
    uint32_t frames;
    uint32_t singleReaderSteps;
};

zvcrash_error_t walkLive(zvcrash_async_thread_state* state, void* context) {
    auto* walk = static_cast<Walk*>(context);
    NoAllocation shut;
    zvcrash_async_frame_cursor cursor;
    zvcrash_async_frame_cursor_init(&cursor, zvcrash_async_task_self(), state, walk->list);
    uint64_t sum = 0;
    while (walk->frames < 256 && zvcrash_async_frame_cursor_next(&cursor) == ZVCRASH_FRAME_OK) {
        ++walk->frames;
        uint64_t ip = 0;
        if (zvcrash_async_frame_cursor_get_reg(&cursor, ZVCRASH_REG_IP, &ip) == ZVCRASH_FRAME_OK) sum += ip;
        sum += zvcrash_async_frame_cursor_get_regname(&cursor, ZVCRASH_REG_IP)[0] + zvcrash_async_frame_cursor_get_regcount(&cursor);
    }
    zvcrash_async_frame_cursor_free(&cursor);
    const zvcrash_async_frame_reader readers[] = {zvcrash_async_frame_read_compact_unwind, zvcrash_async_frame_read_dwarf_unwind,
                                                  zvcrash_async_frame_read_frame_pointer};
    for (const auto reader : readers) {
        zvcrash_async_frame_cursor_init(&cursor, zvcrash_async_task_self(), state, walk->list);
        for (int i = 0; i < 4 && zvcrash_async_frame_cursor_next_with_readers(&cursor, &reader, 1) == ZVCRASH_FRAME_OK; ++i)
            ++walk->singleReaderSteps;
        zvcrash_async_frame_cursor_free(&cursor);
    }
    sum += zvcrash_async_frame_strerror(ZVCRASH_FRAME_ERR_NO_FRAME)[0];
    return sum != 0 ? ZVCRASH_OK : ZVCRASH_ERR_INTERNAL;
}

TEST(ZVCrashNoAllocationCrashPath, FrameCursorWalksTheLiveStack) {
    LiveImages images;
    Walk walk{&images.list, 0, 0};
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_current(walkLive, &walk));
    // This test's frame, gtest's frames and main at least.
    EXPECT_GT(walk.frames, 4u);
    // Each reader's first step gives the initial state; DWARF and frame pointers go on.
    EXPECT_GT(walk.singleReaderSteps, 3u);
}

TEST(ZVCrashNoAllocationCrashPath, ThreadRendezvousStopsReadsAndWalksAParkedThread) {
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_rendezvous_prepare(0));
    LiveImages images;
    ParkedThreads parked(1);
    const pid_t target = parked.id(0);
    zvcrash_error_t suspended = ZVCRASH_ERR_UNKNOWN, cursorInit = ZVCRASH_ERR_UNKNOWN;
    bool answered = false;
    uint32_t frames = 0;
    uint64_t sum = 0;
    {
        NoAllocation shut;
        sum += zvcrash_async_thread_rendezvous_signal() + zvcrash_async_thread_slot_answered_word(target);
        suspended = zvcrash_async_thread_rendezvous_suspend();
        for (uint32_t i = 0; i < zvcrash_async_thread_rendezvous_count(); ++i) {
            if (zvcrash_async_thread_rendezvous_thread(i) != target) continue;
            answered = zvcrash_async_thread_rendezvous_answered(i);
            zvcrash_async_frame_cursor cursor;
            cursorInit = zvcrash_async_frame_cursor_thread_init(&cursor, zvcrash_async_task_self(), target, &images.list);
            if (cursorInit == ZVCRASH_OK) {
                while (frames < 64 && zvcrash_async_frame_cursor_next(&cursor) == ZVCRASH_FRAME_OK) ++frames;
                zvcrash_async_frame_cursor_free(&cursor);
            }
        }
        zvcrash_async_thread_rendezvous_resume();
    }
    EXPECT_TRUE(parked.releaseAndJoin());
    EXPECT_EQ(ZVCRASH_OK, suspended);
    EXPECT_TRUE(answered);
    EXPECT_EQ(ZVCRASH_OK, cursorInit);
    EXPECT_GT(frames, 1u);
    EXPECT_NE(0u, sum);
}

TEST(ZVCrashNoAllocationCrashPath, SymbolLookUpAndSignalTables) {
    LiveImages images;
    ASSERT_NE(nullptr, images.libc);
    uint64_t sums[2] = {};
    zvcrash_error_t results[2] = {};
    const char* names[2] = {};
    char number[ZVCRASH_ASYNC_SIGNAL_NUMBER_TEXT_SIZE];
    const char* text = nullptr;
    {
        NoAllocation shut;
        zvcrash_async_symbol_cache cache;
        zvcrash_async_symbol_cache_init(&cache);
        results[0] = zvcrash_async_find_symbol(images.libc, ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, &cache, images.getpidAddress + 1,
                                               countSymbol, &sums[0]);
        results[1] = zvcrash_async_find_symbol(images.libc, ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE | ZVCRASH_SYMBOL_STRATEGY_OBJC, &cache,
                                               images.getpidAddress + 1, countSymbol, &sums[1]);
        zvcrash_async_symbol_cache_free(&cache);
        names[0] = zvcrash_async_signal_signame(SIGSEGV);
        names[1] = zvcrash_async_signal_sigcode(SIGSEGV, SEGV_MAPERR);
        text = zvcrash_async_signal_number_text(INT32_MIN, number);
    }
    EXPECT_EQ(ZVCRASH_OK, results[0]);
    EXPECT_EQ(ZVCRASH_OK, results[1]);
    // getpid's address, and a name's first letter.
    EXPECT_GT(sums[0], images.getpidAddress);
    EXPECT_LT(sums[0], images.getpidAddress + 128);
    EXPECT_EQ(sums[0], sums[1]);
    EXPECT_STREQ("SIGSEGV", names[0]);
    EXPECT_STREQ("SEGV_MAPERR", names[1]);
    EXPECT_STREQ("#-2147483648", text);
}

void countMethod(bool isClassMethod, zvcrash_async_macho_string* className, zvcrash_async_macho_string* methodName, uint64_t imp,
                 void* context) {
    auto* sum = static_cast<uint64_t*>(context);
    const char* name = nullptr;
    size_t length = 0;
    if (zvcrash_async_macho_string_get_pointer(className, &name) == ZVCRASH_OK) *sum += static_cast<unsigned char>(name[0]);
    if (zvcrash_async_macho_string_get_length(methodName, &length) == ZVCRASH_OK) *sum += length;
    *sum += imp + isClassMethod;
}

TEST(ZVCrashNoAllocationCrashPath, ClassMetadataAndItsSymbolLookUp) {
    constexpr uint64_t kHeader = 0x10000000, kHeap = 0x30000000;
    ClassMetadataBuilder builder(true);
    builder.addClass({"Engine", {{"start", 0x10002000}}, {{"shared", 0x10002100}}});
    MachOFixtureBuilder machO(MachOFixtureBuilder::Width::Bits64, MachOFixtureBuilder::Order::Host);
    machO.symbol("_engine_start", 0x2000);
    SimulatedTask task;
    zvcrash::testing::placeBlocks(task, zvcrash::testing::imageWithClassMetadata(machO, kHeader, builder, kHeap));
    zvcrash_async_image image;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_image_init(&image, task.task(), "fixture", kHeader));
    uint64_t sums[3] = {};
    zvcrash_error_t results[3] = {};
    {
        NoAllocation shut;
        zvcrash_async_objc_cache objc;
        zvcrash_async_objc_cache_init(&objc);
        results[0] = zvcrash_async_objc_parse(&image.macho, &objc, countMethod, &sums[0]);
        results[1] = zvcrash_async_objc_find_method(&image.macho, &objc, 0x10002110, countMethod, &sums[1]);
        zvcrash_async_objc_cache_release_mapping(&objc);
        zvcrash_async_objc_cache_free(&objc);
        zvcrash_async_symbol_cache cache;
        zvcrash_async_symbol_cache_init(&cache);
        results[2] = zvcrash_async_find_symbol(&image, ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE | ZVCRASH_SYMBOL_STRATEGY_OBJC, &cache,
                                               0x10002010, countSymbol, &sums[2]);
        zvcrash_async_symbol_cache_free(&cache);
    }
    zvcrash_async_image_free(&image);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(ZVCRASH_OK, results[i]) << "call " << i;
    EXPECT_GT(sums[0], 0x10002000u + 0x10002100u);
    EXPECT_GT(sums[1], 0x10002100u);
    // "-[Engine start]" at the method's address.
    EXPECT_EQ(0x10002000u + '-', sums[2]);
}

int32_t takeRaise(void* context, uint32_t, uint32_t, uint32_t, int32_t, const int32_t*, uint32_t) {
    ++*static_cast<int*>(context);
    return ZVCRASH_KERN_SUCCESS;
}

TEST(ZVCrashNoAllocationCrashPath, ExceptionMappingForwardingAndRequests) {
    const int64_t codes[] = {1, 0x7ffdeadbeef0};
    zvcrash_mach_exception_port_set set{};
    set.count = 1;
    set.masks[0] = 1u << ZVCRASH_EXC_BAD_ACCESS;
    set.ports[0] = 0x200;
    set.behaviors[0] = ZVCRASH_EXCEPTION_DEFAULT;
    set.flavors[0] = 7;
    int raised = 0;
    zvcrash_mach_exception_raisers raisers{};
    raisers.context = &raised;
    raisers.raise = takeRaise;
    // A request with two codes, as the server port receives it.
    uint8_t message[84] = {};
    const uint32_t header[] = {0x80001112, sizeof message, 0x777};
    std::memcpy(message, header, sizeof header);
    const uint32_t id = 2405, type = ZVCRASH_EXC_BAD_ACCESS, count = 2;
    std::memcpy(message + 20, &id, 4);
    std::memcpy(message + 60, &type, 4);
    std::memcpy(message + 64, &count, 4);
    std::memcpy(message + 68, codes, sizeof codes);
    bool mapped = false;
    int32_t forwarded = -1;
    zvcrash_mach_request_result decoded = ZVCRASH_MACH_REQUEST_DROP;
    int64_t address = 0;
    uint8_t reply[ZVCRASH_MACH_EXCEPTION_REPLY_SIZE] = {};
    {
        NoAllocation shut;
        zvcrash_async_siginfo info;
        mapped = zvcrash_async_mach_exception_get_siginfo(ZVCRASH_EXC_BAD_ACCESS, codes, 2, kX86_64, &info);
        forwarded = zvcrash_mach_exception_forward(1, 2, ZVCRASH_EXC_BAD_ACCESS, codes, 2, &set, &raisers);
        zvcrash_mach_exception_request request;
        decoded = zvcrash_mach_exception_request_decode(message, sizeof message, &request);
        if (decoded == ZVCRASH_MACH_REQUEST_OK) {
            address = zvcrash_mach_exception_request_code(&request, 1);
            zvcrash_exception_server_reply(&request, ZVCRASH_KERN_SUCCESS, reply);
        }
    }
    EXPECT_TRUE(mapped);
    EXPECT_EQ(ZVCRASH_KERN_SUCCESS, forwarded);
    EXPECT_EQ(1, raised);
    EXPECT_EQ(ZVCRASH_MACH_REQUEST_OK, decoded);
    EXPECT_EQ(codes[1], address);
    EXPECT_NE(0, reply[0]);
}

// The chain head passes the signal on, the second callback too, and the forwarder hands it to
// the action installed before ours.
char chainSteps[8];
size_t chainCount = 0;

bool headCallback(int signo, siginfo_t* info, void* uap, void*, zvcrash_signal_handler_callback* next) {
    chainSteps[chainCount++] = 'h';
    return zvcrash_signal_callback_invoke(next, signo, info, uap);
}
bool secondCallback(int signo, siginfo_t* info, void* uap, void*, zvcrash_signal_handler_callback* next) {
    chainSteps[chainCount++] = 's';
    return zvcrash_signal_callback_invoke(next, signo, info, uap);
}
void earlierAction(int, siginfo_t*, void*) { chainSteps[chainCount++] = 'e'; }

TEST(ZVCrashNoAllocationCrashPath, SignalHandlerDispatchesTheChain) {
    struct sigaction earlier {};
    earlier.sa_sigaction = earlierAction;
    earlier.sa_flags = SA_SIGINFO;
    sigemptyset(&earlier.sa_mask);
    struct sigaction original {};
    ASSERT_EQ(0, sigaction(SIGUSR2, &earlier, &original));
    zvcrash_async_signal_handler_append_forwarder();
    zvcrash_async_signal_handler_prepend_callback(secondCallback, nullptr);
    zvcrash_async_signal_handler_prepend_callback(headCallback, nullptr);
    ASSERT_TRUE(zvcrash_async_signal_handler_install(SIGUSR2));
    siginfo_t info{};
    info.si_signo = SIGUSR2;
    ucontext_t context{};
    getcontext(&context);
    bool installed = false;
    chainCount = 0;
    {
        NoAllocation shut;
        installed = zvcrash_async_signal_handler_is_installed(SIGUSR2);
        zvcrash_async_signal_handler_entry(SIGUSR2, &info, &context);
    }
    zvcrash_async_signal_handler_reset();
    sigaction(SIGUSR2, &original, nullptr);
    EXPECT_TRUE(installed);
    EXPECT_EQ("hse", std::string(chainSteps, chainCount));
}

// Nothing registered a callback yet: the entry finds the chain empty and lets the default action
// end the process. Run in a fresh copy of the program so that no other test made the lists.
TEST(ZVCrashNoAllocationCrashPathDeathTest, SignalBeforeAnyCallbackIsRegistered) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            siginfo_t info{};
            info.si_signo = SIGUSR1;
            NoAllocation shut;
            zvcrash_async_signal_handler_entry(SIGUSR1, &info, nullptr);
        },
        ::testing::KilledBySignal(SIGUSR1), "");
}

// The report of this live process (two parked threads beside the writer, an exception and custom
// data recorded) written into a file.
struct LiveWrite {
    zvcrash_log_writer_t* writer;
    zvcrash_async_image_list* list;
    zvcrash_async_file* file;
    zvcrash_error_t written;
    zvcrash_error_t closed;
    bool liveThreads;
};

zvcrash_error_t writeLive(zvcrash_async_thread_state* state, void* context) {
    auto* live = static_cast<LiveWrite*>(context);
    NoAllocation shut;
    live->liveThreads = zvcrash_log_writer_live_threads() != nullptr;
    const zvcrash_log_crash_info crash = {{SIGSEGV, SEGV_MAPERR, 0x10}, nullptr};
    live->written = zvcrash_log_writer_write(live->writer, zvcrash_async_current_thread_port(), live->list, live->file, &crash, state);
    live->closed = zvcrash_log_writer_close(live->writer);
    if (!zvcrash_async_file_close(live->file)) live->closed = ZVCRASH_ERR_OUTPUT;
    return ZVCRASH_OK;
}

TEST(ZVCrashNoAllocationCrashPath, ReportWriterWritesALiveReport) {
    LiveImages images;
    ParkedThreads parked(2);
    zvcrash_log_writer_t writer;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_log_writer_init(&writer, "app.velmo.noalloc", "1", "1.0",
                                                  ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE | ZVCRASH_SYMBOL_STRATEGY_OBJC, false));
    const uint64_t returns[] = {images.getpidAddress + 1, images.getpidAddress + 2};
    zvcrash_log_writer_set_exception(&writer, "NoAllocationException", "a reason", returns, 2);
    const uint8_t custom[] = {1, 2, 3};
    zvcrash_log_writer_set_custom_data(&writer, custom, sizeof custom);
    char path[] = "/tmp/velmo_noalloc_report.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    zvcrash_async_file file;
    zvcrash_async_file_init(&file, fd, 0);
    LiveWrite live{&writer, &images.list, &file, ZVCRASH_ERR_UNKNOWN, ZVCRASH_ERR_UNKNOWN, false};
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_current(writeLive, &live));
    struct stat written {};
    EXPECT_EQ(0, stat(path, &written));
    unlink(path);
    zvcrash_log_writer_free(&writer);
    EXPECT_TRUE(parked.releaseAndJoin());
    EXPECT_EQ(ZVCRASH_OK, live.written);
    EXPECT_EQ(ZVCRASH_OK, live.closed);
    EXPECT_TRUE(live.liveThreads);
    // Three threads' stacks, the registers and every image: far more than a header.
    EXPECT_GT(written.st_size, 1024);
}

}  // namespace
