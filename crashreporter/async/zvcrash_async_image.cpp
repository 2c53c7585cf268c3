#include "crashreporter/async/zvcrash_async_image.h"

zvcrash_error_t zvcrash_async_image_init(zvcrash_async_image* image, zvcrash_async_task_t task, const char* path, uint64_t header_address) {
    uint8_t magic[4];
    zvcrash_error_t error = zvcrash_async_task_memcpy(task, header_address, 0, magic, sizeof(magic));
    if (error != ZVCRASH_OK) return ZVCRASH_ERR_INTERNAL;
    image->list_node = nullptr;
    if (magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') {
        image->format = ZVCRASH_ASYNC_IMAGE_FORMAT_ELF;
        return zvcrash_async_elf_init(&image->elf, task, path, header_address);
    }
    image->format = ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO;
    return zvcrash_async_macho_init(&image->macho, task, path, header_address);
}

void zvcrash_async_image_free(zvcrash_async_image* image) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            zvcrash_async_macho_free(&image->macho);
            break;
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            zvcrash_async_elf_free(&image->elf);
            break;
    }
}

bool zvcrash_async_image_contains_address(const zvcrash_async_image* image, uint64_t address) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return zvcrash_async_macho_contains_address(&image->macho, address);
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return zvcrash_async_elf_contains_address(&image->elf, address);
    }
    return false;
}

zvcrash_error_t zvcrash_async_image_map_section(const zvcrash_async_image* image, zvcrash_async_image_section section,
                                                zvcrash_async_mobject* mobj) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            switch (section) {
                case ZVCRASH_ASYNC_IMAGE_SECTION_UNWIND_INFO:
                    return zvcrash_async_macho_map_section(&image->macho, "__TEXT", "__unwind_info", mobj);
                case ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME:
                    return zvcrash_async_macho_map_section(&image->macho, "__TEXT", "__eh_frame", mobj);
                case ZVCRASH_ASYNC_IMAGE_SECTION_DEBUG_FRAME:
                    return zvcrash_async_macho_map_section(&image->macho, "__DWARF", "__debug_frame", mobj);
                case ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME_HDR:
                    return ZVCRASH_ERR_NOTFOUND;
            }
            return ZVCRASH_ERR_NOTFOUND;
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            switch (section) {
                case ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME:
                    return zvcrash_async_elf_map_eh_frame(&image->elf, mobj);
                case ZVCRASH_ASYNC_IMAGE_SECTION_EH_FRAME_HDR:
                    return zvcrash_async_elf_map_eh_frame_hdr(&image->elf, mobj);
                case ZVCRASH_ASYNC_IMAGE_SECTION_UNWIND_INFO:
                case ZVCRASH_ASYNC_IMAGE_SECTION_DEBUG_FRAME:
                    return ZVCRASH_ERR_NOTFOUND;
            }
            return ZVCRASH_ERR_NOTFOUND;
    }
    return ZVCRASH_ERR_NOTFOUND;
}

zvcrash_error_t zvcrash_async_image_find_symbol_by_pc(const zvcrash_async_image* image, uint64_t pc,
                                                      zvcrash_async_image_found_symbol_cb callback, void* context) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return zvcrash_async_macho_find_symbol_by_pc(&image->macho, pc, callback, context);
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return zvcrash_async_elf_find_symbol_by_pc(&image->elf, pc, callback, context);
    }
    return ZVCRASH_ERR_NOTFOUND;
}

zvcrash_error_t zvcrash_async_image_uuid(const zvcrash_async_image* image, uint8_t uuid[16]) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO: {
            const void* command = zvcrash_async_macho_find_command(&image->macho, ZVCRASH_MACHO_LC_UUID);
            if (command == nullptr) return ZVCRASH_ERR_NOTFOUND;
            if (!zvcrash_async_mobject_verify_local_pointer(&image->macho.load_cmds, reinterpret_cast<uintptr_t>(command), 0,
                                                            sizeof(zvcrash_async_macho_uuid_command))) {
                return ZVCRASH_ERR_INVAL;
            }
            zvcrash_async_memcpy(uuid, static_cast<const zvcrash_async_macho_uuid_command*>(command)->uuid, 16);
            return ZVCRASH_OK;
        }
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return zvcrash_async_elf_uuid(&image->elf, uuid);
    }
    return ZVCRASH_ERR_NOTFOUND;
}

uint32_t zvcrash_async_image_cpu_type(const zvcrash_async_image* image) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return zvcrash_async_macho_swap32_field_a(&image->macho);
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return zvcrash_async_elf_cpu_type(&image->elf);
    }
    return 0;
}

uint32_t zvcrash_async_image_cpu_subtype(const zvcrash_async_image* image) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return zvcrash_async_macho_swap32_field_b(&image->macho);
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return zvcrash_async_elf_cpu_subtype(&image->elf);
    }
    return 0;
}

const char* zvcrash_async_image_path(const zvcrash_async_image* image) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return image->macho.name;
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return image->elf.path;
    }
    return nullptr;
}

uint64_t zvcrash_async_image_base(const zvcrash_async_image* image) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return image->macho.header_addr;
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return image->elf.header_addr;
    }
    return 0;
}

uint64_t zvcrash_async_image_size(const zvcrash_async_image* image) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return image->macho.text_size;
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return image->elf.size;
    }
    return 0;
}

zvcrash_async_task_t zvcrash_async_image_task(const zvcrash_async_image* image) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return image->macho.task;
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return image->elf.task;
    }
    return nullptr;
}

bool zvcrash_async_image_is_64bit(const zvcrash_async_image* image) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return image->macho.m64;
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return sizeof(void*) == 8;
    }
    return false;
}

const zvcrash_async_byteorder* zvcrash_async_image_byteorder(const zvcrash_async_image* image) {
    switch (image->format) {
        case ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO:
            return image->macho.byteorder;
        case ZVCRASH_ASYNC_IMAGE_FORMAT_ELF:
            return zvcrash_async_byteorder_direct();
    }
    return zvcrash_async_byteorder_direct();
}
