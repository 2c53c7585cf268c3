// Bytes as a loaded ELF image in a simulated task: the record and its lookups must stay inside
// what the task holds, whatever the program headers, dynamic section and notes claim.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_elf.h"
#include "crashreporter/async/zvcrash_async_image.h"

namespace {
void ignore(uint64_t, const char* name, void* context) { *static_cast<size_t*>(context) += name[0]; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr uint64_t kHeader = 0x10000000;
    zvcrash::testing::SimulatedTask task;
    task.map(kHeader, std::vector<uint8_t>(data, data + size));

    zvcrash_async_elf elf;
    if (zvcrash_async_elf_init(&elf, task.task(), "/fuzz", kHeader) != ZVCRASH_OK) return 0;
    size_t sink = 0;
    zvcrash_async_mobject mobj;
    if (zvcrash_async_elf_map_eh_frame(&elf, &mobj) == ZVCRASH_OK) zvcrash_async_mobject_free(&mobj);
    if (zvcrash_async_elf_map_eh_frame_hdr(&elf, &mobj) == ZVCRASH_OK) zvcrash_async_mobject_free(&mobj);
    for (uint64_t pc : {kHeader, kHeader + 0x400, kHeader + size / 2, kHeader + elf.size - 1}) {
        zvcrash_async_elf_find_symbol_by_pc(&elf, pc, &ignore, &sink);
    }
    uint64_t address;
    zvcrash_async_elf_find_symbol_by_name(&elf, "__vdso_clock_gettime", &address);
    uint8_t uuid[16];
    zvcrash_async_elf_uuid(&elf, uuid);
    zvcrash_async_elf_contains_address(&elf, kHeader + size);
    zvcrash_async_elf_free(&elf);
    return static_cast<int>(sink & 0);
}
