#include "crashreporter/async/zvcrash_async_macho.h"

zvcrash_error_t zvcrash_async_macho_init(zvcrash_async_macho* image, zvcrash_async_task_t task, const char* path, uint64_t header_address) {
    return ZVCRASH_ERR_NOTSUP;
}
void zvcrash_async_macho_free(zvcrash_async_macho* image) {}
const zvcrash_async_byteorder* zvcrash_async_macho_byteorder(const zvcrash_async_macho* image) { return image->byteorder; }
const zvcrash_async_macho_header_t* zvcrash_async_macho_header(const zvcrash_async_macho* image) { return &image->header; }
uint32_t zvcrash_async_macho_header_size(const zvcrash_async_macho* image) { return image->header_size; }
uint32_t zvcrash_async_macho_swap32_field_a(const zvcrash_async_macho* image) { return image->byteorder->swap32(image->header.cputype); }
uint32_t zvcrash_async_macho_swap32_field_b(const zvcrash_async_macho* image) { return image->byteorder->swap32(image->header.cpusubtype); }
bool zvcrash_async_macho_contains_address(const zvcrash_async_macho* image, uint64_t address) { return false; }
const void* zvcrash_async_macho_next_command(const zvcrash_async_macho* image, const void* previous) { return nullptr; }
const void* zvcrash_async_macho_next_command_type(const zvcrash_async_macho* image, const void* previous, uint32_t type) { return nullptr; }
const void* zvcrash_async_macho_find_command(const zvcrash_async_macho* image, uint32_t type) { return nullptr; }
const void* zvcrash_async_macho_find_segment_cmd(const zvcrash_async_macho* image, const char* segname) { return nullptr; }
zvcrash_error_t zvcrash_async_macho_map_segment(const zvcrash_async_macho* image, const char* segname,
                                                zvcrash_async_macho_segment* segment) {
    return ZVCRASH_ERR_NOTFOUND;
}
void zvcrash_async_macho_mapped_segment_free(zvcrash_async_macho_segment* segment) {}
zvcrash_error_t zvcrash_async_macho_map_section(const zvcrash_async_macho* image, const char* segname, const char* sectname,
                                                zvcrash_async_mobject* mobj) {
    return ZVCRASH_ERR_NOTFOUND;
}
zvcrash_error_t zvcrash_async_macho_symtab_reader_init(zvcrash_async_macho_symtab_reader* reader, const zvcrash_async_macho* image) {
    return ZVCRASH_ERR_NOTFOUND;
}
zvcrash_async_macho_symtab_entry zvcrash_async_macho_symtab_reader_read(const zvcrash_async_macho_symtab_reader* reader, const void* table,
                                                                        uint32_t index) {
    return {};
}
const char* zvcrash_async_macho_symtab_reader_symbol_name(const zvcrash_async_macho_symtab_reader* reader, uint32_t n_strx) {
    return nullptr;
}
void zvcrash_async_macho_symtab_reader_free(zvcrash_async_macho_symtab_reader* reader) {}
zvcrash_error_t zvcrash_async_macho_find_symbol_by_pc(const zvcrash_async_macho* image, uint64_t pc,
                                                      zvcrash_async_macho_found_symbol_cb callback, void* context) {
    return ZVCRASH_ERR_NOTFOUND;
}
zvcrash_error_t zvcrash_async_macho_find_symbol_by_name(const zvcrash_async_macho* image, const char* name, uint64_t* address) {
    return ZVCRASH_ERR_NOTFOUND;
}
zvcrash_error_t zvcrash_async_macho_string_init(zvcrash_async_macho_string* string, const zvcrash_async_macho* image, uint64_t address) {
    return ZVCRASH_ERR_NOTSUP;
}
zvcrash_error_t zvcrash_async_macho_string_get_length(zvcrash_async_macho_string* string, size_t* length) { return ZVCRASH_ERR_NOTSUP; }
zvcrash_error_t zvcrash_async_macho_string_get_pointer(zvcrash_async_macho_string* string, const char** pointer) {
    return ZVCRASH_ERR_NOTSUP;
}
void zvcrash_async_macho_string_free(zvcrash_async_macho_string* string) {}
