#include "crashreporter/async/zvcrash_async_thread_state.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unwind.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

#define ZV_STR2(x) #x
#define ZV_STR(x) ZV_STR2(x)

// Raises SIGUSR1 at this thread with tgkill from a syscall instruction whose registers the
// routine knows: out[0] = the instruction after the syscall (where the signal interrupts),
// out[1] = the stack pointer there, out[2] = the frame pointer (a made-up value), out[3] = r12,
// out[4] = r15.
extern "C" void zvcrash_test_raise_with_known_registers(uint64_t* out);
__asm__(
    ".pushsection .text\n"
    ".globl zvcrash_test_raise_with_known_registers\n"
    ".type zvcrash_test_raise_with_known_registers, @function\n"
    "zvcrash_test_raise_with_known_registers:\n"
    ".cfi_startproc\n"
    "pushq %rbp\n"
    ".cfi_def_cfa_offset 16\n"
    ".cfi_offset %rbp, -16\n"
    "pushq %rbx\n"
    ".cfi_def_cfa_offset 24\n"
    ".cfi_offset %rbx, -24\n"
    "pushq %r12\n"
    ".cfi_def_cfa_offset 32\n"
    ".cfi_offset %r12, -32\n"
    "pushq %r15\n"
    ".cfi_def_cfa_offset 40\n"
    ".cfi_offset %r15, -40\n"
    "movq %rdi, %rbx\n"
    "movl $" ZV_STR(SYS_gettid) ", %eax\n"
    "syscall\n"
    "movl %eax, %esi\n"
    "movl $" ZV_STR(SYS_getpid) ", %eax\n"
    "syscall\n"
    "movl %eax, %edi\n"
    "movl $" ZV_STR(SIGUSR1) ", %edx\n"
    "movabsq $0x1122334455667788, %rbp\n"
    "movabsq $0x0c0c0c0c0c0c0c0c, %r12\n"
    "movabsq $0x0f0f0f0f0f0f0f0f, %r15\n"
    "leaq 1f(%rip), %rcx\n"
    "movq %rcx, 0(%rbx)\n"
    "movq %rsp, 8(%rbx)\n"
    "movq %rbp, 16(%rbx)\n"
    "movq %r12, 24(%rbx)\n"
    "movq %r15, 32(%rbx)\n"
    "movl $" ZV_STR(SYS_tgkill) ", %eax\n"
    "syscall\n"
    "1:\n"
    "popq %r15\n"
    ".cfi_def_cfa_offset 32\n"
    "popq %r12\n"
    ".cfi_def_cfa_offset 24\n"
    "popq %rbx\n"
    ".cfi_def_cfa_offset 16\n"
    "popq %rbp\n"
    ".cfi_def_cfa_offset 8\n"
    "ret\n"
    ".cfi_endproc\n"
    ".size zvcrash_test_raise_with_known_registers, .-zvcrash_test_raise_with_known_registers\n"
    ".popsection\n");

zvcrash_async_thread_state capturedBySignal;
zvcrash_error_t signalConversion = ZVCRASH_ERR_UNKNOWN;
volatile sig_atomic_t signalHandled = 0;

void captureContext(int, siginfo_t*, void* context) {
    signalConversion = zvcrash_async_thread_state_ucontext_init(&capturedBySignal, static_cast<const ucontext_t*>(context));
    signalHandled = 1;
}

zvcrash_async_thread_state fullState(uint32_t cpu) {
    zvcrash_async_thread_state state;
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_init(&state, cpu));
    for (zvcrash_async_regnum n = 0; n < zvcrash_async_thread_state_get_reg_count(&state); ++n)
        zvcrash_async_thread_state_set_reg(&state, n, 0x100 + n);
    return state;
}

std::vector<zvcrash_async_regnum> validRegisters(const zvcrash_async_thread_state& state) {
    std::vector<zvcrash_async_regnum> valid;
    for (zvcrash_async_regnum n = 0; n < 64; ++n)
        if (zvcrash_async_thread_state_has_reg(&state, n)) valid.push_back(n);
    return valid;
}

TEST(ZVCrashThreadState, InitGivesAnEmptyStateOfTheRegisterSet) {
    zvcrash_async_thread_state state;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86_64));
    EXPECT_TRUE(validRegisters(state).empty());
    EXPECT_EQ(ZVCRASH_STACK_DIRECTION_DOWN, zvcrash_async_thread_state_get_stack_direction(&state));
    EXPECT_EQ(8u, zvcrash_async_thread_state_get_greg_size(&state));
    EXPECT_EQ(21u, zvcrash_async_thread_state_get_reg_count(&state));
    EXPECT_EQ(4u, state.x86_state.thread_header.flavor);
    EXPECT_EQ(42u, state.x86_state.thread_header.count);
    EXPECT_EQ(6u, state.x86_state.exception_header.flavor);
    EXPECT_EQ(4u, state.x86_state.exception_header.count);
    zvcrash_async_thread_state_set_reg(&state, ZVCRASH_X86_64_RIP, 0x401000);
    EXPECT_EQ(std::vector<zvcrash_async_regnum>{0}, validRegisters(state));
    EXPECT_EQ(0x401000u, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_REG_IP));

    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86));
    EXPECT_EQ(4u, zvcrash_async_thread_state_get_greg_size(&state));
    EXPECT_EQ(16u, zvcrash_async_thread_state_get_reg_count(&state));
    EXPECT_EQ(1u, state.x86_state.thread_header.flavor);
    EXPECT_EQ(16u, state.x86_state.thread_header.count);
    EXPECT_EQ(3u, state.x86_state.exception_header.flavor);
    EXPECT_EQ(3u, state.x86_state.exception_header.count);
    EXPECT_TRUE(validRegisters(state).empty());

    EXPECT_EQ(ZVCRASH_ERR_NOTSUP, zvcrash_async_thread_state_init(&state, 12));
}

TEST(ZVCrashThreadState, RegisterCountFollowsTheFlavor) {
    zvcrash_async_thread_state state{};
    for (uint32_t flavor : {0u, 2u, 4u, 7u}) {
        state.x86_state.thread_header.flavor = flavor;
        EXPECT_EQ(21u, zvcrash_async_thread_state_get_reg_count(&state)) << flavor;
    }
    state.x86_state.thread_header.flavor = 1;
    EXPECT_EQ(16u, zvcrash_async_thread_state_get_reg_count(&state));
}

TEST(ZVCrashThreadState, RegistersKeepTheirWidthAndNames) {
    zvcrash_async_thread_state state;
    zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86);
    zvcrash_async_thread_state_set_reg(&state, ZVCRASH_X86_EAX, 0x1234567890abcdefull);
    EXPECT_EQ(0x90abcdefu, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_EAX));
    EXPECT_EQ(0x90abcdefu, state.x86_state.thread.x86.eax);
    zvcrash_async_thread_state_set_reg(&state, ZVCRASH_X86_TRAPNO, 0x12345);
    EXPECT_EQ(0x2345u, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_TRAPNO));
    EXPECT_EQ(0x2345u, state.x86_state.exception.x86.trapno);

    const std::vector<std::string> x86 = {"eip", "ebp",    "esp",    "eax", "edx", "ecx", "ebx", "esi",
                                          "edi", "eflags", "trapno", "cs",  "ds",  "es",  "fs",  "gs"};
    for (zvcrash_async_regnum n = 0; n < x86.size(); ++n) EXPECT_EQ(x86[n], zvcrash_async_thread_state_get_reg_name(&state, n));

    zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86_64);
    const std::vector<std::string> x86_64 = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "r8", "r9",
                                             "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
    for (zvcrash_async_regnum n = 0; n < x86_64.size(); ++n) EXPECT_EQ(x86_64[n], zvcrash_async_thread_state_get_reg_name(&state, n));
    zvcrash_async_thread_state_set_reg(&state, ZVCRASH_X86_64_R13, 0x1234567890abcdefull);
    EXPECT_EQ(0x1234567890abcdefull, state.x86_state.thread.x86_64.r13);
    zvcrash_async_thread_state_set_reg(&state, ZVCRASH_X86_64_GS, 0x2b);
    EXPECT_EQ(0x2bu, state.x86_state.thread.x86_64.gs);

    // Copies are whole values; clearing forgets without touching the stored value.
    zvcrash_async_thread_state copy;
    zvcrash_async_thread_state_copy(&copy, &state);
    EXPECT_EQ(0, std::memcmp(&copy, &state, sizeof(state)));
    zvcrash_async_thread_state_clear_reg(&copy, ZVCRASH_X86_64_R13);
    EXPECT_EQ(std::vector<zvcrash_async_regnum>{ZVCRASH_X86_64_GS}, validRegisters(copy));
    EXPECT_EQ(0x1234567890abcdefull, zvcrash_async_thread_state_get_reg(&copy, ZVCRASH_X86_64_R13));
    zvcrash_async_thread_state_clear_all_regs(&copy);
    EXPECT_TRUE(validRegisters(copy).empty());
}

TEST(ZVCrashThreadState, OutOfRangeRegisterNumbersStopTheProcess) {
    zvcrash_async_thread_state state;
    zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86);
    EXPECT_DEATH(zvcrash_async_thread_state_get_reg_name(&state, 16), "");
    EXPECT_DEATH(zvcrash_async_thread_state_get_reg(&state, 16), "");
    zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86_64);
    EXPECT_DEATH(zvcrash_async_thread_state_set_reg(&state, 21, 1), "");
}

TEST(ZVCrashThreadState, VolatileClearKeepsExactlyTheCalleeSavedRegisters) {
    zvcrash_async_thread_state state = fullState(ZVCRASH_THREAD_STATE_CPU_X86_64);
    ASSERT_EQ(21u, validRegisters(state).size());
    zvcrash_async_thread_state_clear_volatile_regs(&state);
    EXPECT_EQ((std::vector<zvcrash_async_regnum>{1, 2, 4, 13, 14, 15, 16}), validRegisters(state));
    EXPECT_EQ(0x100u + 13, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_64_R12));

    state = fullState(ZVCRASH_THREAD_STATE_CPU_X86);
    zvcrash_async_thread_state_clear_volatile_regs(&state);
    EXPECT_EQ((std::vector<zvcrash_async_regnum>{ZVCRASH_X86_EBP, ZVCRASH_X86_ESP, ZVCRASH_X86_EBX, ZVCRASH_X86_ESI, ZVCRASH_X86_EDI}),
              validRegisters(state));
}

TEST(ZVCrashThreadState, DwarfRegisterTables) {
    struct Pair {
        uint64_t dwarf;
        zvcrash_async_regnum regnum;
    };
    const std::vector<Pair> x86_64 = {
        {0, ZVCRASH_X86_64_RAX},  {1, ZVCRASH_X86_64_RDX},     {2, ZVCRASH_X86_64_RCX},  {3, ZVCRASH_X86_64_RBX},  {4, ZVCRASH_X86_64_RSI},
        {5, ZVCRASH_X86_64_RDI},  {6, ZVCRASH_X86_64_RBP},     {7, ZVCRASH_X86_64_RSP},  {8, ZVCRASH_X86_64_R8},   {9, ZVCRASH_X86_64_R9},
        {10, ZVCRASH_X86_64_R10}, {11, ZVCRASH_X86_64_R11},    {12, ZVCRASH_X86_64_R12}, {13, ZVCRASH_X86_64_R13}, {14, ZVCRASH_X86_64_R14},
        {15, ZVCRASH_X86_64_R15}, {49, ZVCRASH_X86_64_RFLAGS}, {51, ZVCRASH_X86_64_CS},  {54, ZVCRASH_X86_64_FS},  {55, ZVCRASH_X86_64_GS},
    };
    const std::vector<Pair> x86 = {
        {0, ZVCRASH_X86_EAX}, {1, ZVCRASH_X86_ECX}, {2, ZVCRASH_X86_EDX}, {3, ZVCRASH_X86_EBX}, {4, ZVCRASH_X86_ESP},
        {5, ZVCRASH_X86_EBP}, {6, ZVCRASH_X86_ESI}, {7, ZVCRASH_X86_EDI}, {8, ZVCRASH_X86_EIP},
    };
    for (auto [cpu, table] : {std::pair{ZVCRASH_THREAD_STATE_CPU_X86_64, x86_64}, std::pair{ZVCRASH_THREAD_STATE_CPU_X86, x86}}) {
        zvcrash_async_thread_state state;
        zvcrash_async_thread_state_init(&state, cpu);
        // Every DWARF number from 0 to 127 maps exactly when it is in the table, both ways.
        size_t mapped = 0;
        for (uint64_t dwarf = 0; dwarf < 128; ++dwarf) {
            zvcrash_async_regnum regnum = 999;
            if (!zvcrash_async_thread_state_map_dwarf_to_reg(&state, dwarf, &regnum)) continue;
            ++mapped;
            uint64_t back = 999;
            ASSERT_TRUE(zvcrash_async_thread_state_map_reg_to_dwarf(&state, regnum, &back));
            EXPECT_EQ(dwarf, back);
        }
        EXPECT_EQ(table.size(), mapped);
        for (const Pair& pair : table) {
            zvcrash_async_regnum regnum = 999;
            ASSERT_TRUE(zvcrash_async_thread_state_map_dwarf_to_reg(&state, pair.dwarf, &regnum)) << pair.dwarf;
            EXPECT_EQ(pair.regnum, regnum) << pair.dwarf;
        }
    }
    zvcrash_async_thread_state state;
    zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86_64);
    zvcrash_async_regnum regnum;
    EXPECT_FALSE(zvcrash_async_thread_state_map_dwarf_to_reg(&state, 16, &regnum));
    uint64_t dwarf;
    EXPECT_FALSE(zvcrash_async_thread_state_map_reg_to_dwarf(&state, ZVCRASH_X86_64_RIP, &dwarf));
}

TEST(ZVCrashThreadState, ContextConvertsFieldByField) {
    ucontext_t context{};
    for (int i = 0; i < NGREG; ++i) context.uc_mcontext.gregs[i] = 0x1000 + i;
    // cs, gs, fs, ss from the bottom.
    context.uc_mcontext.gregs[REG_CSGSFS] = 0x002b'0009'0007'0033;
    zvcrash_async_thread_state state;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_ucontext_init(&state, &context));
    EXPECT_EQ(21u, validRegisters(state).size());
    EXPECT_EQ(8u, zvcrash_async_thread_state_get_greg_size(&state));
    EXPECT_EQ(ZVCRASH_STACK_DIRECTION_DOWN, zvcrash_async_thread_state_get_stack_direction(&state));
    const std::vector<std::pair<zvcrash_async_regnum, int>> fields = {
        {ZVCRASH_X86_64_RIP, REG_RIP}, {ZVCRASH_X86_64_RBP, REG_RBP},    {ZVCRASH_X86_64_RSP, REG_RSP}, {ZVCRASH_X86_64_RAX, REG_RAX},
        {ZVCRASH_X86_64_RBX, REG_RBX}, {ZVCRASH_X86_64_RCX, REG_RCX},    {ZVCRASH_X86_64_RDX, REG_RDX}, {ZVCRASH_X86_64_RDI, REG_RDI},
        {ZVCRASH_X86_64_RSI, REG_RSI}, {ZVCRASH_X86_64_R8, REG_R8},      {ZVCRASH_X86_64_R9, REG_R9},   {ZVCRASH_X86_64_R10, REG_R10},
        {ZVCRASH_X86_64_R11, REG_R11}, {ZVCRASH_X86_64_R12, REG_R12},    {ZVCRASH_X86_64_R13, REG_R13}, {ZVCRASH_X86_64_R14, REG_R14},
        {ZVCRASH_X86_64_R15, REG_R15}, {ZVCRASH_X86_64_RFLAGS, REG_EFL},
    };
    for (auto [regnum, greg] : fields)
        EXPECT_EQ(static_cast<uint64_t>(0x1000 + greg), zvcrash_async_thread_state_get_reg(&state, regnum))
            << zvcrash_async_thread_state_get_reg_name(&state, regnum);
    EXPECT_EQ(0x33u, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_64_CS));
    EXPECT_EQ(0x07u, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_64_GS));
    EXPECT_EQ(0x09u, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_64_FS));
    EXPECT_EQ(0x1000u + REG_TRAPNO, state.x86_state.exception.x86_64.trapno);
    EXPECT_EQ(0x1000u + REG_ERR, state.x86_state.exception.x86_64.err);
    EXPECT_EQ(0x1000u + REG_CR2, state.x86_state.exception.x86_64.faultvaddr);
}

TEST(ZVCrashThreadState, RealSignalContextGivesTheInterruptedRegisters) {
    struct sigaction action {};
    action.sa_sigaction = captureContext;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
    uint64_t known[5] = {};
    signalConversion = ZVCRASH_ERR_UNKNOWN;
    signalHandled = 0;
    zvcrash_test_raise_with_known_registers(known);
    // ThreadSanitizer runs handlers late, with the context it saved when the signal came.
    for (int i = 0; i < 2000 && !signalHandled; ++i) usleep(1000);
    sigaction(SIGUSR1, &previous, nullptr);

    ASSERT_EQ(ZVCRASH_OK, signalConversion);
    EXPECT_EQ(known[0], zvcrash_async_thread_state_get_reg(&capturedBySignal, ZVCRASH_X86_64_RIP));
    EXPECT_EQ(known[1], zvcrash_async_thread_state_get_reg(&capturedBySignal, ZVCRASH_X86_64_RSP));
    EXPECT_EQ(known[2], zvcrash_async_thread_state_get_reg(&capturedBySignal, ZVCRASH_X86_64_RBP));
    EXPECT_EQ(known[3], zvcrash_async_thread_state_get_reg(&capturedBySignal, ZVCRASH_X86_64_R12));
    EXPECT_EQ(known[4], zvcrash_async_thread_state_get_reg(&capturedBySignal, ZVCRASH_X86_64_R15));
    EXPECT_EQ(static_cast<uint64_t>(SIGUSR1), zvcrash_async_thread_state_get_reg(&capturedBySignal, ZVCRASH_X86_64_RDX));
    EXPECT_EQ(reinterpret_cast<uint64_t>(known), zvcrash_async_thread_state_get_reg(&capturedBySignal, ZVCRASH_X86_64_RBX));
    // The user code selector of x86-64 Linux.
    EXPECT_EQ(0x33u, zvcrash_async_thread_state_get_reg(&capturedBySignal, ZVCRASH_X86_64_CS));
}

struct Captured {
    zvcrash_async_thread_state state;
    std::vector<uintptr_t> unwound;
};

_Unwind_Reason_Code collectFrame(_Unwind_Context* context, void* arg) {
    static_cast<std::vector<uintptr_t>*>(arg)->push_back(_Unwind_GetIP(context));
    return _URC_NO_REASON;
}

zvcrash_error_t keepState(zvcrash_async_thread_state* state, void* context) {
    auto* captured = static_cast<Captured*>(context);
    zvcrash_async_thread_state_copy(&captured->state, state);
    captured->unwound.reserve(64);
    _Unwind_Backtrace(collectFrame, &captured->unwound);
    return ZVCRASH_ERR_BADDATA;
}

__attribute__((noinline)) uintptr_t returnAddress() {
    uintptr_t address = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    __asm__ volatile("" ::: "memory");
    return address;
}

struct CallerView {
    uintptr_t before, after, sp, fp;
    zvcrash_error_t result;
};

__attribute__((noinline)) CallerView captureInCaller(Captured* captured) {
    CallerView view{};
    view.before = returnAddress();
    view.result = zvcrash_async_thread_state_current(keepState, captured);
    __asm__ volatile("movq %%rsp, %0\n\tmovq %%rbp, %1" : "=r"(view.sp), "=r"(view.fp));
    view.after = returnAddress();
    return view;
}

TEST(ZVCrashThreadState, CurrentDescribesTheCallerAfterTheCall) {
    Captured captured;
    const CallerView view = captureInCaller(&captured);
    EXPECT_EQ(ZVCRASH_ERR_BADDATA, view.result);

    const zvcrash_async_thread_state& state = captured.state;
    EXPECT_EQ(21u, validRegisters(state).size());
    const uint64_t rip = zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_64_RIP);
    EXPECT_GT(rip, view.before);
    EXPECT_LT(rip, view.after);
    EXPECT_EQ(view.sp, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_64_RSP));
    EXPECT_EQ(view.fp, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_64_RBP));
    EXPECT_EQ(0x33u, zvcrash_async_thread_state_get_reg(&state, ZVCRASH_X86_64_CS));

    // The routine's CFI lets a DWARF unwinder pass through it into the caller.
    bool reachedCaller = false;
    for (uintptr_t ip : captured.unwound) reachedCaller |= ip == rip;
    EXPECT_TRUE(reachedCaller);
}

}  // namespace
