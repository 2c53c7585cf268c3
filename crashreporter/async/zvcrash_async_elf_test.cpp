#include "crashreporter/async/zvcrash_async_elf.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/auxv.h>

#include <cstring>
#include <string>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"

namespace {

using zvcrash::testing::SimulatedTask;

constexpr uint64_t kCopy = 0x50000000;

// The vDSO as it lies in memory: a real loaded ELF image small enough to copy into a simulated task.
std::vector<uint8_t> vdsoBytes(uint64_t* size) {
    const uint64_t base = getauxval(AT_SYSINFO_EHDR);
    zvcrash_async_elf live;
    if (base == 0 || zvcrash_async_elf_init(&live, zvcrash_async_task_self(), "[vdso]", base) != ZVCRASH_OK) return {};
    *size = live.mapped_end - live.mapped_start;
    zvcrash_async_elf_free(&live);
    const auto* start = reinterpret_cast<const uint8_t*>(base);
    return std::vector<uint8_t>(start, start + *size);
}

TEST(ZVCrashElf, AMovedCopyOfAnImageReadsTheSameRelativeToItsBase) {
    uint64_t size = 0;
    const std::vector<uint8_t> bytes = vdsoBytes(&size);
    ASSERT_FALSE(bytes.empty());
    const uint64_t base = getauxval(AT_SYSINFO_EHDR);
    zvcrash_async_elf live;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_init(&live, zvcrash_async_task_self(), "[vdso]", base));

    SimulatedTask task;
    task.map(kCopy, bytes);
    zvcrash_async_elf copy;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_init(&copy, task.task(), "copy", kCopy));
    EXPECT_STREQ("copy", copy.path);
    EXPECT_EQ(live.size, copy.size);
    EXPECT_EQ(live.dynsym_count, copy.dynsym_count);
    EXPECT_NE(0u, copy.dynsym_count);
    EXPECT_EQ(live.dynsym - base, copy.dynsym - kCopy);
    EXPECT_EQ(live.eh_frame - base, copy.eh_frame - kCopy);
    ASSERT_EQ(live.build_id_size, copy.build_id_size);
    EXPECT_EQ(0, std::memcmp(live.build_id, copy.build_id, live.build_id_size));

    uint64_t liveAddress = 0, copyAddress = 0;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_find_symbol_by_name(&live, "__vdso_clock_gettime", &liveAddress));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_find_symbol_by_name(&copy, "__vdso_clock_gettime", &copyAddress));
    EXPECT_EQ(liveAddress - base, copyAddress - kCopy);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_elf_find_symbol_by_name(&copy, "__vdso_nothing", &copyAddress));

    std::string name;
    auto keep = [](uint64_t, const char* found, void* context) { *static_cast<std::string*>(context) = found; };
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_find_symbol_by_pc(&copy, kCopy + (liveAddress - base) + 1, keep, &name));
    EXPECT_NE(std::string::npos, name.find("clock_gettime"));
    // Below the first function there is nothing to name.
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_elf_find_symbol_by_pc(&copy, kCopy, keep, &name));

    zvcrash_async_mobject frames;
    if (copy.eh_frame != 0) {
        ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_map_eh_frame(&copy, &frames));
        EXPECT_EQ(copy.eh_frame, zvcrash_async_mobject_base_address(&frames));
        zvcrash_async_mobject_free(&frames);
    }
    zvcrash_async_elf_free(&copy);
    zvcrash_async_elf_free(&live);
}

// What the crash path reads of an image: a symbol by pc and the first bytes of each frame table.
struct CrashReads {
    zvcrash_error_t symbol = ZVCRASH_ERR_UNKNOWN;
    std::string name;
    uint64_t address = 0;
    std::vector<uint8_t> frames, index;
};

CrashReads crashReads(const zvcrash_async_elf* elf, uint64_t pc) {
    CrashReads reads;
    auto keep = [](uint64_t address, const char* found, void* context) {
        static_cast<CrashReads*>(context)->name = found;
        static_cast<CrashReads*>(context)->address = address;
    };
    reads.symbol = zvcrash_async_elf_find_symbol_by_pc(elf, pc, keep, &reads);
    auto firstBytes = [](const zvcrash_async_mobject& mobj) {
        const auto* start = reinterpret_cast<const uint8_t*>(mobj.address);
        return std::vector<uint8_t>(start, start + (mobj.length < 64 ? mobj.length : 64));
    };
    zvcrash_async_mobject mobj;
    if (zvcrash_async_elf_map_eh_frame(elf, &mobj) == ZVCRASH_OK) {
        reads.frames = firstBytes(mobj);
        zvcrash_async_mobject_free(&mobj);
    }
    if (zvcrash_async_elf_map_eh_frame_hdr(elf, &mobj) == ZVCRASH_OK) {
        reads.index = firstBytes(mobj);
        zvcrash_async_mobject_free(&mobj);
    }
    return reads;
}

TEST(ZVCrashElf, TablesAreCopiedWhenTheImageIsReadAndLookupsGiveWhatTheTaskGives) {
    uint64_t size = 0;
    const std::vector<uint8_t> bytes = vdsoBytes(&size);
    ASSERT_FALSE(bytes.empty());
    SimulatedTask task;
    task.map(kCopy, bytes);
    zvcrash_async_elf elf;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_init(&elf, task.task(), "copy", kCopy));
    ASSERT_NE(0u, elf.dynsym_copy.length);
    ASSERT_NE(0u, elf.dynstr_copy.length);
    ASSERT_NE(0u, elf.eh_frame_copy.length);
    ASSERT_NE(0u, elf.eh_frame_hdr_copy.length);
    uint64_t function = 0;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_find_symbol_by_name(&elf, "__vdso_clock_gettime", &function));

    const CrashReads copied = crashReads(&elf, function + 1);
    ASSERT_EQ(ZVCRASH_OK, copied.symbol);
    EXPECT_NE(std::string::npos, copied.name.find("clock_gettime"));
    EXPECT_EQ(function, copied.address);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + (elf.eh_frame - kCopy), bytes.begin() + (elf.eh_frame - kCopy) + 64), copied.frames);
    // Views of the copies own nothing: reading them twice gives the same bytes.
    EXPECT_EQ(copied.index, crashReads(&elf, function + 1).index);

    // Without the task's memory the copies still answer, the same way.
    task.unmap(kCopy);
    const CrashReads unmapped = crashReads(&elf, function + 1);
    EXPECT_EQ(copied.symbol, unmapped.symbol);
    EXPECT_EQ(copied.name, unmapped.name);
    EXPECT_EQ(copied.frames, unmapped.frames);
    EXPECT_EQ(copied.index, unmapped.index);

    // A record without copies reads the task and gives the same answers.
    task.map(kCopy, bytes);
    zvcrash_async_elf uncopied = elf;
    uncopied.dynsym_copy = {};
    uncopied.dynstr_copy = {};
    uncopied.eh_frame_copy = {};
    uncopied.eh_frame_hdr_copy = {};
    const CrashReads read = crashReads(&uncopied, function + 1);
    EXPECT_EQ(copied.symbol, read.symbol);
    EXPECT_EQ(copied.name, read.name);
    EXPECT_EQ(copied.address, read.address);
    EXPECT_EQ(copied.frames, read.frames);
    EXPECT_EQ(copied.index, read.index);
    zvcrash_async_elf_free(&elf);
}

TEST(ZVCrashElf, DamagedHeadersAreRefused) {
    uint64_t size = 0;
    const std::vector<uint8_t> bytes = vdsoBytes(&size);
    ASSERT_FALSE(bytes.empty());
    ElfW(Ehdr) header;
    std::memcpy(&header, bytes.data(), sizeof(header));

    struct Case {
        const char* what;
        void (*patch)(std::vector<uint8_t>&, const ElfW(Ehdr) &);
        zvcrash_error_t expected;
    };
    const Case cases[] = {
        {"another class", [](std::vector<uint8_t>& b, const ElfW(Ehdr)&) { b[EI_CLASS] = ELFCLASS32; }, ZVCRASH_ERR_INVAL},
        {"another byte order", [](std::vector<uint8_t>& b, const ElfW(Ehdr)&) { b[EI_DATA] = ELFDATA2MSB; }, ZVCRASH_ERR_INVAL},
        {"no program headers", [](std::vector<uint8_t>& b, const ElfW(Ehdr)&) { std::memset(&b[offsetof(ElfW(Ehdr), e_phnum)], 0, 2); },
         ZVCRASH_ERR_INVAL},
        {"program headers outside the image",
         [](std::vector<uint8_t>& b, const ElfW(Ehdr)&) {
             const uint64_t far = 0x7fff0000;
             std::memcpy(&b[offsetof(ElfW(Ehdr), e_phoff)], &far, sizeof(far));
         },
         ZVCRASH_ERR_INVAL},
        {"no executable load",
         [](std::vector<uint8_t>& b, const ElfW(Ehdr) & h) {
             for (unsigned i = 0; i < h.e_phnum; ++i) {
                 auto* phdr = reinterpret_cast<ElfW(Phdr)*>(&b[h.e_phoff + i * sizeof(ElfW(Phdr))]);
                 phdr->p_flags &= ~PF_X;
             }
         },
         ZVCRASH_ERR_INVAL},
        {"truncated to the header", [](std::vector<uint8_t>& b, const ElfW(Ehdr)&) { b.resize(sizeof(ElfW(Ehdr))); }, ZVCRASH_ERR_INVAL},
        {"truncated inside the header", [](std::vector<uint8_t>& b, const ElfW(Ehdr)&) { b.resize(20); }, ZVCRASH_ERR_INTERNAL},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> patched = bytes;
        c.patch(patched, header);
        SimulatedTask task;
        task.map(kCopy, patched);
        zvcrash_async_elf elf;
        EXPECT_EQ(c.expected, zvcrash_async_elf_init(&elf, task.task(), "x", kCopy)) << c.what;
    }
}

TEST(ZVCrashElf, AnImageWithoutTablesHasNoSymbolsFramesOrUuid) {
    uint64_t size = 0;
    std::vector<uint8_t> bytes = vdsoBytes(&size);
    ASSERT_FALSE(bytes.empty());
    ElfW(Ehdr) header;
    std::memcpy(&header, bytes.data(), sizeof(header));
    // Keep the loads only.
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        auto* phdr = reinterpret_cast<ElfW(Phdr)*>(&bytes[header.e_phoff + i * sizeof(ElfW(Phdr))]);
        if (phdr->p_type != PT_LOAD) phdr->p_type = PT_NULL;
    }
    SimulatedTask task;
    task.map(kCopy, bytes);
    zvcrash_async_elf elf;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_elf_init(&elf, task.task(), "bare", kCopy));
    uint8_t uuid[16];
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_elf_uuid(&elf, uuid));
    zvcrash_async_mobject mobj;
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_elf_map_eh_frame(&elf, &mobj));
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_elf_map_eh_frame_hdr(&elf, &mobj));
    uint64_t address;
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, zvcrash_async_elf_find_symbol_by_name(&elf, "__vdso_clock_gettime", &address));
    zvcrash_async_elf_free(&elf);
}

}  // namespace
