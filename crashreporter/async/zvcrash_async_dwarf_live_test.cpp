// Every FDE of this machine's libc, libstdc++ and this test's own executable, read through the
// crash-time reader from live memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "crashreporter/async/EhFrameTesting.h"
#include "crashreporter/async/zvcrash_async_dwarf_cfa_state.h"
#include "crashreporter/async/zvcrash_async_dwarf_frame_reader.h"

namespace {

using namespace zvcrash::async;
using zvcrash::testing::LiveEhFrame;

using Ptr = unsigned long long;
const zvcrash_async_byteorder* const kOrder = zvcrash_async_byteorder_direct();

struct Counts {
    size_t fdes = 0;
    size_t found = 0;
    size_t foundIndexed = 0;
    size_t empty = 0;
    size_t evaluated = 0;
    std::map<std::string, size_t> failures;
};

// The opcode a failing program stopped at, for the failure's name.
std::string describe(const char* where, zvcrash_error_t error) { return std::string(where) + ": " + zvcrash_async_strerror(error); }

Counts checkImage(const LiveEhFrame& image) {
    Counts counts;
    zvcrash_async_mobject section, hdr;
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&section, zvcrash_async_task_self(), image.ehFrame, image.ehFrameLength, true));
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&hdr, zvcrash_async_task_self(), image.ehFrameHdr, image.ehFrameHdrLength, true));
    zvcrash_async_dwarf_frame_reader reader;
    zvcrash_async_dwarf_frame_reader_init(&reader, &section, kOrder, true, false);

    uint64_t position = image.ehFrame;
    const uint64_t end = image.ehFrame + image.ehFrameLength;
    while (position + 4 <= end) {
        uint32_t length, id;
        if (zvcrash_async_mobject_read_uint32(&section, kOrder, position, 0, &length) != ZVCRASH_OK || length == 0) break;
        EXPECT_NE(0xffffffffu, length) << "64-bit entries are not expected in these images";
        zvcrash_async_mobject_read_uint32(&section, kOrder, position, 4, &id);
        const uint64_t entry = position;
        position += 4 + static_cast<uint64_t>(length);
        if (id == 0) continue;

        ++counts.fdes;
        zvcrash_async_dwarf_fde_info<Ptr> fde;
        zvcrash_error_t error = zvcrash_async_dwarf_fde_info_init(&fde, &section, kOrder, entry, false);
        if (error != ZVCRASH_OK) {
            ++counts.failures[describe("fde parse", error)];
            continue;
        }
        if (fde.pc_start == fde.pc_end) {
            ++counts.empty;
            continue;
        }

        zvcrash_async_dwarf_fde_info<Ptr> found;
        error = zvcrash_async_dwarf_frame_reader_find_fde(&reader, 0, static_cast<Ptr>(fde.pc_start), &found);
        if (error == ZVCRASH_OK && found.fde_offset == fde.fde_offset)
            ++counts.found;
        else
            ++counts.failures[describe("find_fde", error)];
        error = zvcrash_async_dwarf_frame_reader_find_fde_indexed(&reader, &hdr, static_cast<Ptr>(fde.pc_end - 1), &found);
        if (error == ZVCRASH_OK && found.fde_offset == fde.fde_offset)
            ++counts.foundIndexed;
        else
            ++counts.failures[describe("find_fde_indexed", error)];

        zvcrash_async_dwarf_cie_info<Ptr> cie;
        gnu_ehptr_reader<Ptr> ptr_reader(kOrder);
        error = zvcrash_async_dwarf_cie_info_init(&cie, &section, kOrder, &ptr_reader, image.ehFrame + fde.cie_offset);
        if (error != ZVCRASH_OK) {
            ++counts.failures[describe("cie parse", error)];
            continue;
        }
        bool ok = true;
        for (Ptr target : {static_cast<Ptr>(fde.pc_start), static_cast<Ptr>(fde.pc_end - 1)}) {
            dwarf_cfa_state<Ptr, long long> state;
            error = state.eval_program(&section, 0, fde.pc_start, &cie, &ptr_reader, kOrder, image.ehFrame, cie.initial_instructions_offset,
                                       cie.initial_instructions_length);
            if (error != ZVCRASH_OK) {
                ++counts.failures[describe("cie program", error)];
                ok = false;
                break;
            }
            error = state.eval_program(&section, target, fde.pc_start, &cie, &ptr_reader, kOrder, image.ehFrame, fde.instructions_offset,
                                       fde.instructions_length);
            if (error != ZVCRASH_OK) {
                ++counts.failures[describe("fde program", error)];
                ok = false;
                break;
            }
            if (state.get_cfa_rule().type == ZVCRASH_DWARF_CFA_RULE_TYPE_UNDEFINED) {
                ++counts.failures["no CFA rule"];
                ok = false;
                break;
            }
        }
        if (ok) ++counts.evaluated;
    }
    zvcrash_async_mobject_free(&hdr);
    zvcrash_async_mobject_free(&section);
    return counts;
}

void checkAndPrint(const char* name, const LiveEhFrame& image) {
    ASSERT_FALSE(image.path.empty()) << name << " is not loaded";
    const Counts counts = checkImage(image);
    std::printf("%s (%s): %zu FDEs, %zu empty, %zu found, %zu found through .eh_frame_hdr, %zu evaluated at start and end\n", name,
                image.path.c_str(), counts.fdes, counts.empty, counts.found, counts.foundIndexed, counts.evaluated);
    for (const auto& [failure, count] : counts.failures) std::printf("  %zu x %s\n", count, failure.c_str());
    EXPECT_GT(counts.fdes, 0u);
    EXPECT_TRUE(counts.failures.empty());
    EXPECT_EQ(counts.fdes - counts.empty, counts.found);
    EXPECT_EQ(counts.fdes - counts.empty, counts.foundIndexed);
    EXPECT_EQ(counts.fdes - counts.empty, counts.evaluated);
}

TEST(DwarfLive, EveryFdeOfLibc) { checkAndPrint("libc", zvcrash::testing::liveEhFrameOf("libc.so")); }

TEST(DwarfLive, EveryFdeOfLibstdcxx) { checkAndPrint("libstdc++", zvcrash::testing::liveEhFrameOf("libstdc++")); }

TEST(DwarfLive, EveryFdeOfThisExecutable) { checkAndPrint("executable", zvcrash::testing::liveEhFrameOf("/proc/self/exe")); }

}  // namespace
