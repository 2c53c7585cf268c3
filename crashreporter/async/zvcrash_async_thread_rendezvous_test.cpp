#include "crashreporter/async/zvcrash_async_thread_rendezvous.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "crashreporter/async/ParkedThreadsTesting.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"

namespace {

using zvcrash::testing::ParkedThreads;

// Releases the threads of a round however the test ends (resuming twice does nothing).
struct ResumeAtEnd {
    ~ResumeAtEnd() { zvcrash_async_thread_rendezvous_resume(); }
};

class ZVCrashThreadRendezvous : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_rendezvous_prepare(0)); }

    // The index of thread in the last round's list, or -1.
    static int indexOf(pid_t thread) {
        for (uint32_t i = 0; i < zvcrash_async_thread_rendezvous_count(); ++i)
            if (zvcrash_async_thread_rendezvous_thread(i) == thread) return static_cast<int>(i);
        return -1;
    }
};

TEST_F(ZVCrashThreadRendezvous, ReservesARealTimeSignalOnce) {
    const int signal = zvcrash_async_thread_rendezvous_signal();
    EXPECT_GE(signal, SIGRTMIN);
    EXPECT_LE(signal, SIGRTMAX);
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_thread_rendezvous_prepare(0));
    EXPECT_EQ(signal, zvcrash_async_thread_rendezvous_signal());
}

TEST_F(ZVCrashThreadRendezvous, AParkedThreadGivesItsRegisters) {
    ParkedThreads threads(1);
    ResumeAtEnd resume;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_rendezvous_suspend());
    const int index = indexOf(threads.id(0));
    ASSERT_GE(index, 0);
    EXPECT_TRUE(zvcrash_async_thread_rendezvous_answered(index));

    zvcrash_async_thread_state state;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_mach_thread_init(&state, threads.id(0)));
    zvcrash_async_thread_rendezvous_resume();
    // The stack pointer lies on that thread's own stack.
    const uint64_t sp = zvcrash_async_thread_state_get_reg(&state, ZVCRASH_REG_SP);
    EXPECT_GE(sp, threads.stackLow(0));
    EXPECT_LT(sp, threads.stackHigh(0));
    EXPECT_TRUE(zvcrash_async_thread_state_has_reg(&state, ZVCRASH_REG_IP));

    // Once released, nothing more can be read; an unknown thread never could.
    EXPECT_EQ(ZVCRASH_ERR_INTERNAL, zvcrash_async_thread_state_mach_thread_init(&state, threads.id(0)));
    EXPECT_EQ(ZVCRASH_ERR_INTERNAL, zvcrash_async_thread_state_mach_thread_init(&state, 0x7ffffff0));
    EXPECT_TRUE(threads.releaseAndJoin());
}

TEST_F(ZVCrashThreadRendezvous, SixteenThreadsStopAndAllGo) {
    ParkedThreads threads(16);
    for (int round = 0; round < 3; ++round) {
        ResumeAtEnd resume;
        ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_rendezvous_suspend());
        // A second round cannot start while one is under way.
        EXPECT_EQ(ZVCRASH_ERR_INTERNAL, zvcrash_async_thread_rendezvous_suspend());
        for (size_t i = 0; i < threads.size(); ++i) {
            const int index = indexOf(threads.id(i));
            ASSERT_GE(index, 0) << i;
            EXPECT_TRUE(zvcrash_async_thread_rendezvous_answered(index)) << i;
        }
        EXPECT_EQ(-1, indexOf(static_cast<pid_t>(syscall(SYS_gettid))));
        // Stopped: none of them gets anywhere while held.
        const uint64_t before = threads.wakeups();
        threads.poke();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(before, threads.wakeups());
        zvcrash_async_thread_rendezvous_resume();
        threads.waitForWakeups(before + threads.size());
    }
    // Every thread left its handler: all of them finish.
    EXPECT_TRUE(threads.releaseAndJoin());
}

TEST_F(ZVCrashThreadRendezvous, AThreadBlockingTheSignalIsReportedWithoutRegisters) {
    ParkedThreads answering(2);
    ParkedThreads blocking(1, zvcrash_async_thread_rendezvous_signal());
    const auto start = std::chrono::steady_clock::now();
    ResumeAtEnd resume;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_rendezvous_suspend());
    const auto waited = std::chrono::steady_clock::now() - start;
    const int index = indexOf(blocking.id(0));
    ASSERT_GE(index, 0);
    EXPECT_FALSE(zvcrash_async_thread_rendezvous_answered(index));
    zvcrash_async_thread_state state;
    EXPECT_EQ(ZVCRASH_ERR_INTERNAL, zvcrash_async_thread_state_mach_thread_init(&state, blocking.id(0)));
    for (size_t i = 0; i < answering.size(); ++i)
        EXPECT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_mach_thread_init(&state, answering.id(i)));
    zvcrash_async_thread_rendezvous_resume();

    const auto bound = std::chrono::nanoseconds(ZVCRASH_THREAD_RENDEZVOUS_WAIT_NS);
    EXPECT_GE(waited, bound);
    EXPECT_LT(waited, bound + std::chrono::seconds(1));
    // Its signal, still pending, finds the round over once unblocked and does nothing.
    EXPECT_TRUE(blocking.releaseAndJoin());
    EXPECT_TRUE(answering.releaseAndJoin());
}

}  // namespace
