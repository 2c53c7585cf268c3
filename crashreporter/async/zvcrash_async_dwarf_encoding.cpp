#include "crashreporter/async/zvcrash_async_dwarf_encoding.h"

namespace {

// The longest LEB128 that still fits 64 bits.
constexpr uint64_t kMaxLebBytes = 10;

// Decodes from bytes that fetch(index, &byte) gives, at most ten of them.
template <typename Result, typename Fetch>
zvcrash_error_t decodeLeb(Fetch fetch, bool isSigned, Result* result, uint64_t* size) {
    uint64_t value = 0;
    unsigned shift = 0;
    uint64_t count = 0;
    uint8_t byte = 0;
    while (true) {
        if (count == kMaxLebBytes) return ZVCRASH_ERR_NOTSUP;
        zvcrash_error_t error = fetch(count, &byte);
        if (error != ZVCRASH_OK) return error;
        ++count;
        if (shift < 64) value |= static_cast<uint64_t>(byte & 0x7f) << shift;
        shift += 7;
        if ((byte & 0x80) == 0) break;
    }
    if (isSigned && shift < 64 && (byte & 0x40) != 0) value |= ~static_cast<uint64_t>(0) << shift;
    *result = static_cast<Result>(value);
    *size = count;
    return ZVCRASH_OK;
}

template <typename Result>
zvcrash_error_t readLeb(const zvcrash_async_mobject* mobj, uint64_t address, int64_t offset, bool isSigned, Result* result,
                        uint64_t* size) {
    uint64_t position;
    if (!zvcrash_async_address_apply_offset(address, offset, &position)) return ZVCRASH_ERR_INVAL;
    auto fetch = [&](uint64_t index, uint8_t* byte) {
        return zvcrash_async_mobject_read_uint8(mobj, position, static_cast<int64_t>(index), byte) == ZVCRASH_OK ? ZVCRASH_OK
                                                                                                                 : ZVCRASH_ERR_INVAL;
    };
    return decodeLeb(fetch, isSigned, result, size);
}

// Byte by byte from the task: the bytes after the number may lie on a page that cannot be read.
template <typename Result>
zvcrash_error_t readTaskLeb(zvcrash_async_task_t task, uint64_t address, int64_t offset, bool isSigned, Result* result, uint64_t* size) {
    uint64_t position;
    if (!zvcrash_async_address_apply_offset(address, offset, &position)) return ZVCRASH_ERR_INVAL;
    auto fetch = [&](uint64_t index, uint8_t* byte) {
        return zvcrash_async_task_read_uint8(task, position, static_cast<int64_t>(index), byte);
    };
    return decodeLeb(fetch, isSigned, result, size);
}

}  // namespace

zvcrash_error_t zvcrash_async_dwarf_read_uleb128(const zvcrash_async_mobject* mobj, uint64_t address, int64_t offset, uint64_t* result,
                                                 uint64_t* size) {
    return readLeb(mobj, address, offset, false, result, size);
}

zvcrash_error_t zvcrash_async_dwarf_read_sleb128(const zvcrash_async_mobject* mobj, uint64_t address, int64_t offset, int64_t* result,
                                                 uint64_t* size) {
    return readLeb(mobj, address, offset, true, result, size);
}

zvcrash_error_t zvcrash_async_dwarf_read_task_uleb128(zvcrash_async_task_t task, uint64_t address, int64_t offset, uint64_t* result,
                                                      uint64_t* size) {
    return readTaskLeb(task, address, offset, false, result, size);
}

zvcrash_error_t zvcrash_async_dwarf_read_task_sleb128(zvcrash_async_task_t task, uint64_t address, int64_t offset, int64_t* result,
                                                      uint64_t* size) {
    return readTaskLeb(task, address, offset, true, result, size);
}

zvcrash_error_t zvcrash_async_dwarf_read_uintmax(const zvcrash_async_mobject* mobj, const zvcrash_async_byteorder* byteorder,
                                                 uint64_t address, int64_t offset, uint8_t size, uint64_t* result) {
    zvcrash_error_t error;
    switch (size) {
        case 1: {
            uint8_t value;
            error = zvcrash_async_mobject_read_uint8(mobj, address, offset, &value);
            *result = value;
            break;
        }
        case 2: {
            uint16_t value;
            error = zvcrash_async_mobject_read_uint16(mobj, byteorder, address, offset, &value);
            *result = value;
            break;
        }
        case 4: {
            uint32_t value;
            error = zvcrash_async_mobject_read_uint32(mobj, byteorder, address, offset, &value);
            *result = value;
            break;
        }
        case 8: {
            uint64_t value;
            error = zvcrash_async_mobject_read_uint64(mobj, byteorder, address, offset, &value);
            *result = value;
            break;
        }
        default:
            return ZVCRASH_ERR_INVAL;
    }
    return error;
}

namespace zvcrash::async {

template <typename machine_ptr>
gnu_ehptr_reader<machine_ptr>::gnu_ehptr_reader(const zvcrash_async_byteorder* byteorder)
    : byteorder_(byteorder),
      frame_section_{false, 0},
      frame_section_vm_address_(0),
      text_{false, 0},
      data_{false, 0},
      func_{false, 0} {}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_frame_section_base(machine_ptr base, machine_ptr vm_address) {
    frame_section_ = {true, base};
    frame_section_vm_address_ = vm_address;
}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_text_base(machine_ptr base) {
    text_ = {true, base};
}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_data_base(machine_ptr base) {
    data_ = {true, base};
}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_func_base(machine_ptr base) {
    func_ = {true, base};
}

template <typename machine_ptr>
zvcrash_error_t gnu_ehptr_reader<machine_ptr>::read(const zvcrash_async_mobject* mobj, uint64_t address, int64_t offset, uint8_t encoding,
                                                    machine_ptr* result, uint64_t* size) const {
    if (encoding == ZVCRASH_DW_EH_PE_omit) return ZVCRASH_ERR_NOTFOUND;
    uint64_t location;
    if (!zvcrash_async_address_apply_offset(address, offset, &location)) return ZVCRASH_ERR_INVAL;

    machine_ptr base = 0;
    uint64_t padding = 0;
    switch (encoding & 0x70) {
        case ZVCRASH_DW_EH_PE_absptr:
            break;
        case ZVCRASH_DW_EH_PE_pcrel:
            base = static_cast<machine_ptr>(location);
            break;
        case ZVCRASH_DW_EH_PE_textrel:
            if (!text_.valid) return ZVCRASH_ERR_NOTSUP;
            base = text_.address;
            break;
        case ZVCRASH_DW_EH_PE_datarel:
            if (!data_.valid) return ZVCRASH_ERR_NOTSUP;
            base = data_.address;
            break;
        case ZVCRASH_DW_EH_PE_funcrel:
            if (!func_.valid) return ZVCRASH_ERR_NOTSUP;
            base = func_.address;
            break;
        case ZVCRASH_DW_EH_PE_aligned: {
            if (!frame_section_.valid) return ZVCRASH_ERR_NOTSUP;
            // Alignment is of the link-time address, which is what the producer aligned.
            const machine_ptr vmLocation = static_cast<machine_ptr>(location - frame_section_.address + frame_section_vm_address_);
            const machine_ptr misalign = vmLocation % sizeof(machine_ptr);
            if (misalign != 0) padding = sizeof(machine_ptr) - misalign;
            location += padding;
            break;
        }
        default:
            return ZVCRASH_ERR_NOTSUP;
    }

    machine_ptr datum;
    uint64_t length;
    zvcrash_error_t error = ZVCRASH_OK;
    switch (encoding & 0x0f) {
        case ZVCRASH_DW_EH_PE_absptr: {
            uint64_t value;
            length = sizeof(machine_ptr);
            error = zvcrash_async_dwarf_read_uintmax(mobj, byteorder_, location, 0, sizeof(machine_ptr), &value);
            datum = static_cast<machine_ptr>(value);
            break;
        }
        case ZVCRASH_DW_EH_PE_uleb128: {
            uint64_t value;
            error = zvcrash_async_dwarf_read_uleb128(mobj, location, 0, &value, &length);
            datum = static_cast<machine_ptr>(value);
            break;
        }
        case ZVCRASH_DW_EH_PE_sleb128: {
            int64_t value;
            error = zvcrash_async_dwarf_read_sleb128(mobj, location, 0, &value, &length);
            datum = static_cast<machine_ptr>(value);
            break;
        }
        case ZVCRASH_DW_EH_PE_udata2:
        case ZVCRASH_DW_EH_PE_sdata2: {
            uint16_t value;
            length = 2;
            error = zvcrash_async_mobject_read_uint16(mobj, byteorder_, location, 0, &value);
            const bool isSigned = (encoding & 0x0f) == ZVCRASH_DW_EH_PE_sdata2;
            datum =
                isSigned ? static_cast<machine_ptr>(static_cast<int64_t>(static_cast<int16_t>(value))) : static_cast<machine_ptr>(value);
            break;
        }
        case ZVCRASH_DW_EH_PE_udata4:
        case ZVCRASH_DW_EH_PE_sdata4: {
            uint32_t value;
            length = 4;
            error = zvcrash_async_mobject_read_uint32(mobj, byteorder_, location, 0, &value);
            const bool isSigned = (encoding & 0x0f) == ZVCRASH_DW_EH_PE_sdata4;
            datum =
                isSigned ? static_cast<machine_ptr>(static_cast<int64_t>(static_cast<int32_t>(value))) : static_cast<machine_ptr>(value);
            break;
        }
        case ZVCRASH_DW_EH_PE_udata8:
        case ZVCRASH_DW_EH_PE_sdata8: {
            uint64_t value;
            length = 8;
            error = zvcrash_async_mobject_read_uint64(mobj, byteorder_, location, 0, &value);
            datum = static_cast<machine_ptr>(value);
            break;
        }
        default:
            return ZVCRASH_ERR_NOTSUP;
    }
    if (error != ZVCRASH_OK) return error;

    machine_ptr value = static_cast<machine_ptr>(base + datum);
    if ((encoding & ZVCRASH_DW_EH_PE_indirect) != 0) {
        zvcrash_async_task_t task = zvcrash_async_mobject_task(mobj);
        if constexpr (sizeof(machine_ptr) == 8) {
            uint64_t word;
            error = zvcrash_async_task_read_uint64(task, byteorder_, value, 0, &word);
            value = static_cast<machine_ptr>(word);
        } else {
            uint32_t word;
            error = zvcrash_async_task_read_uint32(task, byteorder_, value, 0, &word);
            value = static_cast<machine_ptr>(word);
        }
        if (error != ZVCRASH_OK) return error;
    }
    *result = value;
    *size = padding + length;
    return ZVCRASH_OK;
}

template class gnu_ehptr_reader<unsigned int>;
template class gnu_ehptr_reader<unsigned long long>;

}  // namespace zvcrash::async
