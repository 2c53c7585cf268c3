#include "crashreporter/async/zvcrash_async_dwarf_cfa_state.h"

#include <gtest/gtest.h>

#include <memory>

#include "crashreporter/async/EhFrameTesting.h"
#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_dwarf_unwind.h"

namespace {

using namespace zvcrash::async;
using zvcrash::testing::CieSpec;
using zvcrash::testing::DwarfBytes;
using zvcrash::testing::EhFrameBuilder;
using zvcrash::testing::FdeSpec;
using zvcrash::testing::MappedBytes;
using zvcrash::testing::SimulatedTask;

using State = dwarf_cfa_state<unsigned long long, long long>;
constexpr uint64_t kSection = 0x10000;
constexpr uint64_t kStack = 0x7fff0000;
constexpr uint64_t kPc = 0x400000;
const zvcrash_async_byteorder* const kOrder = zvcrash_async_byteorder_direct();

TEST(DwarfCfaState, RegisterTable) {
    State state;
    EXPECT_EQ(0, state.get_register_count());
    EXPECT_EQ(ZVCRASH_DWARF_CFA_RULE_TYPE_UNDEFINED, state.get_cfa_rule().type);
    for (uint32_t regnum = 0; regnum < 100; ++regnum)
        ASSERT_TRUE(state.set_register(regnum, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, regnum * 8));
    EXPECT_EQ(100, state.get_register_count());
    EXPECT_FALSE(state.set_register(100, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, 0));
    // Replacing a rule needs no new entry.
    EXPECT_TRUE(state.set_register(17, ZVCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0));
    zvcrash_dwarf_cfa_reg_rule_t rule;
    unsigned long long value;
    ASSERT_TRUE(state.get_register_rule(17, &rule, &value));
    EXPECT_EQ(ZVCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, rule);
    ASSERT_TRUE(state.get_register_rule(3, &rule, &value));
    EXPECT_EQ(24u, value);

    State fresh;
    EXPECT_TRUE(fresh.set_register(3, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, 1));
    EXPECT_TRUE(fresh.set_register(3, ZVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 2));
    EXPECT_EQ(1, fresh.get_register_count());
    // 3 and 17 share a bucket.
    EXPECT_TRUE(fresh.set_register(17, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, 3));
    ASSERT_TRUE(fresh.get_register_rule(3, &rule, &value));
    EXPECT_EQ(ZVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, rule);
    EXPECT_EQ(2u, value);
    ASSERT_TRUE(fresh.get_register_rule(17, &rule, &value));
    EXPECT_EQ(3u, value);
    fresh.remove_register(3);
    EXPECT_FALSE(fresh.get_register_rule(3, &rule, &value));
    EXPECT_TRUE(fresh.get_register_rule(17, &rule, &value));
    EXPECT_EQ(1, fresh.get_register_count());

    dwarf_cfa_state_iterator<unsigned long long, long long> it(&fresh);
    uint32_t regnum;
    ASSERT_TRUE(it.next(&regnum, &rule, &value));
    EXPECT_EQ(17u, regnum);
    EXPECT_FALSE(it.next(&regnum, &rule, &value));
}

TEST(DwarfCfaState, Levels) {
    State state;
    EXPECT_FALSE(state.pop_state());
    state.set_cfa_register(7, 8);
    state.set_register(6, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, 16);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(state.push_state());
    EXPECT_FALSE(state.push_state());
    zvcrash_dwarf_cfa_reg_rule_t rule;
    unsigned long long value;
    EXPECT_TRUE(state.get_register_rule(6, &rule, &value));
    state.set_register(6, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, 99);
    state.set_cfa_register(6, 32);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(state.pop_state());
    ASSERT_TRUE(state.get_register_rule(6, &rule, &value));
    EXPECT_EQ(16u, value);
    EXPECT_EQ(7u, state.get_cfa_rule().reg.dwarf_regnum);
    EXPECT_EQ(8u, state.get_cfa_rule().reg.offset);

    // A copy that does not fit leaves the level unopened; popped levels give their entries back.
    State full;
    for (uint32_t regnum = 0; regnum < 60; ++regnum) full.set_register(regnum, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, 0);
    EXPECT_FALSE(full.push_state());
    State reused;
    for (uint32_t regnum = 0; regnum < 40; ++regnum) reused.set_register(regnum, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(reused.push_state()) << i;
        ASSERT_TRUE(reused.pop_state());
    }
}

// A section with one CIE and one FDE for [kPc, kPc + 0x100), both programs given.
class Program {
public:
    Program(const std::vector<uint8_t>& cieProgram, const std::vector<uint8_t>& fdeProgram, std::string augmentation = "zR") {
        EhFrameBuilder builder(kSection);
        CieSpec spec;
        spec.augmentation = augmentation;
        spec.augmentationData = augmentation.empty() ? std::vector<uint8_t>{} : std::vector<uint8_t>{0x1b};
        spec.pointerEncoding = augmentation.empty() ? 0 : 0x1b;
        spec.instructions = cieProgram;
        const uint64_t cie = builder.addCie(spec);
        const uint64_t fde = builder.addFde(cie, {kPc, 0x100, {}, fdeProgram});
        builder.addTerminator();
        bytes_ = std::make_unique<MappedBytes>(task, kSection, builder.bytes());
        gnu_ehptr_reader<unsigned long long> reader(kOrder);
        EXPECT_EQ(ZVCRASH_OK, zvcrash_async_dwarf_cie_info_init(&cie_, bytes_->mobj(), kOrder, &reader, kSection + cie));
        EXPECT_EQ(ZVCRASH_OK, zvcrash_async_dwarf_fde_info_init(&fde_, bytes_->mobj(), kOrder, kSection + fde, false));
    }

    zvcrash_error_t run(State& state, unsigned long long target) {
        gnu_ehptr_reader<unsigned long long> reader(kOrder);
        zvcrash_error_t error = state.eval_program(bytes_->mobj(), 0, fde_.pc_start, &cie_, &reader, kOrder, kSection,
                                                   cie_.initial_instructions_offset, cie_.initial_instructions_length);
        if (error != ZVCRASH_OK) return error;
        return state.eval_program(bytes_->mobj(), target, fde_.pc_start, &cie_, &reader, kOrder, kSection, fde_.instructions_offset,
                                  fde_.instructions_length);
    }

    const zvcrash_async_dwarf_cie_info<unsigned long long>* cie() const { return &cie_; }

    SimulatedTask task;

private:
    std::unique_ptr<MappedBytes> bytes_;
    zvcrash_async_dwarf_cie_info<unsigned long long> cie_;
    zvcrash_async_dwarf_fde_info<unsigned long long> fde_;
};

// x86-64: CFA = rsp + 8, return address at CFA - 8.
const std::vector<uint8_t> kEntryRules = {0x0c, 0x07, 0x08, 0x90, 0x01};

struct ProgramCase {
    const char* name;
    std::vector<uint8_t> program;
    zvcrash_error_t error;
};

std::vector<uint8_t> offsetRules(uint32_t count) {
    DwarfBytes program;
    for (uint32_t regnum = 0; regnum < count; ++regnum) program.u8(0x05).uleb(regnum + 20).uleb(1);
    return program.bytes();
}

TEST(DwarfCfaState, ProgramErrors) {
    const std::vector<ProgramCase> cases = {
        // The CIE's return-address rule takes one entry.
        {"99 more rules fit", offsetRules(99), ZVCRASH_OK},
        {"the 101st rule", offsetRules(100), ZVCRASH_ERR_NOMEM},
        {"five remembered states", std::vector<uint8_t>(5, 0x0a), ZVCRASH_OK},
        {"a sixth remembered state (seventh level)", std::vector<uint8_t>(6, 0x0a), ZVCRASH_ERR_NOMEM},
        {"restore_state without remember_state", {0x0b}, ZVCRASH_ERR_INVAL},
        {"GNU_args_size", {0x2e, 0x80, 0x01, 0x2e, 0x10}, ZVCRASH_OK},
        {"GNU_args_size truncated", {0x2e, 0x80}, ZVCRASH_ERR_INVAL},
        {"GNU_window_save", {0x2d}, ZVCRASH_ERR_NOTSUP},
        {"unknown 0x3f", {0x3f}, ZVCRASH_ERR_NOTSUP},
        {"register past 32 bits", DwarfBytes().u8(0x07).uleb(0x100000000ull).bytes(), ZVCRASH_ERR_NOTSUP},
        {"truncated operand", {0x0c, 0x07}, ZVCRASH_ERR_INVAL},
        {"def_cfa_register on an expression", {0x0f, 0x02, 0x77, 0x08, 0x0d, 0x06}, ZVCRASH_ERR_INVAL},
        {"def_cfa_offset on an expression", {0x0f, 0x02, 0x77, 0x08, 0x0e, 0x10}, ZVCRASH_ERR_INVAL},
        {"expression block past the end", {0x10, 0x06, 0x05, 0x77}, ZVCRASH_ERR_INVAL},
        {"advance_loc4 truncated", {0x04, 0x01}, ZVCRASH_ERR_INVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Program program(kEntryRules, c.program);
        State state;
        EXPECT_EQ(c.error, program.run(state, 0));
    }
}

TEST(DwarfCfaState, RowsFollowTheTargetPc) {
    // push rbp; mov rbp, rsp; ... as a compiler describes it, with a remembered state around an
    // epilogue in the middle.
    const std::vector<uint8_t> fde = {
        0x41,  // to 1
        0x0e, 0x10,  // CFA = rsp + 16
        0x86, 0x02,  // rbp at CFA - 16
        0x43,  // to 4
        0x0d, 0x06,  // CFA = rbp + 16
        0x44,  // to 8
        0x0a,  // remember
        0x0c, 0x07, 0x08,  // CFA = rsp + 8
        0xc6,  // rbp: back to the CIE's rule (none)
        0x41,  // to 9
        0x0b,  // restore: CFA = rbp + 16, rbp at CFA - 16
        0x2e, 0x20,  // args size: ignored
    };
    Program program(kEntryRules, fde);
    struct Row {
        unsigned long long pc;
        uint32_t cfaRegister;
        unsigned long long cfaOffset;
        bool rbpSaved;
    };
    const std::vector<Row> rows = {
        {kPc, 7, 8, false},     {kPc + 1, 7, 16, true}, {kPc + 3, 7, 16, true},  {kPc + 4, 6, 16, true}, {kPc + 7, 6, 16, true},
        {kPc + 8, 7, 8, false}, {kPc + 9, 6, 16, true}, {kPc + 50, 6, 16, true}, {0, 6, 16, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pc - kPc);
        State state;
        ASSERT_EQ(ZVCRASH_OK, program.run(state, row.pc));
        EXPECT_EQ(ZVCRASH_DWARF_CFA_RULE_TYPE_REGISTER, state.get_cfa_rule().type);
        EXPECT_EQ(row.cfaRegister, state.get_cfa_rule().reg.dwarf_regnum);
        EXPECT_EQ(row.cfaOffset, state.get_cfa_rule().reg.offset);
        zvcrash_dwarf_cfa_reg_rule_t rule;
        unsigned long long value;
        EXPECT_EQ(row.rbpSaved, state.get_register_rule(6, &rule, &value));
        if (row.rbpSaved) {
            EXPECT_EQ(static_cast<unsigned long long>(-16), value);
        }
        ASSERT_TRUE(state.get_register_rule(16, &rule, &value));
        EXPECT_EQ(static_cast<unsigned long long>(-8), value);
    }
}

TEST(DwarfCfaState, RestoreGoesBackToTheCiesRule) {
    // The CIE saves rbx too; the FDE moves rbx and the return address and saves rdi, then restores
    // all three: rdi had no rule before the FDE.
    std::vector<uint8_t> cie = kEntryRules;
    cie.insert(cie.end(), {0x83, 0x03});
    Program program(cie, {0x83, 0x05, 0x90, 0x04, 0x85, 0x06, 0x06, 0x03, 0xd0, 0xc5, 0x07, 0x07});
    State state;
    ASSERT_EQ(ZVCRASH_OK, program.run(state, 0));
    zvcrash_dwarf_cfa_reg_rule_t rule;
    unsigned long long value;
    ASSERT_TRUE(state.get_register_rule(3, &rule, &value));
    EXPECT_EQ(static_cast<unsigned long long>(-24), value);
    ASSERT_TRUE(state.get_register_rule(16, &rule, &value));
    EXPECT_EQ(static_cast<unsigned long long>(-8), value);
    EXPECT_FALSE(state.get_register_rule(5, &rule, &value));
    EXPECT_FALSE(state.get_register_rule(7, &rule, &value));
}

class DwarfApplyState : public ::testing::Test {
protected:
    void SetUp() override {
        zvcrash_async_thread_state_init(&current_, ZVCRASH_THREAD_STATE_CPU_X86_64);
        for (zvcrash_async_regnum regnum = 0; regnum < ZVCRASH_X86_64_REG_COUNT; ++regnum)
            zvcrash_async_thread_state_set_reg(&current_, regnum, 0x1000 + regnum);
        zvcrash_async_thread_state_set_reg(&current_, ZVCRASH_X86_64_RSP, kStack);
        zvcrash_async_thread_state_set_reg(&current_, ZVCRASH_X86_64_RIP, kPc + 0x20);
    }

    zvcrash_async_thread_state current_;
};

TEST_F(DwarfApplyState, ReturnAddressColumnOnX8664) {
    // CFA = rsp + 16; rip (column 16, no register) at CFA - 8; rbp at CFA - 16.
    Program program({0x0c, 0x07, 0x10, 0x90, 0x01}, {0x86, 0x02});
    program.task.map(kStack, DwarfBytes().u64(0xbbbb).u64(0x401234).bytes());
    State state;
    ASSERT_EQ(ZVCRASH_OK, program.run(state, 0));
    zvcrash_async_thread_state caller;
    ASSERT_EQ(ZVCRASH_OK, state.apply_state(program.task.task(), program.cie(), &current_, kOrder, &caller));
    EXPECT_EQ(0x401234u, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_RIP));
    EXPECT_EQ(kStack + 16, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_RSP));
    EXPECT_EQ(0xbbbbu, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_RBP));
    // Callee-saved registers stay; the others are forgotten.
    EXPECT_TRUE(zvcrash_async_thread_state_has_reg(&caller, ZVCRASH_X86_64_RBX));
    EXPECT_EQ(0x1000u + ZVCRASH_X86_64_RBX, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_RBX));
    EXPECT_FALSE(zvcrash_async_thread_state_has_reg(&caller, ZVCRASH_X86_64_RAX));
    EXPECT_FALSE(zvcrash_async_thread_state_has_reg(&caller, ZVCRASH_X86_64_R11));
}

TEST_F(DwarfApplyState, RulesOfEveryKind) {
    // CFA by expression: rsp + 32. rbx = CFA - 8 (value offset), r12 in rdi (register), r13 same
    // value, r14 saved where its expression says (CFA - 16), r15 = CFA + 1 by value expression.
    const std::vector<uint8_t> fde = {
        0x0f, 0x02, 0x77, 0x20,  // def_cfa_expression: breg7 +32
        0x14, 0x03, 0x01,  // val_offset rbx, 1 * -8
        0x09, 0x0c, 0x05,  // register r12 = rdi
        0x08, 0x0d,  // same_value r13
        0x10, 0x0e, 0x03, 0x08, 0x10, 0x1c,  // expression r14: CFA, const1u 16, minus
        0x16, 0x0f, 0x02, 0x31, 0x22,  // val_expression r15: CFA + 1
    };
    Program program(kEntryRules, fde);
    program.task.map(kStack + 16, DwarfBytes().u64(0x5151).u64(0x402000).bytes());
    State state;
    ASSERT_EQ(ZVCRASH_OK, program.run(state, 0));
    zvcrash_async_thread_state caller;
    ASSERT_EQ(ZVCRASH_OK, state.apply_state(program.task.task(), program.cie(), &current_, kOrder, &caller));
    const uint64_t cfa = kStack + 32;
    EXPECT_EQ(cfa, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_RSP));
    EXPECT_EQ(0x402000u, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_RIP));
    EXPECT_EQ(cfa - 8, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_RBX));
    EXPECT_EQ(0x1000u + ZVCRASH_X86_64_RDI, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_R12));
    EXPECT_EQ(0x1000u + ZVCRASH_X86_64_R13, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_R13));
    EXPECT_EQ(0x5151u, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_R14));
    EXPECT_EQ(cfa + 1, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_64_R15));
}

TEST_F(DwarfApplyState, Failures) {
    struct Case {
        const char* name;
        std::vector<uint8_t> cie;
        std::vector<uint8_t> fde;
        zvcrash_error_t error;
    };
    const std::vector<Case> cases = {
        {"undefined CFA", {0x90, 0x01}, {}, ZVCRASH_ERR_INVAL},
        {"CFA register without mapping", {0x0c, 0x10, 0x08, 0x90, 0x01}, {}, ZVCRASH_ERR_NOTSUP},
        {"CFA register not known", {0x0c, 0x00, 0x08, 0x90, 0x01}, {}, ZVCRASH_ERR_NOTFOUND},
        {"no rule for the return address", {0x0c, 0x07, 0x08}, {}, ZVCRASH_ERR_INVAL},
        {"rule for a register without mapping", kEntryRules, {0x05, 0x11, 0x01}, ZVCRASH_ERR_INVAL},
        {"saved word unreadable", {0x0c, 0x07, 0x80, 0x02, 0x90, 0x01}, {}, ZVCRASH_ERR_NOTFOUND},
        {"register rule from an unknown register", kEntryRules, {0x09, 0x03, 0x00}, ZVCRASH_ERR_NOTFOUND},
        {"expression error", kEntryRules, {0x16, 0x03, 0x01, 0x13}, ZVCRASH_ERR_INVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Program program(c.cie, c.fde);
        program.task.map(kStack, DwarfBytes().u64(0x401234).bytes());
        zvcrash_async_thread_state_clear_reg(&current_, ZVCRASH_X86_64_RAX);
        State state;
        ASSERT_EQ(ZVCRASH_OK, program.run(state, 0));
        zvcrash_async_thread_state caller;
        EXPECT_EQ(c.error, state.apply_state(program.task.task(), program.cie(), &current_, kOrder, &caller));
    }
}

TEST(DwarfApplyState32, ReturnAddressInARealRegister) {
    // x86: esp is DWARF 4 in ELF images, eip DWARF 8 and a real register; with no rule the
    // caller's eip is the current one.
    using State32 = dwarf_cfa_state<unsigned int, int>;
    zvcrash_async_thread_state current;
    zvcrash_async_thread_state_init(&current, ZVCRASH_THREAD_STATE_CPU_X86);
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_X86_ESP, 0x8000);
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_X86_EIP, 0x1234);
    SimulatedTask task;
    task.map(0x8000, DwarfBytes().u32(0x5678).u32(0x9abc).bytes());
    zvcrash_async_dwarf_cie_info<unsigned int> cie{};
    cie.return_address_register = 8;
    State32 state;
    state.set_cfa_register(4, 4);
    zvcrash_async_thread_state caller;
    ASSERT_EQ(ZVCRASH_OK, state.apply_state(task.task(), &cie, &current, kOrder, &caller));
    EXPECT_EQ(0x1234u, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_EIP));
    EXPECT_EQ(0x8004u, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_ESP));
    // With an offset rule eip comes from the stack as a 32-bit word.
    state.set_register(8, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<unsigned int>(-4));
    ASSERT_EQ(ZVCRASH_OK, state.apply_state(task.task(), &cie, &current, kOrder, &caller));
    EXPECT_EQ(0x5678u, zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_X86_EIP));
}

// Two functions back to back: the first ends with a call that does not return, so its return
// address is the second's first byte. The first keeps 16 bytes on the stack, the second 8.
class LookupAddress : public ::testing::Test {
protected:
    void build(const std::string& secondAugmentation, bool withFirst) {
        EhFrameBuilder builder(kSection);
        CieSpec plain;
        plain.instructions = kEntryRules;
        CieSpec second = plain;
        second.augmentation = secondAugmentation;
        const uint64_t cie = builder.addCie(plain);
        const uint64_t secondCie = builder.addCie(second);
        if (withFirst) builder.addFde(cie, {kPc, 0x10, {}, {0x0e, 0x10}});
        builder.addFde(secondCie, {kPc + 0x10, 0x10, {}, {}});
        builder.addTerminator();
        bytes_ = std::make_unique<MappedBytes>(task_, kSection, builder.bytes());
        task_.map(kStack, DwarfBytes().u64(0x111111).u64(0x222222).bytes());
        zvcrash_async_dwarf_frame_reader_init(&reader_, bytes_->mobj(), kOrder, true, false);
        zvcrash_async_thread_state_init(&current_, ZVCRASH_THREAD_STATE_CPU_X86_64);
        zvcrash_async_thread_state_set_reg(&current_, ZVCRASH_X86_64_RSP, kStack);
        zvcrash_async_thread_state_set_reg(&current_, ZVCRASH_X86_64_RIP, kPc + 0x10);
    }

    zvcrash_error_t step(bool exact, bool* signal = nullptr) {
        return zvcrash_async_dwarf_unwind_frame<unsigned long long, long long>(task_.task(), &reader_, nullptr, &current_, exact, &caller_,
                                                                               signal);
    }

    SimulatedTask task_;
    std::unique_ptr<MappedBytes> bytes_;
    zvcrash_async_dwarf_frame_reader reader_;
    zvcrash_async_thread_state current_;
    zvcrash_async_thread_state caller_;
};

TEST_F(LookupAddress, ACallersReturnAddressIsLookedUpOneByteBack) {
    build("zR", true);
    ASSERT_EQ(ZVCRASH_OK, step(false));
    EXPECT_EQ(kStack + 16, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_RSP));
    EXPECT_EQ(0x222222u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_RIP));
    // The first frame's PC is where the thread stopped: the second function's rules.
    ASSERT_EQ(ZVCRASH_OK, step(true));
    EXPECT_EQ(kStack + 8, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_RSP));
    EXPECT_EQ(0x111111u, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_RIP));
    EXPECT_EQ(0x40000fu, zvcrash_async_dwarf_lookup_pc<unsigned long long>(kPc + 0x10, false));
}

TEST_F(LookupAddress, ASignalFrameIsLookedUpAtItsPc) {
    // With nothing before it, a signal frame is still found at its own first byte.
    build("zRS", false);
    bool signal = false;
    ASSERT_EQ(ZVCRASH_OK, step(false, &signal));
    EXPECT_TRUE(signal);
    EXPECT_EQ(kStack + 8, zvcrash_async_thread_state_get_reg(&caller_, ZVCRASH_X86_64_RSP));
    // An ordinary function is not.
    build("zR", false);
    EXPECT_EQ(ZVCRASH_ERR_NOTFOUND, step(false));
    ASSERT_EQ(ZVCRASH_OK, step(true, &signal));
    EXPECT_FALSE(signal);
}

}  // namespace
