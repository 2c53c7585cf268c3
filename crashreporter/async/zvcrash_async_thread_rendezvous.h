// Stopping the other threads of this process and reading their registers, from inside it.
//
// Linux has no call that suspends another thread and hands over its registers, so each thread is
// asked to do it itself: a reserved real-time signal, sent with tgkill, runs a handler on that
// thread which copies its machine context into a slot of a table prepared beforehand, says so
// through an atomic word and a futex wake, and then waits on a futex until the caller lets every
// thread go. The caller waits a bounded time for the answers; a thread that blocks the signal or
// never answers is left out of the register reads (zvcrash_async_thread_state_mach_thread_init
// gives ZVCRASH_ERR_INTERNAL for it) and the others go on.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"

// How long the caller waits, in all, for the threads it asked to answer. Answers take tens of
// microseconds even with a hundred threads; the margin is for a loaded machine.
constexpr uint64_t ZVCRASH_THREAD_RENDEZVOUS_WAIT_NS = 100000000;

// Slots for this many threads unless prepare is given another count.
constexpr uint32_t ZVCRASH_THREAD_RENDEZVOUS_DEFAULT_CAPACITY = 1024;

// One asked thread: a word holding its thread id, the round that asked it and how far it got
// (read and written with atomic operations only), and the machine context it left.
struct zvcrash_async_thread_slot {
    uint64_t word;
    mcontext_t context;
};

// The slots of the threads asked in the current round.
struct zvcrash_async_thread_table {
    zvcrash_async_thread_slot* slots;
    uint32_t capacity;
    // Slots bound in the current round (atomic).
    uint32_t count;
};

// Reserves a real-time signal (the highest one still at its default action), installs its
// handler and maps a table of capacity slots (0: the default capacity). Once per process; later
// calls return 0 without changing anything. ZVCRASH_ERR_NOMEM when the table cannot be mapped,
// ZVCRASH_ERR_INTERNAL when no signal is free or its handler cannot be installed.
// Not safe at crash time: installs a signal handler and maps memory.
zvcrash_error_t zvcrash_async_thread_rendezvous_prepare(uint32_t capacity);

// The reserved signal, or 0 before prepare. Safe at crash time.
int zvcrash_async_thread_rendezvous_signal();

// Lists the threads of this process other than the caller, sends each the reserved signal and
// waits until every one has answered or ZVCRASH_THREAD_RENDEZVOUS_WAIT_NS have passed. Threads
// beyond the table's capacity are left running. ZVCRASH_ERR_INTERNAL before prepare, while
// another round is under way, or when the thread list cannot be read. Safe at crash time.
zvcrash_error_t zvcrash_async_thread_rendezvous_suspend();

// The threads listed by the last suspend: how many, the thread id of each, and whether it
// answered (its registers can be read). Safe at crash time (all three).
uint32_t zvcrash_async_thread_rendezvous_count();
pid_t zvcrash_async_thread_rendezvous_thread(uint32_t index);
bool zvcrash_async_thread_rendezvous_answered(uint32_t index);

// Lets every stopped thread go, makes sure a thread that has not answered yet will not stop
// later, and waits (bounded) until the answered threads have left their handlers. Safe at
// crash time.
void zvcrash_async_thread_rendezvous_resume();

// Makes table the one that register reads look in; returns the one it replaces. For tests,
// which set up simulated threads. Not safe at crash time: meant for set-up, not synchronised
// with a round under way.
zvcrash_async_thread_table* zvcrash_async_thread_table_install(zvcrash_async_thread_table* table);

// The word of a slot whose thread answered: what a simulated table stores. Safe at crash time.
uint64_t zvcrash_async_thread_slot_answered_word(pid_t thread);
