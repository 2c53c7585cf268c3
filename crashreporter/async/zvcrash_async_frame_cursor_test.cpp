#include "crashreporter/async/zvcrash_async_frame_cursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"

namespace {

using zvcrash::testing::SimulatedTask;

std::vector<uint8_t> words(std::initializer_list<uint64_t> values) {
    std::vector<uint8_t> out(values.size() * 8);
    size_t at = 0;
    for (uint64_t value : values) {
        std::memcpy(out.data() + at, &value, 8);
        at += 8;
    }
    return out;
}

// Readers whose answers the test scripts, recording how they were called.
struct Script {
    int calls[3] = {};
    zvcrash_async_frame_error results[3] = {ZVCRASH_FRAME_ERR_NOTSUP, ZVCRASH_FRAME_ERR_NOTSUP, ZVCRASH_FRAME_ERR_NOTSUP};
    uint64_t nextIp = 0x500000;
    std::vector<bool> sawPrevious;
    std::vector<uint64_t> previousIps;
};
Script* g_script = nullptr;

template <int N>
zvcrash_async_frame_error scripted(zvcrash_async_task_t, zvcrash_async_image_list*, const zvcrash_async_thread_state* current,
                                   const zvcrash_async_thread_state* previous, zvcrash_async_thread_state* out) {
    ++g_script->calls[N];
    if (N == 0) {
        g_script->sawPrevious.push_back(previous != nullptr);
        g_script->previousIps.push_back(previous != nullptr ? zvcrash_async_thread_state_get_reg(previous, ZVCRASH_REG_IP) : 0);
    }
    if (g_script->results[N] != ZVCRASH_FRAME_OK) return g_script->results[N];
    zvcrash_async_thread_state_copy(out, current);
    zvcrash_async_thread_state_set_reg(out, ZVCRASH_REG_IP, g_script->nextIp);
    g_script->nextIp += 0x10;
    return ZVCRASH_FRAME_OK;
}
constexpr zvcrash_async_frame_reader kScripted[] = {scripted<0>, scripted<1>, scripted<2>};

class ZVCrashFrameCursor : public ::testing::Test {
protected:
    void SetUp() override {
        g_script = &script_;
        zvcrash_async_image_list_init(&images_, task_.task());
        ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_init(&initial_, ZVCRASH_THREAD_STATE_CPU_X86_64));
        zvcrash_async_thread_state_set_reg(&initial_, ZVCRASH_REG_IP, 0x400000);
        zvcrash_async_thread_state_set_reg(&initial_, ZVCRASH_REG_SP, 0x6f00);
        zvcrash_async_thread_state_set_reg(&initial_, ZVCRASH_REG_FP, 0x7000);
        zvcrash_async_thread_state_set_reg(&initial_, ZVCRASH_X86_64_RAX, 42);
        zvcrash_async_frame_cursor_init(&cursor_, task_.task(), &initial_, &images_);
    }
    void TearDown() override {
        zvcrash_async_frame_cursor_free(&cursor_);
        zvcrash_async_image_list_free(&images_);
        g_script = nullptr;
    }
    uint64_t ip() const {
        uint64_t value = 0;
        EXPECT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_cursor_get_reg(&cursor_, ZVCRASH_REG_IP, &value));
        return value;
    }

    Script script_;
    SimulatedTask task_;
    zvcrash_async_image_list images_{};
    zvcrash_async_thread_state initial_;
    zvcrash_async_frame_cursor cursor_;
};

TEST_F(ZVCrashFrameCursor, FirstStepIsTheInitialStateAndCallsNoReader) {
    script_.results[0] = ZVCRASH_FRAME_OK;
    ASSERT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 3));
    EXPECT_EQ(0, script_.calls[0] + script_.calls[1] + script_.calls[2]);
    EXPECT_EQ(0, std::memcmp(&initial_, &cursor_.frame, sizeof initial_));
    EXPECT_EQ(1u, cursor_.depth);
    uint64_t rax = 0;
    EXPECT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_cursor_get_reg(&cursor_, ZVCRASH_X86_64_RAX, &rax));
    EXPECT_EQ(42u, rax);
    EXPECT_EQ(ZVCRASH_FRAME_ERR_NOTSUP, zvcrash_async_frame_cursor_get_reg(&cursor_, ZVCRASH_X86_64_RBX, &rax));
    EXPECT_EQ(21u, zvcrash_async_frame_cursor_get_regcount(&cursor_));
    EXPECT_STREQ("rip", zvcrash_async_frame_cursor_get_regname(&cursor_, ZVCRASH_REG_IP));

    // Later steps: the first reader that succeeds wins, the younger frame goes along from the
    // second step on.
    ASSERT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 3));
    ASSERT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 3));
    EXPECT_EQ(0x500010u, ip());
    EXPECT_EQ(3u, cursor_.depth);
    EXPECT_EQ(2, script_.calls[0]);
    EXPECT_EQ(0, script_.calls[1]);
    EXPECT_EQ((std::vector<bool>{false, true}), script_.sawPrevious);
    EXPECT_EQ(0x400000u, script_.previousIps[1]);
}

TEST_F(ZVCrashFrameCursor, AllReadersFailingGiveTheLastOnesCode) {
    ASSERT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 3));
    script_.results[0] = ZVCRASH_FRAME_ERR_INVAL;
    script_.results[1] = ZVCRASH_FRAME_ERR_NOTSUP;
    script_.results[2] = ZVCRASH_FRAME_ERR_BAD_FRAME;
    EXPECT_EQ(ZVCRASH_FRAME_ERR_BAD_FRAME, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 3));
    EXPECT_EQ(1, script_.calls[0]);
    EXPECT_EQ(1, script_.calls[1]);
    EXPECT_EQ(1, script_.calls[2]);
    // The failed step left the cursor where it was.
    EXPECT_EQ(0x400000u, ip());
    EXPECT_EQ(ZVCRASH_FRAME_ERR_INVAL, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 0));
    script_.results[1] = ZVCRASH_FRAME_OK;
    EXPECT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 3));
    EXPECT_EQ(1, script_.calls[2]);
}

TEST_F(ZVCrashFrameCursor, AReturnAddressInTheFirstPageEndsTheWalk) {
    ASSERT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 3));
    script_.results[0] = ZVCRASH_FRAME_OK;
    for (uint64_t low : {uint64_t{0}, uint64_t{0x10}, uint64_t{0x1000}}) {
        script_.nextIp = low;
        EXPECT_EQ(ZVCRASH_FRAME_ERR_NO_FRAME, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 3)) << low;
    }
    script_.nextIp = 0x1001;
    EXPECT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_cursor_next_with_readers(&cursor_, kScripted, 3));
    EXPECT_EQ(0x1001u, ip());
}

TEST_F(ZVCrashFrameCursor, APcInNoImageFallsBackToFramePointersUntilAZeroOne) {
    // Three saved frames; the outermost saved frame pointer is 0.
    task_.map(0x7000, words({0x7100, 0x401000}));
    task_.map(0x7100, words({0x7200, 0x402000}));
    task_.map(0x7200, words({0, 0x403000}));
    zvcrash_async_thread_state state;
    EXPECT_EQ(ZVCRASH_FRAME_ERR_NOTSUP, zvcrash_async_frame_read_compact_unwind(task_.task(), &images_, &initial_, nullptr, &state));
    EXPECT_EQ(ZVCRASH_FRAME_ERR_NOTSUP, zvcrash_async_frame_read_dwarf_unwind(task_.task(), &images_, &initial_, nullptr, &state));

    std::vector<uint64_t> ips;
    zvcrash_async_frame_error result;
    while ((result = zvcrash_async_frame_cursor_next(&cursor_)) == ZVCRASH_FRAME_OK) ips.push_back(ip());
    EXPECT_EQ((std::vector<uint64_t>{0x400000, 0x401000, 0x402000, 0x403000}), ips);
    EXPECT_EQ(ZVCRASH_FRAME_ERR_NO_FRAME, result);
    // A frame-pointer step knows only the frame pointer and the return address.
    EXPECT_EQ(0u, cursor_.frame.valid_regs & ~((uint64_t{1} << ZVCRASH_REG_IP) | (uint64_t{1} << ZVCRASH_REG_FP)));
}

TEST_F(ZVCrashFrameCursor, FramePointerReaderRefusesAFrameOnTheYoungerSide) {
    task_.map(0x7000, words({0x6000, 0x401000}));
    task_.map(0x6000, words({0x7200, 0x402000}));
    std::vector<uint64_t> ips;
    zvcrash_async_frame_error result;
    while ((result = zvcrash_async_frame_cursor_next(&cursor_)) == ZVCRASH_FRAME_OK) ips.push_back(ip());
    EXPECT_EQ((std::vector<uint64_t>{0x400000, 0x401000}), ips);
    EXPECT_EQ(ZVCRASH_FRAME_ERR_BAD_FRAME, result);

    // Equal frame pointers pass; an upward stack turns the test around; unknown or unreadable
    // frame pointers are bad frames.
    zvcrash_async_thread_state current, previous, out;
    zvcrash_async_thread_state_init(&current, ZVCRASH_THREAD_STATE_CPU_X86_64);
    zvcrash_async_thread_state_init(&previous, ZVCRASH_THREAD_STATE_CPU_X86_64);
    EXPECT_EQ(ZVCRASH_FRAME_ERR_BAD_FRAME, zvcrash_async_frame_read_frame_pointer(task_.task(), &images_, &current, nullptr, &out));
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_REG_FP, 0x7000);
    zvcrash_async_thread_state_set_reg(&previous, ZVCRASH_REG_FP, 0x7000);
    EXPECT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_read_frame_pointer(task_.task(), &images_, &current, &previous, &out));
    zvcrash_async_thread_state_set_reg(&previous, ZVCRASH_REG_FP, 0x6ff0);
    current.stack_direction = ZVCRASH_STACK_DIRECTION_UP;
    EXPECT_EQ(ZVCRASH_FRAME_ERR_BAD_FRAME, zvcrash_async_frame_read_frame_pointer(task_.task(), &images_, &current, &previous, &out));
    current.stack_direction = ZVCRASH_STACK_DIRECTION_DOWN;
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_REG_FP, 0x9000);
    EXPECT_EQ(ZVCRASH_FRAME_ERR_BAD_FRAME, zvcrash_async_frame_read_frame_pointer(task_.task(), &images_, &current, &previous, &out));
}

TEST_F(ZVCrashFrameCursor, X86FramePointersComeFromOneEightByteRead) {
    task_.map(0x3000, words({0x0040100000003100}));
    zvcrash_async_thread_state current, out;
    zvcrash_async_thread_state_init(&current, ZVCRASH_THREAD_STATE_CPU_X86);
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_REG_FP, 0x3000);
    ASSERT_EQ(ZVCRASH_FRAME_OK, zvcrash_async_frame_read_frame_pointer(task_.task(), &images_, &current, nullptr, &out));
    EXPECT_EQ(0x3100u, zvcrash_async_thread_state_get_reg(&out, ZVCRASH_REG_FP));
    EXPECT_EQ(0x401000u, zvcrash_async_thread_state_get_reg(&out, ZVCRASH_REG_IP));
}

TEST_F(ZVCrashFrameCursor, ReadersNeedAKnownNonZeroPc) {
    zvcrash_async_thread_state state, out;
    zvcrash_async_thread_state_init(&state, ZVCRASH_THREAD_STATE_CPU_X86_64);
    EXPECT_EQ(ZVCRASH_FRAME_ERR_BAD_FRAME, zvcrash_async_frame_read_compact_unwind(task_.task(), &images_, &state, nullptr, &out));
    EXPECT_EQ(ZVCRASH_FRAME_ERR_BAD_FRAME, zvcrash_async_frame_read_dwarf_unwind(task_.task(), &images_, &state, nullptr, &out));
    zvcrash_async_thread_state_set_reg(&state, ZVCRASH_REG_IP, 0);
    EXPECT_EQ(ZVCRASH_FRAME_ERR_NOTSUP, zvcrash_async_frame_read_compact_unwind(task_.task(), &images_, &state, nullptr, &out));
    EXPECT_EQ(ZVCRASH_FRAME_ERR_NOTSUP, zvcrash_async_frame_read_dwarf_unwind(task_.task(), &images_, &state, nullptr, &out));
}

TEST(ZVCrashFrameError, Messages) {
    const char* expected[] = {"No error",         "Unknown error",  "No frames are available", "Corrupted frame", "Operation not supported",
                              "Invalid argument", "Internal error", "Invalid register"};
    for (int code = 0; code < 8; ++code) EXPECT_STREQ(expected[code], zvcrash_async_frame_strerror(code)) << code;
    EXPECT_STREQ("Unhandled error code", zvcrash_async_frame_strerror(8));
    EXPECT_STREQ("Unhandled error code", zvcrash_async_frame_strerror(-1));
}

}  // namespace
