#include "crashreporter/async/zvcrash_async_mobject.h"

#include <sys/mman.h>

zvcrash_error_t zvcrash_async_mobject_init(zvcrash_async_mobject* mobj, zvcrash_async_task_t task, uint64_t task_address, uint64_t length,
                                           bool require_full) {
    const uint64_t pageMask = task->page_size - 1;
    const uint64_t pageStart = task_address & ~pageMask;
    uint64_t end;
    if (__builtin_add_overflow(task_address, length, &end) || end > UINT64_MAX - pageMask) return ZVCRASH_ERR_NOMEM;
    uint64_t total = ((end - pageStart) + pageMask) & ~pageMask;
    if (length == 0) {
        if (!require_full) return ZVCRASH_ERR_NOMEM;
        // An empty range still gets one page so that the record has a mapping like any other.
        total = task->page_size;
    }

    void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return ZVCRASH_ERR_INTERNAL;
    const uintptr_t vmAddress = reinterpret_cast<uintptr_t>(mapping);
    const uint64_t lead = task_address - pageStart;

    // Fill the requested bytes page piece by page piece, so that only an unreadable page ends the
    // copy, and it ends exactly there.
    uint64_t copied = 0;
    while (copied < length) {
        const uint64_t address = task_address + copied;
        const uint64_t pieceEnd = ((address & ~pageMask) + task->page_size);
        uint64_t piece = pieceEnd - address;
        if (piece > length - copied) piece = length - copied;
        zvcrash_error_t error = task->read(task, address, reinterpret_cast<void*>(vmAddress + lead + copied), piece);
        if (error != ZVCRASH_OK) {
            if (require_full || copied == 0) {
                munmap(mapping, total);
                return ZVCRASH_ERR_NOMEM;
            }
            break;
        }
        copied += piece;
    }
    if (!require_full && copied < length) {
        // Keep only the pages the copied bytes cover.
        const uint64_t kept = ((lead + copied) + pageMask) & ~pageMask;
        if (kept < total) munmap(reinterpret_cast<void*>(vmAddress + kept), total - kept);
        total = kept;
    }
    mprotect(mapping, total, PROT_READ);

    mobj->task = task;
    mobj->address = vmAddress + lead;
    mobj->task_address = task_address;
    mobj->length = copied;
    mobj->vm_slide = static_cast<int64_t>(task_address - mobj->address);
    mobj->vm_address = vmAddress;
    mobj->vm_length = total;
    return ZVCRASH_OK;
}

uint64_t zvcrash_async_mobject_base_address(const zvcrash_async_mobject* mobj) { return mobj->task_address; }
uint64_t zvcrash_async_mobject_length(const zvcrash_async_mobject* mobj) { return mobj->length; }
zvcrash_async_task_t zvcrash_async_mobject_task(const zvcrash_async_mobject* mobj) { return mobj->task; }

bool zvcrash_async_mobject_verify_local_pointer(const zvcrash_async_mobject* mobj, uintptr_t pointer, int64_t offset, size_t length) {
    uint64_t start;
    if (!zvcrash_async_address_apply_offset(pointer, offset, &start)) return false;
    if (start < mobj->address) return false;
    uint64_t end;
    if (__builtin_add_overflow(start, static_cast<uint64_t>(length), &end)) return false;
    return end <= mobj->address + mobj->length;
}

void* zvcrash_async_mobject_remap_address(const zvcrash_async_mobject* mobj, uint64_t task_address, int64_t offset, size_t length) {
    // Translate in unsigned arithmetic: the slide may be either sign.
    const uintptr_t local = static_cast<uintptr_t>(task_address - static_cast<uint64_t>(mobj->vm_slide));
    if (!zvcrash_async_mobject_verify_local_pointer(mobj, local, offset, length)) return nullptr;
    return reinterpret_cast<void*>(local + static_cast<uintptr_t>(offset));
}

namespace {
template <typename T>
zvcrash_error_t readValue(const zvcrash_async_mobject* mobj, uint64_t task_address, int64_t offset, T* out) {
    const void* local = zvcrash_async_mobject_remap_address(mobj, task_address, offset, sizeof(T));
    if (local == nullptr) return ZVCRASH_ERR_INVAL;
    // One load that may be unaligned, never a call: fields of foreign tables need no alignment.
    typedef T __attribute__((aligned(1), may_alias)) Unaligned;
    *out = *static_cast<const Unaligned*>(local);
    return ZVCRASH_OK;
}
}  // namespace

zvcrash_error_t zvcrash_async_mobject_read_uint8(const zvcrash_async_mobject* mobj, uint64_t task_address, int64_t offset, uint8_t* out) {
    return readValue(mobj, task_address, offset, out);
}

zvcrash_error_t zvcrash_async_mobject_read_uint16(const zvcrash_async_mobject* mobj, const zvcrash_async_byteorder* byteorder,
                                                  uint64_t task_address, int64_t offset, uint16_t* out) {
    zvcrash_error_t error = readValue(mobj, task_address, offset, out);
    if (error == ZVCRASH_OK) *out = byteorder->swap16(*out);
    return error;
}

zvcrash_error_t zvcrash_async_mobject_read_uint32(const zvcrash_async_mobject* mobj, const zvcrash_async_byteorder* byteorder,
                                                  uint64_t task_address, int64_t offset, uint32_t* out) {
    zvcrash_error_t error = readValue(mobj, task_address, offset, out);
    if (error == ZVCRASH_OK) *out = byteorder->swap32(*out);
    return error;
}

zvcrash_error_t zvcrash_async_mobject_read_uint64(const zvcrash_async_mobject* mobj, const zvcrash_async_byteorder* byteorder,
                                                  uint64_t task_address, int64_t offset, uint64_t* out) {
    zvcrash_error_t error = readValue(mobj, task_address, offset, out);
    if (error == ZVCRASH_OK) *out = byteorder->swap64(*out);
    return error;
}

void zvcrash_async_mobject_free(zvcrash_async_mobject* mobj) {
    if (mobj->vm_length != 0) munmap(reinterpret_cast<void*>(mobj->vm_address), mobj->vm_length);
    mobj->vm_address = 0;
    mobj->vm_length = 0;
    mobj->length = 0;
}
