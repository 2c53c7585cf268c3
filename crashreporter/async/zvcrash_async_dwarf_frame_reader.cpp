#include "crashreporter/async/zvcrash_async_dwarf_frame_reader.h"

zvcrash_error_t zvcrash_async_dwarf_frame_reader_init(zvcrash_async_dwarf_frame_reader* reader, const zvcrash_async_mobject* mobj,
                                                      const zvcrash_async_byteorder* byteorder, bool m64, bool debug_frame) {
    reader->mobj = mobj;
    reader->byteorder = byteorder;
    reader->m64 = m64;
    reader->debug_frame = debug_frame;
    return ZVCRASH_OK;
}

namespace zvcrash::async {

namespace {

// The initial length of an entry: 0xffffffff announces 64-bit DWARF, whose length is the next
// eight bytes and whose id or CIE pointer field is eight bytes wide.
struct entry_header {
    uint64_t length;
    uint64_t header_size;
    uint8_t id_size;
};

zvcrash_error_t readEntryHeader(const zvcrash_async_mobject* mobj, const zvcrash_async_byteorder* byteorder, uint64_t address,
                                entry_header* header) {
    uint32_t length32;
    if (zvcrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
    if (length32 == 0xffffffffu) {
        uint64_t length64;
        if (zvcrash_async_mobject_read_uint64(mobj, byteorder, address, 4, &length64) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
        *header = {length64, 12, 8};
    } else {
        *header = {length32, 4, 4};
    }
    return ZVCRASH_OK;
}

uint64_t allOnes(uint8_t size) { return size == 8 ? ~static_cast<uint64_t>(0) : 0xffffffffull; }

// Where an entry's content starts and ends, checked for overflow.
bool entryBounds(uint64_t address, const entry_header& header, uint64_t* content, uint64_t* end) {
    if (__builtin_add_overflow(address, header.header_size, content)) return false;
    return !__builtin_add_overflow(*content, header.length, end);
}

template <typename machine_ptr>
zvcrash_error_t parseFde(zvcrash_async_dwarf_fde_info<machine_ptr>* fde, const zvcrash_async_mobject* mobj,
                         const zvcrash_async_byteorder* byteorder, uint64_t fde_address, bool debug_frame,
                         zvcrash_async_dwarf_cie_info<machine_ptr>* cie, uint64_t* cached_cie_address, zvcrash_error_t* cached_error) {
    const uint64_t base = zvcrash_async_mobject_base_address(mobj);
    entry_header header;
    zvcrash_error_t error = readEntryHeader(mobj, byteorder, fde_address, &header);
    if (error != ZVCRASH_OK) return error;
    uint64_t content, end;
    if (!entryBounds(fde_address, header, &content, &end)) return ZVCRASH_ERR_INVAL;

    uint64_t pointer;
    if (zvcrash_async_dwarf_read_uintmax(mobj, byteorder, content, 0, header.id_size, &pointer) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
    uint64_t cie_address;
    if (debug_frame) {
        // An offset from the section's start.
        if (__builtin_add_overflow(base, pointer, &cie_address)) return ZVCRASH_ERR_INVAL;
    } else {
        // A distance back from the pointer field itself.
        if (pointer > content) return ZVCRASH_ERR_INVAL;
        cie_address = content - pointer;
    }

    if (cached_cie_address == nullptr || *cached_cie_address != cie_address) {
        gnu_ehptr_reader<machine_ptr> cie_reader(byteorder);
        error = zvcrash_async_dwarf_cie_info_init(cie, mobj, byteorder, &cie_reader, cie_address);
        if (cached_cie_address != nullptr) {
            *cached_cie_address = cie_address;
            *cached_error = error;
        }
    } else {
        error = *cached_error;
    }
    if (error != ZVCRASH_OK) return error;

    uint8_t encoding = ZVCRASH_DW_EH_PE_absptr;
    if (cie->eh_augmentation.has_eh_augmentation_data && cie->eh_augmentation.has_pointer_encoding)
        encoding = cie->eh_augmentation.pointer_encoding;

    gnu_ehptr_reader<machine_ptr> ptr_reader(byteorder);
    uint64_t position = content + header.id_size;
    machine_ptr pc_start, pc_range;
    uint64_t size;
    error = ptr_reader.read(mobj, position, 0, encoding, &pc_start, &size);
    if (error != ZVCRASH_OK) return error;
    position += size;
    // The range is a length: its format only, no base.
    error = ptr_reader.read(mobj, position, 0, encoding & 0x0f, &pc_range, &size);
    if (error != ZVCRASH_OK) return error;
    position += size;
    machine_ptr pc_end;
    if (__builtin_add_overflow(pc_start, pc_range, &pc_end)) return ZVCRASH_ERR_INVAL;

    if (cie->eh_augmentation.has_eh_augmentation_data) {
        uint64_t augmentation_length;
        error = zvcrash_async_dwarf_read_uleb128(mobj, position, 0, &augmentation_length, &size);
        if (error != ZVCRASH_OK) return error;
        if (__builtin_add_overflow(position, size, &position) || __builtin_add_overflow(position, augmentation_length, &position))
            return ZVCRASH_ERR_INVAL;
    }
    if (position > end) return ZVCRASH_ERR_INVAL;

    fde->fde_offset = content - base;
    fde->fde_length = header.length;
    fde->cie_offset = cie_address - base;
    fde->pc_start = pc_start;
    fde->pc_end = pc_end;
    fde->instructions_offset = position - base;
    fde->instructions_length = end - position;
    return ZVCRASH_OK;
}

}  // namespace

template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_cie_info_init(zvcrash_async_dwarf_cie_info<machine_ptr>* cie, const zvcrash_async_mobject* mobj,
                                                  const zvcrash_async_byteorder* byteorder, const gnu_ehptr_reader<machine_ptr>* ptr_reader,
                                                  uint64_t cie_address) {
    zvcrash_async_memset(cie, 0, sizeof(*cie));
    const uint64_t base = zvcrash_async_mobject_base_address(mobj);
    if (cie_address < base) return ZVCRASH_ERR_INVAL;
    entry_header header;
    zvcrash_error_t error = readEntryHeader(mobj, byteorder, cie_address, &header);
    if (error != ZVCRASH_OK) return error;
    uint64_t content, end;
    if (!entryBounds(cie_address, header, &content, &end)) return ZVCRASH_ERR_INVAL;
    cie->cie_offset = content - base;
    cie->cie_length = header.length;

    if (zvcrash_async_dwarf_read_uintmax(mobj, byteorder, content, 0, header.id_size, &cie->cie_id) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
    if (cie->cie_id != 0 && cie->cie_id != allOnes(header.id_size)) return ZVCRASH_ERR_INVAL;
    uint64_t position = content + header.id_size;

    if (zvcrash_async_mobject_read_uint8(mobj, position++, 0, &cie->cie_version) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
    if (cie->cie_version != 1 && cie->cie_version != 3 && cie->cie_version != 4) return ZVCRASH_ERR_INVAL;

    // The augmentation string, NUL-terminated inside the entry.
    const uint64_t augmentation = position;
    uint64_t augmentation_length = 0;
    while (true) {
        if (position >= end) return ZVCRASH_ERR_INVAL;
        uint8_t c;
        if (zvcrash_async_mobject_read_uint8(mobj, position++, 0, &c) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
        if (c == 0) break;
        ++augmentation_length;
    }
    uint8_t first = 0;
    if (augmentation_length > 0) {
        zvcrash_async_mobject_read_uint8(mobj, augmentation, 0, &first);
        if (first != 'z') return ZVCRASH_ERR_NOTSUP;
    }

    if (cie->cie_version == 4) {
        if (zvcrash_async_mobject_read_uint8(mobj, position++, 0, &cie->address_size) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
        if (zvcrash_async_mobject_read_uint8(mobj, position++, 0, &cie->segment_size) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
    }

    uint64_t size;
    error = zvcrash_async_dwarf_read_uleb128(mobj, position, 0, &cie->code_alignment_factor, &size);
    if (error != ZVCRASH_OK) return error;
    position += size;
    error = zvcrash_async_dwarf_read_sleb128(mobj, position, 0, &cie->data_alignment_factor, &size);
    if (error != ZVCRASH_OK) return error;
    position += size;
    error = zvcrash_async_dwarf_read_uleb128(mobj, position, 0, &cie->return_address_register, &size);
    if (error != ZVCRASH_OK) return error;
    position += size;

    if (first == 'z') {
        auto& aug = cie->eh_augmentation;
        aug.has_eh_augmentation_data = true;
        uint64_t data_length;
        error = zvcrash_async_dwarf_read_uleb128(mobj, position, 0, &data_length, &size);
        if (error != ZVCRASH_OK) return error;
        position += size;
        uint64_t instructions;
        if (__builtin_add_overflow(position, data_length, &instructions)) return ZVCRASH_ERR_INVAL;

        bool known = true;
        for (uint64_t i = 1; i < augmentation_length && known; ++i) {
            uint8_t c;
            zvcrash_async_mobject_read_uint8(mobj, augmentation, static_cast<int64_t>(i), &c);
            switch (c) {
                case 'L':
                    if (zvcrash_async_mobject_read_uint8(mobj, position++, 0, &aug.lsda_encoding) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
                    aug.has_lsda_encoding = true;
                    break;
                case 'P': {
                    uint8_t encoding;
                    if (zvcrash_async_mobject_read_uint8(mobj, position++, 0, &encoding) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
                    error = ptr_reader->read(mobj, position, 0, encoding, &aug.personality_address, &size);
                    if (error != ZVCRASH_OK) return error;
                    position += size;
                    aug.has_personality_address = true;
                    break;
                }
                case 'R':
                    if (zvcrash_async_mobject_read_uint8(mobj, position++, 0, &aug.pointer_encoding) != ZVCRASH_OK)
                        return ZVCRASH_ERR_INVAL;
                    aug.has_pointer_encoding = true;
                    break;
                case 'S':
                    aug.signal_frame = true;
                    break;
                default:
                    // Later characters cannot be understood without this one.
                    known = false;
                    break;
            }
        }
        position = instructions;
    }

    if (position > end) return ZVCRASH_ERR_INVAL;
    cie->initial_instructions_offset = position - base;
    cie->initial_instructions_length = end - position;
    return ZVCRASH_OK;
}

template <typename machine_ptr>
void zvcrash_async_dwarf_cie_info_free(zvcrash_async_dwarf_cie_info<machine_ptr>*) {}

template <typename machine_ptr>
uint64_t zvcrash_async_dwarf_cie_info_instructions_offset(const zvcrash_async_dwarf_cie_info<machine_ptr>* cie) {
    return cie->initial_instructions_offset;
}

template <typename machine_ptr>
uint64_t zvcrash_async_dwarf_cie_info_instructions_length(const zvcrash_async_dwarf_cie_info<machine_ptr>* cie) {
    return cie->initial_instructions_length;
}

template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_fde_info_init(zvcrash_async_dwarf_fde_info<machine_ptr>* fde, const zvcrash_async_mobject* mobj,
                                                  const zvcrash_async_byteorder* byteorder, uint64_t fde_address, bool debug_frame) {
    zvcrash_async_dwarf_cie_info<machine_ptr> cie;
    return parseFde(fde, mobj, byteorder, fde_address, debug_frame, &cie, static_cast<uint64_t*>(nullptr),
                    static_cast<zvcrash_error_t*>(nullptr));
}

template <typename machine_ptr>
void zvcrash_async_dwarf_fde_info_free(zvcrash_async_dwarf_fde_info<machine_ptr>*) {}

template <typename machine_ptr>
uint64_t zvcrash_async_dwarf_fde_info_instructions_offset(const zvcrash_async_dwarf_fde_info<machine_ptr>* fde) {
    return fde->instructions_offset;
}

template <typename machine_ptr>
uint64_t zvcrash_async_dwarf_fde_info_instructions_length(const zvcrash_async_dwarf_fde_info<machine_ptr>* fde) {
    return fde->instructions_length;
}

template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_frame_reader_find_fde(const zvcrash_async_dwarf_frame_reader* reader, uint64_t offset, machine_ptr pc,
                                                          zvcrash_async_dwarf_fde_info<machine_ptr>* fde) {
    if (reader->m64 != (sizeof(machine_ptr) == 8)) return ZVCRASH_ERR_INVAL;
    const zvcrash_async_mobject* mobj = reader->mobj;
    const uint64_t base = zvcrash_async_mobject_base_address(mobj);
    const uint64_t end = base + zvcrash_async_mobject_length(mobj);
    uint64_t position;
    if (__builtin_add_overflow(base, offset, &position) || position >= end) return ZVCRASH_ERR_INVAL;

    // FDEs share few CIEs, usually in a run: keep the last one parsed instead of parsing it again
    // for every FDE on the way.
    zvcrash_async_dwarf_cie_info<machine_ptr> cie;
    uint64_t cached_cie_address = ~static_cast<uint64_t>(0);
    zvcrash_error_t cached_error = ZVCRASH_ERR_UNKNOWN;

    while (position < end) {
        entry_header header;
        if (readEntryHeader(mobj, reader->byteorder, position, &header) != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
        if (header.length == 0) return ZVCRASH_ERR_NOTFOUND;
        uint64_t content, next;
        if (!entryBounds(position, header, &content, &next)) return ZVCRASH_ERR_INVAL;
        uint64_t id;
        if (zvcrash_async_dwarf_read_uintmax(mobj, reader->byteorder, content, 0, header.id_size, &id) != ZVCRASH_OK)
            return ZVCRASH_ERR_INVAL;
        const bool is_cie = reader->debug_frame ? id == allOnes(header.id_size) : id == 0;
        if (!is_cie) {
            zvcrash_error_t error =
                parseFde(fde, mobj, reader->byteorder, position, reader->debug_frame, &cie, &cached_cie_address, &cached_error);
            if (error != ZVCRASH_OK) return error;
            if (fde->pc_start <= pc && pc < fde->pc_end) return ZVCRASH_OK;
        }
        position = next;
    }
    return ZVCRASH_ERR_NOTFOUND;
}

template <typename machine_ptr>
zvcrash_error_t zvcrash_async_dwarf_frame_reader_find_fde_indexed(const zvcrash_async_dwarf_frame_reader* reader,
                                                                  const zvcrash_async_mobject* hdr, machine_ptr pc,
                                                                  zvcrash_async_dwarf_fde_info<machine_ptr>* fde) {
    if (reader->m64 != (sizeof(machine_ptr) == 8)) return ZVCRASH_ERR_INVAL;
    const uint64_t hdr_base = zvcrash_async_mobject_base_address(hdr);
    uint8_t version, frame_encoding, count_encoding, table_encoding;
    if (zvcrash_async_mobject_read_uint8(hdr, hdr_base, 0, &version) != ZVCRASH_OK ||
        zvcrash_async_mobject_read_uint8(hdr, hdr_base, 1, &frame_encoding) != ZVCRASH_OK ||
        zvcrash_async_mobject_read_uint8(hdr, hdr_base, 2, &count_encoding) != ZVCRASH_OK ||
        zvcrash_async_mobject_read_uint8(hdr, hdr_base, 3, &table_encoding) != ZVCRASH_OK)
        return ZVCRASH_ERR_INVAL;
    if (version != 1) return ZVCRASH_ERR_NOTSUP;
    // Only the fixed-size table (pairs of signed 32-bit offsets from the header) can be searched
    // without reading it through.
    if (table_encoding != (ZVCRASH_DW_EH_PE_datarel | ZVCRASH_DW_EH_PE_sdata4)) return ZVCRASH_ERR_NOTSUP;

    gnu_ehptr_reader<machine_ptr> ptr_reader(reader->byteorder);
    ptr_reader.set_data_base(static_cast<machine_ptr>(hdr_base));
    uint64_t position = hdr_base + 4;
    machine_ptr ignored, count;
    uint64_t size;
    zvcrash_error_t error = ptr_reader.read(hdr, position, 0, frame_encoding, &ignored, &size);
    if (error != ZVCRASH_OK) return error;
    position += size;
    error = ptr_reader.read(hdr, position, 0, count_encoding, &count, &size);
    if (error != ZVCRASH_OK) return error;
    position += size;
    if (count == 0) return ZVCRASH_ERR_NOTFOUND;
    if (zvcrash_async_mobject_remap_address(hdr, position, 0, static_cast<size_t>(count) * 8) == nullptr) return ZVCRASH_ERR_INVAL;

    auto entry = [&](uint64_t index, int64_t* location, int64_t* address) {
        uint32_t a, b;
        zvcrash_async_mobject_read_uint32(hdr, reader->byteorder, position, static_cast<int64_t>(index * 8), &a);
        zvcrash_async_mobject_read_uint32(hdr, reader->byteorder, position, static_cast<int64_t>(index * 8 + 4), &b);
        *location = static_cast<int32_t>(a);
        *address = static_cast<int32_t>(b);
    };
    // The last entry whose start is at or below pc.
    const int64_t target = static_cast<int64_t>(static_cast<uint64_t>(pc) - hdr_base);
    uint64_t low = 0, high = count;
    while (high - low > 1) {
        const uint64_t middle = low + (high - low) / 2;
        int64_t location, address;
        entry(middle, &location, &address);
        if (location <= target)
            low = middle;
        else
            high = middle;
    }
    int64_t location, address;
    entry(low, &location, &address);
    if (location > target) return ZVCRASH_ERR_NOTFOUND;

    const uint64_t fde_address = hdr_base + static_cast<uint64_t>(address);
    const uint64_t base = zvcrash_async_mobject_base_address(reader->mobj);
    if (fde_address < base || fde_address >= base + zvcrash_async_mobject_length(reader->mobj)) return ZVCRASH_ERR_INVAL;
    error = zvcrash_async_dwarf_fde_info_init(fde, reader->mobj, reader->byteorder, fde_address, reader->debug_frame);
    if (error != ZVCRASH_OK) return error;
    if (fde->pc_start <= pc && pc < fde->pc_end) return ZVCRASH_OK;
    return ZVCRASH_ERR_NOTFOUND;
}

#define ZVCRASH_DWARF_FRAME_READER_INSTANCES(P)                                                                                          \
    template struct zvcrash_async_dwarf_cie_info<P>;                                                                                     \
    template struct zvcrash_async_dwarf_fde_info<P>;                                                                                     \
    template zvcrash_error_t zvcrash_async_dwarf_cie_info_init<P>(zvcrash_async_dwarf_cie_info<P>*, const zvcrash_async_mobject*,        \
                                                                  const zvcrash_async_byteorder*, const gnu_ehptr_reader<P>*, uint64_t); \
    template void zvcrash_async_dwarf_cie_info_free<P>(zvcrash_async_dwarf_cie_info<P>*);                                                \
    template uint64_t zvcrash_async_dwarf_cie_info_instructions_offset<P>(const zvcrash_async_dwarf_cie_info<P>*);                       \
    template uint64_t zvcrash_async_dwarf_cie_info_instructions_length<P>(const zvcrash_async_dwarf_cie_info<P>*);                       \
    template zvcrash_error_t zvcrash_async_dwarf_fde_info_init<P>(zvcrash_async_dwarf_fde_info<P>*, const zvcrash_async_mobject*,        \
                                                                  const zvcrash_async_byteorder*, uint64_t, bool);                       \
    template void zvcrash_async_dwarf_fde_info_free<P>(zvcrash_async_dwarf_fde_info<P>*);                                                \
    template uint64_t zvcrash_async_dwarf_fde_info_instructions_offset<P>(const zvcrash_async_dwarf_fde_info<P>*);                       \
    template uint64_t zvcrash_async_dwarf_fde_info_instructions_length<P>(const zvcrash_async_dwarf_fde_info<P>*);                       \
    template zvcrash_error_t zvcrash_async_dwarf_frame_reader_find_fde<P>(const zvcrash_async_dwarf_frame_reader*, uint64_t, P,          \
                                                                          zvcrash_async_dwarf_fde_info<P>*);                             \
    template zvcrash_error_t zvcrash_async_dwarf_frame_reader_find_fde_indexed<P>(                                                       \
        const zvcrash_async_dwarf_frame_reader*, const zvcrash_async_mobject*, P, zvcrash_async_dwarf_fde_info<P>*);

ZVCRASH_DWARF_FRAME_READER_INSTANCES(unsigned int)
ZVCRASH_DWARF_FRAME_READER_INSTANCES(unsigned long long)

}  // namespace zvcrash::async
