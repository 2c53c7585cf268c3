// The crash reporter's lower layer: what runs while the process is crashing.
//
// Code here runs inside a signal handler, on a 64 KiB alternate stack, while the rest of the
// process is stopped or broken. The rules, for every file of crashreporter/async/:
// - no heap allocation (no malloc, new, std::string, std::vector, std::function);
// - no locks that another thread may hold, no stdio, no snprintf, no locale;
// - only async-signal-safe system calls; memory comes from the stack, from raw mmap, or from
//   areas prepared before the crash, when the reporter is enabled;
// - failures are returned as zvcrash_error_t codes, never thrown or logged.
// Each function says whether it is "Safe at crash time." or, when it is meant for set-up only,
// "Not safe at crash time" and why.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

// Result of every crash-time routine; 0 is success.
enum zvcrash_error_t : int {
    ZVCRASH_OK = 0,
    ZVCRASH_ERR_UNKNOWN = 1,
    ZVCRASH_ERR_OUTPUT = 2,
    ZVCRASH_ERR_NOMEM = 3,
    ZVCRASH_ERR_NOTSUP = 4,
    ZVCRASH_ERR_INVAL = 5,
    ZVCRASH_ERR_INTERNAL = 6,
    ZVCRASH_ERR_ACCESS = 7,
    ZVCRASH_ERR_NOTFOUND = 8,
    ZVCRASH_ERR_BADDATA = 9,
};

// The message of a code; "Unhandled error code" for any value outside the table.
// Safe at crash time.
const char* zvcrash_async_strerror(int error);

// Byte-order conversion of foreign data: each function turns a value as stored into host order.
struct zvcrash_async_byteorder {
    uint16_t (*swap16)(uint16_t);
    uint32_t (*swap32)(uint32_t);
    uint64_t (*swap64)(uint64_t);
};

// Safe at crash time (all six).
uint16_t zvcrash_async_byteorder_direct16(uint16_t value);
uint32_t zvcrash_async_byteorder_direct32(uint32_t value);
uint64_t zvcrash_async_byteorder_direct64(uint64_t value);
uint16_t zvcrash_async_byteorder_swap16(uint16_t value);
uint32_t zvcrash_async_byteorder_swap32(uint32_t value);
uint64_t zvcrash_async_byteorder_swap64(uint64_t value);

// The table for data in host order. Safe at crash time.
const zvcrash_async_byteorder* zvcrash_async_byteorder_direct();
// The table for data in the opposite order. Safe at crash time.
const zvcrash_async_byteorder* zvcrash_async_byteorder_swapped();

// base + offset into *out (when out is given); false, and nothing stored, when the sum would
// carry past the top of the address space or go below zero. Safe at crash time.
bool zvcrash_async_address_apply_offset(uint64_t base, int64_t offset, uint64_t* out);

// The kernel's id of the calling thread (gettid). Safe at crash time.
pid_t zvcrash_async_current_thread_port();

// A task: the address space whose memory the crash path reads. The real one is this process
// (zvcrash_async_task_self); tests give a sparse simulated one. A plain record of function
// pointers so that nothing on the crash path needs a virtual call through heap objects.
struct zvcrash_async_task {
    // Copies length bytes at address into dest: 0, ZVCRASH_ERR_NOTFOUND when a byte lies on an
    // unmapped page, ZVCRASH_ERR_ACCESS when a byte is mapped but cannot be read.
    zvcrash_error_t (*read)(const zvcrash_async_task* task, uint64_t address, void* dest, size_t length);
    // The task's page size, a power of two.
    uint64_t page_size;
};
using zvcrash_async_task_t = const zvcrash_async_task*;

// This process, read with process_vm_readv; mincore tells an unmapped page from an unreadable
// one. Safe at crash time.
zvcrash_async_task_t zvcrash_async_task_self();

// Copies length bytes of the task's memory at address + offset into dest. An address that
// overflows gives ZVCRASH_ERR_NOMEM without touching the task. Safe at crash time.
zvcrash_error_t zvcrash_async_task_memcpy(zvcrash_async_task_t task, uint64_t address, int64_t offset, void* dest, size_t length);

// One task_memcpy of 1, 2, 4 or 8 bytes, passed through the byte-order table. Safe at crash time.
zvcrash_error_t zvcrash_async_task_read_uint8(zvcrash_async_task_t task, uint64_t address, int64_t offset, uint8_t* out);
zvcrash_error_t zvcrash_async_task_read_uint16(zvcrash_async_task_t task, const zvcrash_async_byteorder* byteorder, uint64_t address,
                                               int64_t offset, uint16_t* out);
zvcrash_error_t zvcrash_async_task_read_uint32(zvcrash_async_task_t task, const zvcrash_async_byteorder* byteorder, uint64_t address,
                                               int64_t offset, uint32_t* out);
zvcrash_error_t zvcrash_async_task_read_uint64(zvcrash_async_task_t task, const zvcrash_async_byteorder* byteorder, uint64_t address,
                                               int64_t offset, uint64_t* out);

// Byte-wise comparisons as unsigned characters; the difference of the first differing pair.
// Safe at crash time.
int zvcrash_async_strcmp(const char* a, const char* b);
int zvcrash_async_strncmp(const char* a, const char* b, size_t n);

// A plain byte loop: no library routine. Safe at crash time.
void* zvcrash_async_memcpy(void* dest, const void* src, size_t length);
// Library memset of the low 8 bits of value, called only for a non-zero length. Safe at crash time.
void* zvcrash_async_memset(void* dest, int value, size_t length);

// Writes every byte to fd, retrying a write interrupted by a signal; -1 on any other failure,
// including a write that wrote nothing. Safe at crash time.
ssize_t zvcrash_async_writen(int fd, const void* data, size_t length);
