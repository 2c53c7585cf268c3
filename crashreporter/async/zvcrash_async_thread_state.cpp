#include "crashreporter/async/zvcrash_async_thread_state.h"

#include <cstdlib>

namespace {

bool isX86(const zvcrash_async_thread_state* state) { return state->x86_state.thread_header.flavor == ZVCRASH_THREAD_STATE_FLAVOR_X86; }

constexpr uint64_t maskOf(size_t count) { return (uint64_t{1} << count) - 1; }

void setUpX86(zvcrash_async_thread_state* state) {
    state->greg_size = 4;
    state->x86_state.thread_header = {ZVCRASH_THREAD_STATE_FLAVOR_X86, sizeof(zvcrash_async_x86_regs) / 4};
    state->x86_state.exception_header = {ZVCRASH_EXCEPTION_STATE_FLAVOR_X86, sizeof(zvcrash_async_x86_exception) / 4};
}

void setUpX86_64(zvcrash_async_thread_state* state) {
    state->greg_size = 8;
    state->x86_state.thread_header = {ZVCRASH_THREAD_STATE_FLAVOR_X86_64, sizeof(zvcrash_async_x86_64_regs) / 4};
    state->x86_state.exception_header = {ZVCRASH_EXCEPTION_STATE_FLAVOR_X86_64, sizeof(zvcrash_async_x86_64_exception) / 4};
}

const char* const x86Names[ZVCRASH_X86_REG_COUNT] = {"eip", "ebp",    "esp",    "eax", "edx", "ecx", "ebx", "esi",
                                                     "edi", "eflags", "trapno", "cs",  "ds",  "es",  "fs",  "gs"};

const char* const x86_64Names[ZVCRASH_X86_64_REG_COUNT] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "r8", "r9",
                                                           "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};

// Where each register lives in the record; x86 register 10 (the trap number) is in the exception
// record and handled apart.
uint32_t* x86Field(zvcrash_async_thread_state* state, zvcrash_async_regnum regnum) {
    zvcrash_async_x86_regs& r = state->x86_state.thread.x86;
    switch (regnum) {
        case ZVCRASH_X86_EIP:
            return &r.eip;
        case ZVCRASH_X86_EBP:
            return &r.ebp;
        case ZVCRASH_X86_ESP:
            return &r.esp;
        case ZVCRASH_X86_EAX:
            return &r.eax;
        case ZVCRASH_X86_EDX:
            return &r.edx;
        case ZVCRASH_X86_ECX:
            return &r.ecx;
        case ZVCRASH_X86_EBX:
            return &r.ebx;
        case ZVCRASH_X86_ESI:
            return &r.esi;
        case ZVCRASH_X86_EDI:
            return &r.edi;
        case ZVCRASH_X86_EFLAGS:
            return &r.eflags;
        case ZVCRASH_X86_CS:
            return &r.cs;
        case ZVCRASH_X86_DS:
            return &r.ds;
        case ZVCRASH_X86_ES:
            return &r.es;
        case ZVCRASH_X86_FS:
            return &r.fs;
        case ZVCRASH_X86_GS:
            return &r.gs;
    }
    __builtin_trap();
}

uint64_t* x86_64Field(zvcrash_async_thread_state* state, zvcrash_async_regnum regnum) {
    zvcrash_async_x86_64_regs& r = state->x86_state.thread.x86_64;
    switch (regnum) {
        case ZVCRASH_X86_64_RIP:
            return &r.rip;
        case ZVCRASH_X86_64_RBP:
            return &r.rbp;
        case ZVCRASH_X86_64_RSP:
            return &r.rsp;
        case ZVCRASH_X86_64_RAX:
            return &r.rax;
        case ZVCRASH_X86_64_RBX:
            return &r.rbx;
        case ZVCRASH_X86_64_RCX:
            return &r.rcx;
        case ZVCRASH_X86_64_RDX:
            return &r.rdx;
        case ZVCRASH_X86_64_RDI:
            return &r.rdi;
        case ZVCRASH_X86_64_RSI:
            return &r.rsi;
        case ZVCRASH_X86_64_R8:
            return &r.r8;
        case ZVCRASH_X86_64_R9:
            return &r.r9;
        case ZVCRASH_X86_64_R10:
            return &r.r10;
        case ZVCRASH_X86_64_R11:
            return &r.r11;
        case ZVCRASH_X86_64_R12:
            return &r.r12;
        case ZVCRASH_X86_64_R13:
            return &r.r13;
        case ZVCRASH_X86_64_R14:
            return &r.r14;
        case ZVCRASH_X86_64_R15:
            return &r.r15;
        case ZVCRASH_X86_64_RFLAGS:
            return &r.rflags;
        case ZVCRASH_X86_64_CS:
            return &r.cs;
        case ZVCRASH_X86_64_FS:
            return &r.fs;
        case ZVCRASH_X86_64_GS:
            return &r.gs;
    }
    __builtin_trap();
}

struct DwarfPair {
    uint64_t dwarf;
    zvcrash_async_regnum regnum;
};

// The i386 psABI numbers esp 4 and ebp 5, as the .eh_frame of every ELF image here does.
constexpr DwarfPair x86Dwarf[] = {
    {0, ZVCRASH_X86_EAX}, {1, ZVCRASH_X86_ECX}, {2, ZVCRASH_X86_EDX}, {3, ZVCRASH_X86_EBX}, {4, ZVCRASH_X86_ESP},
    {5, ZVCRASH_X86_EBP}, {6, ZVCRASH_X86_ESI}, {7, ZVCRASH_X86_EDI}, {8, ZVCRASH_X86_EIP},
};

// No DWARF number for rip: the return address is a column of the CIE.
constexpr DwarfPair x86_64Dwarf[] = {
    {0, ZVCRASH_X86_64_RAX},  {1, ZVCRASH_X86_64_RDX},     {2, ZVCRASH_X86_64_RCX},  {3, ZVCRASH_X86_64_RBX},  {4, ZVCRASH_X86_64_RSI},
    {5, ZVCRASH_X86_64_RDI},  {6, ZVCRASH_X86_64_RBP},     {7, ZVCRASH_X86_64_RSP},  {8, ZVCRASH_X86_64_R8},   {9, ZVCRASH_X86_64_R9},
    {10, ZVCRASH_X86_64_R10}, {11, ZVCRASH_X86_64_R11},    {12, ZVCRASH_X86_64_R12}, {13, ZVCRASH_X86_64_R13}, {14, ZVCRASH_X86_64_R14},
    {15, ZVCRASH_X86_64_R15}, {49, ZVCRASH_X86_64_RFLAGS}, {51, ZVCRASH_X86_64_CS},  {54, ZVCRASH_X86_64_FS},  {55, ZVCRASH_X86_64_GS},
};

template <size_t N>
bool findDwarf(const DwarfPair (&table)[N], uint64_t dwarf, zvcrash_async_regnum* regnum) {
    for (const DwarfPair& pair : table) {
        if (pair.dwarf == dwarf) {
            *regnum = pair.regnum;
            return true;
        }
    }
    return false;
}

template <size_t N>
bool findReg(const DwarfPair (&table)[N], zvcrash_async_regnum regnum, uint64_t* dwarf) {
    for (const DwarfPair& pair : table) {
        if (pair.regnum == regnum) {
            *dwarf = pair.dwarf;
            return true;
        }
    }
    return false;
}

}  // namespace

zvcrash_error_t zvcrash_async_thread_state_init(zvcrash_async_thread_state* state, uint32_t cpu_type) {
    if (cpu_type != ZVCRASH_THREAD_STATE_CPU_X86 && cpu_type != ZVCRASH_THREAD_STATE_CPU_X86_64) return ZVCRASH_ERR_NOTSUP;
    zvcrash_async_memset(state, 0, sizeof(*state));
    if (cpu_type == ZVCRASH_THREAD_STATE_CPU_X86) {
        setUpX86(state);
    } else {
        setUpX86_64(state);
    }
    state->stack_direction = ZVCRASH_STACK_DIRECTION_DOWN;
    state->valid_regs = 0;
    return ZVCRASH_OK;
}

zvcrash_error_t zvcrash_async_thread_state_ucontext_init(zvcrash_async_thread_state* state, const ucontext_t* context) {
    const greg_t* g = context->uc_mcontext.gregs;
#if defined(__x86_64__)
    zvcrash_async_thread_state_init(state, ZVCRASH_THREAD_STATE_CPU_X86_64);
    zvcrash_async_x86_64_regs& r = state->x86_state.thread.x86_64;
    r.rax = static_cast<uint64_t>(g[REG_RAX]);
    r.rbx = static_cast<uint64_t>(g[REG_RBX]);
    r.rcx = static_cast<uint64_t>(g[REG_RCX]);
    r.rdx = static_cast<uint64_t>(g[REG_RDX]);
    r.rdi = static_cast<uint64_t>(g[REG_RDI]);
    r.rsi = static_cast<uint64_t>(g[REG_RSI]);
    r.rbp = static_cast<uint64_t>(g[REG_RBP]);
    r.rsp = static_cast<uint64_t>(g[REG_RSP]);
    r.r8 = static_cast<uint64_t>(g[REG_R8]);
    r.r9 = static_cast<uint64_t>(g[REG_R9]);
    r.r10 = static_cast<uint64_t>(g[REG_R10]);
    r.r11 = static_cast<uint64_t>(g[REG_R11]);
    r.r12 = static_cast<uint64_t>(g[REG_R12]);
    r.r13 = static_cast<uint64_t>(g[REG_R13]);
    r.r14 = static_cast<uint64_t>(g[REG_R14]);
    r.r15 = static_cast<uint64_t>(g[REG_R15]);
    r.rip = static_cast<uint64_t>(g[REG_RIP]);
    r.rflags = static_cast<uint64_t>(g[REG_EFL]);
    // The kernel packs the selectors into one word: cs, gs, fs, ss, 16 bits each from the bottom.
    const auto selectors = static_cast<uint64_t>(g[REG_CSGSFS]);
    r.cs = selectors & 0xffff;
    r.gs = (selectors >> 16) & 0xffff;
    r.fs = (selectors >> 32) & 0xffff;
    zvcrash_async_x86_64_exception& e = state->x86_state.exception.x86_64;
    e.trapno = static_cast<uint16_t>(g[REG_TRAPNO]);
    e.cpu = 0;
    e.err = static_cast<uint32_t>(g[REG_ERR]);
    e.faultvaddr = static_cast<uint64_t>(g[REG_CR2]);
    state->valid_regs = maskOf(ZVCRASH_X86_64_REG_COUNT);
    return ZVCRASH_OK;
#elif defined(__i386__)
    zvcrash_async_thread_state_init(state, ZVCRASH_THREAD_STATE_CPU_X86);
    zvcrash_async_x86_regs& r = state->x86_state.thread.x86;
    r.eax = static_cast<uint32_t>(g[REG_EAX]);
    r.ebx = static_cast<uint32_t>(g[REG_EBX]);
    r.ecx = static_cast<uint32_t>(g[REG_ECX]);
    r.edx = static_cast<uint32_t>(g[REG_EDX]);
    r.edi = static_cast<uint32_t>(g[REG_EDI]);
    r.esi = static_cast<uint32_t>(g[REG_ESI]);
    r.ebp = static_cast<uint32_t>(g[REG_EBP]);
    r.esp = static_cast<uint32_t>(g[REG_ESP]);
    r.ss = static_cast<uint32_t>(g[REG_SS]);
    r.eflags = static_cast<uint32_t>(g[REG_EFL]);
    r.eip = static_cast<uint32_t>(g[REG_EIP]);
    r.cs = static_cast<uint32_t>(g[REG_CS]);
    r.ds = static_cast<uint32_t>(g[REG_DS]);
    r.es = static_cast<uint32_t>(g[REG_ES]);
    r.fs = static_cast<uint32_t>(g[REG_FS]);
    r.gs = static_cast<uint32_t>(g[REG_GS]);
    zvcrash_async_x86_exception& e = state->x86_state.exception.x86;
    e.trapno = static_cast<uint16_t>(g[REG_TRAPNO]);
    e.cpu = 0;
    e.err = static_cast<uint32_t>(g[REG_ERR]);
    e.faultvaddr = static_cast<uint32_t>(context->uc_mcontext.cr2);
    state->valid_regs = maskOf(ZVCRASH_X86_REG_COUNT);
    return ZVCRASH_OK;
#else
    (void)g;
    return ZVCRASH_ERR_NOTSUP;
#endif
}

zvcrash_error_t zvcrash_async_thread_state_mach_thread_init(zvcrash_async_thread_state* state, pid_t thread) {
    (void)state;
    (void)thread;
    return ZVCRASH_ERR_NOTSUP;
}

// Called by the capturing routine below with the registers it saved, in register-number order.
extern "C" __attribute__((visibility("hidden"), used)) zvcrash_error_t zvcrash_async_thread_state_current_finish(
    zvcrash_async_thread_state_current_callback callback, void* context, const uintptr_t* regs) {
    zvcrash_async_thread_state state;
#if defined(__x86_64__)
    zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86_64);
    for (zvcrash_async_regnum n = 0; n < ZVCRASH_X86_64_REG_COUNT; ++n) zvcrash_async_thread_state_set_reg(&state, n, regs[n]);
#else
    zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86);
    for (zvcrash_async_regnum n = 0; n < ZVCRASH_X86_REG_COUNT; ++n) zvcrash_async_thread_state_set_reg(&state, n, regs[n]);
#endif
    return callback(&state, context);
}

#if defined(__CET__)
#define ZVCRASH_ENDBR_64 "endbr64\n"
#define ZVCRASH_ENDBR_32 "endbr32\n"
#else
#define ZVCRASH_ENDBR_64 ""
#define ZVCRASH_ENDBR_32 ""
#endif

// The capturing routine keeps a frame-pointer frame described by CFI, saves every register
// into an array in register-number order and hands it to the finishing step. The state it
// records is the caller's right after the call returns: the instruction pointer is the return
// address, the frame pointer the caller's, the stack pointer the caller's once the return address
// is popped. It changes no callee-saved register, so those are also the caller's.
#if defined(__x86_64__)
__asm__(
    ".pushsection .text\n"
    ".globl zvcrash_async_thread_state_current\n"
    ".type zvcrash_async_thread_state_current, @function\n"
    ".p2align 4\n"
    "zvcrash_async_thread_state_current:\n"
    ".cfi_startproc\n" ZVCRASH_ENDBR_64
    "pushq %rbp\n"
    ".cfi_def_cfa_offset 16\n"
    ".cfi_offset %rbp, -16\n"
    "movq %rsp, %rbp\n"
    ".cfi_def_cfa_register %rbp\n"
    // 21 registers of 8 bytes, rounded up to keep the stack 16-byte aligned for the call.
    "subq $176, %rsp\n"
    "movq %rax, 24(%rsp)\n"
    "movq %rbx, 32(%rsp)\n"
    "movq %rcx, 40(%rsp)\n"
    "movq %rdx, 48(%rsp)\n"
    "movq %rdi, 56(%rsp)\n"
    "movq %rsi, 64(%rsp)\n"
    "movq %r8, 72(%rsp)\n"
    "movq %r9, 80(%rsp)\n"
    "movq %r10, 88(%rsp)\n"
    "movq %r11, 96(%rsp)\n"
    "movq %r12, 104(%rsp)\n"
    "movq %r13, 112(%rsp)\n"
    "movq %r14, 120(%rsp)\n"
    "movq %r15, 128(%rsp)\n"
    "pushfq\n"
    "popq 136(%rsp)\n"
    "movq 8(%rbp), %rax\n"
    "movq %rax, 0(%rsp)\n"
    "movq 0(%rbp), %rax\n"
    "movq %rax, 8(%rsp)\n"
    "leaq 16(%rbp), %rax\n"
    "movq %rax, 16(%rsp)\n"
    "xorl %eax, %eax\n"
    "movw %cs, %ax\n"
    "movq %rax, 144(%rsp)\n"
    "movw %fs, %ax\n"
    "movq %rax, 152(%rsp)\n"
    "movw %gs, %ax\n"
    "movq %rax, 160(%rsp)\n"
    // callback and context are still in rdi and rsi.
    "movq %rsp, %rdx\n"
    "call zvcrash_async_thread_state_current_finish\n"
    "leave\n"
    ".cfi_def_cfa %rsp, 8\n"
    "ret\n"
    ".cfi_endproc\n"
    ".size zvcrash_async_thread_state_current, .-zvcrash_async_thread_state_current\n"
    ".popsection\n");
#elif defined(__i386__)
__asm__(
    ".pushsection .text\n"
    ".globl zvcrash_async_thread_state_current\n"
    ".type zvcrash_async_thread_state_current, @function\n"
    ".p2align 4\n"
    "zvcrash_async_thread_state_current:\n"
    ".cfi_startproc\n" ZVCRASH_ENDBR_32
    "pushl %ebp\n"
    ".cfi_def_cfa_offset 8\n"
    ".cfi_offset %ebp, -8\n"
    "movl %esp, %ebp\n"
    ".cfi_def_cfa_register %ebp\n"
    // Three outgoing arguments, padding, then 16 registers of 4 bytes at 16(%esp): the stack
    // stays 16-byte aligned for the call.
    "subl $88, %esp\n"
    "movl %eax, 28(%esp)\n"
    "movl %edx, 32(%esp)\n"
    "movl %ecx, 36(%esp)\n"
    "movl %ebx, 40(%esp)\n"
    "movl %esi, 44(%esp)\n"
    "movl %edi, 48(%esp)\n"
    "pushfl\n"
    "popl 52(%esp)\n"
    "movl $0, 56(%esp)\n"
    "movl 4(%ebp), %eax\n"
    "movl %eax, 16(%esp)\n"
    "movl 0(%ebp), %eax\n"
    "movl %eax, 20(%esp)\n"
    "leal 8(%ebp), %eax\n"
    "movl %eax, 24(%esp)\n"
    "xorl %eax, %eax\n"
    "movw %cs, %ax\n"
    "movl %eax, 60(%esp)\n"
    "movw %ds, %ax\n"
    "movl %eax, 64(%esp)\n"
    "movw %es, %ax\n"
    "movl %eax, 68(%esp)\n"
    "movw %fs, %ax\n"
    "movl %eax, 72(%esp)\n"
    "movw %gs, %ax\n"
    "movl %eax, 76(%esp)\n"
    "movl 8(%ebp), %eax\n"
    "movl %eax, 0(%esp)\n"
    "movl 12(%ebp), %eax\n"
    "movl %eax, 4(%esp)\n"
    "leal 16(%esp), %eax\n"
    "movl %eax, 8(%esp)\n"
    "call zvcrash_async_thread_state_current_finish\n"
    "leave\n"
    ".cfi_def_cfa %esp, 4\n"
    "ret\n"
    ".cfi_endproc\n"
    ".size zvcrash_async_thread_state_current, .-zvcrash_async_thread_state_current\n"
    ".popsection\n");
#else
zvcrash_error_t zvcrash_async_thread_state_current(zvcrash_async_thread_state_current_callback callback, void* context) {
    (void)callback;
    (void)context;
    return ZVCRASH_ERR_NOTSUP;
}
#endif

void zvcrash_async_thread_state_copy(zvcrash_async_thread_state* dest, const zvcrash_async_thread_state* source) {
    zvcrash_async_memcpy(dest, source, sizeof(*dest));
}

bool zvcrash_async_thread_state_has_reg(const zvcrash_async_thread_state* state, zvcrash_async_regnum regnum) {
    return regnum < 64 && (state->valid_regs & (uint64_t{1} << regnum)) != 0;
}

void zvcrash_async_thread_state_clear_reg(zvcrash_async_thread_state* state, zvcrash_async_regnum regnum) {
    if (regnum < 64) state->valid_regs &= ~(uint64_t{1} << regnum);
}

void zvcrash_async_thread_state_clear_all_regs(zvcrash_async_thread_state* state) { state->valid_regs = 0; }

uint64_t zvcrash_async_thread_state_get_reg(const zvcrash_async_thread_state* state, zvcrash_async_regnum regnum) {
    auto* mutableState = const_cast<zvcrash_async_thread_state*>(state);
    if (isX86(state)) {
        if (regnum == ZVCRASH_X86_TRAPNO) return state->x86_state.exception.x86.trapno;
        return *x86Field(mutableState, regnum);
    }
    return *x86_64Field(mutableState, regnum);
}

void zvcrash_async_thread_state_set_reg(zvcrash_async_thread_state* state, zvcrash_async_regnum regnum, uint64_t value) {
    if (isX86(state)) {
        if (regnum == ZVCRASH_X86_TRAPNO) {
            state->x86_state.exception.x86.trapno = static_cast<uint16_t>(value);
        } else {
            *x86Field(state, regnum) = static_cast<uint32_t>(value);
        }
    } else {
        *x86_64Field(state, regnum) = value;
    }
    state->valid_regs |= uint64_t{1} << regnum;
}

const char* zvcrash_async_thread_state_get_reg_name(const zvcrash_async_thread_state* state, zvcrash_async_regnum regnum) {
    if (isX86(state)) {
        if (regnum >= ZVCRASH_X86_REG_COUNT) abort();
        return x86Names[regnum];
    }
    if (regnum >= ZVCRASH_X86_64_REG_COUNT) abort();
    return x86_64Names[regnum];
}

size_t zvcrash_async_thread_state_get_reg_count(const zvcrash_async_thread_state* state) {
    return isX86(state) ? ZVCRASH_X86_REG_COUNT : ZVCRASH_X86_64_REG_COUNT;
}

zvcrash_async_thread_stack_direction_t zvcrash_async_thread_state_get_stack_direction(const zvcrash_async_thread_state* state) {
    return state->stack_direction;
}

size_t zvcrash_async_thread_state_get_greg_size(const zvcrash_async_thread_state* state) { return static_cast<size_t>(state->greg_size); }

void zvcrash_async_thread_state_clear_volatile_regs(zvcrash_async_thread_state* state) {
    constexpr uint64_t x86Kept = (uint64_t{1} << ZVCRASH_X86_EBX) | (uint64_t{1} << ZVCRASH_X86_EBP) | (uint64_t{1} << ZVCRASH_X86_ESI) |
                                 (uint64_t{1} << ZVCRASH_X86_EDI) | (uint64_t{1} << ZVCRASH_X86_ESP);
    constexpr uint64_t x86_64Kept = (uint64_t{1} << ZVCRASH_X86_64_RBX) | (uint64_t{1} << ZVCRASH_X86_64_RSP) |
                                    (uint64_t{1} << ZVCRASH_X86_64_RBP) | (uint64_t{1} << ZVCRASH_X86_64_R12) |
                                    (uint64_t{1} << ZVCRASH_X86_64_R13) | (uint64_t{1} << ZVCRASH_X86_64_R14) |
                                    (uint64_t{1} << ZVCRASH_X86_64_R15);
    state->valid_regs &= isX86(state) ? x86Kept : x86_64Kept;
}

bool zvcrash_async_thread_state_map_dwarf_to_reg(const zvcrash_async_thread_state* state, uint64_t dwarf_reg,
                                                 zvcrash_async_regnum* regnum) {
    return isX86(state) ? findDwarf(x86Dwarf, dwarf_reg, regnum) : findDwarf(x86_64Dwarf, dwarf_reg, regnum);
}

bool zvcrash_async_thread_state_map_reg_to_dwarf(const zvcrash_async_thread_state* state, zvcrash_async_regnum regnum,
                                                 uint64_t* dwarf_reg) {
    return isX86(state) ? findReg(x86Dwarf, regnum, dwarf_reg) : findReg(x86_64Dwarf, regnum, dwarf_reg);
}
