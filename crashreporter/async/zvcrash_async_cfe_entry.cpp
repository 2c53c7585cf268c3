#include "crashreporter/async/zvcrash_async_cfe_entry.h"

#include "crashreporter/async/zvcrash_async_thread_state.h"

namespace {

constexpr uint32_t kCpuX86 = 7;
constexpr uint32_t kCpuX86_64 = 0x1000007;
constexpr uint32_t kCpuArm64 = 0x100000c;

uint32_t bits(uint32_t value, unsigned low, unsigned width) { return (value >> low) & ((1u << width) - 1); }

// Thread-state numbers of the callee-saved registers the x86 encodings name by index 1 to 6.
constexpr uint32_t kX86_64Registers[7] = {ZVCRASH_CFE_NO_REGISTER, ZVCRASH_X86_64_RBX, ZVCRASH_X86_64_R12, ZVCRASH_X86_64_R13,
                                          ZVCRASH_X86_64_R14,      ZVCRASH_X86_64_R15, ZVCRASH_X86_64_RBP};
constexpr uint32_t kX86Registers[7] = {ZVCRASH_CFE_NO_REGISTER, ZVCRASH_X86_EBX, ZVCRASH_X86_ECX, ZVCRASH_X86_EDX,
                                       ZVCRASH_X86_EDI,         ZVCRASH_X86_ESI, ZVCRASH_X86_EBP};

void startEntry(zvcrash_async_cfe_entry* entry, uint32_t cpu_type) {
    zvcrash_async_memset(entry, 0, sizeof *entry);
    entry->cpu_type = cpu_type;
    entry->stack_adjust = 0;
    entry->return_address_register = ZVCRASH_CFE_NO_REGISTER;
}

// x86 and x86-64 share their layout and differ in word size and register names.
zvcrash_error_t initX86(zvcrash_async_cfe_entry* entry, uint32_t encoding, int64_t word, const uint32_t* names) {
    switch (bits(encoding, 24, 4)) {
        case 0:
            entry->type = ZVCRASH_CFE_NONE;
            return ZVCRASH_OK;
        case 1: {
            entry->type = ZVCRASH_CFE_FRAME_BASED;
            entry->stack_offset = -word * bits(encoding, 16, 8);
            // Five 3-bit slots, lowest first; a zero slot holds no register but keeps its place.
            uint32_t slots = bits(encoding, 0, 15);
            while (slots != 0) {
                const uint32_t slot = slots & 7;
                if (slot == 7) return ZVCRASH_ERR_INVAL;
                entry->registers[entry->register_count++] = names[slot];
                slots >>= 3;
            }
            return ZVCRASH_OK;
        }
        case 2:
        case 3: {
            if (bits(encoding, 24, 4) == 2) {
                entry->type = ZVCRASH_CFE_FRAMELESS_IMMEDIATE;
                entry->stack_offset = word * bits(encoding, 16, 8);
            } else {
                entry->type = ZVCRASH_CFE_FRAMELESS_INDIRECT;
                entry->stack_offset = bits(encoding, 16, 8);
                entry->stack_adjust = static_cast<uint32_t>(word) * bits(encoding, 13, 3);
            }
            const uint32_t count = bits(encoding, 10, 3);
            uint32_t indices[6];
            zvcrash_error_t error = zvcrash_async_cfe_register_decode(bits(encoding, 0, 10), count, indices);
            if (error != ZVCRASH_OK) return error;
            for (uint32_t i = 0; i < count; ++i) {
                if (indices[i] < 1 || indices[i] > 6) return ZVCRASH_ERR_INVAL;
                entry->registers[i] = names[indices[i]];
            }
            entry->register_count = count;
            return ZVCRASH_OK;
        }
        case 4:
            entry->type = ZVCRASH_CFE_DWARF;
            entry->stack_offset = bits(encoding, 0, 24);
            return ZVCRASH_OK;
        default:
            return ZVCRASH_ERR_NOTSUP;
    }
}

// The saved pairs of an arm64 encoding, in the order their flags are listed.
void addArm64Pairs(zvcrash_async_cfe_entry* entry, uint32_t encoding) {
    static constexpr uint32_t kFlags[5] = {0x10, 0x8, 0x4, 0x2, 0x1};
    for (uint32_t i = 0; i < 5; ++i) {
        if ((encoding & kFlags[i]) == 0) continue;
        entry->registers[entry->register_count++] = 31 - 2 * i;
        entry->registers[entry->register_count++] = 30 - 2 * i;
    }
}

zvcrash_error_t initArm64(zvcrash_async_cfe_entry* entry, uint32_t encoding) {
    switch (bits(encoding, 24, 4)) {
        case 0:
            entry->type = ZVCRASH_CFE_NONE;
            return ZVCRASH_OK;
        case 2:
            entry->type = ZVCRASH_CFE_FRAMELESS_IMMEDIATE;
            entry->stack_offset = 16 * int64_t{bits(encoding, 12, 12)};
            entry->return_address_register = 32;
            addArm64Pairs(entry, encoding);
            return ZVCRASH_OK;
        case 3:
            entry->type = ZVCRASH_CFE_DWARF;
            entry->stack_offset = bits(encoding, 0, 24);
            return ZVCRASH_OK;
        case 4:
            entry->type = ZVCRASH_CFE_FRAME_BASED;
            addArm64Pairs(entry, encoding);
            entry->stack_offset = -8 * int64_t{entry->register_count};
            return ZVCRASH_OK;
        default:
            return ZVCRASH_ERR_NOTSUP;
    }
}

zvcrash_error_t readWord(zvcrash_async_task_t task, uint64_t address, int64_t offset, uint64_t word, uint64_t* out) {
    if (word == 8) return zvcrash_async_task_read_uint64(task, zvcrash_async_byteorder_direct(), address, offset, out);
    uint32_t value = 0;
    zvcrash_error_t error = zvcrash_async_task_read_uint32(task, zvcrash_async_byteorder_direct(), address, offset, &value);
    *out = value;
    return error;
}

}  // namespace

zvcrash_error_t zvcrash_async_cfe_entry_init(zvcrash_async_cfe_entry* entry, uint32_t cpu_type, uint32_t encoding) {
    startEntry(entry, cpu_type);
    switch (cpu_type) {
        case kCpuX86_64:
            return initX86(entry, encoding, 8, kX86_64Registers);
        case kCpuX86:
            return initX86(entry, encoding, 4, kX86Registers);
        case kCpuArm64:
            return initArm64(entry, encoding);
        default:
            return ZVCRASH_ERR_NOTSUP;
    }
}

void zvcrash_async_cfe_entry_free(zvcrash_async_cfe_entry* entry) {}

uint32_t zvcrash_async_cfe_entry_type(const zvcrash_async_cfe_entry* entry) { return entry->type; }
int64_t zvcrash_async_cfe_entry_stack_offset(const zvcrash_async_cfe_entry* entry) { return entry->stack_offset; }
uint32_t zvcrash_async_cfe_entry_stack_adjust(const zvcrash_async_cfe_entry* entry) { return entry->stack_adjust; }
uint32_t zvcrash_async_cfe_entry_return_address_register(const zvcrash_async_cfe_entry* entry) { return entry->return_address_register; }
uint32_t zvcrash_async_cfe_entry_register_count(const zvcrash_async_cfe_entry* entry) { return entry->register_count; }

void zvcrash_async_cfe_entry_register_list(const zvcrash_async_cfe_entry* entry, uint32_t* registers) {
    zvcrash_async_memcpy(registers, entry->registers, entry->register_count * sizeof(uint32_t));
}

zvcrash_error_t zvcrash_async_cfe_register_decode(uint32_t permutation, uint32_t count, uint32_t* registers) {
    if (count > 6) return ZVCRASH_ERR_INVAL;
    if (count == 0) return ZVCRASH_OK;
    // The permutation is a mixed-radix number: the first register chooses among six, the next
    // among the five left, and so on.
    uint32_t digits[6] = {};
    uint32_t p = permutation;
    switch (count) {
        case 1:
            digits[0] = p;
            break;
        case 2:
            digits[0] = p / 5;
            digits[1] = p % 5;
            break;
        case 3:
            digits[0] = p / 20;
            digits[1] = (p % 20) / 4;
            digits[2] = p % 4;
            break;
        case 4:
            digits[0] = p / 60;
            p %= 60;
            digits[1] = p / 12;
            p %= 12;
            digits[2] = p / 3;
            digits[3] = p % 3;
            break;
        default:  // 5 and 6: the sixth register is whatever is left
            digits[0] = p / 120;
            p %= 120;
            digits[1] = p / 24;
            p %= 24;
            digits[2] = p / 6;
            p %= 6;
            digits[3] = p / 2;
            digits[4] = p % 2;
            digits[5] = 0;
            break;
    }
    bool used[7] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t unused = 0;
        uint32_t chosen = 0;
        for (uint32_t index = 1; index <= 6; ++index) {
            if (used[index]) continue;
            if (unused == digits[i]) {
                chosen = index;
                break;
            }
            ++unused;
        }
        if (chosen == 0) return ZVCRASH_ERR_INVAL;
        used[chosen] = true;
        registers[i] = chosen;
    }
    return ZVCRASH_OK;
}

uint32_t zvcrash_async_cfe_register_encode(const uint32_t* registers, uint32_t count) {
    uint32_t digits[6] = {};
    bool used[7] = {};
    for (uint32_t i = 0; i < count && i < 6; ++i) {
        uint32_t below = 0;
        for (uint32_t index = 1; index < registers[i] && index <= 6; ++index) {
            if (!used[index]) ++below;
        }
        digits[i] = below;
        if (registers[i] <= 6) used[registers[i]] = true;
    }
    switch (count) {
        case 0:
            return 0;
        case 1:
            return digits[0];
        case 2:
            return digits[0] * 5 + digits[1];
        case 3:
            return digits[0] * 20 + digits[1] * 4 + digits[2];
        case 4:
            return digits[0] * 60 + digits[1] * 12 + digits[2] * 3 + digits[3];
        default:
            return digits[0] * 120 + digits[1] * 24 + digits[2] * 6 + digits[3] * 2 + digits[4];
    }
}

zvcrash_error_t zvcrash_async_cfe_entry_apply(zvcrash_async_task_t task, uint64_t function_address,
                                              const zvcrash_async_thread_state* current_state, const zvcrash_async_cfe_entry* entry,
                                              zvcrash_async_thread_state* new_state) {
    const uint64_t word = zvcrash_async_thread_state_get_greg_size(current_state);
    const uint32_t registerCount = static_cast<uint32_t>(zvcrash_async_thread_state_get_reg_count(current_state));
    zvcrash_async_thread_state_copy(new_state, current_state);
    zvcrash_async_thread_state_clear_volatile_regs(new_state);

    // Registers this state cannot hold (an arm64 entry over an x86 state) end the step here
    // instead of reaching the state's range checks.
    if (entry->return_address_register != ZVCRASH_CFE_NO_REGISTER && entry->return_address_register >= registerCount)
        return ZVCRASH_ERR_NOTSUP;
    for (uint32_t i = 0; i < entry->register_count; ++i) {
        if (entry->registers[i] != ZVCRASH_CFE_NO_REGISTER && entry->registers[i] >= registerCount) return ZVCRASH_ERR_NOTSUP;
    }

    uint64_t returnAddress = 0;
    uint64_t savedStart = 0;
    zvcrash_error_t error;
    switch (entry->type) {
        case ZVCRASH_CFE_FRAMELESS_IMMEDIATE:
        case ZVCRASH_CFE_FRAMELESS_INDIRECT: {
            if (!zvcrash_async_thread_state_has_reg(current_state, ZVCRASH_REG_SP)) return ZVCRASH_ERR_NOTFOUND;
            uint64_t stackSize = static_cast<uint64_t>(entry->stack_offset);
            if (entry->type == ZVCRASH_CFE_FRAMELESS_INDIRECT) {
                uint32_t immediate = 0;
                error = zvcrash_async_task_read_uint32(task, zvcrash_async_byteorder_direct(), function_address, entry->stack_offset,
                                                       &immediate);
                if (error != ZVCRASH_OK) return error;
                stackSize = uint64_t{immediate} + entry->stack_adjust;
            }
            const uint64_t sp = zvcrash_async_thread_state_get_reg(current_state, ZVCRASH_REG_SP);
            uint64_t newSp;
            if (__builtin_add_overflow(sp, stackSize, &newSp)) return ZVCRASH_ERR_INVAL;
            const uint64_t savedBytes = uint64_t{entry->register_count} * word;
            if (entry->return_address_register == ZVCRASH_CFE_NO_REGISTER) {
                error = readWord(task, newSp, -static_cast<int64_t>(word), word, &returnAddress);
                if (error != ZVCRASH_OK) return error;
                savedStart = newSp - word - savedBytes;
            } else {
                if (!zvcrash_async_thread_state_has_reg(current_state, entry->return_address_register)) return ZVCRASH_ERR_NOTFOUND;
                returnAddress = zvcrash_async_thread_state_get_reg(current_state, entry->return_address_register);
                savedStart = newSp - savedBytes;
            }
            zvcrash_async_thread_state_set_reg(new_state, ZVCRASH_REG_SP, newSp);
            break;
        }
        case ZVCRASH_CFE_FRAME_BASED: {
            if (!zvcrash_async_thread_state_has_reg(current_state, ZVCRASH_REG_FP)) return ZVCRASH_ERR_NOTFOUND;
            const uint64_t fp = zvcrash_async_thread_state_get_reg(current_state, ZVCRASH_REG_FP);
            uint64_t newSp;
            if (__builtin_add_overflow(fp, 2 * word, &newSp)) return ZVCRASH_ERR_INVAL;
            uint64_t savedFp = 0;
            error = readWord(task, fp, 0, word, &savedFp);
            if (error != ZVCRASH_OK) return error;
            error = readWord(task, fp, static_cast<int64_t>(word), word, &returnAddress);
            if (error != ZVCRASH_OK) return error;
            if (!zvcrash_async_address_apply_offset(fp, entry->stack_offset, &savedStart)) return ZVCRASH_ERR_INVAL;
            zvcrash_async_thread_state_set_reg(new_state, ZVCRASH_REG_SP, newSp);
            zvcrash_async_thread_state_set_reg(new_state, ZVCRASH_REG_FP, savedFp);
            break;
        }
        default:
            return ZVCRASH_ERR_NOTSUP;
    }

    zvcrash_async_thread_state_set_reg(new_state, ZVCRASH_REG_IP, returnAddress);
    for (uint32_t i = 0; i < entry->register_count; ++i) {
        if (entry->registers[i] == ZVCRASH_CFE_NO_REGISTER) continue;
        uint64_t value = 0;
        error = readWord(task, savedStart, static_cast<int64_t>(i * word), word, &value);
        if (error != ZVCRASH_OK) return error;
        zvcrash_async_thread_state_set_reg(new_state, entry->registers[i], value);
    }
    return ZVCRASH_OK;
}
