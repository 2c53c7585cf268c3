// Any bytes as an "__unwind_info" section: the reader must refuse or answer, never read outside
// the mapping.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_cfe_entry.h"
#include "crashreporter/async/zvcrash_async_cfe_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    zvcrash::testing::SimulatedTask task;
    const uint64_t address = 0x10000;
    task.map(address, std::vector<uint8_t>(data, data + size));
    zvcrash_async_mobject section;
    if (zvcrash_async_mobject_init(&section, task.task(), address, size, true) != ZVCRASH_OK) return 0;
    for (uint32_t cpu : {7u, 0x1000007u, 0x100000cu}) {
        zvcrash_async_cfe_reader reader;
        if (zvcrash_async_cfe_reader_init(&reader, &section, cpu) != ZVCRASH_OK) continue;
        for (uint64_t pc : {uint64_t{0}, uint64_t{0x1000}, uint64_t{0x1234}, uint64_t{0xffffff}, UINT64_MAX}) {
            uint32_t function = 0, encoding = 0;
            if (zvcrash_async_cfe_reader_find_pc(&reader, pc, &function, &encoding) != ZVCRASH_OK) continue;
            zvcrash_async_cfe_entry entry;
            zvcrash_async_cfe_entry_init(&entry, cpu, encoding);
            zvcrash_async_cfe_entry_free(&entry);
        }
        zvcrash_async_cfe_reader_free(&reader);
    }
    zvcrash_async_mobject_free(&section);
    return 0;
}
