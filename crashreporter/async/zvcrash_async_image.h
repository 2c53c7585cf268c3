// One loaded image, whatever its format: what the unwinders, the symbolicator and the report
// writer ask of an image. Each operation switches on the format tag, so nothing here allocates
// or calls through heap objects.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_elf.h"
#include "crashreporter/async/zvcrash_async_macho.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

namespace zvcrash::async {
template <typename V>
struct async_list_node;
}

enum zvcrash_async_image_format : uint32_t {
    ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO = 1,
    ZVCRASH_ASYNC_IMAGE_FORMAT_ELF = 2,
};

// The tables a reader asks for by what they are for, not by their name in a format.
enum zvcrash_async_image_section : uint32_t {
    // Compact unwind (__TEXT,__unwind_info).
    ZVCRASH_ASYNC_IMAGE_SECTION_UNWIND_INFO = 1,
    // Call-frame information as loaded (__TEXT,__eh_frame; .eh_frame).
    ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME = 2,
    // Call-frame information of the debug format (__DWARF,__debug_frame; not loaded on ELF).
    ZVCRASH_ASYNC_IMAGE_SECTION_DEBUG_FRAME = 3,
    // The sorted index of .eh_frame (ELF only).
    ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME_HDR = 4,
};

typedef void (*zvcrash_async_image_found_symbol_cb)(uint64_t address, const char* name, void* context);

struct zvcrash_async_image {
    zvcrash_async_image_format format;
    union {
        zvcrash_async_macho macho;
        zvcrash_async_elf elf;
    };
    // The list node that holds this image, set before the image is published in a list, so that
    // the image after it is found in constant time.
    zvcrash::async::async_list_node<zvcrash_async_image*>* list_node;
};

// Reads the image at header_address, ELF or Mach-O by its magic; the codes of
// zvcrash_async_elf_init or zvcrash_async_macho_init. A failure holds nothing.
// Not safe at crash time: copies the path on the heap.
zvcrash_error_t zvcrash_async_image_init(zvcrash_async_image* image, zvcrash_async_task_t task, const char* path, uint64_t header_address);
// Not safe at crash time: frees heap memory.
void zvcrash_async_image_free(zvcrash_async_image* image);

// Safe at crash time (everything below).
bool zvcrash_async_image_contains_address(const zvcrash_async_image* image, uint64_t address);
// Maps the table of that role; ZVCRASH_ERR_NOTFOUND when the image has none.
zvcrash_error_t zvcrash_async_image_map_section(const zvcrash_async_image* image, zvcrash_async_image_section section,
                                                zvcrash_async_mobject* mobj);
// The best symbol at or below pc; the callback runs while the name is mapped.
zvcrash_error_t zvcrash_async_image_find_symbol_by_pc(const zvcrash_async_image* image, uint64_t pc,
                                                      zvcrash_async_image_found_symbol_cb callback, void* context);
// The image's 16-byte UUID (LC_UUID; the start of the GNU build-id); ZVCRASH_ERR_NOTFOUND without.
zvcrash_error_t zvcrash_async_image_uuid(const zvcrash_async_image* image, uint8_t uuid[16]);
uint32_t zvcrash_async_image_cpu_type(const zvcrash_async_image* image);
uint32_t zvcrash_async_image_cpu_subtype(const zvcrash_async_image* image);
const char* zvcrash_async_image_path(const zvcrash_async_image* image);
// The header's task address.
uint64_t zvcrash_async_image_base(const zvcrash_async_image* image);
// Bytes from the base that hold code (__TEXT; up to the end of the last executable PT_LOAD).
uint64_t zvcrash_async_image_size(const zvcrash_async_image* image);
zvcrash_async_task_t zvcrash_async_image_task(const zvcrash_async_image* image);
bool zvcrash_async_image_is_64bit(const zvcrash_async_image* image);
const zvcrash_async_byteorder* zvcrash_async_image_byteorder(const zvcrash_async_image* image);
