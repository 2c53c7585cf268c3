// One row of the DWARF call-frame table: how to find the canonical frame address (CFA) and
// where each of the caller's registers was saved. Built by running a CIE's and an FDE's
// programs up to a PC, then applied to the current thread state to give the caller's. All
// storage is inside the object: nothing allocates on the crash path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_dwarf_encoding.h"
#include "crashreporter/async/zvcrash_async_dwarf_frame_reader.h"
#include "crashreporter/async/zvcrash_async_mobject.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"

namespace zvcrash::async {

// Rule entries shared by every level, remembered states included.
constexpr size_t ZVCRASH_DWARF_CFA_STATE_MAX_REGISTERS = 100;
// The initial level and five remembered ones.
constexpr size_t ZVCRASH_DWARF_CFA_STATE_MAX_STATES = 6;
constexpr size_t ZVCRASH_DWARF_CFA_STATE_BUCKET_COUNT = 14;
// The end of a chain, an empty bucket, a full table.
constexpr uint8_t ZVCRASH_DWARF_CFA_STATE_INVALID_ENTRY = 0xff;

enum zvcrash_dwarf_cfa_reg_rule_t : uint8_t {
    // Saved at CFA + value.
    ZVCRASH_DWARF_CFA_REG_RULE_OFFSET = 0,
    // The value is CFA + value.
    ZVCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET = 1,
    // The value is in the DWARF register named by value.
    ZVCRASH_DWARF_CFA_REG_RULE_REGISTER = 2,
    // Saved at the address computed by the length-prefixed expression at task address value.
    ZVCRASH_DWARF_CFA_REG_RULE_EXPRESSION = 3,
    // The value is that expression's result.
    ZVCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,
    // Unchanged from the callee.
    ZVCRASH_DWARF_CFA_REG_RULE_SAME_VALUE = 5,
};

enum zvcrash_dwarf_cfa_rule_type_t : uint32_t {
    ZVCRASH_DWARF_CFA_RULE_TYPE_UNDEFINED = 0,
    ZVCRASH_DWARF_CFA_RULE_TYPE_EXPRESSION = 1,
    ZVCRASH_DWARF_CFA_RULE_TYPE_REGISTER = 2,
    ZVCRASH_DWARF_CFA_RULE_TYPE_REGISTER_SIGNED = 3,
};

template <typename machine_ptr, typename machine_ptr_s>
struct dwarf_cfa_rule {
    zvcrash_dwarf_cfa_rule_type_t type;
    union {
        // Types 2 and 3: register + offset (signed for type 3).
        struct {
            uint32_t dwarf_regnum;
            machine_ptr offset;
        } reg;
        // Type 1: the expression's bytes in the task.
        struct {
            machine_ptr address;
            machine_ptr length;
        } expression;
    };
};

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator;

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state {
public:
    // Empty: level 0, no rules, the CFA rule undefined. Safe at crash time.
    dwarf_cfa_state();

    // Sets the register's rule in the current level, replacing its old one; false when the table
    // is full. Safe at crash time.
    bool set_register(uint32_t regnum, zvcrash_dwarf_cfa_reg_rule_t rule, machine_ptr value);
    // The register's rule in the current level; false when it has none. Safe at crash time.
    bool get_register_rule(uint32_t regnum, zvcrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value) const;
    // Drops the register's rule from the current level, if it has one. Safe at crash time.
    void remove_register(uint32_t regnum);
    // Rules in the current level. Safe at crash time.
    uint8_t get_register_count() const;

    // CFA = register + offset, unsigned or signed. Safe at crash time (both).
    void set_cfa_register(uint32_t regnum, machine_ptr offset);
    void set_cfa_register_signed(uint32_t regnum, machine_ptr_s offset);
    // CFA = the result of the expression at that task address. Safe at crash time.
    void set_cfa_expression(machine_ptr address, machine_ptr length);
    // The current level's CFA rule. Safe at crash time.
    dwarf_cfa_rule<machine_ptr, machine_ptr_s> get_cfa_rule() const;

    // Opens a new level holding a copy of the current one; false at the sixth level or when the
    // table cannot hold the copies. Safe at crash time.
    bool push_state();
    // Back to the previous level, whose rules come back; false at level 0. Safe at crash time.
    bool pop_state();

    // Runs the call-frame program at section_address + offset, [+ length), starting at
    // initial_location, until the location passes target_pc (0: to the end). ZVCRASH_ERR_NOMEM
    // when the rule table or the levels run out, ZVCRASH_ERR_NOTSUP for an unknown opcode or a
    // register number past 32 bits, ZVCRASH_ERR_INVAL for a malformed program. Safe at crash time.
    zvcrash_error_t eval_program(const zvcrash_async_mobject* mobj, machine_ptr target_pc, machine_ptr initial_location,
                                 const zvcrash_async_dwarf_cie_info<machine_ptr>* cie, const gnu_ehptr_reader<machine_ptr>* ptr_reader,
                                 const zvcrash_async_byteorder* byteorder, machine_ptr section_address, uint64_t offset, uint64_t length);

    // The caller's state: the callee-saved registers of the current state, the stack pointer at
    // the CFA, and every register the rules name. ZVCRASH_ERR_NOTSUP for a CFA register without
    // a mapping, ZVCRASH_ERR_NOTFOUND for a register the current state does not know,
    // ZVCRASH_ERR_INVAL for an undefined CFA or no way to the return address; task read,
    // mapping and expression errors as they come. Safe at crash time.
    zvcrash_error_t apply_state(zvcrash_async_task_t task, const zvcrash_async_dwarf_cie_info<machine_ptr>* cie,
                                const zvcrash_async_thread_state* thread_state, const zvcrash_async_byteorder* byteorder,
                                zvcrash_async_thread_state* new_thread_state);

private:
    friend class dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>;

    struct register_entry {
        machine_ptr value;
        uint32_t regnum;
        zvcrash_dwarf_cfa_reg_rule_t rule;
        uint8_t next;
    };

    dwarf_cfa_rule<machine_ptr, machine_ptr_s> cfa_rules_[ZVCRASH_DWARF_CFA_STATE_MAX_STATES];
    uint8_t register_counts_[ZVCRASH_DWARF_CFA_STATE_MAX_STATES];
    uint8_t buckets_[ZVCRASH_DWARF_CFA_STATE_MAX_STATES][ZVCRASH_DWARF_CFA_STATE_BUCKET_COUNT];
    uint8_t level_;
    uint8_t free_list_;
    register_entry entries_[ZVCRASH_DWARF_CFA_STATE_MAX_REGISTERS];
};

// Every rule of the level the state is at when the iterator is made, bucket by bucket and along
// each chain.
template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator {
public:
    // Safe at crash time (the constructor and next).
    explicit dwarf_cfa_state_iterator(const dwarf_cfa_state<machine_ptr, machine_ptr_s>* state);
    bool next(uint32_t* regnum, zvcrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value);

private:
    size_t bucket_;
    uint8_t current_;
    uint8_t level_;
    const dwarf_cfa_state<machine_ptr, machine_ptr_s>* state_;
};

}  // namespace zvcrash::async
