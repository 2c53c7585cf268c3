// Class metadata from a damaged image: the input is the image's memory as regions, each an
// 8-byte address, a 4-byte length and its bytes (little-endian); the first region holds the
// Mach-O header. Parsing and look-ups must end with a code, never a fault or a hang.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_image.h"
#include "crashreporter/async/zvcrash_async_symbol.h"

namespace {

void touchNames(bool, zvcrash_async_macho_string* className, zvcrash_async_macho_string* methodName, uint64_t, void*) {
    const char* pointer;
    size_t length;
    for (zvcrash_async_macho_string* name : {className, methodName}) {
        if (zvcrash_async_macho_string_get_pointer(name, &pointer) == ZVCRASH_OK &&
            zvcrash_async_macho_string_get_length(name, &length) == ZVCRASH_OK && length > 0) {
            volatile char last = pointer[length - 1];
            (void)last;
        }
    }
}

void touchSymbol(uint64_t, const char* name, void*) {
    volatile size_t length = std::strlen(name);
    (void)length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zvcrash::testing::SimulatedTask task;
    uint64_t header = 0;
    bool first = true;
    for (int regions = 0; regions < 16 && size >= 12; ++regions) {
        uint64_t address;
        uint32_t length;
        std::memcpy(&address, data, 8);
        std::memcpy(&length, data + 8, 4);
        data += 12;
        size -= 12;
        if (length > size) length = static_cast<uint32_t>(size);
        if (address + length < address) break;
        task.map(address, std::vector<uint8_t>(data, data + length));
        data += length;
        size -= length;
        if (first) header = address;
        first = false;
    }
    if (first) return 0;

    zvcrash_async_image image;
    if (zvcrash_async_image_init(&image, task.task(), "fuzz", header) != ZVCRASH_OK) return 0;
    zvcrash_async_symbol_cache cache;
    zvcrash_async_symbol_cache_init(&cache);
    if (image.format == ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO) zvcrash_async_objc_parse(&image.macho, &cache.objc, touchNames, nullptr);
    zvcrash_async_find_symbol(&image, ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE | ZVCRASH_SYMBOL_STRATEGY_OBJC, &cache, header + 0x2000,
                              touchSymbol, nullptr);
    zvcrash_async_symbol_cache_free(&cache);
    zvcrash_async_image_free(&image);
    return 0;
}
