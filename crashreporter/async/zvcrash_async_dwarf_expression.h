// DWARF location expressions, as call-frame rules use them: a stack machine over target words
// with the thread state's registers and task memory as inputs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_mobject.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"

// Words the expression stack holds.
constexpr size_t ZVCRASH_DWARF_EXPRESSION_STACK_SIZE = 100;
// Opcodes one evaluation may execute. Branches can go backwards, so damaged unwind data could
// otherwise loop for ever in the crash handler while every other thread stays stopped.
constexpr uint64_t ZVCRASH_DWARF_EXPRESSION_MAX_OPERATIONS = 10000;

namespace zvcrash::async {

// Evaluates the expression at [address + offset, + length) of the mapping, with the initial
// values pushed in order, and gives the top of the stack. ZVCRASH_ERR_NOTSUP for an opcode that
// names no address (addr, reg*, regx, fbreg, piece, unknown ones) or an unmapped DWARF register;
// ZVCRASH_ERR_INVAL for malformed code, a division by zero, a stack opcode on too few entries,
// an empty result or more than ZVCRASH_DWARF_EXPRESSION_MAX_OPERATIONS opcodes;
// ZVCRASH_ERR_INTERNAL for a stack that overflows, or underflows in an arithmetic, logic,
// comparison or memory opcode; ZVCRASH_ERR_NOTFOUND for a register the state does not know; a
// task read's own code. Safe at crash time.
template <typename machine_ptr, typename machine_ptr_s>
zvcrash_error_t zvcrash_async_dwarf_expression_eval(const zvcrash_async_mobject* mobj, zvcrash_async_task_t task,
                                                    const zvcrash_async_thread_state* thread_state,
                                                    const zvcrash_async_byteorder* byteorder, uint64_t address, int64_t offset,
                                                    int64_t length, const machine_ptr* initial_stack, size_t initial_count,
                                                    machine_ptr* result);

}  // namespace zvcrash::async
