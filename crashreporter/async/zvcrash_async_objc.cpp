#include "crashreporter/async/zvcrash_async_objc.h"

#include <sys/mman.h>

namespace {

// Words of the image's width, read through its byte order.
struct ImageView {
    zvcrash_async_task_t task;
    const zvcrash_async_byteorder* byteorder;
    bool is64;
    uint64_t pointerSize;

    explicit ImageView(const zvcrash_async_macho* image)
        : task(image->task),
          byteorder(zvcrash_async_macho_byteorder(image)),
          is64(image->m64),
          pointerSize(is64 ? 8 : 4) {}

    uint32_t u32(const uint8_t* bytes) const {
        uint32_t value;
        zvcrash_async_memcpy(&value, bytes, sizeof(value));
        return byteorder->swap32(value);
    }
    uint16_t u16(const uint8_t* bytes) const {
        uint16_t value;
        zvcrash_async_memcpy(&value, bytes, sizeof(value));
        return byteorder->swap16(value);
    }
    uint64_t pointer(const uint8_t* bytes) const {
        if (!is64) return u32(bytes);
        uint64_t value;
        zvcrash_async_memcpy(&value, bytes, sizeof(value));
        return byteorder->swap64(value);
    }

    // A pointer-sized word read through a section copy; false when out of range.
    bool pointerIn(const zvcrash_async_mobject* mobj, uint64_t address, uint64_t* out) const {
        const auto* local = static_cast<const uint8_t*>(zvcrash_async_mobject_remap_address(mobj, address, 0, pointerSize));
        if (local == nullptr) return false;
        *out = pointer(local);
        return true;
    }

    // A pointer-sized word read from task memory.
    zvcrash_error_t taskPointer(uint64_t address, uint64_t* out) const {
        uint8_t bytes[8];
        if (zvcrash_async_task_memcpy(task, address, 0, bytes, pointerSize) != ZVCRASH_OK) return ZVCRASH_ERR_BADDATA;
        *out = pointer(bytes);
        return ZVCRASH_OK;
    }
};

// Copies length bytes at address from a section copy; false when they are not all inside it.
bool copyFrom(const zvcrash_async_objc_section& section, uint64_t address, void* dest, size_t length) {
    if (!section.mapped) return false;
    const void* local = zvcrash_async_mobject_remap_address(&section.mobj, address, 0, length);
    if (local == nullptr) return false;
    zvcrash_async_memcpy(dest, local, length);
    return true;
}

bool inside(const zvcrash_async_objc_section& section, uint64_t address, size_t length) {
    return section.mapped && zvcrash_async_mobject_remap_address(&section.mobj, address, 0, length) != nullptr;
}

// Record layouts of the version-2 metadata, as byte offsets for 64-bit / 32-bit images.
constexpr size_t kClassSize64 = 40, kClassSize32 = 20;
constexpr size_t kClassRoSize64 = 72, kClassRoSize32 = 40;
constexpr size_t kClassRoNameOffset64 = 24, kClassRoNameOffset32 = 16;
constexpr size_t kClassRoMethodsOffset64 = 32, kClassRoMethodsOffset32 = 20;
constexpr size_t kCategorySize64 = 48, kCategorySize32 = 24;

// The class data word's flags: run-time data whose read-only part is the next word, and
// read-only data that was copied out of the image.
constexpr uint32_t kClassRwRealized = 1u << 31;
constexpr uint32_t kClassRwCopiedRo = 1u << 27;
// A non-pointer isa keeps the class's address in bits 3-46.
constexpr uint64_t kIsaClassMask = 0x00007ffffffffff8ull;

// Method-list header: bit 31 marks offsets relative to each field, the low half the entry size.
constexpr uint32_t kMethodListRelative = 1u << 31;
constexpr uint32_t kMethodListEntrySizeMask = 0xfffc;

// Version 1: the class's info bit that says its method-lists word is one list, and the array's
// end marker besides 0.
constexpr uint32_t kObjC1NoMethodArray = 0x4000;
constexpr uint32_t kObjC1EndOfMethodLists = 0xffffffffu;
constexpr size_t kObjC1ModuleSize = 16;
constexpr size_t kObjC1ClassSize = 40;

struct ClassRecord {
    uint64_t isa;
    uint64_t data;
};

// A class record read from the image's class sections (or, with fromTask, from task memory).
zvcrash_error_t readClassRecord(const ImageView& view, const zvcrash_async_objc_cache* cache, uint64_t address, bool fromTask,
                                ClassRecord* out) {
    uint8_t bytes[kClassSize64];
    const size_t size = view.is64 ? kClassSize64 : kClassSize32;
    if (!copyFrom(cache->objc_data, address, bytes, size) && !copyFrom(cache->data, address, bytes, size)) {
        if (!fromTask || zvcrash_async_task_memcpy(view.task, address, 0, bytes, size) != ZVCRASH_OK) return ZVCRASH_ERR_BADDATA;
    }
    out->isa = view.pointer(bytes);
    out->data = view.pointer(bytes + 4 * view.pointerSize);
    return ZVCRASH_OK;
}

void mapSection(const zvcrash_async_macho* image, const char* segment, const char* section, zvcrash_async_objc_section* out,
                zvcrash_error_t* error) {
    *error = zvcrash_async_macho_map_section(image, segment, section, &out->mobj);
    out->mapped = *error == ZVCRASH_OK;
}

// Looks for the section in the data segments in turn; the next is tried only when the section
// is absent from the one before. Safe at crash time.
zvcrash_error_t zvcrash_async_objc_map_data_section(const zvcrash_async_macho* image, const char* section,
                                                    zvcrash_async_objc_section* out) {
    static constexpr const char* kSegments[] = {"__DATA", "__DATA_CONST", "__DATA_DIRTY"};
    zvcrash_error_t error = ZVCRASH_ERR_NOTFOUND;
    for (const char* segment : kSegments) {
        mapSection(image, segment, section, out, &error);
        if (error != ZVCRASH_ERR_NOTFOUND) break;
    }
    return error;
}

}  // namespace

void zvcrash_async_objc_cache_init(zvcrash_async_objc_cache* cache) { zvcrash_async_memset(cache, 0, sizeof(*cache)); }

void zvcrash_async_objc_cache_release_mapping(zvcrash_async_objc_cache* cache) {
    zvcrash_async_objc_section* sections[] = {&cache->objc_const,     &cache->objc_const_ax, &cache->objc_methlist, &cache->objc_selrefs,
                                              &cache->objc_classlist, &cache->objc_catlist,  &cache->objc_data,     &cache->data};
    for (zvcrash_async_objc_section* section : sections) {
        if (section->mapped) zvcrash_async_mobject_free(&section->mobj);
        section->mapped = false;
    }
    cache->image = nullptr;
}

void zvcrash_async_objc_cache_free(zvcrash_async_objc_cache* cache) {
    zvcrash_async_objc_cache_release_mapping(cache);
    if (cache->class_cache_capacity != 0) munmap(cache->class_cache_keys, cache->class_cache_capacity * 2 * sizeof(uint64_t));
    cache->class_cache_capacity = 0;
    cache->class_cache_keys = nullptr;
    cache->class_cache_values = nullptr;
}

// The version-2 sections of the image, kept until another image is parsed. Safe at crash time.
static zvcrash_error_t zvcrash_async_objc_map_sections(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache) {
    if (cache->image == image) return ZVCRASH_OK;
    zvcrash_async_objc_cache_release_mapping(cache);

    zvcrash_error_t error = zvcrash_async_objc_map_data_section(image, "__objc_const", &cache->objc_const);
    zvcrash_error_t ignored;
    if (error == ZVCRASH_OK) {
        mapSection(image, "__DATA", "__objc_const_ax", &cache->objc_const_ax, &ignored);
        mapSection(image, "__TEXT", "__objc_methlist", &cache->objc_methlist, &ignored);
        mapSection(image, "__DATA", "__objc_selrefs", &cache->objc_selrefs, &ignored);
        error = zvcrash_async_objc_map_data_section(image, "__objc_classlist", &cache->objc_classlist);
    }
    // An image may define classes without adding any category.
    if (error == ZVCRASH_OK) zvcrash_async_objc_map_data_section(image, "__objc_catlist", &cache->objc_catlist);
    if (error == ZVCRASH_OK) mapSection(image, "__DATA", "__objc_data", &cache->objc_data, &error);
    if (error == ZVCRASH_OK) mapSection(image, "__DATA", "__data", &cache->data, &ignored);
    if (error != ZVCRASH_OK) {
        zvcrash_async_objc_cache_release_mapping(cache);
        return error;
    }
    cache->image = image;
    return ZVCRASH_OK;
}

// Remembers class -> read-only data in the first free slot only; a collision stays uncached.
// Safe at crash time (the area is a raw mmap).
static void zvcrash_async_objc_cache_set(zvcrash_async_objc_cache* cache, uint64_t cls, uint64_t ro) {
    if (cache->class_cache_capacity == 0) {
        const size_t bytes = ZVCRASH_ASYNC_OBJC_CLASS_CACHE_SLOTS * 2 * sizeof(uint64_t);
        void* area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED) return;
        cache->class_cache_keys = static_cast<uint64_t*>(area);
        cache->class_cache_values = cache->class_cache_keys + ZVCRASH_ASYNC_OBJC_CLASS_CACHE_SLOTS;
        cache->class_cache_capacity = ZVCRASH_ASYNC_OBJC_CLASS_CACHE_SLOTS;
    }
    const uint64_t slot = (cls >> 2) % cache->class_cache_capacity;
    if (cache->class_cache_keys[slot] != 0) return;
    cache->class_cache_keys[slot] = cls;
    cache->class_cache_values[slot] = ro;
}

// Safe at crash time.
static bool zvcrash_async_objc_cache_get(const zvcrash_async_objc_cache* cache, uint64_t cls, uint64_t* ro) {
    if (cache->class_cache_capacity == 0) return false;
    const uint64_t slot = (cls >> 2) % cache->class_cache_capacity;
    if (cache->class_cache_keys[slot] != cls) return false;
    *ro = cache->class_cache_values[slot];
    return true;
}

// The read-only data of a class (into ro, 72 or 40 bytes) and its name as a lazy string.
// Safe at crash time.
static zvcrash_error_t zvcrash_async_objc_read_class_ro(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache, uint64_t cls,
                                                        const ClassRecord& record, uint8_t* ro, zvcrash_async_macho_string* name) {
    const ImageView view(image);
    const size_t roSize = view.is64 ? kClassRoSize64 : kClassRoSize32;
    uint64_t roAddress;
    bool copied = false;
    if (!zvcrash_async_objc_cache_get(cache, cls, &roAddress)) {
        // The low bits of the data word are flags of the runtime's own.
        const uint64_t data = record.data & (view.is64 ? ~uint64_t{7} : ~uint64_t{3});
        uint8_t head[16];
        if (zvcrash_async_task_memcpy(view.task, data, 0, head, 8 + view.pointerSize) != ZVCRASH_OK) return ZVCRASH_ERR_BADDATA;
        const uint32_t flags = view.u32(head);
        roAddress = data;
        if ((flags & kClassRwRealized) != 0) {
            roAddress = view.pointer(head + 8);
            copied = (flags & kClassRwCopiedRo) != 0;
            // Bit 0 marks an extension record whose first word is the read-only pointer.
            if ((roAddress & 1) != 0 && view.taskPointer(roAddress & ~uint64_t{1}, &roAddress) != ZVCRASH_OK) return ZVCRASH_ERR_BADDATA;
        }
        zvcrash_async_objc_cache_set(cache, cls, roAddress);
    }
    if (copied || !copyFrom(cache->objc_const, roAddress, ro, roSize)) {
        if (zvcrash_async_task_memcpy(view.task, roAddress, 0, ro, roSize) != ZVCRASH_OK) return ZVCRASH_ERR_BADDATA;
    }
    const uint64_t nameAddress = view.pointer(ro + (view.is64 ? kClassRoNameOffset64 : kClassRoNameOffset32));
    return zvcrash_async_macho_string_init(name, image, nameAddress);
}

// Reports every method of a version-2 method list. Safe at crash time.
static zvcrash_error_t zvcrash_async_objc_parse_method_list(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache,
                                                            bool isClassMethod, zvcrash_async_macho_string* className, uint64_t list,
                                                            zvcrash_async_objc_found_method_cb callback, void* context) {
    const ImageView view(image);
    const zvcrash_async_objc_section* section = nullptr;
    const zvcrash_async_objc_section* listSections[] = {&cache->objc_const, &cache->objc_const_ax, &cache->objc_methlist};
    for (const zvcrash_async_objc_section* candidate : listSections) {
        if (inside(*candidate, list, 8)) {
            section = candidate;
            break;
        }
    }
    if (section == nullptr) return ZVCRASH_ERR_BADDATA;
    const auto* header = static_cast<const uint8_t*>(zvcrash_async_mobject_remap_address(&section->mobj, list, 0, 8));
    const uint32_t entrySizeAndFlags = view.u32(header);
    const uint32_t count = view.u32(header + 4);
    const bool relative = (entrySizeAndFlags & kMethodListRelative) != 0;
    const uint64_t entrySize = entrySizeAndFlags & kMethodListEntrySizeMask;
    // An entry smaller than its fields would read into its neighbour, and one of size 0 would
    // report the same method count times.
    if (entrySize < (relative ? 12 : 3 * view.pointerSize)) return ZVCRASH_ERR_BADDATA;
    const auto* entries =
        static_cast<const uint8_t*>(zvcrash_async_mobject_remap_address(&section->mobj, list, 8, static_cast<size_t>(count * entrySize)));
    if (entries == nullptr) return ZVCRASH_ERR_BADDATA;

    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* entry = entries + i * entrySize;
        const uint64_t entryAddress = list + 8 + i * entrySize;
        uint64_t nameAddress;
        uint64_t imp;
        if (relative) {
            if (!zvcrash_async_address_apply_offset(entryAddress, static_cast<int32_t>(view.u32(entry)), &nameAddress) ||
                !zvcrash_async_address_apply_offset(entryAddress + 8, static_cast<int32_t>(view.u32(entry + 8)), &imp)) {
                return ZVCRASH_ERR_BADDATA;
            }
        } else {
            nameAddress = view.pointer(entry);
            imp = view.pointer(entry + 2 * view.pointerSize);
        }
        // A name inside the selector references is a reference to the name.
        if (cache->objc_selrefs.mapped) view.pointerIn(&cache->objc_selrefs.mobj, nameAddress, &nameAddress);

        zvcrash_async_macho_string name;
        zvcrash_error_t error = zvcrash_async_macho_string_init(&name, image, nameAddress);
        if (error != ZVCRASH_OK) return error;
        callback(isClassMethod, className, &name, imp, context);
        zvcrash_async_macho_string_free(&name);
    }
    return ZVCRASH_OK;
}

// The methods of a class or metaclass. Safe at crash time.
static zvcrash_error_t zvcrash_async_objc_parse_objc2_class(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache, uint64_t cls,
                                                            const ClassRecord& record, bool isMetaclass,
                                                            zvcrash_async_objc_found_method_cb callback, void* context) {
    const ImageView view(image);
    uint8_t ro[kClassRoSize64];
    zvcrash_async_macho_string className;
    zvcrash_error_t error = zvcrash_async_objc_read_class_ro(image, cache, cls, record, ro, &className);
    if (error != ZVCRASH_OK) return error;
    const uint64_t methods = view.pointer(ro + (view.is64 ? kClassRoMethodsOffset64 : kClassRoMethodsOffset32));
    if (methods != 0) error = zvcrash_async_objc_parse_method_list(image, cache, isMetaclass, &className, methods, callback, context);
    zvcrash_async_macho_string_free(&className);
    return error;
}

// The category record (into out, 48 or 24 bytes) from the image's constant metadata.
// Safe at crash time.
static zvcrash_error_t zvcrash_async_objc_read_category(const zvcrash_async_macho* image, const zvcrash_async_objc_cache* cache,
                                                        uint64_t category, uint8_t* out) {
    const size_t size = ImageView(image).is64 ? kCategorySize64 : kCategorySize32;
    return copyFrom(cache->objc_const, category, out, size) ? ZVCRASH_OK : ZVCRASH_ERR_BADDATA;
}

// The methods a category adds to its class. Safe at crash time.
static zvcrash_error_t zvcrash_async_objc_parse_objc2_category(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache,
                                                               uint64_t category, zvcrash_async_objc_found_method_cb callback,
                                                               void* context) {
    const ImageView view(image);
    uint8_t record[kCategorySize64];
    zvcrash_error_t error = zvcrash_async_objc_read_category(image, cache, category, record);
    if (error != ZVCRASH_OK) return error;
    const uint64_t cls = view.pointer(record + view.pointerSize);
    const uint64_t instanceMethods = view.pointer(record + 2 * view.pointerSize);
    const uint64_t classMethods = view.pointer(record + 3 * view.pointerSize);

    // The class may live in another image: then it is read from task memory.
    ClassRecord classRecord;
    error = readClassRecord(view, cache, cls, true, &classRecord);
    if (error != ZVCRASH_OK) return error;
    uint8_t ro[kClassRoSize64];
    zvcrash_async_macho_string className;
    error = zvcrash_async_objc_read_class_ro(image, cache, cls, classRecord, ro, &className);
    if (error != ZVCRASH_OK) return error;
    if (instanceMethods != 0)
        error = zvcrash_async_objc_parse_method_list(image, cache, false, &className, instanceMethods, callback, context);
    if (error == ZVCRASH_OK && classMethods != 0) {
        error = zvcrash_async_objc_parse_method_list(image, cache, true, &className, classMethods, callback, context);
    }
    zvcrash_async_macho_string_free(&className);
    return error;
}

// Safe at crash time.
static zvcrash_error_t zvcrash_async_objc_parse_objc2(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache,
                                                      zvcrash_async_objc_found_method_cb callback, void* context) {
    zvcrash_error_t error = zvcrash_async_objc_map_sections(image, cache);
    if (error != ZVCRASH_OK) return error;
    const ImageView view(image);

    const zvcrash_async_mobject* classes = &cache->objc_classlist.mobj;
    const uint64_t classCount = zvcrash_async_mobject_length(classes) / view.pointerSize;
    for (uint64_t i = 0; i < classCount; ++i) {
        uint64_t cls = 0;
        view.pointerIn(classes, zvcrash_async_mobject_base_address(classes) + i * view.pointerSize, &cls);
        ClassRecord record;
        error = readClassRecord(view, cache, cls, false, &record);
        if (error != ZVCRASH_OK) return error;
        error = zvcrash_async_objc_parse_objc2_class(image, cache, cls, record, false, callback, context);
        if (error == ZVCRASH_ERR_NOTFOUND) continue;
        if (error != ZVCRASH_OK) return error;

        uint64_t metaclass = record.isa;
        if ((metaclass & 1) != 0) metaclass &= kIsaClassMask;
        ClassRecord metaRecord;
        error = readClassRecord(view, cache, metaclass, false, &metaRecord);
        if (error == ZVCRASH_OK) error = zvcrash_async_objc_parse_objc2_class(image, cache, metaclass, metaRecord, true, callback, context);
        if (error != ZVCRASH_OK) return error;
    }

    if (cache->objc_catlist.mapped) {
        const zvcrash_async_mobject* categories = &cache->objc_catlist.mobj;
        const uint64_t categoryCount = zvcrash_async_mobject_length(categories) / view.pointerSize;
        for (uint64_t i = 0; i < categoryCount; ++i) {
            uint64_t category = 0;
            view.pointerIn(categories, zvcrash_async_mobject_base_address(categories) + i * view.pointerSize, &category);
            error = zvcrash_async_objc_parse_objc2_category(image, cache, category, callback, context);
            if (error != ZVCRASH_OK && error != ZVCRASH_ERR_NOTFOUND) return error;
        }
    }
    cache->skip_objc1 = true;
    return ZVCRASH_OK;
}

// Reports the methods of one version-1 method list. Safe at crash time.
static zvcrash_error_t parseObjC1MethodList(const zvcrash_async_macho* image, const ImageView& view, bool isClassMethod,
                                            zvcrash_async_macho_string* className, uint64_t list,
                                            zvcrash_async_objc_found_method_cb callback, void* context) {
    uint32_t count;
    if (zvcrash_async_task_read_uint32(view.task, view.byteorder, list, 4, &count) != ZVCRASH_OK) return ZVCRASH_ERR_BADDATA;
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t entry[12];
        if (zvcrash_async_task_memcpy(view.task, list + 8 + i * 12, 0, entry, sizeof(entry)) != ZVCRASH_OK) return ZVCRASH_ERR_BADDATA;
        zvcrash_async_macho_string name;
        zvcrash_error_t error = zvcrash_async_macho_string_init(&name, image, view.u32(entry));
        if (error != ZVCRASH_OK) return error;
        callback(isClassMethod, className, &name, view.u32(entry + 8), context);
        zvcrash_async_macho_string_free(&name);
    }
    return ZVCRASH_OK;
}

// The methods of a version-1 class record; isa receives its metaclass word. Safe at crash time.
static zvcrash_error_t zvcrash_async_objc_parse_objc1_class(const zvcrash_async_macho* image, uint64_t cls, bool isMetaclass, uint32_t* isa,
                                                            zvcrash_async_objc_found_method_cb callback, void* context) {
    const ImageView view(image);
    uint8_t record[kObjC1ClassSize];
    if (zvcrash_async_task_memcpy(view.task, cls, 0, record, sizeof(record)) != ZVCRASH_OK) return ZVCRASH_ERR_BADDATA;
    *isa = view.u32(record);
    const uint32_t info = view.u32(record + 16);
    const uint32_t methodLists = view.u32(record + 28);

    zvcrash_async_macho_string className;
    zvcrash_error_t error = zvcrash_async_macho_string_init(&className, image, view.u32(record + 8));
    if (error != ZVCRASH_OK) return error;
    if (methodLists == 0) {
        // No methods.
    } else if ((info & kObjC1NoMethodArray) != 0) {
        error = parseObjC1MethodList(image, view, isMetaclass, &className, methodLists, callback, context);
    } else {
        for (uint64_t i = 0; error == ZVCRASH_OK; ++i) {
            uint32_t list;
            if (zvcrash_async_task_read_uint32(view.task, view.byteorder, methodLists + i * 4, 0, &list) != ZVCRASH_OK) {
                error = ZVCRASH_ERR_BADDATA;
                break;
            }
            if (list == 0 || list == kObjC1EndOfMethodLists) break;
            error = parseObjC1MethodList(image, view, isMetaclass, &className, list, callback, context);
        }
    }
    zvcrash_async_macho_string_free(&className);
    return error;
}

// ZVCRASH_ERR_NOTFOUND when the image has no version-1 metadata. Safe at crash time.
static zvcrash_error_t parseObjC1(const zvcrash_async_macho* image, zvcrash_async_objc_found_method_cb callback, void* context) {
    const ImageView view(image);
    zvcrash_async_mobject modules;
    zvcrash_error_t error = zvcrash_async_macho_map_section(image, "__OBJC", "__module_info", &modules);
    if (error != ZVCRASH_OK) return error;
    const uint64_t moduleCount = zvcrash_async_mobject_length(&modules) / kObjC1ModuleSize;
    if (moduleCount == 0) error = ZVCRASH_ERR_NOTFOUND;
    for (uint64_t i = 0; i < moduleCount && error == ZVCRASH_OK; ++i) {
        uint32_t symtab;
        zvcrash_async_mobject_read_uint32(&modules, view.byteorder, zvcrash_async_mobject_base_address(&modules), i * kObjC1ModuleSize + 12,
                                          &symtab);
        uint8_t header[12];
        if (zvcrash_async_task_memcpy(view.task, symtab, 0, header, sizeof(header)) != ZVCRASH_OK) {
            error = ZVCRASH_ERR_BADDATA;
            break;
        }
        const uint16_t classCount = view.u16(header + 8);
        for (uint64_t j = 0; j < classCount && error == ZVCRASH_OK; ++j) {
            uint32_t cls;
            if (zvcrash_async_task_read_uint32(view.task, view.byteorder, symtab + 12 + j * 4, 0, &cls) != ZVCRASH_OK) {
                error = ZVCRASH_ERR_BADDATA;
                break;
            }
            uint32_t isa;
            error = zvcrash_async_objc_parse_objc1_class(image, cls, false, &isa, callback, context);
            if (error != ZVCRASH_OK) break;
            uint64_t metaclass = isa;
            if ((metaclass & 1) != 0) metaclass &= ~uint64_t{7};
            uint32_t metaIsa;
            error = zvcrash_async_objc_parse_objc1_class(image, metaclass, true, &metaIsa, callback, context);
        }
    }
    zvcrash_async_mobject_free(&modules);
    return error;
}

zvcrash_error_t zvcrash_async_objc_parse(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache,
                                         zvcrash_async_objc_found_method_cb callback, void* context) {
    if (!cache->skip_objc1) {
        zvcrash_error_t error = parseObjC1(image, callback, context);
        if (error != ZVCRASH_ERR_NOTFOUND) return error;
    }
    return zvcrash_async_objc_parse_objc2(image, cache, callback, context);
}

namespace {

struct MethodSearch {
    uint64_t pc;
    uint64_t best;
    bool handed;
    zvcrash_async_objc_found_method_cb callback;
    void* context;
};

void keepHighestBelow(bool, zvcrash_async_macho_string*, zvcrash_async_macho_string*, uint64_t imp, void* context) {
    auto* search = static_cast<MethodSearch*>(context);
    if (imp <= search->pc && imp > search->best) search->best = imp;
}

}  // namespace

// Hands the first method at the address kept by the first pass to the caller. Safe at crash time.
static void zvcrash_async_objc_method_match_cb(bool isClassMethod, zvcrash_async_macho_string* className,
                                               zvcrash_async_macho_string* methodName, uint64_t imp, void* context) {
    auto* search = static_cast<MethodSearch*>(context);
    if (search->handed || imp != search->best) return;
    search->handed = true;
    search->callback(isClassMethod, className, methodName, imp, search->context);
}

zvcrash_error_t zvcrash_async_objc_find_method(const zvcrash_async_macho* image, zvcrash_async_objc_cache* cache, uint64_t pc,
                                               zvcrash_async_objc_found_method_cb callback, void* context) {
    MethodSearch search{pc, 0, false, callback, context};
    zvcrash_error_t error = zvcrash_async_objc_parse(image, cache, keepHighestBelow, &search);
    if (error != ZVCRASH_OK) return error;
    if (search.best == 0) return ZVCRASH_ERR_NOTFOUND;
    error = zvcrash_async_objc_parse(image, cache, zvcrash_async_objc_method_match_cb, &search);
    if (error != ZVCRASH_OK) return error;
    return search.handed ? ZVCRASH_OK : ZVCRASH_ERR_NOTFOUND;
}
