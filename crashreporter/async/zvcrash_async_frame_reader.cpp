// The default frame readers of the cursor.
#include "crashreporter/async/zvcrash_async_cfe_entry.h"
#include "crashreporter/async/zvcrash_async_cfe_reader.h"
#include "crashreporter/async/zvcrash_async_dwarf_unwind.h"
#include "crashreporter/async/zvcrash_async_frame_cursor.h"

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

    Mapping frames;
    bool debugFrame = false;
    if (!frames.map(image, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME)) {
        if (!frames.map(image, ZVCRASH_ASYNC_IMAGE_SECTION_DEBUG_FRAME)) return ZVCRASH_FRAME_ERR_NO_FRAME;
        debugFrame = true;
    }
    // The sorted index saves walking the whole section; without one the section is searched.
    Mapping index;
    if (!debugFrame) index.map(image, ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME_HDR);

    // The first frame stopped at its instruction; every later one is at a return address.
    const bool exactPc = previous == nullptr;
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
