#include "crashreporter/async/zvcrash_async_cfe_reader.h"

namespace {

constexpr uint32_t kCpuX86 = 7;
constexpr uint32_t kCpuX86_64 = 0x1000007;
constexpr uint32_t kCpuArm64 = 0x100000c;

constexpr uint32_t kPageRegular = 2;
constexpr uint32_t kPageCompressed = 3;

constexpr size_t kIndexEntrySize = 12;
constexpr size_t kRegularEntrySize = 8;
constexpr size_t kCompressedEntrySize = 4;
constexpr size_t kRegularPageHeaderSize = 8;
constexpr size_t kCompressedPageHeaderSize = 12;

// A local pointer to [offset, + length) of the section, or null when that range is not mapped.
const uint8_t* sectionBytes(const zvcrash_async_cfe_reader* reader, uint64_t offset, uint64_t length) {
    if (offset > INT64_MAX || length > SIZE_MAX) return nullptr;
    const zvcrash_async_mobject* section = reader->section;
    return static_cast<const uint8_t*>(
        zvcrash_async_mobject_remap_address(section, section->task_address, static_cast<int64_t>(offset), static_cast<size_t>(length)));
}

uint32_t load32(const zvcrash_async_cfe_reader* reader, const uint8_t* bytes) {
    uint32_t value;
    zvcrash_async_memcpy(&value, bytes, sizeof value);
    return reader->byteorder->swap32(value);
}

uint16_t load16(const zvcrash_async_cfe_reader* reader, const uint8_t* bytes) {
    uint16_t value;
    zvcrash_async_memcpy(&value, bytes, sizeof value);
    return reader->byteorder->swap16(value);
}

// The last of count sorted keys that is at or below target; false when the first is above it or
// there are none.
template <typename KeyAt>
bool searchSorted(uint32_t count, uint64_t target, KeyAt keyAt, uint32_t* found) {
    uint32_t lower = 0;
    uint32_t upper = count;
    while (lower < upper) {
        const uint32_t middle = lower + (upper - lower) / 2;
        const uint64_t key = keyAt(middle);
        if (key == target) {
            *found = middle;
            return true;
        }
        if (key < target)
            lower = middle + 1;
        else
            upper = middle;
    }
    if (lower == 0) return false;
    *found = lower - 1;
    return true;
}

}  // namespace

zvcrash_error_t zvcrash_async_cfe_reader_init(zvcrash_async_cfe_reader* reader, const zvcrash_async_mobject* section, uint32_t cpu_type) {
    if (cpu_type != kCpuX86 && cpu_type != kCpuX86_64 && cpu_type != kCpuArm64) return ZVCRASH_ERR_NOTSUP;
    reader->section = section;
    reader->cpu_type = cpu_type;
    reader->byteorder = zvcrash_async_byteorder_direct();
    const uint8_t* header = sectionBytes(reader, 0, sizeof(zvcrash_async_cfe_header));
    if (header == nullptr) return ZVCRASH_ERR_INVAL;
    uint32_t* fields = &reader->header.version;
    for (size_t i = 0; i < 7; ++i) fields[i] = load32(reader, header + 4 * i);
    if (reader->header.version != 1) return ZVCRASH_ERR_NOTSUP;
    return ZVCRASH_OK;
}

zvcrash_error_t zvcrash_async_cfe_reader_find_pc(const zvcrash_async_cfe_reader* reader, uint64_t pc, uint32_t* function_offset,
                                                 uint32_t* encoding) {
    const zvcrash_async_cfe_header& header = reader->header;
    const uint8_t* common = sectionBytes(reader, header.common_encodings_offset, uint64_t{header.common_encodings_count} * 4);
    if (common == nullptr) return ZVCRASH_ERR_INVAL;
    if (header.index_count == 0) return ZVCRASH_ERR_NOTFOUND;
    const uint8_t* index = sectionBytes(reader, header.index_offset, uint64_t{header.index_count} * kIndexEntrySize);
    if (index == nullptr) return ZVCRASH_ERR_INVAL;

    // The last index entry is a sentinel that only closes the range of the one before it.
    uint32_t first;
    auto indexKey = [&](uint32_t i) -> uint64_t { return load32(reader, index + i * kIndexEntrySize); };
    if (!searchSorted(header.index_count - 1, pc, indexKey, &first)) return ZVCRASH_ERR_NOTFOUND;
    const uint8_t* indexEntry = index + first * kIndexEntrySize;
    const uint32_t firstFunction = load32(reader, indexEntry);
    const uint32_t pageOffset = load32(reader, indexEntry + 4);

    const uint8_t* kindBytes = sectionBytes(reader, pageOffset, 4);
    if (kindBytes == nullptr) return ZVCRASH_ERR_INVAL;
    const uint32_t kind = load32(reader, kindBytes);

    if (kind == kPageRegular) {
        const uint8_t* page = sectionBytes(reader, pageOffset, kRegularPageHeaderSize);
        if (page == nullptr) return ZVCRASH_ERR_INVAL;
        const uint16_t entriesOffset = load16(reader, page + 4);
        const uint16_t entryCount = load16(reader, page + 6);
        const uint8_t* entries = sectionBytes(reader, uint64_t{pageOffset} + entriesOffset, uint64_t{entryCount} * kRegularEntrySize);
        if (entries == nullptr) return ZVCRASH_ERR_INVAL;
        uint32_t found;
        auto key = [&](uint32_t i) -> uint64_t { return load32(reader, entries + i * kRegularEntrySize); };
        if (!searchSorted(entryCount, pc, key, &found)) return ZVCRASH_ERR_NOTFOUND;
        *function_offset = load32(reader, entries + found * kRegularEntrySize);
        *encoding = load32(reader, entries + found * kRegularEntrySize + 4);
        return ZVCRASH_OK;
    }

    if (kind == kPageCompressed) {
        const uint8_t* page = sectionBytes(reader, pageOffset, kCompressedPageHeaderSize);
        if (page == nullptr) return ZVCRASH_ERR_INVAL;
        const uint16_t entriesOffset = load16(reader, page + 4);
        const uint16_t entryCount = load16(reader, page + 6);
        const uint16_t encodingsOffset = load16(reader, page + 8);
        const uint16_t encodingsCount = load16(reader, page + 10);
        const uint8_t* entries = sectionBytes(reader, uint64_t{pageOffset} + entriesOffset, uint64_t{entryCount} * kCompressedEntrySize);
        if (entries == nullptr) return ZVCRASH_ERR_INVAL;
        uint32_t found;
        auto key = [&](uint32_t i) -> uint64_t {
            return uint64_t{firstFunction} + (load32(reader, entries + i * kCompressedEntrySize) & 0xffffff);
        };
        if (!searchSorted(entryCount, pc, key, &found)) return ZVCRASH_ERR_NOTFOUND;
        const uint32_t entry = load32(reader, entries + found * kCompressedEntrySize);
        const uint32_t encodingIndex = entry >> 24;
        if (encodingIndex < header.common_encodings_count) {
            *encoding = load32(reader, common + encodingIndex * 4);
        } else {
            const uint8_t local = static_cast<uint8_t>(encodingIndex - header.common_encodings_count);
            const uint8_t* encodings = sectionBytes(reader, uint64_t{pageOffset} + encodingsOffset, uint64_t{encodingsCount} * 4);
            if (encodings == nullptr || local >= encodingsCount) return ZVCRASH_ERR_INVAL;
            *encoding = load32(reader, encodings + local * 4);
        }
        const uint64_t start = uint64_t{firstFunction} + (entry & 0xffffff);
        if (start > UINT32_MAX) return ZVCRASH_ERR_INVAL;
        *function_offset = static_cast<uint32_t>(start);
        return ZVCRASH_OK;
    }

    return ZVCRASH_ERR_INVAL;
}

void zvcrash_async_cfe_reader_free(zvcrash_async_cfe_reader* reader) {}
