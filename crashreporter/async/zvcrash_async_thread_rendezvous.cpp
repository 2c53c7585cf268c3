#include "crashreporter/async/zvcrash_async_thread_rendezvous.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <mutex>

#include "crashreporter/async/zvcrash_async_thread_state.h"

namespace {

// A slot's word: thread id in the low 32 bits, the asking round in the next 24, the phase on top.
// One word, so that a thread claims its slot with one compare-and-swap that cannot mix a stale
// thread id with a new round.
enum Phase : uint64_t {
    PHASE_FREE = 0,
    PHASE_ASKED = 1,
    PHASE_CLAIMED = 2,  // the thread is in its handler, about to answer
    PHASE_ANSWERED = 3,
    PHASE_LEFT = 4,
    PHASE_ABANDONED = 5,  // the round ended before the thread claimed it
};
constexpr uint32_t kRoundMask = 0xffffff;
// How long to wait for answers before asking the silent threads again.
constexpr uint64_t kResendNs = 5'000'000;

uint64_t pack(pid_t thread, uint32_t round, Phase phase) {
    return uint64_t{static_cast<uint32_t>(thread)} | (uint64_t{round & kRoundMask} << 32) | (uint64_t{phase} << 56);
}
pid_t threadOf(uint64_t word) { return static_cast<pid_t>(static_cast<uint32_t>(word)); }
uint32_t roundOf(uint64_t word) { return static_cast<uint32_t>(word >> 32) & kRoundMask; }
Phase phaseOf(uint64_t word) { return static_cast<Phase>(word >> 56); }
uint64_t withPhase(uint64_t word, Phase phase) { return (word & ((uint64_t{1} << 56) - 1)) | (uint64_t{phase} << 56); }

template <typename T>
T load(const T* at) {
    return __atomic_load_n(at, __ATOMIC_SEQ_CST);
}
template <typename T>
void store(T* at, T value) {
    __atomic_store_n(at, value, __ATOMIC_SEQ_CST);
}
bool swap(uint64_t* at, uint64_t expected, uint64_t desired) {
    return __atomic_compare_exchange_n(at, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

zvcrash_async_thread_table g_own{};
zvcrash_async_thread_table* g_installed = &g_own;
int g_signal = 0;
uint32_t g_prepared = 0;
uint32_t g_busy = 0;
uint32_t g_round = 0;
// Futex words: the round that holds the asked threads (0 when none), and two counters.
uint32_t g_gate = 0;
uint32_t g_answers = 0;
uint32_t g_left = 0;

pid_t currentThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void futexWake(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0); }

// Waits while *word == value, at most timeout (none: no limit).
void futexWait(uint32_t* word, uint32_t value, const timespec* timeout) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, value, timeout, nullptr, 0);
}

uint64_t nowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(now.tv_nsec);
}

// Waits until *counter reaches target or the deadline passes.
void waitForCount(uint32_t* counter, uint32_t target, uint64_t deadline) {
    for (;;) {
        const uint32_t seen = load(counter);
        if (seen >= target) return;
        const uint64_t now = nowNs();
        if (now >= deadline) return;
        const uint64_t left = deadline - now;
        const timespec timeout{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
        futexWait(counter, seen, &timeout);
    }
}

void leave(uint64_t* slotWord, uint64_t word) {
    store(slotWord, withPhase(word, PHASE_LEFT));
    __atomic_fetch_add(&g_left, 1, __ATOMIC_SEQ_CST);
    futexWake(&g_left);
}

// Runs on each asked thread.
void onRendezvousSignal(int, siginfo_t* info, void* rawContext) {
    const int savedErrno = errno;
    if (info->si_code != SI_TKILL || info->si_pid != getpid()) {
        errno = savedErrno;
        return;
    }
    const pid_t self = currentThread();
    const uint32_t count = load(&g_own.count);
    zvcrash_async_thread_slot* slot = nullptr;
    uint64_t word = 0;
    for (uint32_t i = 0; i < count && slot == nullptr; ++i) {
        uint64_t seen = load(&g_own.slots[i].word);
        if (threadOf(seen) != self || phaseOf(seen) != PHASE_ASKED) continue;
        // Losing this race means the round ended without us; a signal left pending from an
        // earlier round lands here too.
        if (swap(&g_own.slots[i].word, seen, withPhase(seen, PHASE_CLAIMED))) {
            slot = &g_own.slots[i];
            word = seen;
        }
    }
    if (slot == nullptr) {
        errno = savedErrno;
        return;
    }
    const uint32_t round = roundOf(word);
    if (load(&g_gate) == round) {
        const auto* context = static_cast<const ucontext_t*>(rawContext);
        zvcrash_async_memcpy(&slot->context, &context->uc_mcontext, sizeof slot->context);
        // The floating-point area lives in this signal frame, which is gone once we return.
        slot->context.fpregs = nullptr;
        store(&slot->word, withPhase(word, PHASE_ANSWERED));
        __atomic_fetch_add(&g_answers, 1, __ATOMIC_SEQ_CST);
        futexWake(&g_answers);
        while (load(&g_gate) == round) futexWait(&g_gate, round, nullptr);
    }
    leave(&slot->word, word);
    errno = savedErrno;
}

// The entries of a getdents64 buffer.
struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

bool parseThreadId(const char* name, pid_t* out) {
    if (*name == '\0') return false;
    uint64_t value = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*c - '0');
        if (value > INT_MAX) return false;
    }
    *out = static_cast<pid_t>(value);
    return true;
}

}  // namespace

zvcrash_error_t zvcrash_async_thread_rendezvous_prepare(uint32_t capacity) {
    static std::mutex preparing;
    std::lock_guard<std::mutex> hold(preparing);
    if (load(&g_prepared) != 0) return ZVCRASH_OK;
    if (capacity == 0) capacity = ZVCRASH_THREAD_RENDEZVOUS_DEFAULT_CAPACITY;

    int chosen = 0;
    for (int candidate = SIGRTMAX; candidate >= SIGRTMIN && chosen == 0; --candidate) {
        struct sigaction current;
        if (sigaction(candidate, nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL) chosen = candidate;
    }
    if (chosen == 0) return ZVCRASH_ERR_INTERNAL;

    const size_t length = size_t{capacity} * sizeof(zvcrash_async_thread_slot);
    void* slots = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (slots == MAP_FAILED) return ZVCRASH_ERR_NOMEM;
    g_own.slots = static_cast<zvcrash_async_thread_slot*>(slots);
    g_own.capacity = capacity;
    store(&g_own.count, 0u);

    struct sigaction action = {};
    action.sa_sigaction = onRendezvousSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(chosen, &action, nullptr) != 0) {
        munmap(slots, length);
        g_own.slots = nullptr;
        g_own.capacity = 0;
        return ZVCRASH_ERR_INTERNAL;
    }
    store(&g_signal, chosen);
    store(&g_prepared, 1u);
    return ZVCRASH_OK;
}

int zvcrash_async_thread_rendezvous_signal() { return load(&g_signal); }

zvcrash_error_t zvcrash_async_thread_rendezvous_suspend() {
    if (load(&g_prepared) == 0) return ZVCRASH_ERR_INTERNAL;
    uint32_t idle = 0;
    if (!__atomic_compare_exchange_n(&g_busy, &idle, 1u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) return ZVCRASH_ERR_INTERNAL;

    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0) {
        store(&g_busy, 0u);
        return ZVCRASH_ERR_INTERNAL;
    }
    uint32_t round = (load(&g_round) + 1) & kRoundMask;
    if (round == 0) round = 1;
    store(&g_round, round);
    store(&g_answers, 0u);
    store(&g_left, 0u);
    store(&g_own.count, 0u);
    store(&g_gate, round);

    const pid_t self = currentThread();
    const pid_t process = getpid();
    const int signal = load(&g_signal);
    uint32_t count = 0;
    uint32_t sent = 0;
    alignas(8) char buffer[2048];
    for (;;) {
        const long filled = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (filled <= 0) break;
        for (long at = 0; at < filled;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
            at += entry->d_reclen;
            pid_t thread;
            if (!parseThreadId(entry->d_name, &thread) || thread == self) continue;
            if (count == g_own.capacity) continue;
            zvcrash_async_thread_slot* slot = &g_own.slots[count];
            store(&slot->word, pack(thread, round, PHASE_ASKED));
            store(&g_own.count, ++count);
            if (syscall(SYS_tgkill, process, thread, signal) != 0) {
                // Gone since the listing: it has nothing left to report.
                store(&slot->word, uint64_t{0});
                store(&g_own.count, --count);
                continue;
            }
            ++sent;
        }
    }
    close(fd);

    // Wait in slices, asking again the threads that have not claimed their slot: a runtime that
    // defers signals (a sanitizer's) can hold one back while the thread sleeps in a system call.
    // A repeated signal that finds its slot taken does nothing.
    const uint64_t deadline = nowNs() + ZVCRASH_THREAD_RENDEZVOUS_WAIT_NS;
    for (;;) {
        const uint64_t now = nowNs();
        const uint64_t sliceEnd = now + kResendNs < deadline ? now + kResendNs : deadline;
        waitForCount(&g_answers, sent, sliceEnd);
        if (load(&g_answers) >= sent || sliceEnd >= deadline) break;
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t word = load(&g_own.slots[i].word);
            if (phaseOf(word) == PHASE_ASKED) syscall(SYS_tgkill, process, threadOf(word), signal);
        }
    }
    return ZVCRASH_OK;
}

uint32_t zvcrash_async_thread_rendezvous_count() { return load(&g_own.count); }

pid_t zvcrash_async_thread_rendezvous_thread(uint32_t index) {
    if (index >= load(&g_own.count)) return 0;
    return threadOf(load(&g_own.slots[index].word));
}

bool zvcrash_async_thread_rendezvous_answered(uint32_t index) {
    if (index >= load(&g_own.count)) return false;
    return phaseOf(load(&g_own.slots[index].word)) == PHASE_ANSWERED;
}

void zvcrash_async_thread_rendezvous_resume() {
    if (load(&g_busy) == 0) return;
    store(&g_gate, 0u);
    futexWake(&g_gate);
    // Settle every slot: one not claimed yet is abandoned, so that its late signal finds
    // nothing to do; one claimed will leave, and is waited for.
    const uint32_t count = load(&g_own.count);
    uint32_t leaving = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t* word = &g_own.slots[i].word;
        for (;;) {
            const uint64_t seen = load(word);
            if (phaseOf(seen) == PHASE_ASKED) {
                if (swap(word, seen, withPhase(seen, PHASE_ABANDONED))) break;
                continue;
            }
            if (phaseOf(seen) == PHASE_CLAIMED || phaseOf(seen) == PHASE_ANSWERED || phaseOf(seen) == PHASE_LEFT) ++leaving;
            break;
        }
    }
    waitForCount(&g_left, leaving, nowNs() + ZVCRASH_THREAD_RENDEZVOUS_WAIT_NS);
    store(&g_busy, 0u);
}

zvcrash_async_thread_table* zvcrash_async_thread_table_install(zvcrash_async_thread_table* table) {
    zvcrash_async_thread_table* previous = load(&g_installed);
    store(&g_installed, table != nullptr ? table : &g_own);
    return previous;
}

uint64_t zvcrash_async_thread_slot_answered_word(pid_t thread) { return pack(thread, 0, PHASE_ANSWERED); }

zvcrash_error_t zvcrash_async_thread_state_mach_thread_init(zvcrash_async_thread_state* state, pid_t thread) {
    const zvcrash_async_thread_table* table = load(&g_installed);
    const uint32_t count = load(&table->count);
    for (uint32_t i = 0; i < count; ++i) {
        const zvcrash_async_thread_slot* slot = &table->slots[i];
        const uint64_t word = load(&slot->word);
        if (threadOf(word) != thread) continue;
        if (phaseOf(word) != PHASE_ANSWERED) return ZVCRASH_ERR_INTERNAL;
        ucontext_t context;
        zvcrash_async_memset(&context, 0, sizeof context);
        zvcrash_async_memcpy(&context.uc_mcontext, &slot->context, sizeof context.uc_mcontext);
        return zvcrash_async_thread_state_ucontext_init(state, &context);
    }
    return ZVCRASH_ERR_INTERNAL;
}
