#include "crashreporter/async/zvcrash_async_elf.h"

zvcrash_error_t zvcrash_async_elf_init(zvcrash_async_elf* elf, zvcrash_async_task_t task, const char* path, uint64_t header_address) {
    return ZVCRASH_ERR_NOTSUP;
}
void zvcrash_async_elf_free(zvcrash_async_elf* elf) {}
bool zvcrash_async_elf_contains_address(const zvcrash_async_elf* elf, uint64_t address) {
    return address >= elf->header_addr && address - elf->header_addr < elf->size;
}
zvcrash_error_t zvcrash_async_elf_map_eh_frame(const zvcrash_async_elf* elf, zvcrash_async_mobject* mobj) { return ZVCRASH_ERR_NOTFOUND; }
zvcrash_error_t zvcrash_async_elf_map_eh_frame_hdr(const zvcrash_async_elf* elf, zvcrash_async_mobject* mobj) {
    return ZVCRASH_ERR_NOTFOUND;
}
zvcrash_error_t zvcrash_async_elf_find_symbol_by_pc(const zvcrash_async_elf* elf, uint64_t pc, zvcrash_async_elf_found_symbol_cb callback,
                                                    void* context) {
    return ZVCRASH_ERR_NOTFOUND;
}
zvcrash_error_t zvcrash_async_elf_find_symbol_by_name(const zvcrash_async_elf* elf, const char* name, uint64_t* address) {
    return ZVCRASH_ERR_NOTFOUND;
}
zvcrash_error_t zvcrash_async_elf_uuid(const zvcrash_async_elf* elf, uint8_t uuid[16]) { return ZVCRASH_ERR_NOTFOUND; }
uint32_t zvcrash_async_elf_cpu_type(const zvcrash_async_elf* elf) { return 0; }
uint32_t zvcrash_async_elf_cpu_subtype(const zvcrash_async_elf* elf) { return 0; }
