// A bounded cursor over DWARF opcodes (expressions and call-frame programs) inside a memory
// object: every read is checked against both the stream's end and the mapping.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_dwarf_encoding.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

struct zvcrash_async_dwarf_opstream {
    const zvcrash_async_mobject* mobj;
    const zvcrash_async_byteorder* byteorder;
    // The stream's range in the task.
    uint64_t start_task_address;
    uint64_t end_task_address;
    // The same range and the cursor as local pointers into the mapping.
    uintptr_t local_start;
    uintptr_t local_end;
    uintptr_t current;
};

// Opens [address + offset, + length). ZVCRASH_ERR_INVAL when the range overflows, the length is
// negative or the range is not inside the mapping. Safe at crash time.
zvcrash_error_t zvcrash_async_dwarf_opstream_init(zvcrash_async_dwarf_opstream* stream, const zvcrash_async_mobject* mobj,
                                                  const zvcrash_async_byteorder* byteorder, uint64_t address, int64_t offset,
                                                  int64_t length);

// Whether the cursor has reached (or passed) the end. Safe at crash time.
bool zvcrash_async_dwarf_opstream_at_end(const zvcrash_async_dwarf_opstream* stream);
// The task address of the cursor. Safe at crash time.
uint64_t zvcrash_async_dwarf_opstream_position(const zvcrash_async_dwarf_opstream* stream);

// Fixed-size reads in the stream's byte order; false, cursor unmoved, when the value would run
// past the end. Safe at crash time (the four readers).
bool zvcrash_async_dwarf_opstream_read_uint8(zvcrash_async_dwarf_opstream* stream, uint8_t* out);
bool zvcrash_async_dwarf_opstream_read_uint16(zvcrash_async_dwarf_opstream* stream, uint16_t* out);
bool zvcrash_async_dwarf_opstream_read_uint32(zvcrash_async_dwarf_opstream* stream, uint32_t* out);
bool zvcrash_async_dwarf_opstream_read_uint64(zvcrash_async_dwarf_opstream* stream, uint64_t* out);

// LEB128 operands; ZVCRASH_ERR_INVAL when the number runs past the end, the LEB reader's code
// otherwise. Safe at crash time (both).
zvcrash_error_t zvcrash_async_dwarf_opstream_read_uleb128(zvcrash_async_dwarf_opstream* stream, uint64_t* out);
zvcrash_error_t zvcrash_async_dwarf_opstream_read_sleb128(zvcrash_async_dwarf_opstream* stream, int64_t* out);

// Moves the cursor by offset bytes; false, cursor unmoved, when the target is outside
// [start, end]. Safe at crash time.
bool zvcrash_async_dwarf_opstream_skip(zvcrash_async_dwarf_opstream* stream, int64_t offset);

namespace zvcrash::async {

// A DW_EH_PE pointer at the cursor; ZVCRASH_ERR_INVAL when it runs past the end. Safe at crash time.
template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_opstream_read_pointer(zvcrash_async_dwarf_opstream* stream, const gnu_ehptr_reader<machine_ptr>* reader,
                                                          uint8_t encoding, machine_ptr* out);

}  // namespace zvcrash::async
