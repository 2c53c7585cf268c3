// Runs every crash-time routine of the layer's foundation with the allocator shut: while the
// flag is set, any malloc, free or operator new of the process (the C library's own included)
// prints a line and aborts. The other sources of this program check the rest of the crash path
// the same way.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "crashreporter/async/NoAllocationTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/ZVCrashProcessInfo.h"
#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_file.h"
#include "crashreporter/async/zvcrash_async_mobject.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"
#include "crashreporter/async/zvcrash_sysctl.h"

namespace {

// The replacements below run before the sanitizers' runtime is set up (it allocates while it
// starts), so they are kept out of its instrumentation and touch only plain data.
#define ZV_UNINSTRUMENTED __attribute__((no_sanitize("address", "undefined", "thread")))

bool allocationForbidden = false;

[[noreturn]] void refuse(const char* what) {
    static const char prefix[] = "allocation while forbidden: ";
    (void)!::write(2, prefix, sizeof(prefix) - 1);
    (void)!::write(2, what, strlen(what));
    (void)!::write(2, "\n", 1);
    abort();
}

ZV_UNINSTRUMENTED void check(const char* what) {
    if (__atomic_load_n(&allocationForbidden, __ATOMIC_RELAXED)) refuse(what);
}

// While dlsym looks the real allocator up it may allocate itself: serve that from here.
alignas(16) unsigned char bootstrap[4096];
size_t bootstrapUsed = 0;
ZV_UNINSTRUMENTED bool isBootstrap(void* p) { return p >= bootstrap && p < bootstrap + sizeof(bootstrap); }
ZV_UNINSTRUMENTED void* fromBootstrap(size_t size) {
    const size_t rounded = (size + 15) & ~size_t{15};
    if (bootstrapUsed + rounded > sizeof(bootstrap)) abort();
    void* p = bootstrap + bootstrapUsed;
    bootstrapUsed += rounded;
    return p;
}

using MallocFn = void* (*)(size_t);
using FreeFn = void (*)(void*);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);
using MemalignFn = int (*)(void**, size_t, size_t);
using AlignedAllocFn = void* (*)(size_t, size_t);
using VallocFn = void* (*)(size_t);

struct RealAllocator {
    MallocFn malloc;
    FreeFn free;
    CallocFn calloc;
    ReallocFn realloc;
    MemalignFn posixMemalign;
    AlignedAllocFn alignedAlloc;
    AlignedAllocFn memalign;
    VallocFn valloc;
    VallocFn pvalloc;
};
RealAllocator real;
bool resolved = false;
bool resolving = false;

// The next definitions in the lookup order: the C library's, or the sanitizer's. Until they are
// known (dlsym allocates and frees while it looks), allocations come from the bootstrap area and
// frees are dropped.
ZV_UNINSTRUMENTED bool resolve() {
    if (resolved) return true;
    if (resolving) return false;
    resolving = true;
    RealAllocator found;
    found.malloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    found.free = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    found.calloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
    found.realloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    found.posixMemalign = reinterpret_cast<MemalignFn>(dlsym(RTLD_NEXT, "posix_memalign"));
    found.alignedAlloc = reinterpret_cast<AlignedAllocFn>(dlsym(RTLD_NEXT, "aligned_alloc"));
    found.memalign = reinterpret_cast<AlignedAllocFn>(dlsym(RTLD_NEXT, "memalign"));
    found.valloc = reinterpret_cast<VallocFn>(dlsym(RTLD_NEXT, "valloc"));
    found.pvalloc = reinterpret_cast<VallocFn>(dlsym(RTLD_NEXT, "pvalloc"));
    if (!found.malloc || !found.free || !found.calloc || !found.realloc || !found.posixMemalign || !found.alignedAlloc || !found.memalign ||
        !found.valloc || !found.pvalloc)
        abort();
    real = found;
    resolved = true;
    resolving = false;
    return true;
}

}  // namespace

extern "C" {

ZV_UNINSTRUMENTED void* malloc(size_t size) {
    check("malloc");
    if (!resolve()) return fromBootstrap(size);
    return real.malloc(size);
}

ZV_UNINSTRUMENTED void free(void* p) {
    check("free");
    if (p == nullptr || isBootstrap(p) || !resolve()) return;
    real.free(p);
}

ZV_UNINSTRUMENTED void* calloc(size_t count, size_t size) {
    check("calloc");
    // The bootstrap area is still all zeroes: nothing there is ever handed out twice.
    if (!resolve()) return fromBootstrap(count * size);
    return real.calloc(count, size);
}

ZV_UNINSTRUMENTED void* realloc(void* p, size_t size) {
    check("realloc");
    if (!resolve() || isBootstrap(p)) {
        auto* moved = static_cast<unsigned char*>(malloc(size));
        if (p != nullptr)
            for (size_t i = 0; i < size && static_cast<unsigned char*>(p) + i < bootstrap + sizeof(bootstrap); ++i)
                moved[i] = static_cast<unsigned char*>(p)[i];
        return moved;
    }
    return real.realloc(p, size);
}

ZV_UNINSTRUMENTED int posix_memalign(void** out, size_t alignment, size_t size) {
    check("posix_memalign");
    if (!resolve()) abort();
    return real.posixMemalign(out, alignment, size);
}

ZV_UNINSTRUMENTED void* aligned_alloc(size_t alignment, size_t size) {
    check("aligned_alloc");
    if (!resolve()) abort();
    return real.alignedAlloc(alignment, size);
}

ZV_UNINSTRUMENTED void* memalign(size_t alignment, size_t size) {
    check("memalign");
    if (!resolve()) abort();
    return real.memalign(alignment, size);
}

ZV_UNINSTRUMENTED void* valloc(size_t size) {
    check("valloc");
    if (!resolve()) abort();
    return real.valloc(size);
}

ZV_UNINSTRUMENTED void* pvalloc(size_t size) {
    check("pvalloc");
    if (!resolve()) abort();
    return real.pvalloc(size);
}

}  // extern "C"

// The sanitizers bring their own operator new that does not go through malloc: check it here.
void* operator new(size_t size) {
    check("operator new");
    if (void* p = malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

// The aligned forms take their memory from aligned_alloc, with the size rounded up to the
// alignment as it requires.
void* operator new(size_t size, std::align_val_t alignment) {
    check("operator new (aligned)");
    const auto align = static_cast<size_t>(alignment);
    const size_t rounded = ((size == 0 ? 1 : size) + align - 1) & ~(align - 1);
    if (void* p = aligned_alloc(align, rounded)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size, std::align_val_t alignment) { return operator new(size, alignment); }
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    check("operator new (aligned)");
    const auto align = static_cast<size_t>(alignment);
    return aligned_alloc(align, ((size == 0 ? 1 : size) + align - 1) & ~(align - 1));
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t& tag) noexcept {
    return operator new(size, alignment, tag);
}
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { free(p); }

void zvcrash::testing::setAllocationForbidden(bool forbidden) { __atomic_store_n(&allocationForbidden, forbidden, __ATOMIC_RELAXED); }

namespace {

using zvcrash::testing::NoAllocation;
using zvcrash::testing::SimulatedTask;

TEST(ZVCrashNoAllocation, TheCheckCatchesAllocations) {
    EXPECT_DEATH(
        {
            NoAllocation shut;
            void* volatile p = malloc(16);
            (void)p;
        },
        "allocation while forbidden: malloc");
    EXPECT_DEATH(
        {
            NoAllocation shut;
            auto* volatile p = new int(3);
            (void)p;
        },
        "allocation while forbidden: operator new");
    struct alignas(64) Wide {
        char bytes[64];
    };
    EXPECT_DEATH(
        {
            NoAllocation shut;
            auto* volatile p = new Wide();
            (void)p;
        },
        "allocation while forbidden: operator new \\(aligned\\)");
    EXPECT_DEATH(
        {
            NoAllocation shut;
            void* volatile p = memalign(64, 64);
            (void)p;
        },
        "allocation while forbidden: memalign");
    // The C library's own allocations count too. (AddressSanitizer's strdup takes memory from the
    // sanitizer directly, past any replacement.)
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_DEATH(
        {
            NoAllocation shut;
            char* volatile copy = strdup("frame");
            (void)copy;
        },
        "allocation while forbidden");
#endif
}

TEST(ZVCrashNoAllocation, PrimitivesFileAndMemoryObjects) {
    const size_t page = 4096;
    auto* area = static_cast<uint8_t*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    std::memset(area, 0x5a, page);
    ASSERT_EQ(0, mprotect(area + page, page, PROT_NONE));
    ASSERT_EQ(0, munmap(area + 2 * page, page));
    const auto base = reinterpret_cast<uint64_t>(area);
    SimulatedTask simulated;
    simulated.map(0x10000, {1, 2, 3, 4, 5, 6, 7, 8});
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const char* message = nullptr;
    zvcrash_error_t reads[8] = {};
    uint64_t sum = 0;
    bool fileOk = false;
    zvcrash_error_t mapped = ZVCRASH_ERR_UNKNOWN, refused = ZVCRASH_OK;
    int compared = -1;
    ssize_t written = -1;
    {
        NoAllocation shut;
        message = zvcrash_async_strerror(ZVCRASH_ERR_BADDATA);
        sum += zvcrash_async_strerror(99)[0];
        const zvcrash_async_byteorder* orders[] = {zvcrash_async_byteorder_direct(), zvcrash_async_byteorder_swapped()};
        for (const auto* order : orders) sum += order->swap16(1) + order->swap32(2) + order->swap64(3);
        sum += zvcrash_async_byteorder_direct16(1) + zvcrash_async_byteorder_direct32(1) + zvcrash_async_byteorder_direct64(1) +
               zvcrash_async_byteorder_swap16(1) + zvcrash_async_byteorder_swap32(1) + zvcrash_async_byteorder_swap64(1);
        uint64_t address = 0;
        sum += zvcrash_async_address_apply_offset(base, 8, &address) ? address : 0;
        sum += static_cast<uint64_t>(zvcrash_async_current_thread_port());

        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        char buffer[16];
        reads[0] = zvcrash_async_task_memcpy(zvcrash_async_task_self(), base, 0, buffer, sizeof(buffer));
        reads[1] = zvcrash_async_task_read_uint8(zvcrash_async_task_self(), base + page, 0, &u8);
        reads[2] = zvcrash_async_task_read_uint16(zvcrash_async_task_self(), zvcrash_async_byteorder_direct(), base + 2 * page, 0, &u16);
        reads[3] = zvcrash_async_task_read_uint32(zvcrash_async_task_self(), zvcrash_async_byteorder_swapped(), base, 4, &u32);
        reads[4] = zvcrash_async_task_read_uint64(zvcrash_async_task_self(), zvcrash_async_byteorder_direct(), base, 8, &u64);
        reads[5] = zvcrash_async_task_read_uint64(simulated.task(), zvcrash_async_byteorder_direct(), 0x10000, 0, &u64);

        compared = zvcrash_async_strcmp("abc", "abd") + zvcrash_async_strncmp("abc", "abd", 2);
        zvcrash_async_memcpy(buffer, "crash", 6);
        zvcrash_async_memset(buffer, 'x', 2);

        written = zvcrash_async_writen(fds[1], buffer, 0);
        zvcrash_async_file file;
        zvcrash_async_file_init(&file, fds[1], 1000);
        char big[300] = {};
        fileOk = zvcrash_async_file_write(&file, "header", 6) && zvcrash_async_file_write(&file, big, sizeof(big)) &&
                 zvcrash_async_file_flush(&file) && zvcrash_async_file_write(&file, "tail", 4) && zvcrash_async_file_close(&file);

        zvcrash_async_mobject mobj;
        mapped = zvcrash_async_mobject_init(&mobj, zvcrash_async_task_self(), base + 4, 2 * page, false);
        if (mapped == ZVCRASH_OK) {
            sum += zvcrash_async_mobject_base_address(&mobj) + zvcrash_async_mobject_length(&mobj);
            sum += zvcrash_async_mobject_task(&mobj) == zvcrash_async_task_self();
            sum += zvcrash_async_mobject_verify_local_pointer(&mobj, mobj.address, 0, 8);
            sum += zvcrash_async_mobject_remap_address(&mobj, base + 4, 0, 8) != nullptr;
            reads[6] = zvcrash_async_mobject_read_uint8(&mobj, base, 4, &u8);
            reads[6] = static_cast<zvcrash_error_t>(
                reads[6] | zvcrash_async_mobject_read_uint16(&mobj, zvcrash_async_byteorder_direct(), base, 4, &u16) |
                zvcrash_async_mobject_read_uint32(&mobj, zvcrash_async_byteorder_direct(), base, 4, &u32) |
                zvcrash_async_mobject_read_uint64(&mobj, zvcrash_async_byteorder_direct(), base, 4, &u64));
            zvcrash_async_mobject_free(&mobj);
        }
        refused = zvcrash_async_mobject_init(&mobj, zvcrash_async_task_self(), base, 2 * page, true);
        zvcrash_async_mobject mobjSimulated;
        reads[7] = zvcrash_async_mobject_init(&mobjSimulated, simulated.task(), 0x10000, 8, true);
        if (reads[7] == ZVCRASH_OK) zvcrash_async_mobject_free(&mobjSimulated);
    }
    close(fds[0]);
    munmap(area, 2 * page);
    EXPECT_STREQ("The input data is in an unknown or invalid format.", message);
    EXPECT_EQ(ZVCRASH_OK, reads[0]);
    EXPECT_EQ(ZVCRASH_ERR_ACCESS, reads[1]);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, reads[2]);
    EXPECT_EQ(ZVCRASH_OK, reads[3]);
    EXPECT_EQ(ZVCRASH_OK, reads[4]);
    EXPECT_EQ(ZVCRASH_OK, reads[5]);
    EXPECT_EQ(ZVCRASH_OK, reads[6]);
    EXPECT_EQ(ZVCRASH_OK, reads[7]);
    EXPECT_EQ(ZVCRASH_OK, mapped);
    EXPECT_EQ(ZVCRASH_ERR_NOMEM, refused);
    EXPECT_EQ(-1, compared);
    EXPECT_EQ(0, written);
    EXPECT_TRUE(fileOk);
    EXPECT_NE(0u, sum);
}

zvcrash_async_thread_state fromSignal;
zvcrash_error_t signalResult = ZVCRASH_ERR_UNKNOWN;

void convertInHandler(int, siginfo_t*, void* context) {
    signalResult = zvcrash_async_thread_state_ucontext_init(&fromSignal, static_cast<const ucontext_t*>(context));
}

zvcrash_error_t walkState(zvcrash_async_thread_state* state, void* context) {
    auto* sum = static_cast<uint64_t*>(context);
    zvcrash_async_thread_state copy;
    zvcrash_async_thread_state_copy(&copy, state);
    for (zvcrash_async_regnum n = 0; n < zvcrash_async_thread_state_get_reg_count(&copy); ++n) {
        if (zvcrash_async_thread_state_has_reg(&copy, n)) *sum += zvcrash_async_thread_state_get_reg(&copy, n);
        *sum += zvcrash_async_thread_state_get_reg_name(&copy, n)[0];
        uint64_t dwarf;
        zvcrash_async_regnum back;
        if (zvcrash_async_thread_state_map_reg_to_dwarf(&copy, n, &dwarf) &&
            zvcrash_async_thread_state_map_dwarf_to_reg(&copy, dwarf, &back))
            *sum += back;
    }
    zvcrash_async_thread_state_set_reg(&copy, ZVCRASH_REG_IP, 1);
    zvcrash_async_thread_state_clear_reg(&copy, ZVCRASH_REG_SP);
    zvcrash_async_thread_state_clear_volatile_regs(&copy);
    zvcrash_async_thread_state_clear_all_regs(&copy);
    *sum += zvcrash_async_thread_state_get_stack_direction(&copy) + zvcrash_async_thread_state_get_greg_size(&copy);
    return ZVCRASH_OK;
}

TEST(ZVCrashNoAllocation, ThreadStates) {
    struct sigaction action {};
    action.sa_sigaction = convertInHandler;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
    uint64_t sum = 0;
    zvcrash_error_t results[4] = {};
    {
        NoAllocation shut;
        raise(SIGUSR1);
        zvcrash_async_thread_state state;
        results[0] = zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86);
        results[1] = walkState(&state, &sum);
        results[2] = zvcrash_async_thread_state_current(walkState, &sum);
        results[3] = walkState(&fromSignal, &sum);
    }
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(ZVCRASH_OK, signalResult);
    EXPECT_EQ(ZVCRASH_OK, results[0]);
    EXPECT_EQ(ZVCRASH_OK, results[1]);
    EXPECT_EQ(ZVCRASH_OK, results[2]);
    EXPECT_EQ(ZVCRASH_OK, results[3]);
    EXPECT_NE(0u, sum);
}

TEST(ZVCrashNoAllocation, TextChecksAndGatheredFacts) {
    const auto process = ZVCrashProcessInfo::currentProcessInfo();
    ASSERT_NE(nullptr, process);
    size_t lengths = 0;
    pid_t ids = 0;
    bool traced = true;
    {
        NoAllocation shut;
        lengths = zvcrash_sysctl_valid_utf8_length("caf\xC3\xA9\xE2", 6) + zvcrash_sysctl_valid_utf8_strlen("abc");
        ids = process->processID() + process->parentProcessID() + static_cast<pid_t>(process->startTime().tv_sec != 0);
        lengths += process->processName() ? process->processName()->size() : 0;
        traced = process->isTraced();
    }
    EXPECT_GT(lengths, 8u);
    EXPECT_NE(0, ids);
    EXPECT_FALSE(traced);
}

}  // namespace
