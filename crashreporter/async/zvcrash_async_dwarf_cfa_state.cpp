#include "crashreporter/async/zvcrash_async_dwarf_cfa_state.h"

#include "crashreporter/async/zvcrash_async_dwarf_expression.h"
#include "crashreporter/async/zvcrash_async_dwarf_opstream.h"

namespace zvcrash::async {

namespace {

enum : uint8_t {
    DW_CFA_nop = 0x00,
    DW_CFA_set_loc = 0x01,
    DW_CFA_advance_loc1 = 0x02,
    DW_CFA_advance_loc2 = 0x03,
    DW_CFA_advance_loc4 = 0x04,
    DW_CFA_offset_extended = 0x05,
    DW_CFA_restore_extended = 0x06,
    DW_CFA_undefined = 0x07,
    DW_CFA_same_value = 0x08,
    DW_CFA_register = 0x09,
    DW_CFA_remember_state = 0x0a,
    DW_CFA_restore_state = 0x0b,
    DW_CFA_def_cfa = 0x0c,
    DW_CFA_def_cfa_register = 0x0d,
    DW_CFA_def_cfa_offset = 0x0e,
    DW_CFA_def_cfa_expression = 0x0f,
    DW_CFA_expression = 0x10,
    DW_CFA_offset_extended_sf = 0x11,
    DW_CFA_def_cfa_sf = 0x12,
    DW_CFA_def_cfa_offset_sf = 0x13,
    DW_CFA_val_offset = 0x14,
    DW_CFA_val_offset_sf = 0x15,
    DW_CFA_val_expression = 0x16,
    DW_CFA_GNU_args_size = 0x2e,
    DW_CFA_advance_loc = 0x40,
    DW_CFA_offset = 0x80,
    DW_CFA_restore = 0xc0,
};

bool isRegisterBased(zvcrash_dwarf_cfa_rule_type_t type) {
    return type == ZVCRASH_DWARF_CFA_RULE_TYPE_REGISTER || type == ZVCRASH_DWARF_CFA_RULE_TYPE_REGISTER_SIGNED;
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
dwarf_cfa_state<machine_ptr, machine_ptr_s>::dwarf_cfa_state() {
    for (size_t i = 0; i < ZVCRASH_DWARF_CFA_STATE_MAX_REGISTERS; ++i) {
        entries_[i] = {0, 0, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET,
                       static_cast<uint8_t>(i + 1 < ZVCRASH_DWARF_CFA_STATE_MAX_REGISTERS ? i + 1 : ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY)};
    }
    free_list_ = 0;
    level_ = 0;
    zvcrash_async_memset(buckets_[0], ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY, sizeof(buckets_[0]));
    register_counts_[0] = 0;
    zvcrash_async_memset(&cfa_rules_[0], 0, sizeof(cfa_rules_[0]));
    cfa_rules_[0].type = ZVCRASH_DWARF_CFA_RULE_TYPE_UNDEFINED;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_register(uint32_t regnum, zvcrash_dwarf_cfa_reg_rule_t rule, machine_ptr value) {
    uint8_t* link = &buckets_[level_][regnum % ZVCRASH_DWARF_CFA_STATE_BUCKET_COUNT];
    while (*link != ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY) {
        register_entry& entry = entries_[*link];
        if (entry.regnum == regnum) {
            entry.rule = rule;
            entry.value = value;
            return true;
        }
        link = &entry.next;
    }
    if (free_list_ == ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY) return false;
    const uint8_t index = free_list_;
    register_entry& entry = entries_[index];
    free_list_ = entry.next;
    entry = {value, regnum, rule, ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY};
    *link = index;
    ++register_counts_[level_];
    return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::get_register_rule(uint32_t regnum, zvcrash_dwarf_cfa_reg_rule_t* rule,
                                                                    machine_ptr* value) const {
    for (uint8_t index = buckets_[level_][regnum % ZVCRASH_DWARF_CFA_STATE_BUCKET_COUNT]; index != ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY;
         index = entries_[index].next) {
        if (entries_[index].regnum == regnum) {
            *rule = entries_[index].rule;
            *value = entries_[index].value;
            return true;
        }
    }
    return false;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::remove_register(uint32_t regnum) {
    uint8_t* link = &buckets_[level_][regnum % ZVCRASH_DWARF_CFA_STATE_BUCKET_COUNT];
    while (*link != ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY) {
        const uint8_t index = *link;
        register_entry& entry = entries_[index];
        if (entry.regnum == regnum) {
            *link = entry.next;
            entry.next = free_list_;
            free_list_ = index;
            --register_counts_[level_];
            return;
        }
        link = &entry.next;
    }
}

template <typename machine_ptr, typename machine_ptr_s>
uint8_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::get_register_count() const {
    return register_counts_[level_];
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_register(uint32_t regnum, machine_ptr offset) {
    cfa_rules_[level_].type = ZVCRASH_DWARF_CFA_RULE_TYPE_REGISTER;
    cfa_rules_[level_].reg.dwarf_regnum = regnum;
    cfa_rules_[level_].reg.offset = offset;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_register_signed(uint32_t regnum, machine_ptr_s offset) {
    cfa_rules_[level_].type = ZVCRASH_DWARF_CFA_RULE_TYPE_REGISTER_SIGNED;
    cfa_rules_[level_].reg.dwarf_regnum = regnum;
    cfa_rules_[level_].reg.offset = static_cast<machine_ptr>(offset);
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_expression(machine_ptr address, machine_ptr length) {
    cfa_rules_[level_].type = ZVCRASH_DWARF_CFA_RULE_TYPE_EXPRESSION;
    cfa_rules_[level_].expression.address = address;
    cfa_rules_[level_].expression.length = length;
}

template <typename machine_ptr, typename machine_ptr_s>
dwarf_cfa_rule<machine_ptr, machine_ptr_s> dwarf_cfa_state<machine_ptr, machine_ptr_s>::get_cfa_rule() const {
    return cfa_rules_[level_];
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::push_state() {
    if (level_ + 1u >= ZVCRASH_DWARF_CFA_STATE_MAX_STATES) return false;
    const uint8_t from = level_;
    const uint8_t to = static_cast<uint8_t>(level_ + 1);
    // Count first, so that a table too small for the copies leaves everything as it was.
    size_t free_count = 0;
    for (uint8_t index = free_list_; index != ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY; index = entries_[index].next) ++free_count;
    if (free_count < register_counts_[from]) return false;

    cfa_rules_[to] = cfa_rules_[from];
    register_counts_[to] = 0;
    zvcrash_async_memset(buckets_[to], ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY, sizeof(buckets_[to]));
    // The iterator keeps walking the level it was made at.
    dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
    level_ = to;
    uint32_t regnum;
    zvcrash_dwarf_cfa_reg_rule_t rule;
    machine_ptr value;
    while (it.next(&regnum, &rule, &value)) set_register(regnum, rule, value);
    return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::pop_state() {
    if (level_ == 0) return false;
    // The level's entries go back to the free list: a program that remembers and restores in
    // every epilogue would otherwise run the table dry.
    for (size_t bucket = 0; bucket < ZVCRASH_DWARF_CFA_STATE_BUCKET_COUNT; ++bucket) {
        uint8_t index = buckets_[level_][bucket];
        while (index != ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY) {
            const uint8_t next = entries_[index].next;
            entries_[index].next = free_list_;
            free_list_ = index;
            index = next;
        }
    }
    --level_;
    return true;
}

template <typename machine_ptr, typename machine_ptr_s>
zvcrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::eval_program(const zvcrash_async_mobject* mobj, machine_ptr target_pc,
                                                                          machine_ptr initial_location,
                                                                          const zvcrash_async_dwarf_cie_info<machine_ptr>* cie,
                                                                          const gnu_ehptr_reader<machine_ptr>* ptr_reader,
                                                                          const zvcrash_async_byteorder* byteorder,
                                                                          machine_ptr section_address, uint64_t offset, uint64_t length) {
    // The rules in force before this program: what restore opcodes go back to.
    dwarf_cfa_state initial;
    {
        dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
        uint32_t regnum;
        zvcrash_dwarf_cfa_reg_rule_t rule;
        machine_ptr value;
        while (it.next(&regnum, &rule, &value))
            if (!initial.set_register(regnum, rule, value)) return ZVCRASH_ERR_NOMEM;
    }

    uint8_t set_loc_encoding = ZVCRASH_DW_EH_PE_absptr;
    if (cie->eh_augmentation.has_eh_augmentation_data && ptr_reader != nullptr && cie->eh_augmentation.has_pointer_encoding)
        set_loc_encoding = cie->eh_augmentation.pointer_encoding;
    gnu_ehptr_reader<machine_ptr> absolute_reader(byteorder);
    if (ptr_reader == nullptr) ptr_reader = &absolute_reader;

    if (static_cast<int64_t>(length) < 0) return ZVCRASH_ERR_INVAL;
    zvcrash_async_dwarf_opstream stream;
    zvcrash_error_t error = zvcrash_async_dwarf_opstream_init(&stream, mobj, byteorder, section_address, static_cast<int64_t>(offset),
                                                              static_cast<int64_t>(length));
    if (error != ZVCRASH_OK) return error;

    const machine_ptr code_alignment = static_cast<machine_ptr>(cie->code_alignment_factor);
    const machine_ptr data_alignment = static_cast<machine_ptr>(cie->data_alignment_factor);
    machine_ptr location = initial_location;

    // Back to the rule the register had before this program, or to none.
    auto restore = [&](uint32_t regnum) {
        zvcrash_dwarf_cfa_reg_rule_t rule;
        machine_ptr value;
        if (!initial.get_register_rule(regnum, &rule, &value)) {
            remove_register(regnum);
            return ZVCRASH_OK;
        }
        return set_register(regnum, rule, value) ? ZVCRASH_OK : ZVCRASH_ERR_NOMEM;
    };

#define ZVCRASH_READ_ULEB(var)                                                                \
    uint64_t var;                                                                             \
    do {                                                                                      \
        zvcrash_error_t leb_error = zvcrash_async_dwarf_opstream_read_uleb128(&stream, &var); \
        if (leb_error != ZVCRASH_OK) return leb_error;                                        \
    } while (0)
#define ZVCRASH_READ_SLEB(var)                                                                \
    int64_t var;                                                                              \
    do {                                                                                      \
        zvcrash_error_t leb_error = zvcrash_async_dwarf_opstream_read_sleb128(&stream, &var); \
        if (leb_error != ZVCRASH_OK) return leb_error;                                        \
    } while (0)
#define ZVCRASH_READ_REGISTER(var)                           \
    ZVCRASH_READ_ULEB(var##_wide);                           \
    if (var##_wide > 0xffffffffu) return ZVCRASH_ERR_NOTSUP; \
    const uint32_t var = static_cast<uint32_t>(var##_wide)
#define ZVCRASH_SET_RULE(regnum, rule, value) \
    if (!set_register(regnum, rule, value)) return ZVCRASH_ERR_NOMEM

    while (true) {
        if (target_pc != 0 && location > target_pc) return ZVCRASH_OK;
        if (zvcrash_async_dwarf_opstream_at_end(&stream)) return ZVCRASH_OK;
        uint8_t opcode;
        if (!zvcrash_async_dwarf_opstream_read_uint8(&stream, &opcode)) return ZVCRASH_ERR_INVAL;

        const uint8_t operand = opcode & 0x3f;
        switch (opcode & 0xc0) {
            case DW_CFA_advance_loc:
                location = static_cast<machine_ptr>(location + operand * code_alignment);
                continue;
            case DW_CFA_offset: {
                ZVCRASH_READ_ULEB(factored);
                ZVCRASH_SET_RULE(operand, ZVCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<machine_ptr>(factored * data_alignment));
                continue;
            }
            case DW_CFA_restore:
                error = restore(operand);
                if (error != ZVCRASH_OK) return error;
                continue;
            default:
                break;
        }

        switch (opcode) {
            case DW_CFA_nop:
                break;
            case DW_CFA_set_loc: {
                if (cie->segment_size != 0) return ZVCRASH_ERR_NOTSUP;
                error = zvcrash_async_dwarf_opstream_read_pointer(&stream, ptr_reader, set_loc_encoding, &location);
                if (error != ZVCRASH_OK) return error;
                break;
            }
            case DW_CFA_advance_loc1: {
                uint8_t delta;
                if (!zvcrash_async_dwarf_opstream_read_uint8(&stream, &delta)) return ZVCRASH_ERR_INVAL;
                location = static_cast<machine_ptr>(location + delta * code_alignment);
                break;
            }
            case DW_CFA_advance_loc2: {
                uint16_t delta;
                if (!zvcrash_async_dwarf_opstream_read_uint16(&stream, &delta)) return ZVCRASH_ERR_INVAL;
                location = static_cast<machine_ptr>(location + delta * code_alignment);
                break;
            }
            case DW_CFA_advance_loc4: {
                uint32_t delta;
                if (!zvcrash_async_dwarf_opstream_read_uint32(&stream, &delta)) return ZVCRASH_ERR_INVAL;
                location = static_cast<machine_ptr>(location + delta * code_alignment);
                break;
            }
            case DW_CFA_offset_extended:
            case DW_CFA_val_offset: {
                ZVCRASH_READ_REGISTER(regnum);
                ZVCRASH_READ_ULEB(factored);
                ZVCRASH_SET_RULE(
                    regnum, opcode == DW_CFA_offset_extended ? ZVCRASH_DWARF_CFA_REG_RULE_OFFSET : ZVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET,
                    static_cast<machine_ptr>(factored * data_alignment));
                break;
            }
            case DW_CFA_offset_extended_sf:
            case DW_CFA_val_offset_sf: {
                ZVCRASH_READ_REGISTER(regnum);
                ZVCRASH_READ_SLEB(factored);
                ZVCRASH_SET_RULE(
                    regnum, opcode == DW_CFA_offset_extended_sf ? ZVCRASH_DWARF_CFA_REG_RULE_OFFSET : ZVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET,
                    static_cast<machine_ptr>(static_cast<machine_ptr>(factored) * data_alignment));
                break;
            }
            case DW_CFA_restore_extended: {
                ZVCRASH_READ_REGISTER(regnum);
                error = restore(regnum);
                if (error != ZVCRASH_OK) return error;
                break;
            }
            case DW_CFA_undefined: {
                ZVCRASH_READ_REGISTER(regnum);
                remove_register(regnum);
                break;
            }
            case DW_CFA_same_value: {
                ZVCRASH_READ_REGISTER(regnum);
                ZVCRASH_SET_RULE(regnum, ZVCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0);
                break;
            }
            case DW_CFA_register: {
                ZVCRASH_READ_REGISTER(regnum);
                ZVCRASH_READ_REGISTER(source);
                ZVCRASH_SET_RULE(regnum, ZVCRASH_DWARF_CFA_REG_RULE_REGISTER, source);
                break;
            }
            case DW_CFA_remember_state:
                if (!push_state()) return ZVCRASH_ERR_NOMEM;
                break;
            case DW_CFA_restore_state:
                if (!pop_state()) return ZVCRASH_ERR_INVAL;
                break;
            case DW_CFA_def_cfa: {
                ZVCRASH_READ_REGISTER(regnum);
                ZVCRASH_READ_ULEB(cfa_offset);
                set_cfa_register(regnum, static_cast<machine_ptr>(cfa_offset));
                break;
            }
            case DW_CFA_def_cfa_sf: {
                ZVCRASH_READ_REGISTER(regnum);
                ZVCRASH_READ_SLEB(factored);
                set_cfa_register_signed(regnum, static_cast<machine_ptr_s>(static_cast<machine_ptr>(factored) * data_alignment));
                break;
            }
            case DW_CFA_def_cfa_register: {
                ZVCRASH_READ_REGISTER(regnum);
                if (!isRegisterBased(cfa_rules_[level_].type)) return ZVCRASH_ERR_INVAL;
                cfa_rules_[level_].reg.dwarf_regnum = regnum;
                break;
            }
            case DW_CFA_def_cfa_offset: {
                ZVCRASH_READ_ULEB(cfa_offset);
                if (!isRegisterBased(cfa_rules_[level_].type)) return ZVCRASH_ERR_INVAL;
                set_cfa_register(cfa_rules_[level_].reg.dwarf_regnum, static_cast<machine_ptr>(cfa_offset));
                break;
            }
            case DW_CFA_def_cfa_offset_sf: {
                ZVCRASH_READ_SLEB(factored);
                if (!isRegisterBased(cfa_rules_[level_].type)) return ZVCRASH_ERR_INVAL;
                set_cfa_register_signed(cfa_rules_[level_].reg.dwarf_regnum,
                                        static_cast<machine_ptr_s>(static_cast<machine_ptr>(factored) * data_alignment));
                break;
            }
            case DW_CFA_def_cfa_expression: {
                ZVCRASH_READ_ULEB(expression_length);
                const uint64_t expression_address = zvcrash_async_dwarf_opstream_position(&stream);
                if (expression_length > INT64_MAX || !zvcrash_async_dwarf_opstream_skip(&stream, static_cast<int64_t>(expression_length)))
                    return ZVCRASH_ERR_INVAL;
                set_cfa_expression(static_cast<machine_ptr>(expression_address), static_cast<machine_ptr>(expression_length));
                break;
            }
            case DW_CFA_expression:
            case DW_CFA_val_expression: {
                ZVCRASH_READ_REGISTER(regnum);
                // The rule keeps the block's address, length prefix included.
                const uint64_t block_address = zvcrash_async_dwarf_opstream_position(&stream);
                ZVCRASH_READ_ULEB(expression_length);
                if (expression_length > INT64_MAX || !zvcrash_async_dwarf_opstream_skip(&stream, static_cast<int64_t>(expression_length)))
                    return ZVCRASH_ERR_INVAL;
                ZVCRASH_SET_RULE(
                    regnum, opcode == DW_CFA_expression ? ZVCRASH_DWARF_CFA_REG_RULE_EXPRESSION : ZVCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION,
                    static_cast<machine_ptr>(block_address));
                break;
            }
            case DW_CFA_GNU_args_size: {
                // The bytes of outgoing arguments pushed at this point: only exception
                // landing pads need it, an unwinder that reads the CFA does not.
                ZVCRASH_READ_ULEB(ignored);
                (void)ignored;
                break;
            }
            default:
                return ZVCRASH_ERR_NOTSUP;
        }
    }
#undef ZVCRASH_READ_ULEB
#undef ZVCRASH_READ_SLEB
#undef ZVCRASH_READ_REGISTER
#undef ZVCRASH_SET_RULE
}

namespace {

template <typename machine_ptr>
zvcrash_error_t readWord(zvcrash_async_task_t task, const zvcrash_async_byteorder* byteorder, size_t size, machine_ptr address,
                         machine_ptr* out) {
    if (size == 8) {
        uint64_t value;
        zvcrash_error_t error = zvcrash_async_task_read_uint64(task, byteorder, address, 0, &value);
        *out = static_cast<machine_ptr>(value);
        return error;
    }
    uint32_t value;
    zvcrash_error_t error = zvcrash_async_task_read_uint32(task, byteorder, address, 0, &value);
    *out = static_cast<machine_ptr>(value);
    return error;
}

// Maps [address, + length) whole and evaluates the expression there.
template <typename machine_ptr, typename machine_ptr_s>
zvcrash_error_t evalInTask(zvcrash_async_task_t task, const zvcrash_async_thread_state* state, const zvcrash_async_byteorder* byteorder,
                           uint64_t address, uint64_t length, const machine_ptr* initial, size_t initial_count, machine_ptr* result) {
    if (length > INT64_MAX) return ZVCRASH_ERR_INVAL;
    zvcrash_async_mobject mobj;
    zvcrash_error_t error = zvcrash_async_mobject_init(&mobj, task, address, length, true);
    if (error != ZVCRASH_OK) return error;
    error = zvcrash_async_dwarf_expression_eval<machine_ptr, machine_ptr_s>(&mobj, task, state, byteorder, address, 0,
                                                                            static_cast<int64_t>(length), initial, initial_count, result);
    zvcrash_async_mobject_free(&mobj);
    return error;
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
zvcrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::apply_state(zvcrash_async_task_t task,
                                                                         const zvcrash_async_dwarf_cie_info<machine_ptr>* cie,
                                                                         const zvcrash_async_thread_state* thread_state,
                                                                         const zvcrash_async_byteorder* byteorder,
                                                                         zvcrash_async_thread_state* new_thread_state) {
    const size_t word_size = zvcrash_async_thread_state_get_greg_size(thread_state);
    zvcrash_async_thread_state_copy(new_thread_state, thread_state);
    zvcrash_async_thread_state_clear_volatile_regs(new_thread_state);

    machine_ptr cfa;
    const dwarf_cfa_rule<machine_ptr, machine_ptr_s>& cfa_rule = cfa_rules_[level_];
    switch (cfa_rule.type) {
        case ZVCRASH_DWARF_CFA_RULE_TYPE_REGISTER:
        case ZVCRASH_DWARF_CFA_RULE_TYPE_REGISTER_SIGNED: {
            zvcrash_async_regnum regnum;
            if (!zvcrash_async_thread_state_map_dwarf_to_reg(thread_state, cfa_rule.reg.dwarf_regnum, &regnum)) return ZVCRASH_ERR_NOTSUP;
            if (!zvcrash_async_thread_state_has_reg(thread_state, regnum)) return ZVCRASH_ERR_NOTFOUND;
            cfa = static_cast<machine_ptr>(static_cast<machine_ptr>(zvcrash_async_thread_state_get_reg(thread_state, regnum)) +
                                           cfa_rule.reg.offset);
            break;
        }
        case ZVCRASH_DWARF_CFA_RULE_TYPE_EXPRESSION: {
            zvcrash_error_t error = evalInTask<machine_ptr, machine_ptr_s>(task, thread_state, byteorder, cfa_rule.expression.address,
                                                                           cfa_rule.expression.length, nullptr, 0, &cfa);
            if (error != ZVCRASH_OK) return error;
            break;
        }
        default:
            return ZVCRASH_ERR_INVAL;
    }
    zvcrash_async_thread_state_set_reg(new_thread_state, ZVCRASH_REG_SP, cfa);

    bool ip_set = false;
    dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
    uint32_t dwarf_reg;
    zvcrash_dwarf_cfa_reg_rule_t rule;
    machine_ptr rule_value;
    while (it.next(&dwarf_reg, &rule, &rule_value)) {
        zvcrash_async_regnum target;
        bool mapped = zvcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarf_reg, &target);
        const bool is_return_address = dwarf_reg == cie->return_address_register;
        if (!mapped) {
            // A return-address column that is no real register (x86-64's 16) stands for the
            // instruction pointer.
            if (!is_return_address) return ZVCRASH_ERR_INVAL;
            target = ZVCRASH_REG_IP;
        }

        machine_ptr value;
        zvcrash_error_t error = ZVCRASH_OK;
        switch (rule) {
            case ZVCRASH_DWARF_CFA_REG_RULE_OFFSET:
                error = readWord(task, byteorder, word_size, static_cast<machine_ptr>(cfa + rule_value), &value);
                break;
            case ZVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET:
                value = static_cast<machine_ptr>(cfa + rule_value);
                break;
            case ZVCRASH_DWARF_CFA_REG_RULE_REGISTER: {
                zvcrash_async_regnum source;
                if (!zvcrash_async_thread_state_map_dwarf_to_reg(thread_state, rule_value, &source)) return ZVCRASH_ERR_INVAL;
                if (!zvcrash_async_thread_state_has_reg(thread_state, source)) return ZVCRASH_ERR_NOTFOUND;
                value = static_cast<machine_ptr>(zvcrash_async_thread_state_get_reg(thread_state, source));
                break;
            }
            case ZVCRASH_DWARF_CFA_REG_RULE_SAME_VALUE:
                if (!zvcrash_async_thread_state_has_reg(thread_state, target)) return ZVCRASH_ERR_NOTFOUND;
                value = static_cast<machine_ptr>(zvcrash_async_thread_state_get_reg(thread_state, target));
                break;
            case ZVCRASH_DWARF_CFA_REG_RULE_EXPRESSION:
            case ZVCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION: {
                uint64_t length, size;
                error = zvcrash_async_dwarf_read_task_uleb128(task, rule_value, 0, &length, &size);
                if (error != ZVCRASH_OK) return error;
                uint64_t start;
                if (__builtin_add_overflow(static_cast<uint64_t>(rule_value), size, &start)) return ZVCRASH_ERR_INVAL;
                error = evalInTask<machine_ptr, machine_ptr_s>(task, thread_state, byteorder, start, length, &cfa, 1, &value);
                if (error != ZVCRASH_OK) return error;
                if (rule == ZVCRASH_DWARF_CFA_REG_RULE_EXPRESSION) error = readWord(task, byteorder, word_size, value, &value);
                break;
            }
            default:
                continue;
        }
        if (error != ZVCRASH_OK) return error;

        zvcrash_async_thread_state_set_reg(new_thread_state, target, value);
        if (target == ZVCRASH_REG_IP) ip_set = true;
        if (is_return_address && mapped) {
            zvcrash_async_thread_state_set_reg(new_thread_state, ZVCRASH_REG_IP, value);
            ip_set = true;
        }
    }

    if (!ip_set) {
        // No rule for the return address: it is still in its register.
        zvcrash_async_regnum regnum;
        if (!zvcrash_async_thread_state_map_dwarf_to_reg(thread_state, cie->return_address_register, &regnum)) return ZVCRASH_ERR_INVAL;
        if (!zvcrash_async_thread_state_has_reg(thread_state, regnum)) return ZVCRASH_ERR_INVAL;
        zvcrash_async_thread_state_set_reg(new_thread_state, ZVCRASH_REG_IP, zvcrash_async_thread_state_get_reg(thread_state, regnum));
    }
    return ZVCRASH_OK;
}

template <typename machine_ptr, typename machine_ptr_s>
dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>::dwarf_cfa_state_iterator(const dwarf_cfa_state<machine_ptr, machine_ptr_s>* state)
    : bucket_(0),
      current_(ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY),
      level_(state->level_),
      state_(state) {}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>::next(uint32_t* regnum, zvcrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value) {
    if (current_ != ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY) current_ = state_->entries_[current_].next;
    while (current_ == ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY) {
        if (bucket_ >= ZVCRASH_DWARF_CFA_STATE_BUCKET_COUNT) return false;
        current_ = state_->buckets_[level_][bucket_++];
    }
    const auto& entry = state_->entries_[current_];
    *regnum = entry.regnum;
    *rule = entry.rule;
    *value = entry.value;
    return true;
}

template class dwarf_cfa_state<unsigned int, int>;
template class dwarf_cfa_state<unsigned long long, long long>;
template class dwarf_cfa_state_iterator<unsigned int, int>;
template class dwarf_cfa_state_iterator<unsigned long long, long long>;

}  // namespace zvcrash::async
