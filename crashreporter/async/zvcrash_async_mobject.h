// A read-only, page-aligned copy of a range of task memory in our own address space, so that
// readers of foreign data (unwind tables, symbol tables, image headers) read through pointers
// verified against the mapping instead of one system call per field, and a damaged image cannot
// make the crash handler fault.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"

struct zvcrash_async_mobject {
    zvcrash_async_task_t task;
    // Local pointer to the first requested byte.
    uintptr_t address;
    // The requested start address in the task.
    uint64_t task_address;
    // Usable bytes from task_address: the request, or less when only part could be mapped.
    uint64_t length;
    // task_address - address, to translate task addresses to local ones.
    int64_t vm_slide;
    // The page-aligned local mapping (raw mmap), a whole number of pages.
    uintptr_t vm_address;
    uint64_t vm_length;
};

// Maps [task_address, + length). With require_full, every page must be readable; without it, a
// zero-length request fails with ZVCRASH_ERR_NOMEM, an unreadable first page fails with
// ZVCRASH_ERR_NOMEM and a later unreadable page cuts the mapping short. A failed init holds
// nothing. Safe at crash time (raw mmap and the task's reads).
zvcrash_error_t zvcrash_async_mobject_init(zvcrash_async_mobject* mobj, zvcrash_async_task_t task, uint64_t task_address, uint64_t length,
                                           bool require_full);

// Safe at crash time (the three getters).
uint64_t zvcrash_async_mobject_base_address(const zvcrash_async_mobject* mobj);
uint64_t zvcrash_async_mobject_length(const zvcrash_async_mobject* mobj);
zvcrash_async_task_t zvcrash_async_mobject_task(const zvcrash_async_mobject* mobj);

// Whether [pointer + offset, + length) lies inside the mapped bytes, without wrapping.
// Safe at crash time.
bool zvcrash_async_mobject_verify_local_pointer(const zvcrash_async_mobject* mobj, uintptr_t pointer, int64_t offset, size_t length);

// The local pointer of task address + offset when [that, + length) is mapped, else null.
// Safe at crash time.
void* zvcrash_async_mobject_remap_address(const zvcrash_async_mobject* mobj, uint64_t task_address, int64_t offset, size_t length);

// Reads through the mapping; ZVCRASH_ERR_INVAL when out of range. Safe at crash time.
zvcrash_error_t zvcrash_async_mobject_read_uint8(const zvcrash_async_mobject* mobj, uint64_t task_address, int64_t offset, uint8_t* out);
zvcrash_error_t zvcrash_async_mobject_read_uint16(const zvcrash_async_mobject* mobj, const zvcrash_async_byteorder* byteorder,
                                                  uint64_t task_address, int64_t offset, uint16_t* out);
zvcrash_error_t zvcrash_async_mobject_read_uint32(const zvcrash_async_mobject* mobj, const zvcrash_async_byteorder* byteorder,
                                                  uint64_t task_address, int64_t offset, uint32_t* out);
zvcrash_error_t zvcrash_async_mobject_read_uint64(const zvcrash_async_mobject* mobj, const zvcrash_async_byteorder* byteorder,
                                                  uint64_t task_address, int64_t offset, uint64_t* out);

// Unmaps. Safe at crash time.
void zvcrash_async_mobject_free(zvcrash_async_mobject* mobj);
