#include "crashreporter/async/zvcrash_async_cfe_entry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"

namespace {

using zvcrash::testing::SimulatedTask;

constexpr uint32_t kCpuX86 = 7;
constexpr uint32_t kCpuX86_64 = 0x1000007;
constexpr uint32_t kCpuArm64 = 0x100000c;
constexpr uint32_t NONE = ZVCRASH_CFE_NO_REGISTER;

std::vector<uint32_t> registersOf(const zvcrash_async_cfe_entry& entry) {
    std::vector<uint32_t> out(zvcrash_async_cfe_entry_register_count(&entry));
    zvcrash_async_cfe_entry_register_list(&entry, out.data());
    return out;
}

std::vector<uint8_t> words(std::initializer_list<uint64_t> values) {
    std::vector<uint8_t> out(values.size() * 8);
    size_t at = 0;
    for (uint64_t value : values) {
        std::memcpy(out.data() + at, &value, 8);
        at += 8;
    }
    return out;
}

TEST(ZVCrashCfeEntry, PermutationDecode) {
    uint32_t indices[6];
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_register_decode(0, 6, indices));
    EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4, 5, 6}), std::vector<uint32_t>(indices, indices + 6));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_register_decode(119, 5, indices));
    EXPECT_EQ((std::vector<uint32_t>{1, 6, 5, 4, 3}), std::vector<uint32_t>(indices, indices + 5));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_register_decode(7, 2, indices));
    EXPECT_EQ((std::vector<uint32_t>{2, 4}), std::vector<uint32_t>(indices, indices + 2));
    EXPECT_EQ(ZVCRASH_OK, zvcrash_async_cfe_register_decode(12345, 0, indices));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_cfe_register_decode(0, 7, indices));
    // A first digit past the six registers names nothing.
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_cfe_register_decode(6, 1, indices));
}

TEST(ZVCrashCfeEntry, PermutationEncodeInvertsDecode) {
    const uint32_t limits[7] = {1, 6, 30, 120, 360, 720, 720};
    for (uint32_t count = 1; count <= 6; ++count) {
        for (uint32_t permutation = 0; permutation < limits[count]; ++permutation) {
            uint32_t indices[6];
            ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_register_decode(permutation, count, indices));
            EXPECT_EQ(permutation, zvcrash_async_cfe_register_encode(indices, count)) << count << " " << permutation;
        }
    }
}

TEST(ZVCrashCfeEntry, X86_64Encodings) {
    zvcrash_async_cfe_entry entry;
    // Frame based, saved area 3 words below the frame pointer, slots rbx, nothing, r12.
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0x01000000 | (3 << 16) | 1 | (0 << 3) | (2 << 6)));
    EXPECT_EQ(ZVCRASH_CFE_FRAME_BASED, zvcrash_async_cfe_entry_type(&entry));
    EXPECT_EQ(-24, zvcrash_async_cfe_entry_stack_offset(&entry));
    EXPECT_EQ((std::vector<uint32_t>{ZVCRASH_X86_64_RBX, NONE, ZVCRASH_X86_64_R12}), registersOf(entry));
    EXPECT_EQ(NONE, zvcrash_async_cfe_entry_return_address_register(&entry));
    EXPECT_EQ(0u, zvcrash_async_cfe_entry_stack_adjust(&entry));
    // Every slot value 1 to 6.
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0x01000000 | 1 | (2 << 3) | (3 << 6) | (4 << 9) | (5 << 12)));
    EXPECT_EQ((std::vector<uint32_t>{ZVCRASH_X86_64_RBX, ZVCRASH_X86_64_R12, ZVCRASH_X86_64_R13, ZVCRASH_X86_64_R14, ZVCRASH_X86_64_R15}),
              registersOf(entry));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0x01000000 | (7 << 3)));

    // Frameless immediate: 3 words of stack, two registers, permutation 0: rbx, r12.
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0x02000000 | (3 << 16) | (2 << 10) | 0));
    EXPECT_EQ(ZVCRASH_CFE_FRAMELESS_IMMEDIATE, zvcrash_async_cfe_entry_type(&entry));
    EXPECT_EQ(24, zvcrash_async_cfe_entry_stack_offset(&entry));
    EXPECT_EQ((std::vector<uint32_t>{ZVCRASH_X86_64_RBX, ZVCRASH_X86_64_R12}), registersOf(entry));
    // Six registers, permutation 0, name all six in order.
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0x02000000 | (6 << 10)));
    EXPECT_EQ((std::vector<uint32_t>{ZVCRASH_X86_64_RBX, ZVCRASH_X86_64_R12, ZVCRASH_X86_64_R13, ZVCRASH_X86_64_R14, ZVCRASH_X86_64_R15,
                                     ZVCRASH_X86_64_RBP}),
              registersOf(entry));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0x02000000 | (7 << 10)));

    // Frameless indirect: the stack size operand sits 0x21 bytes into the function, plus 2 words.
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0x03000000 | (0x21 << 16) | (2 << 13)));
    EXPECT_EQ(ZVCRASH_CFE_FRAMELESS_INDIRECT, zvcrash_async_cfe_entry_type(&entry));
    EXPECT_EQ(0x21, zvcrash_async_cfe_entry_stack_offset(&entry));
    EXPECT_EQ(16u, zvcrash_async_cfe_entry_stack_adjust(&entry));

    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0x04123456));
    EXPECT_EQ(ZVCRASH_CFE_DWARF, zvcrash_async_cfe_entry_type(&entry));
    EXPECT_EQ(0x123456, zvcrash_async_cfe_entry_stack_offset(&entry));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0));
    EXPECT_EQ(ZVCRASH_CFE_NONE, zvcrash_async_cfe_entry_type(&entry));
    EXPECT_EQ(ZVCRASH_ERR_NOTSUP, zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, 0x05000000));
    EXPECT_EQ(ZVCRASH_ERR_NOTSUP, zvcrash_async_cfe_entry_init(&entry, 12, 0x01000000));
}

TEST(ZVCrashCfeEntry, X86AndArm64Encodings) {
    zvcrash_async_cfe_entry entry;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86, 0x01000000 | (2 << 16) | 6 | (1 << 3)));
    EXPECT_EQ(-8, zvcrash_async_cfe_entry_stack_offset(&entry));
    EXPECT_EQ((std::vector<uint32_t>{ZVCRASH_X86_EBP, ZVCRASH_X86_EBX}), registersOf(entry));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86, 0x02000000 | (5 << 16) | (6 << 10)));
    EXPECT_EQ(20, zvcrash_async_cfe_entry_stack_offset(&entry));
    EXPECT_EQ((std::vector<uint32_t>{ZVCRASH_X86_EBX, ZVCRASH_X86_ECX, ZVCRASH_X86_EDX, ZVCRASH_X86_EDI, ZVCRASH_X86_ESI, ZVCRASH_X86_EBP}),
              registersOf(entry));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuX86, 0x03000000 | (9 << 16) | (3 << 13)));
    EXPECT_EQ(12u, zvcrash_async_cfe_entry_stack_adjust(&entry));

    // arm64 frame based with the first and last pairs.
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuArm64, 0x04000000 | 0x10 | 0x1));
    EXPECT_EQ(ZVCRASH_CFE_FRAME_BASED, zvcrash_async_cfe_entry_type(&entry));
    EXPECT_EQ((std::vector<uint32_t>{31, 30, 23, 22}), registersOf(entry));
    EXPECT_EQ(-32, zvcrash_async_cfe_entry_stack_offset(&entry));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuArm64, 0x02000000 | (3 << 12) | 0x8));
    EXPECT_EQ(ZVCRASH_CFE_FRAMELESS_IMMEDIATE, zvcrash_async_cfe_entry_type(&entry));
    EXPECT_EQ(48, zvcrash_async_cfe_entry_stack_offset(&entry));
    EXPECT_EQ(32u, zvcrash_async_cfe_entry_return_address_register(&entry));
    EXPECT_EQ((std::vector<uint32_t>{29, 28}), registersOf(entry));
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuArm64, 0x03000abc));
    EXPECT_EQ(ZVCRASH_CFE_DWARF, zvcrash_async_cfe_entry_type(&entry));
    EXPECT_EQ(0xabc, zvcrash_async_cfe_entry_stack_offset(&entry));
    EXPECT_EQ(ZVCRASH_ERR_NOTSUP, zvcrash_async_cfe_entry_init(&entry, kCpuArm64, 0x01000000));
}

class CfeApply : public ::testing::Test {
protected:
    static constexpr uint64_t kStack = 0x7000;
    void SetUp() override {
        ASSERT_EQ(ZVCRASH_OK, zvcrash_async_thread_state_init(&current_, kCpuX86_64));
        for (uint32_t r = 0; r < ZVCRASH_X86_64_REG_COUNT; ++r) zvcrash_async_thread_state_set_reg(&current_, r, 0xdead0000 + r);
    }
    zvcrash_error_t apply(uint32_t encoding, uint64_t function = 0x100000) {
        zvcrash_async_cfe_entry entry;
        zvcrash_error_t error = zvcrash_async_cfe_entry_init(&entry, kCpuX86_64, encoding);
        if (error != ZVCRASH_OK) return error;
        return zvcrash_async_cfe_entry_apply(task_.task(), function, &current_, &entry, &caller_);
    }
    SimulatedTask task_;
    zvcrash_async_thread_state current_;
    zvcrash_async_thread_state caller_;
};

TEST_F(CfeApply, FramelessImmediateReturnAddressBelowTheNewStackPointer) {
    task_.map(kStack, words({0x11, 0x22, 0x4444, 0x33}));
    zvcrash_async_thread_state_set_reg(&current_, ZVCRASH_REG_SP, kStack);
    ASSERT_EQ(ZVCRASH_OK, apply(0x02000000 | (3 << 16)));
    EXPECT_EQ(0x4444u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_REG_IP));
    EXPECT_EQ(kStack + 24, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_REG_SP));
    // Volatile registers are gone, callee-saved ones carried over.
    EXPECT_FALSE(zvcrash_async_thread_state_has_reg(&caller_, ZVCRASH_X86_64_RAX));
    EXPECT_EQ(0xdead0000u + ZVCRASH_X86_64_RBX, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_RBX));
}

TEST_F(CfeApply, FramelessRestoresSavedRegistersBelowTheReturnAddress) {
    // Stack size 5 words: [sp+16] r13, [sp+24] rbx, [sp+32] the return address.
    task_.map(kStack, words({0, 0, 0x1313, 0xbbbb, 0x5555}));
    zvcrash_async_thread_state_set_reg(&current_, ZVCRASH_REG_SP, kStack);
    uint32_t order[2] = {3, 1};
    ASSERT_EQ(ZVCRASH_OK, apply(0x02000000 | (5 << 16) | (2 << 10) | zvcrash_async_cfe_register_encode(order, 2)));
    EXPECT_EQ(0x5555u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_REG_IP));
    EXPECT_EQ(0x1313u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_R13));
    EXPECT_EQ(0xbbbbu, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_RBX));
    EXPECT_EQ(kStack + 40, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_REG_SP));
}

TEST_F(CfeApply, FramelessIndirectReadsTheStackSizeFromTheFunction) {
    const uint64_t function = 0x100000;
    std::vector<uint8_t> code(0x40, 0x90);
    const uint32_t immediate = 8;
    std::memcpy(code.data() + 0x21, &immediate, 4);
    task_.map(function, code);
    task_.map(kStack, words({0, 0x6666, 0}));
    zvcrash_async_thread_state_set_reg(&current_, ZVCRASH_REG_SP, kStack);
    // 8 bytes from the operand and one word of adjustment.
    ASSERT_EQ(ZVCRASH_OK, apply(0x03000000 | (0x21 << 16) | (1 << 13), function));
    EXPECT_EQ(0x6666u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_REG_IP));
    EXPECT_EQ(kStack + 16, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_REG_SP));
    // The operand unreadable: the task's error.
    task_.unmap(function);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, apply(0x03000000 | (0x21 << 16), function));
}

TEST_F(CfeApply, FrameBasedSlotsSkipTheEmptyOneButKeepItsWord) {
    // Saved area at fp - 24: rbx, an unused word, r12; then the saved frame pointer and return address.
    task_.map(kStack, words({0xb0b0, 0xffff, 0x1212, 0x9000, 0x7777}));
    const uint64_t fp = kStack + 24;
    zvcrash_async_thread_state_set_reg(&current_, ZVCRASH_REG_FP, fp);
    zvcrash_async_thread_state_clear_reg(&current_, ZVCRASH_X86_64_RBX);
    ASSERT_EQ(ZVCRASH_OK, apply(0x01000000 | (3 << 16) | 1 | (0 << 3) | (2 << 6)));
    EXPECT_EQ(0x7777u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_REG_IP));
    EXPECT_EQ(0x9000u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_REG_FP));
    EXPECT_EQ(fp + 16, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_REG_SP));
    EXPECT_EQ(0xb0b0u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_RBX));
    EXPECT_EQ(0x1212u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_R12));
}

TEST_F(CfeApply, MissingRegistersAndUnappliableEntries) {
    zvcrash_async_thread_state_clear_reg(&current_, ZVCRASH_REG_SP);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, apply(0x02000000 | (3 << 16)));
    zvcrash_async_thread_state_clear_reg(&current_, ZVCRASH_REG_FP);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, apply(0x01000000));
    EXPECT_EQ(ZVCRASH_ERR_NOTSUP, apply(0x04000010));
    EXPECT_EQ(ZVCRASH_ERR_NOTSUP, apply(0));
    // An unreadable stack passes the task's error through.
    zvcrash_async_thread_state_set_reg(&current_, ZVCRASH_REG_SP, kStack);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, apply(0x02000000 | (3 << 16)));

    // An arm64 entry names registers an x86-64 state does not have.
    zvcrash_async_cfe_entry entry;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_cfe_entry_init(&entry, kCpuArm64, 0x02000000 | (1 << 12)));
    EXPECT_EQ(ZVCRASH_ERR_NOTSUP, zvcrash_async_cfe_entry_apply(task_.task(), 0, &current_, &entry, &caller_));
}

}  // namespace
