// One step of a DWARF walk: from a frame's thread state to its caller's, through the FDE that
// covers the frame's PC.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_dwarf_frame_reader.h"
#include "crashreporter/async/zvcrash_async_mobject.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"

namespace zvcrash::async {

// The PC at which a frame's rules are looked up. A frame's instruction pointer is a return
// address, the instruction after its call, except in the first frame (where the thread
// stopped) and in a frame whose CIE marks it as a signal frame (the kernel's trampoline, or
// the frame it interrupted): there it is the instruction itself. A call to a function that
// does not return can be the last instruction of its caller, so its return address is already
// the start of the next function; one byte back finds the caller's own rules.
// Safe at crash time.
template <typename machine_ptr>
machine_ptr zvcrash_async_dwarf_lookup_pc(machine_ptr pc, bool exact_pc) {
    return exact_pc || pc == 0 ? pc : static_cast<machine_ptr>(pc - 1);
}

// Finds the FDE of the frame in current (through the .eh_frame_hdr table when eh_frame_hdr is
// given, else by walking the section), runs its CIE's and its own program up to the look-up
// PC and applies the row: *caller is the caller's state. exact_pc is true for the first frame
// and for the frame below a signal frame; *signal_frame (when given) tells whether this frame's
// CIE is one, so that the next step can be exact. ZVCRASH_ERR_NOTFOUND when the state has no
// instruction pointer or no FDE covers it; the reader's, the programs' and apply_state's codes
// otherwise. Safe at crash time.
template <typename machine_ptr, typename machine_ptr_s>
zvcrash_error_t zvcrash_async_dwarf_unwind_frame(zvcrash_async_task_t task, const zvcrash_async_dwarf_frame_reader* reader,
                                                 const zvcrash_async_mobject* eh_frame_hdr, const zvcrash_async_thread_state* current,
                                                 bool exact_pc, zvcrash_async_thread_state* caller, bool* signal_frame);

}  // namespace zvcrash::async
