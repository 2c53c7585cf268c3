#include "crashreporter/async/zvcrash_async_dwarf_expression.h"

#include <gtest/gtest.h>

#include "crashreporter/async/EhFrameTesting.h"
#include "crashreporter/async/SimulatedTask.h"

namespace {

using namespace zvcrash::async;
using zvcrash::testing::DwarfBytes;
using zvcrash::testing::MappedBytes;
using zvcrash::testing::SimulatedTask;

constexpr uint64_t kCode = 0x10000;
constexpr uint64_t kData = 0x20000;
constexpr uint64_t kRsp = 0x7fff0000;

struct ExpressionCase {
    const char* name;
    std::vector<uint8_t> code;
    std::vector<unsigned long long> initial;
    zvcrash_error_t error;
    unsigned long long value;
};

std::vector<uint8_t> repeat(uint8_t opcode, size_t count) { return std::vector<uint8_t>(count, opcode); }

// Counts the initial value down to 0 in four opcodes a turn: lit1 minus dup bra(-6).
const std::vector<uint8_t> kCountdown = {0x31, 0x1c, 0x12, 0x28, 0xfa, 0xff};

class DwarfExpression : public ::testing::Test {
protected:
    void SetUp() override {
        task_.map(kData, DwarfBytes().u64(0x1122334455667788).bytes());
        zvcrash_async_thread_state_init(&state_, ZVCRASH_THREAD_STATE_CPU_X86_64);
        zvcrash_async_thread_state_set_reg(&state_, ZVCRASH_X86_64_RSP, kRsp);
        zvcrash_async_thread_state_set_reg(&state_, ZVCRASH_X86_64_RBP, kData);
    }

    template <typename P, typename S>
    zvcrash_error_t eval(const std::vector<uint8_t>& code, const std::vector<P>& initial, P* result) {
        // The code sits at the end of its region: nothing past it can be read by mistake.
        std::vector<uint8_t> bytes = code;
        if (bytes.empty()) bytes.push_back(0);
        task_.map(kCode, bytes);
        zvcrash_async_mobject mobj;
        EXPECT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&mobj, task_.task(), kCode, bytes.size(), true));
        zvcrash_error_t error =
            zvcrash_async_dwarf_expression_eval<P, S>(&mobj, task_.task(), &state_, zvcrash_async_byteorder_direct(), kCode, 0,
                                                      static_cast<int64_t>(code.size()), initial.data(), initial.size(), result);
        zvcrash_async_mobject_free(&mobj);
        task_.unmap(kCode);
        return error;
    }

    SimulatedTask task_;
    zvcrash_async_thread_state state_;
};

TEST_F(DwarfExpression, Table) {
    const unsigned long long kMin = 0x8000000000000000ull;
    std::vector<uint8_t> hundred = repeat(0x30, 100);
    std::vector<uint8_t> hundredOne = repeat(0x30, 101);
    const std::vector<ExpressionCase> cases = {
        {"lit5 lit2 minus", {0x35, 0x32, 0x1c}, {}, ZVCRASH_OK, 3},
        {"div by zero", {0x31, 0x30, 0x1b}, {}, ZVCRASH_ERR_INVAL, 0},
        {"mod by zero", {0x31, 0x30, 0x1d}, {}, ZVCRASH_ERR_INVAL, 0},
        {"signed div", DwarfBytes({0x09, 0xf9, 0x32, 0x1b}).bytes(), {}, ZVCRASH_OK, static_cast<unsigned long long>(-3)},
        {"signed mod", DwarfBytes({0x09, 0xf9, 0x32, 0x1d}).bytes(), {}, ZVCRASH_OK, static_cast<unsigned long long>(-1)},
        {"MIN div -1", DwarfBytes().u8(0x0e).u64(kMin).u8(0x09).u8(0xff).u8(0x1b).bytes(), {}, ZVCRASH_OK, kMin},
        {"MIN mod -1", DwarfBytes().u8(0x0e).u64(kMin).u8(0x09).u8(0xff).u8(0x1d).bytes(), {}, ZVCRASH_OK, 0},
        {"abs MIN", DwarfBytes().u8(0x0e).u64(kMin).u8(0x19).bytes(), {}, ZVCRASH_OK, kMin},
        {"abs -5", {0x09, 0xfb, 0x19}, {}, ZVCRASH_OK, 5},
        {"neg MIN", DwarfBytes().u8(0x0e).u64(kMin).u8(0x1f).bytes(), {}, ZVCRASH_OK, kMin},
        {"neg 5", {0x35, 0x1f}, {}, ZVCRASH_OK, static_cast<unsigned long long>(-5)},
        {"100 pushes", hundred, {}, ZVCRASH_OK, 0},
        {"101 pushes", hundredOne, {}, ZVCRASH_ERR_INTERNAL, 0},
        {"initial values count", hundred, {1}, ZVCRASH_ERR_INTERNAL, 0},
        {"shr all ones", {0x09, 0xff, 0x31, 0x25}, {}, ZVCRASH_OK, 0x7fffffffffffffffull},
        {"shra all ones", {0x09, 0xff, 0x31, 0x26}, {}, ZVCRASH_OK, ~0ull},
        {"shra positive", {0x08, 0x40, 0x32, 0x26}, {}, ZVCRASH_OK, 0x10},
        {"shl modulo width", {0x31, 0x08, 65, 0x24}, {}, ZVCRASH_OK, 2},
        {"and or xor not", {0x36, 0x33, 0x1a, 0x38, 0x21, 0x3f, 0x27, 0x20}, {}, ZVCRASH_OK, ~(((6ull & 3) | 8) ^ 15)},
        {"mul plus plus_uconst", {0x33, 0x34, 0x1e, 0x31, 0x22, 0x23, 0x80, 0x01}, {}, ZVCRASH_OK, 13 + 128},
        {"lt signed", {0x09, 0xff, 0x31, 0x2d}, {}, ZVCRASH_OK, 1},
        {"ge eq ne gt le", {0x31, 0x32, 0x2a, 0x30, 0x29, 0x31, 0x2e, 0x31, 0x2b, 0x30, 0x2c}, {}, ZVCRASH_OK, 1},
        {"over swap", {0x31, 0x32, 0x14, 0x16, 0x1c}, {}, ZVCRASH_OK, static_cast<unsigned long long>(-1)},
        {"dup", {0x33, 0x12, 0x1e}, {}, ZVCRASH_OK, 9},
        {"rot", {0x31, 0x32, 0x33, 0x17}, {}, ZVCRASH_OK, 2},
        {"rot then drops", {0x31, 0x32, 0x33, 0x17, 0x13, 0x13}, {}, ZVCRASH_OK, 3},
        {"pick", {0x31, 0x32, 0x15, 0x01}, {}, ZVCRASH_OK, 1},
        {"pick too deep", {0x31, 0x32, 0x15, 0x02}, {}, ZVCRASH_ERR_INVAL, 0},
        {"drop on empty", {0x13}, {}, ZVCRASH_ERR_INVAL, 0},
        {"plus on one entry", {0x31, 0x22}, {}, ZVCRASH_ERR_INTERNAL, 0},
        {"deref on empty", {0x06}, {}, ZVCRASH_ERR_INTERNAL, 0},
        {"constants",
         DwarfBytes().u8(0x0b).u16(0xfffe).u8(0x0d).u32(3).u8(0x22).u8(0x10).uleb(1000).u8(0x22).u8(0x11).sleb(-1000).u8(0x22).bytes(),
         {},
         ZVCRASH_OK,
         1},
        {"const2u", DwarfBytes().u8(0x0a).u16(0xfffe).bytes(), {}, ZVCRASH_OK, 0xfffe},
        {"truncated operand", {0x0c, 0x01, 0x02}, {}, ZVCRASH_ERR_INVAL, 0},
        {"breg rsp", {0x77, 0x08}, {}, ZVCRASH_OK, kRsp + 8},
        {"bregx rbp", {0x92, 0x06, 0x7c}, {}, ZVCRASH_OK, kData - 4},
        {"breg unknown register", {0x70, 0x00}, {}, ZVCRASH_ERR_NOTFOUND, 0},
        {"bregx no mapping", {0x92, 0x10, 0x00}, {}, ZVCRASH_ERR_NOTSUP, 0},
        {"deref", {0x76, 0x00, 0x06}, {}, ZVCRASH_OK, 0x1122334455667788ull},
        {"deref_size 4", {0x76, 0x00, 0x94, 0x04}, {}, ZVCRASH_OK, 0x55667788},
        {"deref_size 3", {0x76, 0x00, 0x94, 0x03}, {}, ZVCRASH_ERR_INVAL, 0},
        {"deref_size 16", {0x76, 0x00, 0x94, 0x10}, {}, ZVCRASH_ERR_INVAL, 0},
        {"xderef", {0x30, 0x76, 0x00, 0x18}, {}, ZVCRASH_OK, 0x1122334455667788ull},
        {"xderef_size", {0x30, 0x76, 0x00, 0x95, 0x01}, {}, ZVCRASH_OK, 0x88},
        {"deref unmapped", {0x30, 0x06}, {}, ZVCRASH_ERR_NOTFOUND, 0},
        {"skip over", {0x2f, 0x01, 0x00, 0x13, 0x37}, {}, ZVCRASH_OK, 7},
        {"bra taken", {0x31, 0x28, 0x01, 0x00, 0x13, 0x37}, {}, ZVCRASH_OK, 7},
        {"bra not taken", {0x32, 0x30, 0x28, 0x01, 0x00, 0x33}, {}, ZVCRASH_OK, 3},
        {"skip past the end", {0x2f, 0x10, 0x00}, {}, ZVCRASH_ERR_INVAL, 0},
        {"skip before the start", {0x2f, 0xf0, 0xff}, {}, ZVCRASH_ERR_INVAL, 0},
        {"nop and initial value", {0x96}, {42}, ZVCRASH_OK, 42},
        {"empty result", {0x96}, {}, ZVCRASH_ERR_INVAL, 0},
        {"addr", DwarfBytes().u8(0x03).u64(0).bytes(), {}, ZVCRASH_ERR_NOTSUP, 0},
        {"reg0", {0x50}, {}, ZVCRASH_ERR_NOTSUP, 0},
        {"fbreg", {0x91, 0x00}, {}, ZVCRASH_ERR_NOTSUP, 0},
        {"piece", {0x93, 0x08}, {}, ZVCRASH_ERR_NOTSUP, 0},
        // A branch back to itself would never end; the operation count stops it.
        {"skip to itself", {0x2f, 0xfd, 0xff}, {}, ZVCRASH_ERR_INVAL, 0},
        {"2500 turns of 4", kCountdown, {2500}, ZVCRASH_OK, 0},
        {"2501 turns of 4", kCountdown, {2501}, ZVCRASH_ERR_INVAL, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned long long result = 0;
        EXPECT_EQ(c.error, (eval<unsigned long long, long long>(c.code, c.initial, &result)));
        if (c.error == ZVCRASH_OK) {
            EXPECT_EQ(c.value, result);
        }
    }
}

TEST_F(DwarfExpression, ThirtyTwoBitWords) {
    struct Case {
        const char* name;
        std::vector<uint8_t> code;
        zvcrash_error_t error;
        unsigned int value;
    };
    const std::vector<Case> cases = {
        {"MIN div -1", DwarfBytes().u8(0x0c).u32(0x80000000).u8(0x09).u8(0xff).u8(0x1b).bytes(), ZVCRASH_OK, 0x80000000u},
        {"MIN mod -1", DwarfBytes().u8(0x0c).u32(0x80000000).u8(0x09).u8(0xff).u8(0x1d).bytes(), ZVCRASH_OK, 0},
        {"shr all ones", {0x09, 0xff, 0x31, 0x25}, ZVCRASH_OK, 0x7fffffffu},
        {"shra all ones", {0x09, 0xff, 0x31, 0x26}, ZVCRASH_OK, 0xffffffffu},
        {"shl modulo width", {0x31, 0x08, 33, 0x24}, ZVCRASH_OK, 2},
        {"deref reads a 32-bit word", DwarfBytes().u8(0x0c).u32(kData).u8(0x06).bytes(), ZVCRASH_OK, 0x55667788u},
        {"const8u truncates", DwarfBytes().u8(0x0e).u64(0x100000005ull).bytes(), ZVCRASH_OK, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned int result = 0;
        EXPECT_EQ(c.error, (eval<unsigned int, int>(c.code, {}, &result)));
        if (c.error == ZVCRASH_OK) {
            EXPECT_EQ(c.value, result);
        }
    }
}

TEST_F(DwarfExpression, StreamMustLieInsideTheMapping) {
    task_.map(kCode, {0x30});
    zvcrash_async_mobject mobj;
    ASSERT_EQ(ZVCRASH_OK, zvcrash_async_mobject_init(&mobj, task_.task(), kCode, 1, true));
    unsigned long long result;
    EXPECT_EQ(ZVCRASH_ERR_INVAL, (zvcrash_async_dwarf_expression_eval<unsigned long long, long long>(
                                     &mobj, task_.task(), &state_, zvcrash_async_byteorder_direct(), kCode, 0, 2, nullptr, 0, &result)));
    EXPECT_EQ(ZVCRASH_ERR_INVAL, (zvcrash_async_dwarf_expression_eval<unsigned long long, long long>(
                                     &mobj, task_.task(), &state_, zvcrash_async_byteorder_direct(), kCode, 0, -1, nullptr, 0, &result)));
    zvcrash_async_mobject_free(&mobj);
}

}  // namespace
