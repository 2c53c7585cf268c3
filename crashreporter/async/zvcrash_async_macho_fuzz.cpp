// Bytes as a Mach-O image in a simulated task: every reader must stay inside what the task holds
// and inside its own mappings, whatever the load commands and tables claim.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_image.h"
#include "crashreporter/async/zvcrash_async_macho.h"

namespace {
void ignore(uint64_t, const char* name, void* context) { *static_cast<size_t*>(context) += name[0]; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr uint64_t kHeader = 0x10000000;
    zvcrash::testing::SimulatedTask task;
    task.map(kHeader, std::vector<uint8_t>(data, data + size));

    zvcrash_async_image image;
    if (zvcrash_async_image_init(&image, task.task(), "/fuzz", kHeader) != ZVCRASH_OK) return 0;
    if (image.format != ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO) {
        zvcrash_async_image_free(&image);
        return 0;
    }
    const zvcrash_async_macho* macho = &image.macho;
    size_t sink = 0;
    for (const void* cmd = zvcrash_async_macho_next_command(macho, nullptr); cmd != nullptr;
         cmd = zvcrash_async_macho_next_command(macho, cmd))
        ++sink;

    for (const char* segname : {"__TEXT", "__DATA", "__LINKEDIT"}) {
        zvcrash_async_macho_segment segment;
        if (zvcrash_async_macho_map_segment(macho, segname, &segment) == ZVCRASH_OK) zvcrash_async_macho_mapped_segment_free(&segment);
    }
    for (auto role :
         {ZVCRASH_ASYNC_IMAGE_SECTION_UNWIND_INFO, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME, ZVCRASH_ASYNC_IMAGE_SECTION_DEBUG_FRAME}) {
        zvcrash_async_mobject mobj;
        if (zvcrash_async_image_map_section(&image, role, &mobj) == ZVCRASH_OK) zvcrash_async_mobject_free(&mobj);
    }
    uint8_t uuid[16];
    zvcrash_async_image_uuid(&image, uuid);
    for (uint64_t pc : {kHeader, kHeader + 0x40, kHeader + size / 2, kHeader + size})
        zvcrash_async_image_find_symbol_by_pc(&image, pc, &ignore, &sink);
    uint64_t address;
    zvcrash_async_macho_find_symbol_by_name(macho, "_main", &address);

    zvcrash_async_macho_symtab_reader reader;
    if (zvcrash_async_macho_symtab_reader_init(&reader, macho) == ZVCRASH_OK) {
        for (uint32_t i = 0; i < reader.nsyms && i < 64; ++i) {
            const auto entry = zvcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
            if (const char* name = zvcrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx)) sink += name[0];
        }
        zvcrash_async_macho_symtab_reader_free(&reader);
    }

    zvcrash_async_macho_string string;
    zvcrash_async_macho_string_init(&string, macho, kHeader + (size > 8 ? size - 8 : 0));
    size_t length;
    zvcrash_async_macho_string_get_length(&string, &length);
    zvcrash_async_macho_string_free(&string);

    zvcrash_async_image_free(&image);
    return static_cast<int>(sink & 0);
}
