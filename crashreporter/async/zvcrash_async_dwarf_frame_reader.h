// Call-frame information of one image: finds the FDE that covers a PC in an .eh_frame or
// .debug_frame section and parses FDEs and their CIEs. Offsets in the records are relative to
// the section's start.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_dwarf_encoding.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

struct zvcrash_async_dwarf_frame_reader {
    // The whole section, mapped by the caller and kept by it.
    const zvcrash_async_mobject* mobj;
    const zvcrash_async_byteorder* byteorder;
    bool m64;
    // .debug_frame rather than .eh_frame: CIE ids and CIE pointers differ.
    bool debug_frame;
};

// Safe at crash time.
zvcrash_error_t zvcrash_async_dwarf_frame_reader_init(zvcrash_async_dwarf_frame_reader* reader, const zvcrash_async_mobject* mobj,
                                                      const zvcrash_async_byteorder* byteorder, bool m64, bool debug_frame);

namespace zvcrash::async {

template <typename machine_ptr>
struct zvcrash_async_dwarf_cie_info {
    // The content, just after the initial length field.
    uint64_t cie_offset;
    uint64_t cie_length;
    uint64_t cie_id;
    uint8_t cie_version;
    // Read for version 4 only.
    uint8_t address_size;
    uint8_t segment_size;
    uint64_t code_alignment_factor;
    int64_t data_alignment_factor;
    uint64_t return_address_register;

    struct {
        bool has_eh_augmentation_data;
        bool has_lsda_encoding;
        uint8_t lsda_encoding;
        bool has_personality_address;
        machine_ptr personality_address;
        bool has_pointer_encoding;
        uint8_t pointer_encoding;
        bool signal_frame;
    } eh_augmentation;

    uint64_t initial_instructions_offset;
    uint64_t initial_instructions_length;
};

template <typename machine_ptr>
struct zvcrash_async_dwarf_fde_info {
    // The content, just after the initial length field.
    uint64_t fde_offset;
    uint64_t fde_length;
    // The CIE's entry, at its initial length field: what zvcrash_async_dwarf_cie_info_init takes.
    uint64_t cie_offset;
    machine_ptr pc_start;
    machine_ptr pc_end;
    uint64_t instructions_offset;
    uint64_t instructions_length;
};

// Parses the CIE whose initial length field is at cie_address. ZVCRASH_ERR_NOTSUP for an unknown
// version or augmentation, ZVCRASH_ERR_INVAL for anything malformed. Safe at crash time.
template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_cie_info_init(zvcrash_async_dwarf_cie_info<machine_ptr>* cie, const zvcrash_async_mobject* mobj,
                                                  const zvcrash_async_byteorder* byteorder, const gnu_ehptr_reader<machine_ptr>* ptr_reader,
                                                  uint64_t cie_address);
// Nothing to release. Safe at crash time.
template <typename machine_ptr>
void zvcrash_async_dwarf_cie_info_free(zvcrash_async_dwarf_cie_info<machine_ptr>* cie);
// Safe at crash time (both).
template <typename machine_ptr>
uint64_t zvcrash_async_dwarf_cie_info_instructions_offset(const zvcrash_async_dwarf_cie_info<machine_ptr>* cie);
template <typename machine_ptr>
uint64_t zvcrash_async_dwarf_cie_info_instructions_length(const zvcrash_async_dwarf_cie_info<machine_ptr>* cie);

// Parses the FDE whose initial length field is at fde_address, and its CIE. Safe at crash time.
template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_fde_info_init(zvcrash_async_dwarf_fde_info<machine_ptr>* fde, const zvcrash_async_mobject* mobj,
                                                  const zvcrash_async_byteorder* byteorder, uint64_t fde_address, bool debug_frame);
// Nothing to release. Safe at crash time.
template <typename machine_ptr>
void zvcrash_async_dwarf_fde_info_free(zvcrash_async_dwarf_fde_info<machine_ptr>* fde);
// Safe at crash time (both).
template <typename machine_ptr>
uint64_t zvcrash_async_dwarf_fde_info_instructions_offset(const zvcrash_async_dwarf_fde_info<machine_ptr>* fde);
template <typename machine_ptr>
uint64_t zvcrash_async_dwarf_fde_info_instructions_length(const zvcrash_async_dwarf_fde_info<machine_ptr>* fde);

// Walks the section from offset for the FDE with pc_start <= pc < pc_end: 0 and *fde when found,
// ZVCRASH_ERR_NOTFOUND at the section's end or its terminator, ZVCRASH_ERR_INVAL for a damaged
// entry (or a machine_ptr that does not match the reader's width), an FDE's own parse error.
// Linear in the section. Safe at crash time.
template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_frame_reader_find_fde(const zvcrash_async_dwarf_frame_reader* reader, uint64_t offset, machine_ptr pc,
                                                          zvcrash_async_dwarf_fde_info<machine_ptr>* fde);

// The same answer through the binary-search table of an .eh_frame_hdr section (hdr mapped whole by
// the caller): the table's candidate is parsed and must cover pc. ZVCRASH_ERR_NOTSUP for a table
// whose encoding is not the fixed-size data-relative one, ZVCRASH_ERR_NOTFOUND when no FDE covers
// pc. Safe at crash time.
template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_frame_reader_find_fde_indexed(const zvcrash_async_dwarf_frame_reader* reader,
                                                                  const zvcrash_async_mobject* hdr, machine_ptr pc,
                                                                  zvcrash_async_dwarf_fde_info<machine_ptr>* fde);

}  // namespace zvcrash::async
