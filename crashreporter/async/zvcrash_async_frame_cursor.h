// Walking a thread's stack one frame at a time, from its register state to the outermost
// caller. Each step asks a list of frame readers in turn for the caller's registers; the first
// that succeeds gives the next frame.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_image_list.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"

// Result of a step or of a frame reader.
enum zvcrash_async_frame_error : int {
    ZVCRASH_FRAME_OK = 0,
    ZVCRASH_FRAME_ERR_UNKNOWN = 1,
    // The end of the stack.
    ZVCRASH_FRAME_ERR_NO_FRAME = 2,
    ZVCRASH_FRAME_ERR_BAD_FRAME = 3,
    ZVCRASH_FRAME_ERR_NOTSUP = 4,
    ZVCRASH_FRAME_ERR_INVAL = 5,
    ZVCRASH_FRAME_ERR_INTERNAL = 6,
    ZVCRASH_FRAME_ERR_BAD_REG = 7,
};

// The message of a frame result; "Unhandled error code" for any other value. Safe at crash time.
const char* zvcrash_async_frame_strerror(int error);

// Reads the caller of current: 0 and *new_state filled, or an error and *new_state undefined.
// previous is the frame produced before current, null when current is the first frame.
using zvcrash_async_frame_reader = zvcrash_async_frame_error (*)(zvcrash_async_task_t task, zvcrash_async_image_list* image_list,
                                                                 const zvcrash_async_thread_state* current,
                                                                 const zvcrash_async_thread_state* previous,
                                                                 zvcrash_async_thread_state* new_state);

// A value on the walking thread's stack.
struct zvcrash_async_frame_cursor {
    zvcrash_async_task_t task;
    zvcrash_async_image_list* image_list;
    // 0 before the first step, then the number of frames produced.
    uint32_t depth;
    zvcrash_async_thread_state prev_frame;
    zvcrash_async_thread_state frame;
};

// A cursor at initial_state. Returns 0. Safe at crash time.
zvcrash_error_t zvcrash_async_frame_cursor_init(zvcrash_async_frame_cursor* cursor, zvcrash_async_task_t task,
                                                const zvcrash_async_thread_state* initial_state, zvcrash_async_image_list* image_list);

// A cursor at the registers of another thread of this process, stopped by the thread
// rendezvous; the code of zvcrash_async_thread_state_mach_thread_init. Safe at crash time.
zvcrash_error_t zvcrash_async_frame_cursor_thread_init(zvcrash_async_frame_cursor* cursor, zvcrash_async_task_t task, pid_t thread,
                                                       zvcrash_async_image_list* image_list);

// One step: the first gives the initial state itself and calls no reader; each later one asks
// the readers in order and fails with the last one's code when none succeeds. A caller whose
// instruction pointer is unknown or at or below 0x1000 ends the walk (ZVCRASH_FRAME_ERR_NO_FRAME).
// ZVCRASH_FRAME_ERR_INVAL without readers. Safe at crash time.
zvcrash_async_frame_error zvcrash_async_frame_cursor_next_with_readers(zvcrash_async_frame_cursor* cursor,
                                                                       const zvcrash_async_frame_reader* readers, size_t reader_count);

// A step with the default readers: compact unwind, DWARF, frame pointers. Safe at crash time.
zvcrash_async_frame_error zvcrash_async_frame_cursor_next(zvcrash_async_frame_cursor* cursor);

// The current frame's register: ZVCRASH_FRAME_ERR_NOTSUP when it is not known there.
// Safe at crash time.
zvcrash_async_frame_error zvcrash_async_frame_cursor_get_reg(const zvcrash_async_frame_cursor* cursor, zvcrash_async_regnum regnum,
                                                             uint64_t* value);
// Safe at crash time (both).
const char* zvcrash_async_frame_cursor_get_regname(const zvcrash_async_frame_cursor* cursor, zvcrash_async_regnum regnum);
size_t zvcrash_async_frame_cursor_get_regcount(const zvcrash_async_frame_cursor* cursor);

// Nothing to release: a task here holds no reference. Safe at crash time.
void zvcrash_async_frame_cursor_free(zvcrash_async_frame_cursor* cursor);

// The default readers. Each holds the image list's reader count while it looks at images and
// releases every mapping it made before it returns. Safe at crash time (all three).

// Through the compact unwind section of the image holding the PC (none on ELF images).
// Safe at crash time.
zvcrash_async_frame_error zvcrash_async_frame_read_compact_unwind(zvcrash_async_task_t task, zvcrash_async_image_list* image_list,
                                                                  const zvcrash_async_thread_state* current,
                                                                  const zvcrash_async_thread_state* previous,
                                                                  zvcrash_async_thread_state* new_state);
// Through the DWARF call-frame information of the image holding the PC. Safe at crash time.
zvcrash_async_frame_error zvcrash_async_frame_read_dwarf_unwind(zvcrash_async_task_t task, zvcrash_async_image_list* image_list,
                                                                const zvcrash_async_thread_state* current,
                                                                const zvcrash_async_thread_state* previous,
                                                                zvcrash_async_thread_state* new_state);
// Through the saved frame-pointer chain; needs no image. Safe at crash time.
zvcrash_async_frame_error zvcrash_async_frame_read_frame_pointer(zvcrash_async_task_t task, zvcrash_async_image_list* image_list,
                                                                 const zvcrash_async_thread_state* current,
                                                                 const zvcrash_async_thread_state* previous,
                                                                 zvcrash_async_thread_state* new_state);
