#include "crashreporter/async/zvcrash_async_symbol.h"

namespace {

// The best name so far, on the look-up's stack.
struct Candidate {
    char name[ZVCRASH_ASYNC_SYMBOL_NAME_SIZE];
    bool found;
    uint64_t address;
};

// A later source's candidate at the same address replaces the kept one.
bool replaces(const Candidate* candidate, uint64_t address) { return !candidate->found || address >= candidate->address; }

// Appends up to length bytes of text at *used, keeping room for the NUL.
void append(Candidate* candidate, size_t* used, const char* text, size_t length) {
    while (length > 0 && *used < ZVCRASH_ASYNC_SYMBOL_NAME_SIZE - 1) {
        candidate->name[(*used)++] = *text++;
        --length;
    }
}

}  // namespace

// Keeps a symbol-table name. Safe at crash time.
static void zvcrash_async_find_symbol_symtab_cb(uint64_t address, const char* name, void* context) {
    auto* candidate = static_cast<Candidate*>(context);
    if (!replaces(candidate, address)) return;
    size_t used = 0;
    while (name[used] != '\0' && used < ZVCRASH_ASYNC_SYMBOL_NAME_SIZE - 1) {
        candidate->name[used] = name[used];
        ++used;
    }
    candidate->name[used] = '\0';
    candidate->found = true;
    candidate->address = address;
}

// Keeps a method as "+[Class selector]" or "-[Class selector]", cut at 255 bytes (a cut name has
// no closing bracket). Safe at crash time.
static void zvcrash_async_find_symbol_objc_cb(bool is_class_method, zvcrash_async_macho_string* class_name,
                                              zvcrash_async_macho_string* method_name, uint64_t imp, void* context) {
    auto* candidate = static_cast<Candidate*>(context);
    if (!replaces(candidate, imp)) return;
    const char* className;
    const char* methodName;
    size_t classLength;
    size_t methodLength;
    if (zvcrash_async_macho_string_get_pointer(class_name, &className) != ZVCRASH_OK ||
        zvcrash_async_macho_string_get_length(class_name, &classLength) != ZVCRASH_OK ||
        zvcrash_async_macho_string_get_pointer(method_name, &methodName) != ZVCRASH_OK ||
        zvcrash_async_macho_string_get_length(method_name, &methodLength) != ZVCRASH_OK) {
        return;
    }
    size_t used = 0;
    append(candidate, &used, is_class_method ? "+[" : "-[", 2);
    append(candidate, &used, className, classLength);
    append(candidate, &used, " ", 1);
    append(candidate, &used, methodName, methodLength);
    append(candidate, &used, "]", 1);
    candidate->name[used] = '\0';
    candidate->found = true;
    candidate->address = imp;
}

void zvcrash_async_symbol_cache_init(zvcrash_async_symbol_cache* cache) { zvcrash_async_objc_cache_init(&cache->objc); }

void zvcrash_async_symbol_cache_free(zvcrash_async_symbol_cache* cache) { zvcrash_async_objc_cache_free(&cache->objc); }

zvcrash_error_t zvcrash_async_find_symbol(const zvcrash_async_image* image, uint32_t strategy, zvcrash_async_symbol_cache* cache,
                                          uint64_t pc, zvcrash_async_found_symbol_cb callback, void* context) {
    Candidate candidate;
    candidate.name[0] = '\0';
    candidate.found = false;
    candidate.address = 0;
    bool answered = false;

    if ((strategy & ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0) {
        answered |= zvcrash_async_image_find_symbol_by_pc(image, pc, zvcrash_async_find_symbol_symtab_cb, &candidate) == ZVCRASH_OK;
    }
    // Only Mach-O images carry class metadata.
    if ((strategy & ZVCRASH_SYMBOL_STRATEGY_OBJC) != 0 && image->format == ZVCRASH_ASYNC_IMAGE_FORMAT_MACHO) {
        answered |=
            zvcrash_async_objc_find_method(&image->macho, &cache->objc, pc, zvcrash_async_find_symbol_objc_cb, &candidate) == ZVCRASH_OK;
    }

    if (!answered) return ZVCRASH_ERR_NOTFOUND;
    if (!candidate.found) return ZVCRASH_ERR_INTERNAL;
    callback(candidate.address, candidate.name, context);
    return ZVCRASH_OK;
}
