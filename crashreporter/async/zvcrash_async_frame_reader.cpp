// The default frame readers of the cursor.
#include "crashreporter/async/zvcrash_async_cfe_entry.h"
#include "crashreporter/async/zvcrash_async_cfe_reader.h"
#include "crashreporter/async/zvcrash_async_dwarf_unwind.h"
#include "crashreporter/async/zvcrash_async_dwarf_cfa_state.h"
#include "crashreporter/async/zvcrash_async_frame_cursor.h"

#include <sys/mman.h>

namespace {

// Counts the reader in for as long as it looks at images.
class ReadingImages {
public:
    explicit ReadingImages(zvcrash_async_image_list* list)
        : list_(list) {
        zvcrash_async_image_list_set_reading(list_, true);
    }
    ~ReadingImages() { zvcrash_async_image_list_set_reading(list_, false); }
    ReadingImages(const ReadingImages&) = delete;
    ReadingImages& operator=(const ReadingImages&) = delete;

private:
    zvcrash_async_image_list* list_;
};

// A section mapping released however the reader leaves.
class Mapping {
public:
    Mapping() = default;
    ~Mapping() {
        if (mapped_) zvcrash_async_mobject_free(&mobj_);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    bool map(const zvcrash_async_image* image, zvcrash_async_image_section section) {
        mapped_ = zvcrash_async_image_map_section(image, section, &mobj_) == ZVCRASH_OK;
        return mapped_;
    }
    const zvcrash_async_mobject* get() const { return mapped_ ? &mobj_ : nullptr; }

private:
    zvcrash_async_mobject mobj_{};
    bool mapped_ = false;
};

// The current frame's PC: BAD_FRAME when unknown, NOTSUP when zero.
zvcrash_async_frame_error currentPc(const zvcrash_async_thread_state* current, uint64_t* pc) {
    if (!zvcrash_async_thread_state_has_reg(current, ZVCRASH_REG_IP)) return ZVCRASH_FRAME_ERR_BAD_FRAME;
    *pc = zvcrash_async_thread_state_get_reg(current, ZVCRASH_REG_IP);
    return *pc == 0 ? ZVCRASH_FRAME_ERR_NOTSUP : ZVCRASH_FRAME_OK;
}

template <typename machine_ptr, typename machine_ptr_s>
zvcrash_async_frame_error dwarfStep(zvcrash_async_task_t task, const zvcrash_async_mobject* frames, bool debug_frame,
                                    const zvcrash_async_mobject* index, const zvcrash_async_image* image,
                                    const zvcrash_async_thread_state* current, bool exact_pc, zvcrash_async_thread_state* new_state) {
    zvcrash_async_dwarf_frame_reader reader;
    if (zvcrash_async_dwarf_frame_reader_init(&reader, frames, zvcrash_async_image_byteorder(image), sizeof(machine_ptr) == 8,
                                              debug_frame) != ZVCRASH_OK)
        return ZVCRASH_FRAME_ERR_INVAL;
    const zvcrash_error_t error = zvcrash::async::zvcrash_async_dwarf_unwind_frame<machine_ptr, machine_ptr_s>(
        task, &reader, index, current, exact_pc, new_state, nullptr);
    if (error == ZVCRASH_OK) return ZVCRASH_FRAME_OK;
    // No entry covers the PC, or its rules could not be read; a failure past that is in the
    // registers or memory the rules point at.
    return error == ZVCRASH_ERR_NOTFOUND || error == ZVCRASH_ERR_INVAL || error == ZVCRASH_ERR_NOTSUP ? ZVCRASH_FRAME_ERR_NOTSUP
                                                                                                      : ZVCRASH_FRAME_ERR_NO_FRAME;
}

enum class Indexed { Done, Unavailable };

// Version 1; a 4-byte frame pointer; a 4-byte count; a table of data-relative 4-byte pairs.
// The count when the header has that layout and the table fits the section, else 0.
uint32_t indexCount(const uint8_t header[12], uint64_t hdr_size) {
    constexpr uint8_t kFourBytes = 0x03, kSignedFourBytes = 0x0b, kTable = 0x3b;
    if (header[0] != 1 || ((header[1] & 0x0f) != kFourBytes && (header[1] & 0x0f) != kSignedFourBytes) || header[2] != kFourBytes ||
        header[3] != kTable)
        return 0;
    uint32_t count = 0;
    zvcrash_async_memcpy(&count, header + 8, sizeof count);
    if (uint64_t{count} * 8 + 12 > hdr_size) return 0;
    return count;
}

// The search of findIndexedFde in the image's copy of .eh_frame_hdr, in place.
Indexed findCopiedIndexedFde(const zvcrash_async_elf* elf, uint64_t pc, bool* found, uint64_t* fde_address) {
    const zvcrash_async_mobject* copy = &elf->eh_frame_hdr_copy;
    const auto* header = static_cast<const uint8_t*>(zvcrash_async_mobject_remap_address(copy, elf->eh_frame_hdr, 0, 12));
    if (header == nullptr || reinterpret_cast<uintptr_t>(header) % alignof(int32_t) != 0) return Indexed::Unavailable;
    const uint32_t count = indexCount(header, elf->eh_frame_hdr_size);
    if (count == 0) return Indexed::Unavailable;
    const auto* table =
        static_cast<const int32_t(*)[2]>(zvcrash_async_mobject_remap_address(copy, elf->eh_frame_hdr, 12, size_t{count} * 8));
    if (table == nullptr) return Indexed::Unavailable;
    const auto target = static_cast<int64_t>(pc - elf->eh_frame_hdr);
    // The last entry at or below target.
    uint32_t lower = 0, upper = count;
    while (lower < upper) {
        const uint32_t middle = lower + (upper - lower) / 2;
        if (table[middle][0] <= target)
            lower = middle + 1;
        else
            upper = middle;
    }
    if (lower > 0) {
        *found = true;
        *fde_address = elf->eh_frame_hdr + static_cast<uint64_t>(static_cast<int64_t>(table[lower - 1][1]));
    }
    return Indexed::Done;
}

// The FDE for pc through the binary-search table of .eh_frame_hdr: in the image's copy, or read
// straight from the task a few words at a time. Unavailable for a table of another layout; Done
// with false when no entry lies at or below pc.
Indexed findIndexedFde(zvcrash_async_task_t task, const zvcrash_async_elf* elf, uint64_t pc, bool* found, uint64_t* fde_address) {
    *found = false;
    if (elf->eh_frame_hdr_copy.vm_length != 0) return findCopiedIndexedFde(elf, pc, found, fde_address);
    uint8_t header[12];
    if (zvcrash_async_task_memcpy(task, elf->eh_frame_hdr, 0, header, sizeof header) != ZVCRASH_OK) return Indexed::Unavailable;
    const uint32_t count = indexCount(header, elf->eh_frame_hdr_size);
    if (count == 0) return Indexed::Unavailable;

    const uint64_t table = elf->eh_frame_hdr + 12;
    const auto target = static_cast<int64_t>(pc - elf->eh_frame_hdr);
    // Probe single entries until the range fits one read, then search it in place.
    constexpr uint32_t kChunk = 128;
    int32_t chunk[kChunk + 1][2];
    uint32_t lower = 0, upper = count;
    while (upper - lower > kChunk) {
        const uint32_t middle = lower + (upper - lower) / 2;
        if (zvcrash_async_task_memcpy(task, table, int64_t{middle} * 8, chunk[0], 8) != ZVCRASH_OK) return Indexed::Unavailable;
        if (chunk[0][0] <= target)
            lower = middle + 1;
        else
            upper = middle;
    }
    // The answer is the last entry at or below target: lower - 1 or one inside [lower, upper).
    const uint32_t first = lower > 0 ? lower - 1 : 0;
    const uint32_t length = upper - first;
    if (zvcrash_async_task_memcpy(task, table, int64_t{first} * 8, chunk, size_t{length} * 8) != ZVCRASH_OK) return Indexed::Unavailable;
    for (uint32_t i = length; i > 0; --i) {
        if (chunk[i - 1][0] <= target) {
            *found = true;
            *fde_address = elf->eh_frame_hdr + static_cast<uint64_t>(static_cast<int64_t>(chunk[i - 1][1]));
            break;
        }
    }
    return Indexed::Done;
}

// A mapping of [start, end) of the task in which only the given records are copied; the rest
// reads as zeroes. One FDE and its CIE are all a step needs, and copying the whole frame table
// for each step would cost far more than the step itself.
class SparseMapping {
public:
    SparseMapping() = default;
    ~SparseMapping() {
        if (mapped_) zvcrash_async_mobject_free(&mobj_);
    }
    SparseMapping(const SparseMapping&) = delete;
    SparseMapping& operator=(const SparseMapping&) = delete;

    bool map(zvcrash_async_task_t task, uint64_t start, uint64_t end, const uint64_t (*records)[2], size_t count) {
        const uint64_t pageMask = task->page_size - 1;
        const uint64_t pageStart = start & ~pageMask;
        if (end <= start || end > UINT64_MAX - pageMask) return false;
        const uint64_t total = ((end - pageStart) + pageMask) & ~pageMask;
        void* area = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED) return false;
        const auto local = reinterpret_cast<uintptr_t>(area) + (start - pageStart);
        mobj_.task = task;
        mobj_.address = local;
        mobj_.task_address = start;
        mobj_.length = end - start;
        mobj_.vm_slide = static_cast<int64_t>(start - local);
        mobj_.vm_address = reinterpret_cast<uintptr_t>(area);
        mobj_.vm_length = total;
        mapped_ = true;
        for (size_t i = 0; i < count; ++i) {
            const uint64_t from = records[i][0], to = records[i][1];
            if (from < start || to > end || to <= from) return false;
            if (task->read(task, from, reinterpret_cast<void*>(local + (from - start)), to - from) != ZVCRASH_OK) return false;
        }
        return true;
    }
    const zvcrash_async_mobject* get() const { return &mobj_; }

private:
    zvcrash_async_mobject mobj_{};
    bool mapped_ = false;
};

// The end of the record at address and its CIE pointer (or CIE id) from its first eight bytes;
// false for the 64-bit form and for records outside the section.
bool readRecord(zvcrash_async_task_t task, const zvcrash_async_elf* elf, uint64_t address, uint64_t* end, uint32_t* cie_pointer) {
    uint32_t head[2];
    if (elf->eh_frame_copy.vm_length != 0) {
        const void* local = zvcrash_async_mobject_remap_address(&elf->eh_frame_copy, address, 0, sizeof head);
        if (local == nullptr) return false;
        zvcrash_async_memcpy(head, local, sizeof head);
    } else if (zvcrash_async_task_memcpy(task, address, 0, head, sizeof head) != ZVCRASH_OK) {
        return false;
    }
    if (head[0] < 4 || head[0] >= 0xfffffff0u) return false;
    *end = address + 4 + head[0];
    *cie_pointer = head[1];
    return address >= elf->eh_frame && *end <= elf->eh_frame + elf->eh_frame_size;
}

// A DWARF step of an ELF image through its index, mapping only the FDE and its CIE.
template <typename machine_ptr, typename machine_ptr_s>
Indexed indexedDwarfStep(zvcrash_async_task_t task, const zvcrash_async_image* image, const zvcrash_async_thread_state* current,
                         bool exact_pc, zvcrash_async_thread_state* new_state, zvcrash_async_frame_error* result) {
    if (image->format != ZVCRASH_ASYNC_IMAGE_FORMAT_ELF) return Indexed::Unavailable;
    const zvcrash_async_elf* elf = &image->elf;
    if (elf->eh_frame == 0 || elf->eh_frame_hdr == 0) return Indexed::Unavailable;
    const zvcrash_async_byteorder* order = zvcrash_async_image_byteorder(image);
    const auto pc = static_cast<machine_ptr>(zvcrash_async_thread_state_get_reg(current, ZVCRASH_REG_IP));
    machine_ptr lookup = zvcrash::async::zvcrash_async_dwarf_lookup_pc(pc, exact_pc);

    for (int attempt = 0; attempt < 2; ++attempt) {
        *result = ZVCRASH_FRAME_ERR_NOTSUP;
        uint64_t fdeAddress = 0, fdeEnd = 0, cieEnd = 0;
        uint32_t ciePointer = 0, cieId = 0;
        bool found = false;
        if (findIndexedFde(task, elf, lookup, &found, &fdeAddress) == Indexed::Unavailable) return Indexed::Unavailable;
        if (!found || !readRecord(task, elf, fdeAddress, &fdeEnd, &ciePointer)) return Indexed::Done;
        if (ciePointer == 0 || ciePointer > fdeAddress + 4) return Indexed::Done;
        const uint64_t cieAddress = fdeAddress + 4 - ciePointer;
        if (!readRecord(task, elf, cieAddress, &cieEnd, &cieId) || cieId != 0) return Indexed::Done;

        // The image's copy of the frames when it holds one; else only the two records, copied now.
        SparseMapping window;
        const zvcrash_async_mobject* frames = &elf->eh_frame_copy;
        if (frames->vm_length == 0) {
            const uint64_t records[2][2] = {{cieAddress, cieEnd}, {fdeAddress, fdeEnd}};
            if (!window.map(task, cieAddress < fdeAddress ? cieAddress : fdeAddress, cieEnd > fdeEnd ? cieEnd : fdeEnd, records, 2))
                return Indexed::Done;
            frames = window.get();
        }
        zvcrash::async::gnu_ehptr_reader<machine_ptr> pointers(order);
        zvcrash::async::zvcrash_async_dwarf_fde_info<machine_ptr> fde;
        zvcrash::async::zvcrash_async_dwarf_cie_info<machine_ptr> cie;
        if (zvcrash::async::zvcrash_async_dwarf_fde_info_init(&fde, frames, order, fdeAddress, false) != ZVCRASH_OK) return Indexed::Done;
        if (lookup < fde.pc_start || lookup >= fde.pc_end) return Indexed::Done;
        const uint64_t base = zvcrash_async_mobject_base_address(frames);
        if (zvcrash::async::zvcrash_async_dwarf_cie_info_init(&cie, frames, order, &pointers, base + fde.cie_offset) != ZVCRASH_OK)
            return Indexed::Done;
        if (cie.eh_augmentation.signal_frame && lookup != pc) {
            // A signal frame's PC is never a return address.
            lookup = pc;
            continue;
        }
        zvcrash::async::dwarf_cfa_state<machine_ptr, machine_ptr_s> state;
        const auto section = static_cast<machine_ptr>(base);
        if (state.eval_program(frames, 0, fde.pc_start, &cie, &pointers, order, section,
                               zvcrash::async::zvcrash_async_dwarf_cie_info_instructions_offset(&cie),
                               zvcrash::async::zvcrash_async_dwarf_cie_info_instructions_length(&cie)) != ZVCRASH_OK ||
            state.eval_program(frames, lookup, fde.pc_start, &cie, &pointers, order, section,
                               zvcrash::async::zvcrash_async_dwarf_fde_info_instructions_offset(&fde),
                               zvcrash::async::zvcrash_async_dwarf_fde_info_instructions_length(&fde)) != ZVCRASH_OK)
            return Indexed::Done;
        *result = state.apply_state(task, &cie, current, order, new_state) == ZVCRASH_OK ? ZVCRASH_FRAME_OK : ZVCRASH_FRAME_ERR_NO_FRAME;
        return Indexed::Done;
    }
    return Indexed::Done;
}

}  // namespace

zvcrash_async_frame_error zvcrash_async_frame_read_compact_unwind(zvcrash_async_task_t task, zvcrash_async_image_list* image_list,
                                                                  const zvcrash_async_thread_state* current,
                                                                  const zvcrash_async_thread_state* previous,
                                                                  zvcrash_async_thread_state* new_state) {
    uint64_t pc = 0;
    zvcrash_async_frame_error result = currentPc(current, &pc);
    if (result != ZVCRASH_FRAME_OK) return result;

    ReadingImages reading(image_list);
    const zvcrash_async_image* image = zvcrash_async_image_containing_address(image_list, pc);
    if (image == nullptr) return ZVCRASH_FRAME_ERR_NOTSUP;
    Mapping section;
    if (!section.map(image, ZVCRASH_ASYNC_IMAGE_SECTION_UNWIND_INFO)) return ZVCRASH_FRAME_ERR_NOTSUP;

    const uint32_t cpuType = zvcrash_async_image_cpu_type(image);
    zvcrash_async_cfe_reader reader;
    if (zvcrash_async_cfe_reader_init(&reader, section.get(), cpuType) != ZVCRASH_OK) return ZVCRASH_FRAME_ERR_INVAL;
    const uint64_t base = zvcrash_async_image_base(image);
    uint32_t functionOffset = 0;
    uint32_t encoding = 0;
    zvcrash_error_t error = zvcrash_async_cfe_reader_find_pc(&reader, pc - base, &functionOffset, &encoding);
    zvcrash_async_cfe_reader_free(&reader);
    if (error != ZVCRASH_OK) return ZVCRASH_FRAME_ERR_NOTSUP;

    zvcrash_async_cfe_entry entry;
    if (zvcrash_async_cfe_entry_init(&entry, cpuType, encoding) != ZVCRASH_OK) return ZVCRASH_FRAME_ERR_NOTSUP;
    if (zvcrash_async_cfe_entry_type(&entry) == ZVCRASH_CFE_NONE) return ZVCRASH_FRAME_ERR_NO_FRAME;
    uint64_t functionAddress;
    if (__builtin_add_overflow(base, uint64_t{functionOffset}, &functionAddress)) return ZVCRASH_FRAME_ERR_INVAL;
    error = zvcrash_async_cfe_entry_apply(task, functionAddress, current, &entry, new_state);
    zvcrash_async_cfe_entry_free(&entry);
    return error == ZVCRASH_OK ? ZVCRASH_FRAME_OK : ZVCRASH_FRAME_ERR_NO_FRAME;
}

zvcrash_async_frame_error zvcrash_async_frame_read_dwarf_unwind(zvcrash_async_task_t task, zvcrash_async_image_list* image_list,
                                                                const zvcrash_async_thread_state* current,
                                                                const zvcrash_async_thread_state* previous,
                                                                zvcrash_async_thread_state* new_state) {
    uint64_t pc = 0;
    zvcrash_async_frame_error result = currentPc(current, &pc);
    if (result != ZVCRASH_FRAME_OK) return result;

    ReadingImages reading(image_list);
    const zvcrash_async_image* image = zvcrash_async_image_containing_address(image_list, pc);
    if (image == nullptr) return ZVCRASH_FRAME_ERR_NOTSUP;
    // The first frame stopped at its instruction; every later one is at a return address.
    const bool exactPc = previous == nullptr;

    const Indexed indexed = zvcrash_async_image_is_64bit(image)
                                ? indexedDwarfStep<unsigned long long, long long>(task, image, current, exactPc, new_state, &result)
                                : indexedDwarfStep<unsigned int, int>(task, image, current, exactPc, new_state, &result);
    if (indexed == Indexed::Done) return result;

    Mapping frames;
    bool debugFrame = false;
    if (!frames.map(image, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME)) {
        if (!frames.map(image, ZVCRASH_ASYNC_IMAGE_SECTION_DEBUG_FRAME)) return ZVCRASH_FRAME_ERR_NO_FRAME;
        debugFrame = true;
    }
    // The sorted index saves walking the whole section; without one the section is searched.
    Mapping index;
    if (!debugFrame) index.map(image, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME_HDR);
    if (zvcrash_async_image_is_64bit(image))
        return dwarfStep<unsigned long long, long long>(task, frames.get(), debugFrame, index.get(), image, current, exactPc, new_state);
    return dwarfStep<unsigned int, int>(task, frames.get(), debugFrame, index.get(), image, current, exactPc, new_state);
}

zvcrash_async_frame_error zvcrash_async_frame_read_frame_pointer(zvcrash_async_task_t task, zvcrash_async_image_list* image_list,
                                                                 const zvcrash_async_thread_state* current,
                                                                 const zvcrash_async_thread_state* previous,
                                                                 zvcrash_async_thread_state* new_state) {
    const size_t word = zvcrash_async_thread_state_get_greg_size(current);
    if (!zvcrash_async_thread_state_has_reg(current, ZVCRASH_REG_FP)) return ZVCRASH_FRAME_ERR_BAD_FRAME;
    const uint64_t fp = zvcrash_async_thread_state_get_reg(current, ZVCRASH_REG_FP);
    if (fp == 0) return ZVCRASH_FRAME_ERR_NO_FRAME;

    // Frames get older toward the stack's base: a frame pointer on the younger side of the
    // previous one is a loop or garbage.
    if (previous != nullptr && zvcrash_async_thread_state_has_reg(previous, ZVCRASH_REG_FP)) {
        const uint64_t younger = zvcrash_async_thread_state_get_reg(previous, ZVCRASH_REG_FP);
        const auto direction = zvcrash_async_thread_state_get_stack_direction(current);
        if (direction == ZVCRASH_STACK_DIRECTION_DOWN && fp < younger) return ZVCRASH_FRAME_ERR_BAD_FRAME;
        if (direction == ZVCRASH_STACK_DIRECTION_UP && fp > younger) return ZVCRASH_FRAME_ERR_BAD_FRAME;
    }

    uint64_t savedFp = 0;
    uint64_t returnAddress = 0;
    if (word == 8) {
        uint64_t pair[2];
        if (zvcrash_async_task_memcpy(task, fp, 0, pair, sizeof pair) != ZVCRASH_OK) return ZVCRASH_FRAME_ERR_BAD_FRAME;
        savedFp = pair[0];
        returnAddress = pair[1];
    } else {
        uint64_t pair;
        if (zvcrash_async_task_memcpy(task, fp, 0, &pair, sizeof pair) != ZVCRASH_OK) return ZVCRASH_FRAME_ERR_BAD_FRAME;
        savedFp = pair & 0xffffffff;
        returnAddress = pair >> 32;
    }

    zvcrash_async_thread_state_copy(new_state, current);
    zvcrash_async_thread_state_clear_all_regs(new_state);
    zvcrash_async_thread_state_set_reg(new_state, ZVCRASH_REG_FP, savedFp);
    zvcrash_async_thread_state_set_reg(new_state, ZVCRASH_REG_IP, returnAddress);
    return ZVCRASH_FRAME_OK;
}
