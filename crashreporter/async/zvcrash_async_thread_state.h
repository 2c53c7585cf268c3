// The register set of one stack frame and the mask of the registers that are known. The crash
// path fills it from a signal's context, from another thread's answer to the rendezvous, or from
// the calling thread itself; the unwinders read it and produce the caller's state; the report
// writer writes its registers by name. A plain value in our own layout: copy it whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>
#include <ucontext.h>

#include "crashreporter/async/zvcrash_async.h"

// Which way the stack grows.
enum zvcrash_async_thread_stack_direction_t : int {
    ZVCRASH_STACK_DIRECTION_UP = 1,
    // Toward lower addresses: every state made here.
    ZVCRASH_STACK_DIRECTION_DOWN = 2,
};

// CPU types a state can be made for.
constexpr uint32_t ZVCRASH_THREAD_STATE_CPU_X86 = 7;
constexpr uint32_t ZVCRASH_THREAD_STATE_CPU_X86_64 = 0x1000007;

// Register numbers. 0 is always the instruction pointer, 1 the frame pointer, 2 the stack
// pointer; the rest depend on the register set.
using zvcrash_async_regnum = uint32_t;

enum : zvcrash_async_regnum {
    ZVCRASH_REG_IP = 0,
    ZVCRASH_REG_FP = 1,
    ZVCRASH_REG_SP = 2,

    ZVCRASH_X86_EIP = 0,
    ZVCRASH_X86_EBP = 1,
    ZVCRASH_X86_ESP = 2,
    ZVCRASH_X86_EAX = 3,
    ZVCRASH_X86_EDX = 4,
    ZVCRASH_X86_ECX = 5,
    ZVCRASH_X86_EBX = 6,
    ZVCRASH_X86_ESI = 7,
    ZVCRASH_X86_EDI = 8,
    ZVCRASH_X86_EFLAGS = 9,
    ZVCRASH_X86_TRAPNO = 10,
    ZVCRASH_X86_CS = 11,
    ZVCRASH_X86_DS = 12,
    ZVCRASH_X86_ES = 13,
    ZVCRASH_X86_FS = 14,
    ZVCRASH_X86_GS = 15,
    ZVCRASH_X86_REG_COUNT = 16,

    ZVCRASH_X86_64_RIP = 0,
    ZVCRASH_X86_64_RBP = 1,
    ZVCRASH_X86_64_RSP = 2,
    ZVCRASH_X86_64_RAX = 3,
    ZVCRASH_X86_64_RBX = 4,
    ZVCRASH_X86_64_RCX = 5,
    ZVCRASH_X86_64_RDX = 6,
    ZVCRASH_X86_64_RDI = 7,
    ZVCRASH_X86_64_RSI = 8,
    ZVCRASH_X86_64_R8 = 9,
    ZVCRASH_X86_64_R9 = 10,
    ZVCRASH_X86_64_R10 = 11,
    ZVCRASH_X86_64_R11 = 12,
    ZVCRASH_X86_64_R12 = 13,
    ZVCRASH_X86_64_R13 = 14,
    ZVCRASH_X86_64_R14 = 15,
    ZVCRASH_X86_64_R15 = 16,
    ZVCRASH_X86_64_RFLAGS = 17,
    ZVCRASH_X86_64_CS = 18,
    ZVCRASH_X86_64_FS = 19,
    ZVCRASH_X86_64_GS = 20,
    ZVCRASH_X86_64_REG_COUNT = 21,
};

// Flavor and size (in 32-bit words) of the record that follows it.
struct zvcrash_async_thread_state_header {
    uint32_t flavor;
    uint32_t count;
};

// Header values: the thread-state flavor decides the register set (1 is x86, anything else x86-64).
constexpr uint32_t ZVCRASH_THREAD_STATE_FLAVOR_X86 = 1;
constexpr uint32_t ZVCRASH_THREAD_STATE_FLAVOR_X86_64 = 4;
constexpr uint32_t ZVCRASH_EXCEPTION_STATE_FLAVOR_X86 = 3;
constexpr uint32_t ZVCRASH_EXCEPTION_STATE_FLAVOR_X86_64 = 6;

struct zvcrash_async_x86_regs {
    uint32_t eax, ebx, ecx, edx, edi, esi, ebp, esp, ss, eflags, eip, cs, ds, es, fs, gs;
};

struct zvcrash_async_x86_64_regs {
    uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp, r8, r9, r10, r11, r12, r13, r14, r15, rip, rflags, cs, fs, gs;
};

// What the processor said about the fault: trap number, CPU, error code, fault address.
struct zvcrash_async_x86_exception {
    uint16_t trapno;
    uint16_t cpu;
    uint32_t err;
    uint32_t faultvaddr;
};

struct zvcrash_async_x86_64_exception {
    uint16_t trapno;
    uint16_t cpu;
    uint32_t err;
    uint64_t faultvaddr;
};

struct zvcrash_async_thread_state {
    zvcrash_async_thread_stack_direction_t stack_direction;
    // Bytes of a general register: 4 for x86, 8 for x86-64.
    uint64_t greg_size;
    // Bit n set when register n is known.
    uint64_t valid_regs;
    struct {
        zvcrash_async_thread_state_header thread_header;
        union {
            zvcrash_async_x86_regs x86;
            zvcrash_async_x86_64_regs x86_64;
        } thread;
        zvcrash_async_thread_state_header exception_header;
        union {
            zvcrash_async_x86_exception x86;
            zvcrash_async_x86_64_exception x86_64;
        } exception;
    } x86_state;
};

static_assert(sizeof(zvcrash_async_thread_state) == 224);

// Zeroes the state and sets it up empty for the CPU type (ZVCRASH_THREAD_STATE_CPU_X86 or _X86_64);
// any other type gives ZVCRASH_ERR_NOTSUP. Safe at crash time.
zvcrash_error_t zvcrash_async_thread_state_init(zvcrash_async_thread_state* state, uint32_t cpu_type);

// Converts a signal's context of this machine field by field (x86-64 here; x86 on a 32-bit
// build): every register valid, the exception record from the trap number, error code and fault
// address. Safe at crash time.
zvcrash_error_t zvcrash_async_thread_state_ucontext_init(zvcrash_async_thread_state* state, const ucontext_t* context);

// The registers of another thread of this process, by its kernel thread id. Answers
// ZVCRASH_ERR_NOTSUP until the thread rendezvous provides them. Safe at crash time.
zvcrash_error_t zvcrash_async_thread_state_mach_thread_init(zvcrash_async_thread_state* state, pid_t thread);

using zvcrash_async_thread_state_current_callback = zvcrash_error_t (*)(zvcrash_async_thread_state* state, void* context);

// Captures the calling thread's registers as they will be in the caller right after this call
// returns (instruction pointer = the return address, stack pointer = the caller's), and calls
// callback(state, context) while the capturing frame is still on the stack; returns its result.
// The state is valid only during the callback. Written in assembly, hence its plain symbol name.
// Safe at crash time.
extern "C" zvcrash_error_t zvcrash_async_thread_state_current(zvcrash_async_thread_state_current_callback callback, void* context);

// Safe at crash time.
void zvcrash_async_thread_state_copy(zvcrash_async_thread_state* dest, const zvcrash_async_thread_state* source);

// Safe at crash time (has, clear, clear all).
bool zvcrash_async_thread_state_has_reg(const zvcrash_async_thread_state* state, zvcrash_async_regnum regnum);
void zvcrash_async_thread_state_clear_reg(zvcrash_async_thread_state* state, zvcrash_async_regnum regnum);
void zvcrash_async_thread_state_clear_all_regs(zvcrash_async_thread_state* state);

// The register's value, zero-extended. A number outside the register set traps. Safe at crash time.
uint64_t zvcrash_async_thread_state_get_reg(const zvcrash_async_thread_state* state, zvcrash_async_regnum regnum);
// Stores the value (truncated to the register's width) and marks it valid. A number outside the
// register set traps. Safe at crash time.
void zvcrash_async_thread_state_set_reg(zvcrash_async_thread_state* state, zvcrash_async_regnum regnum, uint64_t value);

// The register's name ("rip", "eflags", ...). A number outside the register set aborts.
// Safe at crash time.
const char* zvcrash_async_thread_state_get_reg_name(const zvcrash_async_thread_state* state, zvcrash_async_regnum regnum);
// 16 for x86, 21 for x86-64. Safe at crash time.
size_t zvcrash_async_thread_state_get_reg_count(const zvcrash_async_thread_state* state);

// Safe at crash time (both getters).
zvcrash_async_thread_stack_direction_t zvcrash_async_thread_state_get_stack_direction(const zvcrash_async_thread_state* state);
size_t zvcrash_async_thread_state_get_greg_size(const zvcrash_async_thread_state* state);

// Forgets every register a callee may change: only the callee-saved ones stay valid (x86: ebx,
// ebp, esi, edi, esp; x86-64: rbx, rsp, rbp, r12-r15). Safe at crash time.
void zvcrash_async_thread_state_clear_volatile_regs(zvcrash_async_thread_state* state);

// DWARF register numbers of the register set; false when the number has no pair.
// Safe at crash time (both).
bool zvcrash_async_thread_state_map_dwarf_to_reg(const zvcrash_async_thread_state* state, uint64_t dwarf_reg, zvcrash_async_regnum* regnum);
bool zvcrash_async_thread_state_map_reg_to_dwarf(const zvcrash_async_thread_state* state, zvcrash_async_regnum regnum, uint64_t* dwarf_reg);
