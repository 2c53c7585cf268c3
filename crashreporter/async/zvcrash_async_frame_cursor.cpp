#include "crashreporter/async/zvcrash_async_frame_cursor.h"

namespace {
// Return addresses at or below this lie in the never-mapped first page: the end of the stack.
constexpr uint64_t kLowestReturnAddress = 0x1000;
}  // namespace

const char* zvcrash_async_frame_strerror(int error) {
    switch (error) {
        case ZVCRASH_FRAME_OK:
            return "No error";
        case ZVCRASH_FRAME_ERR_UNKNOWN:
            return "Unknown error";
        case ZVCRASH_FRAME_ERR_NO_FRAME:
            return "No frames are available";
        case ZVCRASH_FRAME_ERR_BAD_FRAME:
            return "Corrupted frame";
        case ZVCRASH_FRAME_ERR_NOTSUP:
            return "Operation not supported";
        case ZVCRASH_FRAME_ERR_INVAL:
            return "Invalid argument";
        case ZVCRASH_FRAME_ERR_INTERNAL:
            return "Internal error";
        case ZVCRASH_FRAME_ERR_BAD_REG:
            return "Invalid register";
        default:
            return "Unhandled error code";
    }
}

zvcrash_error_t zvcrash_async_frame_cursor_init(zvcrash_async_frame_cursor* cursor, zvcrash_async_task_t task,
                                                const zvcrash_async_thread_state* initial_state, zvcrash_async_image_list* image_list) {
    cursor->task = task;
    cursor->image_list = image_list;
    cursor->depth = 0;
    zvcrash_async_thread_state_copy(&cursor->frame, initial_state);
    return ZVCRASH_OK;
}

zvcrash_error_t zvcrash_async_frame_cursor_thread_init(zvcrash_async_frame_cursor* cursor, zvcrash_async_task_t task, pid_t thread,
                                                       zvcrash_async_image_list* image_list) {
    zvcrash_async_thread_state state;
    zvcrash_error_t error = zvcrash_async_thread_state_mach_thread_init(&state, thread);
    if (error != ZVCRASH_OK) return error;
    return zvcrash_async_frame_cursor_init(cursor, task, &state, image_list);
}

zvcrash_async_frame_error zvcrash_async_frame_cursor_next_with_readers(zvcrash_async_frame_cursor* cursor,
                                                                       const zvcrash_async_frame_reader* readers, size_t reader_count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return ZVCRASH_FRAME_OK;
    }
    if (reader_count == 0) return ZVCRASH_FRAME_ERR_INVAL;

    const zvcrash_async_thread_state* previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
    zvcrash_async_thread_state caller;
    zvcrash_async_frame_error result = ZVCRASH_FRAME_ERR_UNKNOWN;
    for (size_t i = 0; i < reader_count; ++i) {
        result = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &caller);
        if (result == ZVCRASH_FRAME_OK) break;
    }
    if (result != ZVCRASH_FRAME_OK) return result;

    if (!zvcrash_async_thread_state_has_reg(&caller, ZVCRASH_REG_IP) ||
        zvcrash_async_thread_state_get_reg(&caller, ZVCRASH_REG_IP) <= kLowestReturnAddress)
        return ZVCRASH_FRAME_ERR_NO_FRAME;

    zvcrash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
    zvcrash_async_thread_state_copy(&cursor->frame, &caller);
    ++cursor->depth;
    return ZVCRASH_FRAME_OK;
}

zvcrash_async_frame_error zvcrash_async_frame_cursor_next(zvcrash_async_frame_cursor* cursor) {
    static constexpr zvcrash_async_frame_reader kReaders[] = {
        zvcrash_async_frame_read_compact_unwind,
        zvcrash_async_frame_read_dwarf_unwind,
        zvcrash_async_frame_read_frame_pointer,
    };
    return zvcrash_async_frame_cursor_next_with_readers(cursor, kReaders, sizeof kReaders / sizeof kReaders[0]);
}

zvcrash_async_frame_error zvcrash_async_frame_cursor_get_reg(const zvcrash_async_frame_cursor* cursor, zvcrash_async_regnum regnum,
                                                             uint64_t* value) {
    if (regnum >= zvcrash_async_thread_state_get_reg_count(&cursor->frame) || !zvcrash_async_thread_state_has_reg(&cursor->frame, regnum))
        return ZVCRASH_FRAME_ERR_NOTSUP;
    *value = zvcrash_async_thread_state_get_reg(&cursor->frame, regnum);
    return ZVCRASH_FRAME_OK;
}

const char* zvcrash_async_frame_cursor_get_regname(const zvcrash_async_frame_cursor* cursor, zvcrash_async_regnum regnum) {
    return zvcrash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

size_t zvcrash_async_frame_cursor_get_regcount(const zvcrash_async_frame_cursor* cursor) {
    return zvcrash_async_thread_state_get_reg_count(&cursor->frame);
}

void zvcrash_async_frame_cursor_free(zvcrash_async_frame_cursor* cursor) {}
