// Names methods from an image's object-runtime class metadata, which stripped images keep even
// when their symbol tables no longer name the functions. Reads both the legacy version-1 layout
// (32-bit images, "__OBJC,__module_info") and the version-2 sections, through read-only copies of
// the sections and verified reads of task memory; the one larger buffer, the class cache, is a raw
// mmap'ed area, never the heap.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_macho.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

// One optional section copy of the image the cache holds.
struct zvcrash_async_objc_section {
    bool mapped;
    zvcrash_async_mobject mobj;
};

// The sections of the last image parsed and the class cache. Belongs to the thread that writes
// one report; set up by _init and released by _free.
struct zvcrash_async_objc_cache {
    // Set after the first version-2 parse that succeeded: later parses skip looking for version 1.
    bool skip_objc1;
    // The image whose sections are held below, or null.
    const zvcrash_async_macho* image;

    zvcrash_async_objc_section objc_const;
    zvcrash_async_objc_section objc_const_ax;
    zvcrash_async_objc_section objc_methlist;
    zvcrash_async_objc_section objc_selrefs;
    zvcrash_async_objc_section objc_classlist;
    zvcrash_async_objc_section objc_catlist;
    zvcrash_async_objc_section objc_data;
    zvcrash_async_objc_section data;

    // Class address -> address of its read-only class data; one mmap of capacity * 16 bytes
    // holding the keys, then the values. Capacity 0 until first used, or when mapping failed.
    uint64_t class_cache_capacity;
    uint64_t* class_cache_keys;
    uint64_t* class_cache_values;
};

// The number of slots of the class cache once it exists.
inline constexpr uint64_t ZVCRASH_ASYNC_OBJC_CLASS_CACHE_SLOTS = 1024;

// Called for each method: whether it is a class method, the class name, the method name (both
// lazy strings of the image that live only during the call) and the implementation's address.
using zvcrash_async_objc_found_method_cb = void (*)(bool is_class_method, zvcrash_async_macho_string* class_name,
                                                    zvcrash_async_macho_string* method_name, uint64_t imp, void* context);

// Zeroes the cache: no sections, no class cache. Safe at crash time.
void zvcrash_async_objc_cache_init(zvcrash_async_objc_cache* cache);

// Releases the section copies and the class cache. Safe at crash time (munmap).
void zvcrash_async_objc_cache_free(zvcrash_async_objc_cache* cache);

// Releases every section copy and forgets the image; the class cache stays. Safe at crash time.
void zvcrash_async_objc_cache_release_mapping(zvcrash_async_objc_cache* cache);

// Calls callback for every method of every class, metaclass and category of the image.
// ZVCRASH_ERR_NOTFOUND when the image has no metadata, ZVCRASH_ERR_BADDATA for metadata that
// cannot be found in its sections or read from the task. Safe at crash time.
zvcrash_error_t zvcrash_async_objc_parse(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache,
                                         zvcrash_async_objc_found_method_cb callback, void* context);

// Calls callback once, for the method whose implementation is the highest one at or below pc;
// ZVCRASH_ERR_NOTFOUND when there is none. Parses the image twice so that nothing is kept
// but one address. Safe at crash time.
zvcrash_error_t zvcrash_async_objc_find_method(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache, uint64_t pc,
                                               zvcrash_async_objc_found_method_cb callback, void* context);
