// A loaded ELF image of the host's class and byte order, read from a task's memory: its extent,
// its unwind tables (through PT_GNU_EH_FRAME), its dynamic symbols (through PT_DYNAMIC) and its
// GNU build-id. Everything is located once by zvcrash_async_elf_init, outside the crash path,
// which also copies the read-only tables the crash path reads, so that unwinding and symbol
// lookups need no system call there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

constexpr size_t ZVCRASH_ELF_BUILD_ID_MAX = 64;

struct zvcrash_async_elf {
    zvcrash_async_task_t task;
    // Task address of the ELF header: the image's base.
    uint64_t header_addr;
    // What the loader added to every link-time address.
    uint64_t load_bias;
    // From the header to the end of the last executable PT_LOAD.
    uint64_t size;
    // Heap copy of the image's path.
    char* path;
    uint16_t machine;
    // The lowest and highest task addresses any PT_LOAD covers.
    uint64_t mapped_start;
    uint64_t mapped_end;
    // .eh_frame_hdr and .eh_frame (0 when absent); the frame table's size runs to the end of
    // the PT_LOAD that holds it, since ELF records no section sizes in memory.
    uint64_t eh_frame_hdr;
    uint64_t eh_frame_hdr_size;
    uint64_t eh_frame;
    uint64_t eh_frame_size;
    // .dynsym and .dynstr (0 when absent).
    uint64_t dynsym;
    uint32_t dynsym_count;
    uint64_t dynstr;
    uint64_t dynstr_size;
    uint8_t build_id[ZVCRASH_ELF_BUILD_ID_MAX];
    uint32_t build_id_size;
    // Copies of .eh_frame_hdr, .eh_frame, .dynsym and .dynstr taken by zvcrash_async_elf_init
    // (they live in read-only segments and do not change while the image is loaded). One that
    // could not be copied is left empty (length 0) and is read from the task instead.
    zvcrash_async_mobject eh_frame_hdr_copy;
    zvcrash_async_mobject eh_frame_copy;
    zvcrash_async_mobject dynsym_copy;
    zvcrash_async_mobject dynstr_copy;
};

// Receives a found symbol: its address in the task and its name (valid only during the call).
typedef void (*zvcrash_async_elf_found_symbol_cb)(uint64_t address, const char* name, void* context);

// Reads the image at header_address: ZVCRASH_ERR_INTERNAL when the header cannot be read,
// ZVCRASH_ERR_INVAL for anything that is not an ELF image of the host's class and order or has
// no executable PT_LOAD. Missing optional parts (unwind tables, symbols, build-id) are left 0.
// A failure holds nothing. Not safe at crash time: copies the path and the tables.
zvcrash_error_t zvcrash_async_elf_init(zvcrash_async_elf* elf, zvcrash_async_task_t task, const char* path, uint64_t header_address);
// Not safe at crash time: frees heap memory and the table copies.
void zvcrash_async_elf_free(zvcrash_async_elf* elf);

// header_addr <= address < header_addr + size. Safe at crash time.
bool zvcrash_async_elf_contains_address(const zvcrash_async_elf* elf, uint64_t address);

// Maps .eh_frame (as much of it as can be read); ZVCRASH_ERR_NOTFOUND without one. When the
// image holds a copy, the mapping is a view of it that owns nothing (freeing it is still right).
// Safe at crash time.
zvcrash_error_t zvcrash_async_elf_map_eh_frame(const zvcrash_async_elf* elf, zvcrash_async_mobject* mobj);
// Maps the whole .eh_frame_hdr (a view of the copy, as above); ZVCRASH_ERR_NOTFOUND without one.
// Safe at crash time.
zvcrash_error_t zvcrash_async_elf_map_eh_frame_hdr(const zvcrash_async_elf* elf, zvcrash_async_mobject* mobj);

// The defined function symbol nearest at or below pc (the first of equal addresses); a symbol
// whose recorded size ends at or below pc does not count as containing it. ZVCRASH_ERR_NOTFOUND
// when none. Safe at crash time.
zvcrash_error_t zvcrash_async_elf_find_symbol_by_pc(const zvcrash_async_elf* elf, uint64_t pc, zvcrash_async_elf_found_symbol_cb callback,
                                                    void* context);
// The address of the defined symbol with exactly this name. Safe at crash time.
zvcrash_error_t zvcrash_async_elf_find_symbol_by_name(const zvcrash_async_elf* elf, const char* name, uint64_t* address);

// The first 16 bytes of the build-id (zero-padded when shorter); ZVCRASH_ERR_NOTFOUND without one.
// Safe at crash time.
zvcrash_error_t zvcrash_async_elf_uuid(const zvcrash_async_elf* elf, uint8_t uuid[16]);

// The processor as a Mach-O CPU type and subtype (0 for a machine without one). Safe at crash time.
uint32_t zvcrash_async_elf_cpu_type(const zvcrash_async_elf* elf);
uint32_t zvcrash_async_elf_cpu_subtype(const zvcrash_async_elf* elf);
