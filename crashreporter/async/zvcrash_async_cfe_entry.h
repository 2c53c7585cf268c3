// One decoded compact unwind encoding, and how it turns a frame's registers into its caller's.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"

struct zvcrash_async_thread_state;

enum : uint32_t {
    ZVCRASH_CFE_FRAME_BASED = 1,
    ZVCRASH_CFE_FRAMELESS_IMMEDIATE = 2,
    ZVCRASH_CFE_FRAMELESS_INDIRECT = 3,
    ZVCRASH_CFE_DWARF = 4,
    ZVCRASH_CFE_NONE = 5,
};

// A register slot that holds nothing (its stack word is still skipped), or no return-address
// register (the return address is on the stack).
constexpr uint32_t ZVCRASH_CFE_NO_REGISTER = 0x7fffffff;
constexpr uint32_t ZVCRASH_CFE_SAVED_REGISTER_MAX = 10;

struct zvcrash_async_cfe_entry {
    uint32_t type;
    uint32_t cpu_type;
    // Frame based: offset of the saved registers from the frame pointer (negative). Frameless
    // immediate: the stack size. Frameless indirect: offset in the function of the 32-bit stack
    // size operand. DWARF: offset of the FDE in the image's frame information.
    int64_t stack_offset;
    // Frameless indirect: bytes added to the stack size read from the function.
    uint32_t stack_adjust;
    uint32_t return_address_register;
    uint32_t register_count;
    // Thread-state register numbers, or ZVCRASH_CFE_NO_REGISTER.
    uint32_t registers[ZVCRASH_CFE_SAVED_REGISTER_MAX];
};

// Decodes encoding for an x86, x86-64 or arm64 image: ZVCRASH_ERR_NOTSUP for another CPU type or
// an unknown mode, ZVCRASH_ERR_INVAL for a malformed register list. Safe at crash time.
zvcrash_error_t zvcrash_async_cfe_entry_init(zvcrash_async_cfe_entry* entry, uint32_t cpu_type, uint32_t encoding);
// Nothing to release. Safe at crash time.
void zvcrash_async_cfe_entry_free(zvcrash_async_cfe_entry* entry);

// Safe at crash time (the six getters).
uint32_t zvcrash_async_cfe_entry_type(const zvcrash_async_cfe_entry* entry);
int64_t zvcrash_async_cfe_entry_stack_offset(const zvcrash_async_cfe_entry* entry);
uint32_t zvcrash_async_cfe_entry_stack_adjust(const zvcrash_async_cfe_entry* entry);
uint32_t zvcrash_async_cfe_entry_return_address_register(const zvcrash_async_cfe_entry* entry);
uint32_t zvcrash_async_cfe_entry_register_count(const zvcrash_async_cfe_entry* entry);
// Copies register_count numbers into registers.
void zvcrash_async_cfe_entry_register_list(const zvcrash_async_cfe_entry* entry, uint32_t* registers);

// Turns the permutation number of a frameless encoding with count saved registers (0 to 6) into
// their indices 1 to 6 in stack order: ZVCRASH_ERR_INVAL for a count above 6 or a permutation
// that names no index. Safe at crash time.
zvcrash_error_t zvcrash_async_cfe_register_decode(uint32_t permutation, uint32_t count, uint32_t* registers);
// The permutation number of count distinct indices 1 to 6 (the inverse of decode). Safe at crash time.
uint32_t zvcrash_async_cfe_register_encode(const uint32_t* registers, uint32_t count);

// The caller's registers of current_state, a frame of the function at function_address that
// entry describes: volatile registers dropped, stack pointer, instruction pointer and saved
// registers restored from the task's memory. ZVCRASH_ERR_NOTFOUND when a needed register is not
// known, ZVCRASH_ERR_NOTSUP for DWARF and no-information entries, task read errors as they are.
// Safe at crash time.
zvcrash_error_t zvcrash_async_cfe_entry_apply(zvcrash_async_task_t task, uint64_t function_address,
                                              const zvcrash_async_thread_state* current_state, const zvcrash_async_cfe_entry* entry,
                                              zvcrash_async_thread_state* new_state);
