#include "crashreporter/async/zvcrash_async_dwarf_unwind.h"

#include "crashreporter/async/zvcrash_async_dwarf_cfa_state.h"

namespace zvcrash::async {

namespace {

template <typename machine_ptr>
zvcrash_error_t findEntries(const zvcrash_async_dwarf_frame_reader* reader, const zvcrash_async_mobject* eh_frame_hdr,
                            const gnu_ehptr_reader<machine_ptr>* ptr_reader, machine_ptr pc, zvcrash_async_dwarf_fde_info<machine_ptr>* fde,
                            zvcrash_async_dwarf_cie_info<machine_ptr>* cie) {
    zvcrash_error_t error = eh_frame_hdr != nullptr ? zvcrash_async_dwarf_frame_reader_find_fde_indexed(reader, eh_frame_hdr, pc, fde)
                                                    : zvcrash_async_dwarf_frame_reader_find_fde(reader, 0, pc, fde);
    if (error != ZVCRASH_OK) return error;
    return zvcrash_async_dwarf_cie_info_init(cie, reader->mobj, reader->byteorder, ptr_reader,
                                             zvcrash_async_mobject_base_address(reader->mobj) + fde->cie_offset);
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
zvcrash_error_t zvcrash_async_dwarf_unwind_frame(zvcrash_async_task_t task, const zvcrash_async_dwarf_frame_reader* reader,
                                                 const zvcrash_async_mobject* eh_frame_hdr, const zvcrash_async_thread_state* current,
                                                 bool exact_pc, zvcrash_async_thread_state* caller, bool* signal_frame) {
    if (!zvcrash_async_thread_state_has_reg(current, ZVCRASH_REG_IP)) return ZVCRASH_ERR_NOTFOUND;
    const machine_ptr pc = static_cast<machine_ptr>(zvcrash_async_thread_state_get_reg(current, ZVCRASH_REG_IP));
    machine_ptr lookup = zvcrash_async_dwarf_lookup_pc(pc, exact_pc);

    gnu_ehptr_reader<machine_ptr> ptr_reader(reader->byteorder);
    zvcrash_async_dwarf_fde_info<machine_ptr> fde;
    zvcrash_async_dwarf_cie_info<machine_ptr> cie;
    zvcrash_error_t error = findEntries(reader, eh_frame_hdr, &ptr_reader, lookup, &fde, &cie);
    if (lookup != pc && (error == ZVCRASH_ERR_NOTFOUND || (error == ZVCRASH_OK && cie.eh_augmentation.signal_frame))) {
        // A signal frame's PC is never a return address: its rules are those at the PC itself,
        // also when the byte before it belongs to no FDE at all.
        const bool found = error == ZVCRASH_OK;
        error = findEntries(reader, eh_frame_hdr, &ptr_reader, pc, &fde, &cie);
        if (error == ZVCRASH_OK && !found && !cie.eh_augmentation.signal_frame) error = ZVCRASH_ERR_NOTFOUND;
        lookup = pc;
    }
    if (error != ZVCRASH_OK) return error;

    const machine_ptr section = static_cast<machine_ptr>(zvcrash_async_mobject_base_address(reader->mobj));
    dwarf_cfa_state<machine_ptr, machine_ptr_s> state;
    error =
        state.eval_program(reader->mobj, 0, fde.pc_start, &cie, &ptr_reader, reader->byteorder, section,
                           zvcrash_async_dwarf_cie_info_instructions_offset(&cie), zvcrash_async_dwarf_cie_info_instructions_length(&cie));
    if (error != ZVCRASH_OK) return error;
    error =
        state.eval_program(reader->mobj, lookup, fde.pc_start, &cie, &ptr_reader, reader->byteorder, section,
                           zvcrash_async_dwarf_fde_info_instructions_offset(&fde), zvcrash_async_dwarf_fde_info_instructions_length(&fde));
    if (error != ZVCRASH_OK) return error;
    error = state.apply_state(task, &cie, current, reader->byteorder, caller);
    if (error != ZVCRASH_OK) return error;
    if (signal_frame != nullptr) *signal_frame = cie.eh_augmentation.signal_frame;
    return ZVCRASH_OK;
}

template zvcrash_error_t zvcrash_async_dwarf_unwind_frame<unsigned int, int>(zvcrash_async_task_t, const zvcrash_async_dwarf_frame_reader*,
                                                                             const zvcrash_async_mobject*,
                                                                             const zvcrash_async_thread_state*, bool,
                                                                             zvcrash_async_thread_state*, bool*);
template zvcrash_error_t zvcrash_async_dwarf_unwind_frame<unsigned long long, long long>(zvcrash_async_task_t,
                                                                                         const zvcrash_async_dwarf_frame_reader*,
                                                                                         const zvcrash_async_mobject*,
                                                                                         const zvcrash_async_thread_state*, bool,
                                                                                         zvcrash_async_thread_state*, bool*);

}  // namespace zvcrash::async
