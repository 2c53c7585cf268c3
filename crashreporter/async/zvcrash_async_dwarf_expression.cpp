#include "crashreporter/async/zvcrash_async_dwarf_expression.h"

#include "crashreporter/async/zvcrash_async_dwarf_opstream.h"

namespace zvcrash::async {

namespace {

enum : uint8_t {
    DW_OP_addr = 0x03,
    DW_OP_deref = 0x06,
    DW_OP_const1u = 0x08,
    DW_OP_const1s = 0x09,
    DW_OP_const2u = 0x0a,
    DW_OP_const2s = 0x0b,
    DW_OP_const4u = 0x0c,
    DW_OP_const4s = 0x0d,
    DW_OP_const8u = 0x0e,
    DW_OP_const8s = 0x0f,
    DW_OP_constu = 0x10,
    DW_OP_consts = 0x11,
    DW_OP_dup = 0x12,
    DW_OP_drop = 0x13,
    DW_OP_over = 0x14,
    DW_OP_pick = 0x15,
    DW_OP_swap = 0x16,
    DW_OP_rot = 0x17,
    DW_OP_xderef = 0x18,
    DW_OP_abs = 0x19,
    DW_OP_and = 0x1a,
    DW_OP_div = 0x1b,
    DW_OP_minus = 0x1c,
    DW_OP_mod = 0x1d,
    DW_OP_mul = 0x1e,
    DW_OP_neg = 0x1f,
    DW_OP_not = 0x20,
    DW_OP_or = 0x21,
    DW_OP_plus = 0x22,
    DW_OP_plus_uconst = 0x23,
    DW_OP_shl = 0x24,
    DW_OP_shr = 0x25,
    DW_OP_shra = 0x26,
    DW_OP_xor = 0x27,
    DW_OP_bra = 0x28,
    DW_OP_eq = 0x29,
    DW_OP_ge = 0x2a,
    DW_OP_gt = 0x2b,
    DW_OP_le = 0x2c,
    DW_OP_lt = 0x2d,
    DW_OP_ne = 0x2e,
    DW_OP_skip = 0x2f,
    DW_OP_lit0 = 0x30,
    DW_OP_lit31 = 0x4f,
    DW_OP_breg0 = 0x70,
    DW_OP_breg31 = 0x8f,
    DW_OP_bregx = 0x92,
    DW_OP_deref_size = 0x94,
    DW_OP_xderef_size = 0x95,
    DW_OP_nop = 0x96,
};

template <typename machine_ptr>
struct expression_stack {
    machine_ptr words[ZVCRASH_DWARF_EXPRESSION_STACK_SIZE];
    size_t depth = 0;

    bool push(machine_ptr value) {
        if (depth == ZVCRASH_DWARF_EXPRESSION_STACK_SIZE) return false;
        words[depth++] = value;
        return true;
    }
    // The entry index places below the top.
    machine_ptr& peek(size_t index) { return words[depth - 1 - index]; }
};

template <typename machine_ptr>
zvcrash_error_t readMemory(zvcrash_async_task_t task, const zvcrash_async_byteorder* byteorder, machine_ptr address, uint8_t size,
                           machine_ptr* out) {
    zvcrash_error_t error;
    switch (size) {
        case 1: {
            uint8_t value;
            error = zvcrash_async_task_read_uint8(task, address, 0, &value);
            *out = value;
            return error;
        }
        case 2: {
            uint16_t value;
            error = zvcrash_async_task_read_uint16(task, byteorder, address, 0, &value);
            *out = value;
            return error;
        }
        case 4: {
            uint32_t value;
            error = zvcrash_async_task_read_uint32(task, byteorder, address, 0, &value);
            *out = static_cast<machine_ptr>(value);
            return error;
        }
        case 8: {
            uint64_t value;
            error = zvcrash_async_task_read_uint64(task, byteorder, address, 0, &value);
            *out = static_cast<machine_ptr>(value);
            return error;
        }
        default:
            return ZVCRASH_ERR_INVAL;
    }
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
zvcrash_error_t zvcrash_async_dwarf_expression_eval(const zvcrash_async_mobject* mobj, zvcrash_async_task_t task,
                                                    const zvcrash_async_thread_state* thread_state,
                                                    const zvcrash_async_byteorder* byteorder, uint64_t address, int64_t offset,
                                                    int64_t length, const machine_ptr* initial_stack, size_t initial_count,
                                                    machine_ptr* result) {
    constexpr unsigned kWordBits = sizeof(machine_ptr) * 8;
    constexpr machine_ptr kSignBit = static_cast<machine_ptr>(1) << (kWordBits - 1);

    zvcrash_async_dwarf_opstream stream;
    zvcrash_error_t error = zvcrash_async_dwarf_opstream_init(&stream, mobj, byteorder, address, offset, length);
    if (error != ZVCRASH_OK) return error;

    expression_stack<machine_ptr> stack;
    for (size_t i = 0; i < initial_count; ++i)
        if (!stack.push(initial_stack[i])) return ZVCRASH_ERR_INTERNAL;

#define ZVCRASH_PUSH(value)                                  \
    do {                                                     \
        if (!stack.push(value)) return ZVCRASH_ERR_INTERNAL; \
    } while (0)
            // Stack opcodes on too few entries are malformed code; the others are a stack fault.
#define ZVCRASH_NEED_STACK(count) \
    if (stack.depth < (count)) return ZVCRASH_ERR_INVAL
#define ZVCRASH_NEED_OPERANDS(count) \
    if (stack.depth < (count)) return ZVCRASH_ERR_INTERNAL

    uint64_t operations = 0;
    while (!zvcrash_async_dwarf_opstream_at_end(&stream)) {
        if (++operations > ZVCRASH_DWARF_EXPRESSION_MAX_OPERATIONS) return ZVCRASH_ERR_INVAL;
        uint8_t opcode;
        if (!zvcrash_async_dwarf_opstream_read_uint8(&stream, &opcode)) return ZVCRASH_ERR_INVAL;

        if (opcode >= DW_OP_lit0 && opcode <= DW_OP_lit31) {
            ZVCRASH_PUSH(static_cast<machine_ptr>(opcode - DW_OP_lit0));
            continue;
        }
        if ((opcode >= DW_OP_breg0 && opcode <= DW_OP_breg31) || opcode == DW_OP_bregx) {
            uint64_t dwarf_reg = opcode - DW_OP_breg0;
            if (opcode == DW_OP_bregx) {
                error = zvcrash_async_dwarf_opstream_read_uleb128(&stream, &dwarf_reg);
                if (error != ZVCRASH_OK) return error;
            }
            int64_t displacement;
            error = zvcrash_async_dwarf_opstream_read_sleb128(&stream, &displacement);
            if (error != ZVCRASH_OK) return error;
            zvcrash_async_regnum regnum;
            if (!zvcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf_reg, &regnum)) return ZVCRASH_ERR_NOTSUP;
            if (!zvcrash_async_thread_state_has_reg(thread_state, regnum)) return ZVCRASH_ERR_NOTFOUND;
            const machine_ptr value = static_cast<machine_ptr>(zvcrash_async_thread_state_get_reg(thread_state, regnum));
            ZVCRASH_PUSH(static_cast<machine_ptr>(value + static_cast<machine_ptr>(displacement)));
            continue;
        }

        switch (opcode) {
            case DW_OP_const1u:
            case DW_OP_const1s: {
                uint8_t value;
                if (!zvcrash_async_dwarf_opstream_read_uint8(&stream, &value)) return ZVCRASH_ERR_INVAL;
                ZVCRASH_PUSH(opcode == DW_OP_const1s ? static_cast<machine_ptr>(static_cast<int8_t>(value)) : value);
                break;
            }
            case DW_OP_const2u:
            case DW_OP_const2s: {
                uint16_t value;
                if (!zvcrash_async_dwarf_opstream_read_uint16(&stream, &value)) return ZVCRASH_ERR_INVAL;
                ZVCRASH_PUSH(opcode == DW_OP_const2s ? static_cast<machine_ptr>(static_cast<int16_t>(value)) : value);
                break;
            }
            case DW_OP_const4u:
            case DW_OP_const4s: {
                uint32_t value;
                if (!zvcrash_async_dwarf_opstream_read_uint32(&stream, &value)) return ZVCRASH_ERR_INVAL;
                ZVCRASH_PUSH(opcode == DW_OP_const4s ? static_cast<machine_ptr>(static_cast<int32_t>(value))
                                                     : static_cast<machine_ptr>(value));
                break;
            }
            case DW_OP_const8u:
            case DW_OP_const8s: {
                uint64_t value;
                if (!zvcrash_async_dwarf_opstream_read_uint64(&stream, &value)) return ZVCRASH_ERR_INVAL;
                ZVCRASH_PUSH(static_cast<machine_ptr>(value));
                break;
            }
            case DW_OP_constu: {
                uint64_t value;
                error = zvcrash_async_dwarf_opstream_read_uleb128(&stream, &value);
                if (error != ZVCRASH_OK) return error;
                ZVCRASH_PUSH(static_cast<machine_ptr>(value));
                break;
            }
            case DW_OP_consts: {
                int64_t value;
                error = zvcrash_async_dwarf_opstream_read_sleb128(&stream, &value);
                if (error != ZVCRASH_OK) return error;
                ZVCRASH_PUSH(static_cast<machine_ptr>(value));
                break;
            }

            case DW_OP_dup:
                ZVCRASH_NEED_STACK(1);
                ZVCRASH_PUSH(stack.peek(0));
                break;
            case DW_OP_drop:
                ZVCRASH_NEED_STACK(1);
                --stack.depth;
                break;
            case DW_OP_over:
                ZVCRASH_NEED_STACK(2);
                ZVCRASH_PUSH(stack.peek(1));
                break;
            case DW_OP_pick: {
                uint8_t index;
                if (!zvcrash_async_dwarf_opstream_read_uint8(&stream, &index)) return ZVCRASH_ERR_INVAL;
                ZVCRASH_NEED_STACK(static_cast<size_t>(index) + 1);
                ZVCRASH_PUSH(stack.peek(index));
                break;
            }
            case DW_OP_swap: {
                ZVCRASH_NEED_STACK(2);
                const machine_ptr top = stack.peek(0);
                stack.peek(0) = stack.peek(1);
                stack.peek(1) = top;
                break;
            }
            case DW_OP_rot: {
                // The top becomes the third entry; the second and third move up one.
                ZVCRASH_NEED_STACK(3);
                const machine_ptr top = stack.peek(0);
                stack.peek(0) = stack.peek(1);
                stack.peek(1) = stack.peek(2);
                stack.peek(2) = top;
                break;
            }

            case DW_OP_deref:
            case DW_OP_deref_size:
            case DW_OP_xderef:
            case DW_OP_xderef_size: {
                uint8_t size = sizeof(machine_ptr);
                if (opcode == DW_OP_deref_size || opcode == DW_OP_xderef_size) {
                    if (!zvcrash_async_dwarf_opstream_read_uint8(&stream, &size)) return ZVCRASH_ERR_INVAL;
                    if (size != 1 && size != 2 && size != 4 && size != 8) return ZVCRASH_ERR_INVAL;
                }
                const bool extended = opcode == DW_OP_xderef || opcode == DW_OP_xderef_size;
                ZVCRASH_NEED_OPERANDS(extended ? 2 : 1);
                const machine_ptr target = stack.peek(0);
                // The address-space entry below the address has no meaning here.
                if (extended) --stack.depth;
                machine_ptr value;
                error = readMemory(task, byteorder, target, size, &value);
                if (error != ZVCRASH_OK) return error;
                stack.peek(0) = value;
                break;
            }

            case DW_OP_abs: {
                ZVCRASH_NEED_OPERANDS(1);
                machine_ptr& top = stack.peek(0);
                // Unsigned negation: the minimum value stays itself instead of overflowing.
                if ((top & kSignBit) != 0) top = static_cast<machine_ptr>(0 - top);
                break;
            }
            case DW_OP_neg: {
                ZVCRASH_NEED_OPERANDS(1);
                machine_ptr& top = stack.peek(0);
                top = static_cast<machine_ptr>(0 - top);
                break;
            }
            case DW_OP_not: {
                ZVCRASH_NEED_OPERANDS(1);
                machine_ptr& top = stack.peek(0);
                top = static_cast<machine_ptr>(~top);
                break;
            }
            case DW_OP_plus_uconst: {
                uint64_t addend;
                error = zvcrash_async_dwarf_opstream_read_uleb128(&stream, &addend);
                if (error != ZVCRASH_OK) return error;
                ZVCRASH_NEED_OPERANDS(1);
                machine_ptr& top = stack.peek(0);
                top = static_cast<machine_ptr>(top + static_cast<machine_ptr>(addend));
                break;
            }

            case DW_OP_and:
            case DW_OP_div:
            case DW_OP_minus:
            case DW_OP_mod:
            case DW_OP_mul:
            case DW_OP_or:
            case DW_OP_plus:
            case DW_OP_shl:
            case DW_OP_shr:
            case DW_OP_shra:
            case DW_OP_xor:
            case DW_OP_eq:
            case DW_OP_ge:
            case DW_OP_gt:
            case DW_OP_le:
            case DW_OP_lt:
            case DW_OP_ne: {
                ZVCRASH_NEED_OPERANDS(2);
                const machine_ptr b = stack.peek(0);
                const machine_ptr a = stack.peek(1);
                const machine_ptr_s sa = static_cast<machine_ptr_s>(a);
                const machine_ptr_s sb = static_cast<machine_ptr_s>(b);
                const unsigned shift = static_cast<unsigned>(b % kWordBits);
                machine_ptr value = 0;
                switch (opcode) {
                    case DW_OP_and:
                        value = a & b;
                        break;
                    case DW_OP_or:
                        value = a | b;
                        break;
                    case DW_OP_xor:
                        value = a ^ b;
                        break;
                    case DW_OP_plus:
                        value = static_cast<machine_ptr>(a + b);
                        break;
                    case DW_OP_minus:
                        value = static_cast<machine_ptr>(a - b);
                        break;
                    case DW_OP_mul:
                        value = static_cast<machine_ptr>(a * b);
                        break;
                    case DW_OP_div:
                    case DW_OP_mod:
                        if (b == 0) return ZVCRASH_ERR_INVAL;
                        if (sb == -1) {
                            // The processor traps on the minimum divided by -1; the quotient
                            // is the negation (the minimum itself wraps), the remainder 0.
                            value = opcode == DW_OP_div ? static_cast<machine_ptr>(0 - a) : 0;
                        } else {
                            value = static_cast<machine_ptr>(opcode == DW_OP_div ? sa / sb : sa % sb);
                        }
                        break;
                    case DW_OP_shl:
                        value = static_cast<machine_ptr>(a << shift);
                        break;
                    case DW_OP_shr:
                        value = static_cast<machine_ptr>(a >> shift);
                        break;
                    case DW_OP_shra:
                        value = static_cast<machine_ptr>(a >> shift);
                        if ((a & kSignBit) != 0 && shift != 0)
                            value |= static_cast<machine_ptr>(~static_cast<machine_ptr>(0) << (kWordBits - shift));
                        break;
                    case DW_OP_eq:
                        value = sa == sb;
                        break;
                    case DW_OP_ge:
                        value = sa >= sb;
                        break;
                    case DW_OP_gt:
                        value = sa > sb;
                        break;
                    case DW_OP_le:
                        value = sa <= sb;
                        break;
                    case DW_OP_lt:
                        value = sa < sb;
                        break;
                    case DW_OP_ne:
                        value = sa != sb;
                        break;
                }
                --stack.depth;
                stack.peek(0) = value;
                break;
            }

            case DW_OP_skip:
            case DW_OP_bra: {
                uint16_t raw;
                if (!zvcrash_async_dwarf_opstream_read_uint16(&stream, &raw)) return ZVCRASH_ERR_INVAL;
                bool taken = true;
                if (opcode == DW_OP_bra) {
                    ZVCRASH_NEED_OPERANDS(1);
                    taken = stack.peek(0) != 0;
                    --stack.depth;
                }
                if (taken && !zvcrash_async_dwarf_opstream_skip(&stream, static_cast<int16_t>(raw))) return ZVCRASH_ERR_INVAL;
                break;
            }

            case DW_OP_nop:
                break;

            case DW_OP_addr:
            default:
                return ZVCRASH_ERR_NOTSUP;
        }
    }
#undef ZVCRASH_PUSH
#undef ZVCRASH_NEED_STACK
#undef ZVCRASH_NEED_OPERANDS

    if (stack.depth == 0) return ZVCRASH_ERR_INVAL;
    *result = stack.peek(0);
    return ZVCRASH_OK;
}

template zvcrash_error_t zvcrash_async_dwarf_expression_eval<unsigned int, int>(const zvcrash_async_mobject*, zvcrash_async_task_t,
                                                                                const zvcrash_async_thread_state*,
                                                                                const zvcrash_async_byteorder*, uint64_t, int64_t, int64_t,
                                                                                const unsigned int*, size_t, unsigned int*);
template zvcrash_error_t zvcrash_async_dwarf_expression_eval<unsigned long long, long long>(
    const zvcrash_async_mobject*, zvcrash_async_task_t, const zvcrash_async_thread_state*, const zvcrash_async_byteorder*, uint64_t,
    int64_t, int64_t, const unsigned long long*, size_t, unsigned long long*);

}  // namespace zvcrash::async
