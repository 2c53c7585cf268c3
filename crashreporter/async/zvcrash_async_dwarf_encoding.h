// Readers of the number and pointer encodings that DWARF call-frame information uses: LEB128,
// fixed-size words in the image's byte order, and DW_EH_PE-encoded pointers. Everything reads
// through a memory object, so damaged tables fail with a code instead of a fault.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

// DW_EH_PE pointer encodings: the low four bits give the format, bits 4-6 the base, 0x80 the
// indirection through a word of task memory.
enum : uint8_t {
    ZVCRASH_DW_EH_PE_absptr = 0x00,
    ZVCRASH_DW_EH_PE_uleb128 = 0x01,
    ZVCRASH_DW_EH_PE_udata2 = 0x02,
    ZVCRASH_DW_EH_PE_udata4 = 0x03,
    ZVCRASH_DW_EH_PE_udata8 = 0x04,
    ZVCRASH_DW_EH_PE_sleb128 = 0x09,
    ZVCRASH_DW_EH_PE_sdata2 = 0x0a,
    ZVCRASH_DW_EH_PE_sdata4 = 0x0b,
    ZVCRASH_DW_EH_PE_sdata8 = 0x0c,
    ZVCRASH_DW_EH_PE_pcrel = 0x10,
    ZVCRASH_DW_EH_PE_textrel = 0x20,
    ZVCRASH_DW_EH_PE_datarel = 0x30,
    ZVCRASH_DW_EH_PE_funcrel = 0x40,
    ZVCRASH_DW_EH_PE_aligned = 0x50,
    ZVCRASH_DW_EH_PE_indirect = 0x80,
    ZVCRASH_DW_EH_PE_omit = 0xff,
};

// An unsigned LEB128 at address + offset: at most ten bytes are read; a tenth byte that still
// continues gives ZVCRASH_ERR_NOTSUP, a byte outside the mapping ZVCRASH_ERR_INVAL. *size is the
// number of bytes read. Safe at crash time.
zvcrash_error_t zvcrash_async_dwarf_read_uleb128(const zvcrash_async_mobject* mobj, uint64_t address, int64_t offset, uint64_t* result,
                                                 uint64_t* size);
// The signed form, sign-extended from the last byte's bit 6. Safe at crash time.
zvcrash_error_t zvcrash_async_dwarf_read_sleb128(const zvcrash_async_mobject* mobj, uint64_t address, int64_t offset, int64_t* result,
                                                 uint64_t* size);

// The same, straight from task memory, one byte read at a time; a byte that cannot be read
// gives the task's code. Safe at crash time.
zvcrash_error_t zvcrash_async_dwarf_read_task_uleb128(zvcrash_async_task_t task, uint64_t address, int64_t offset, uint64_t* result,
                                                      uint64_t* size);
zvcrash_error_t zvcrash_async_dwarf_read_task_sleb128(zvcrash_async_task_t task, uint64_t address, int64_t offset, int64_t* result,
                                                      uint64_t* size);

// An unsigned word of 1, 2, 4 or 8 bytes (any other size gives ZVCRASH_ERR_INVAL) in the given
// byte order. Safe at crash time.
zvcrash_error_t zvcrash_async_dwarf_read_uintmax(const zvcrash_async_mobject* mobj, const zvcrash_async_byteorder* byteorder,
                                                 uint64_t address, int64_t offset, uint8_t size, uint64_t* result);

namespace zvcrash::async {

// Reads DW_EH_PE-encoded pointers of a target whose word is machine_ptr (unsigned int or
// unsigned long long). Text-, data- and function-relative and aligned encodings need their base.
template <typename machine_ptr>
class gnu_ehptr_reader {
public:
    // No base is set. Safe at crash time.
    explicit gnu_ehptr_reader(const zvcrash_async_byteorder* byteorder);

    // The task address of the frame section and its link-time address, for aligned encodings.
    // Safe at crash time (the four setters).
    void set_frame_section_base(machine_ptr base, machine_ptr vm_address);
    void set_text_base(machine_ptr base);
    void set_data_base(machine_ptr base);
    void set_func_base(machine_ptr base);

    // The pointer at address + offset into *result and the bytes it took into *size.
    // ZVCRASH_ERR_NOTFOUND for the omitted encoding, ZVCRASH_ERR_NOTSUP for an unknown encoding or
    // a base that is not set, ZVCRASH_ERR_INVAL for bytes outside the mapping; an indirect read's
    // own code when the word it names cannot be read. Safe at crash time.
    zvcrash_error_t read(const zvcrash_async_mobject* mobj, uint64_t address, int64_t offset, uint8_t encoding, machine_ptr* result,
                         uint64_t* size) const;

private:
    struct base {
        bool valid;
        machine_ptr address;
    };
    const zvcrash_async_byteorder* byteorder_;
    base frame_section_;
    machine_ptr frame_section_vm_address_;
    base text_;
    base data_;
    base func_;
};

}  // namespace zvcrash::async
