#include "crashreporter/async/zvcrash_async_dwarf_opstream.h"

zvcrash_error_t zvcrash_async_dwarf_opstream_init(zvcrash_async_dwarf_opstream* stream, const zvcrash_async_mobject* mobj,
                                                  const zvcrash_async_byteorder* byteorder, uint64_t address, int64_t offset,
                                                  int64_t length) {
    if (length < 0) return ZVCRASH_ERR_INVAL;
    uint64_t start;
    if (!zvcrash_async_address_apply_offset(address, offset, &start)) return ZVCRASH_ERR_INVAL;
    uint64_t end;
    if (__builtin_add_overflow(start, static_cast<uint64_t>(length), &end)) return ZVCRASH_ERR_INVAL;
    void* local = zvcrash_async_mobject_remap_address(mobj, start, 0, static_cast<size_t>(length));
    if (local == nullptr) return ZVCRASH_ERR_INVAL;
    stream->mobj = mobj;
    stream->byteorder = byteorder;
    stream->start_task_address = start;
    stream->end_task_address = end;
    stream->local_start = reinterpret_cast<uintptr_t>(local);
    stream->local_end = stream->local_start + static_cast<uintptr_t>(length);
    stream->current = stream->local_start;
    return ZVCRASH_OK;
}

bool zvcrash_async_dwarf_opstream_at_end(const zvcrash_async_dwarf_opstream* stream) { return stream->current >= stream->local_end; }

uint64_t zvcrash_async_dwarf_opstream_position(const zvcrash_async_dwarf_opstream* stream) {
    return stream->start_task_address + (stream->current - stream->local_start);
}

namespace {
template <typename T>
bool readRaw(zvcrash_async_dwarf_opstream* stream, T* out) {
    if (stream->current > stream->local_end || stream->local_end - stream->current < sizeof(T)) return false;
    // Operands sit at any alignment: one unaligned load, never a call.
    typedef T __attribute__((aligned(1), may_alias)) Unaligned;
    *out = *reinterpret_cast<const Unaligned*>(stream->current);
    stream->current += sizeof(T);
    return true;
}

template <typename T>
zvcrash_error_t readLeb(zvcrash_async_dwarf_opstream* stream, T* out,
                        zvcrash_error_t (*reader)(const zvcrash_async_mobject*, uint64_t, int64_t, T*, uint64_t*)) {
    if (zvcrash_async_dwarf_opstream_at_end(stream)) return ZVCRASH_ERR_INVAL;
    uint64_t size;
    T value;
    zvcrash_error_t error = reader(stream->mobj, zvcrash_async_dwarf_opstream_position(stream), 0, &value, &size);
    if (error != ZVCRASH_OK) return error;
    if (stream->local_end - stream->current < size) return ZVCRASH_ERR_INVAL;
    stream->current += size;
    *out = value;
    return ZVCRASH_OK;
}
}  // namespace

bool zvcrash_async_dwarf_opstream_read_uint8(zvcrash_async_dwarf_opstream* stream, uint8_t* out) { return readRaw(stream, out); }

bool zvcrash_async_dwarf_opstream_read_uint16(zvcrash_async_dwarf_opstream* stream, uint16_t* out) {
    if (!readRaw(stream, out)) return false;
    *out = stream->byteorder->swap16(*out);
    return true;
}

bool zvcrash_async_dwarf_opstream_read_uint32(zvcrash_async_dwarf_opstream* stream, uint32_t* out) {
    if (!readRaw(stream, out)) return false;
    *out = stream->byteorder->swap32(*out);
    return true;
}

bool zvcrash_async_dwarf_opstream_read_uint64(zvcrash_async_dwarf_opstream* stream, uint64_t* out) {
    if (!readRaw(stream, out)) return false;
    *out = stream->byteorder->swap64(*out);
    return true;
}

zvcrash_error_t zvcrash_async_dwarf_opstream_read_uleb128(zvcrash_async_dwarf_opstream* stream, uint64_t* out) {
    return readLeb(stream, out, zvcrash_async_dwarf_read_uleb128);
}

zvcrash_error_t zvcrash_async_dwarf_opstream_read_sleb128(zvcrash_async_dwarf_opstream* stream, int64_t* out) {
    return readLeb(stream, out, zvcrash_async_dwarf_read_sleb128);
}

bool zvcrash_async_dwarf_opstream_skip(zvcrash_async_dwarf_opstream* stream, int64_t offset) {
    const uint64_t used = stream->current - stream->local_start;
    const uint64_t total = stream->local_end - stream->local_start;
    if (offset < 0) {
        if (static_cast<uint64_t>(0) - static_cast<uint64_t>(offset) > used) return false;
    } else if (static_cast<uint64_t>(offset) > total - used) {
        return false;
    }
    stream->current = stream->local_start + static_cast<uintptr_t>(used + static_cast<uint64_t>(offset));
    return true;
}

namespace zvcrash::async {

template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_opstream_read_pointer(zvcrash_async_dwarf_opstream* stream, const gnu_ehptr_reader<machine_ptr>* reader,
                                                          uint8_t encoding, machine_ptr* out) {
    uint64_t size;
    machine_ptr value;
    zvcrash_error_t error = reader->read(stream->mobj, zvcrash_async_dwarf_opstream_position(stream), 0, encoding, &value, &size);
    if (error != ZVCRASH_OK) return error;
    if (!zvcrash_async_dwarf_opstream_skip(stream, static_cast<int64_t>(size))) return ZVCRASH_ERR_INVAL;
    *out = value;
    return ZVCRASH_OK;
}

template zvcrash_error_t zvcrash_async_dwarf_opstream_read_pointer<unsigned int>(zvcrash_async_dwarf_opstream*,
                                                                                 const gnu_ehptr_reader<unsigned int>*, uint8_t,
                                                                                 unsigned int*);
template zvcrash_error_t zvcrash_async_dwarf_opstream_read_pointer<unsigned long long>(zvcrash_async_dwarf_opstream*,
                                                                                       const gnu_ehptr_reader<unsigned long long>*, uint8_t,
                                                                                       unsigned long long*);

}  // namespace zvcrash::async
