// Reader of compact unwind information: the two-level index of an image's "__unwind_info"
// section that maps function offsets to 32-bit unwind encodings. Every offset taken from the
// section is checked against the mapping before it is followed.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

// The section header: seven 32-bit fields at its start.
struct zvcrash_async_cfe_header {
    uint32_t version;
    uint32_t common_encodings_offset;
    uint32_t common_encodings_count;
    uint32_t personalities_offset;
    uint32_t personalities_count;
    uint32_t index_offset;
    uint32_t index_count;
};

struct zvcrash_async_cfe_reader {
    // The mapped section; owned by the caller.
    const zvcrash_async_mobject* section;
    uint32_t cpu_type;
    zvcrash_async_cfe_header header;
    // The section is always in the order of the host that wrote it, which is ours.
    const zvcrash_async_byteorder* byteorder;
};

// Opens a reader over section for an x86 (7), x86-64 (0x1000007) or arm64 (0x100000c) image:
// ZVCRASH_ERR_NOTSUP for any other CPU type or a version other than 1, ZVCRASH_ERR_INVAL when
// the header does not fit in the mapping. Safe at crash time.
zvcrash_error_t zvcrash_async_cfe_reader_init(zvcrash_async_cfe_reader* reader, const zvcrash_async_mobject* section, uint32_t cpu_type);

// Finds the encoding of the function containing pc (an offset from the image's header) and that
// function's offset: ZVCRASH_ERR_NOTFOUND when no entry covers pc, ZVCRASH_ERR_INVAL for an index
// or page that points outside the section or a page of unknown kind. Safe at crash time.
zvcrash_error_t zvcrash_async_cfe_reader_find_pc(const zvcrash_async_cfe_reader* reader, uint64_t pc, uint32_t* function_offset,
                                                 uint32_t* encoding);

// Nothing to release; kept so that every record has its pair. Safe at crash time.
void zvcrash_async_cfe_reader_free(zvcrash_async_cfe_reader* reader);
