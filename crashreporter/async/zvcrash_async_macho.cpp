#include "crashreporter/async/zvcrash_async_macho.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kSegmentCommandSize32 = sizeof(zvcrash_async_macho_segment_command);
constexpr size_t kSegmentCommandSize64 = sizeof(zvcrash_async_macho_segment_command_64);
constexpr size_t kSectionSize32 = sizeof(zvcrash_async_macho_section);
constexpr size_t kSectionSize64 = sizeof(zvcrash_async_macho_section_64);

uint32_t segmentCommandType(const zvcrash_async_macho* image) {
    return image->m64 ? ZVCRASH_MACHO_LC_SEGMENT_64 : ZVCRASH_MACHO_LC_SEGMENT;
}
size_t segmentCommandSize(const zvcrash_async_macho* image) { return image->m64 ? kSegmentCommandSize64 : kSegmentCommandSize32; }
size_t nlistSize(const zvcrash_async_macho* image) {
    return image->m64 ? sizeof(zvcrash_async_macho_nlist_64) : sizeof(zvcrash_async_macho_nlist);
}

bool insideCommands(const zvcrash_async_macho* image, const void* pointer, size_t length) {
    return zvcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<uintptr_t>(pointer), 0, length);
}

// The fields of a segment command of either width, in host order.
struct SegmentFields {
    uint64_t vmaddr;
    uint64_t vmsize;
    uint64_t fileoff;
    uint64_t filesize;
    uint32_t nsects;
};

// The caller has checked that the whole command lies in the mapping.
SegmentFields readSegment(const zvcrash_async_macho* image, const void* command) {
    const zvcrash_async_byteorder* order = image->byteorder;
    SegmentFields fields{};
    if (image->m64) {
        zvcrash_async_macho_segment_command_64 segment;
        zvcrash_async_memcpy(&segment, command, sizeof(segment));
        fields = {order->swap64(segment.vmaddr), order->swap64(segment.vmsize), order->swap64(segment.fileoff),
                  order->swap64(segment.filesize), order->swap32(segment.nsects)};
    } else {
        zvcrash_async_macho_segment_command segment;
        zvcrash_async_memcpy(&segment, command, sizeof(segment));
        fields = {order->swap32(segment.vmaddr), order->swap32(segment.vmsize), order->swap32(segment.fileoff),
                  order->swap32(segment.filesize), order->swap32(segment.nsects)};
    }
    return fields;
}

// The segment name sits at byte 8 in both widths.
bool segmentNamed(const void* command, const char* segname) {
    return zvcrash_async_strncmp(static_cast<const char*>(command) + 8, segname, 16) == 0;
}

void releaseInit(zvcrash_async_macho* image) {
    std::free(image->name);
    image->name = nullptr;
}

}  // namespace

zvcrash_error_t zvcrash_async_macho_init(zvcrash_async_macho* image, zvcrash_async_task_t task, const char* path, uint64_t header_address) {
    zvcrash_async_memset(image, 0, sizeof(*image));
    image->task = task;
    image->header_addr = header_address;
    image->name = strdup(path != nullptr ? path : "");
    if (image->name == nullptr) return ZVCRASH_ERR_NOMEM;

    if (zvcrash_async_task_memcpy(task, header_address, 0, &image->header, sizeof(image->header)) != ZVCRASH_OK) {
        releaseInit(image);
        return ZVCRASH_ERR_INTERNAL;
    }
    switch (image->header.magic) {
        case ZVCRASH_MACHO_MAGIC_32:
            image->byteorder = zvcrash_async_byteorder_direct();
            image->m64 = false;
            image->header_size = 28;
            break;
        case ZVCRASH_MACHO_CIGAM_32:
            image->byteorder = zvcrash_async_byteorder_swapped();
            image->m64 = false;
            image->header_size = 28;
            break;
        case ZVCRASH_MACHO_MAGIC_64:
            image->byteorder = zvcrash_async_byteorder_direct();
            image->m64 = true;
            image->header_size = 32;
            break;
        case ZVCRASH_MACHO_CIGAM_64:
            image->byteorder = zvcrash_async_byteorder_swapped();
            image->m64 = true;
            image->header_size = 32;
            break;
        default:
            releaseInit(image);
            return ZVCRASH_ERR_INVAL;
    }
    image->ncmds = image->byteorder->swap32(image->header.ncmds);
    const uint32_t sizeofcmds = image->byteorder->swap32(image->header.sizeofcmds);

    uint64_t commandsAddress;
    if (!zvcrash_async_address_apply_offset(header_address, image->header_size, &commandsAddress)) {
        releaseInit(image);
        return ZVCRASH_ERR_INVAL;
    }
    zvcrash_error_t error = zvcrash_async_mobject_init(&image->load_cmds, task, commandsAddress, sizeofcmds, true);
    if (error != ZVCRASH_OK) {
        releaseInit(image);
        return error;
    }

    const uint32_t segmentType = segmentCommandType(image);
    for (const void* command = zvcrash_async_macho_next_command_type(image, nullptr, segmentType); command != nullptr;
         command = zvcrash_async_macho_next_command_type(image, command, segmentType)) {
        if (!insideCommands(image, command, segmentCommandSize(image))) break;
        if (!segmentNamed(command, "__TEXT")) continue;
        const SegmentFields text = readSegment(image, command);
        image->text_vmaddr = text.vmaddr;
        image->text_size = text.vmsize;
        image->vmaddr_slide = static_cast<int64_t>(header_address - text.vmaddr);
        return ZVCRASH_OK;
    }
    zvcrash_async_mobject_free(&image->load_cmds);
    releaseInit(image);
    return ZVCRASH_ERR_INVAL;
}

void zvcrash_async_macho_free(zvcrash_async_macho* image) {
    zvcrash_async_mobject_free(&image->load_cmds);
    std::free(image->name);
    image->name = nullptr;
}

const zvcrash_async_byteorder* zvcrash_async_macho_byteorder(const zvcrash_async_macho* image) { return image->byteorder; }
const zvcrash_async_macho_header_t* zvcrash_async_macho_header(const zvcrash_async_macho* image) { return &image->header; }
uint32_t zvcrash_async_macho_header_size(const zvcrash_async_macho* image) { return image->header_size; }
uint32_t zvcrash_async_macho_swap32_field_a(const zvcrash_async_macho* image) { return image->byteorder->swap32(image->header.cputype); }
uint32_t zvcrash_async_macho_swap32_field_b(const zvcrash_async_macho* image) { return image->byteorder->swap32(image->header.cpusubtype); }

bool zvcrash_async_macho_contains_address(const zvcrash_async_macho* image, uint64_t address) {
    return address >= image->header_addr && address - image->header_addr < image->text_size;
}

const void* zvcrash_async_macho_next_command(const zvcrash_async_macho* image, const void* previous) {
    const zvcrash_async_mobject* commands = &image->load_cmds;
    uintptr_t next;
    if (previous == nullptr) {
        if (commands->length < sizeof(zvcrash_async_macho_load_command)) return nullptr;
        next = commands->address;
    } else {
        // previous was returned by this walk, so its header and size are inside the mapping.
        zvcrash_async_macho_load_command header;
        zvcrash_async_memcpy(&header, previous, sizeof(header));
        const uint32_t size = image->byteorder->swap32(header.cmdsize);
        if (__builtin_add_overflow(reinterpret_cast<uintptr_t>(previous), static_cast<uintptr_t>(size), &next)) return nullptr;
    }
    if (next >= commands->address + commands->length) return nullptr;
    if (!zvcrash_async_mobject_verify_local_pointer(commands, next, 0, sizeof(zvcrash_async_macho_load_command))) return nullptr;
    zvcrash_async_macho_load_command header;
    zvcrash_async_memcpy(&header, reinterpret_cast<const void*>(next), sizeof(header));
    const uint32_t size = image->byteorder->swap32(header.cmdsize);
    if (size < sizeof(zvcrash_async_macho_load_command)) return nullptr;
    if (!zvcrash_async_mobject_verify_local_pointer(commands, next, 0, size)) return nullptr;
    return reinterpret_cast<const void*>(next);
}

const void* zvcrash_async_macho_next_command_type(const zvcrash_async_macho* image, const void* previous, uint32_t type) {
    for (const void* command = zvcrash_async_macho_next_command(image, previous); command != nullptr;
         command = zvcrash_async_macho_next_command(image, command)) {
        zvcrash_async_macho_load_command header;
        zvcrash_async_memcpy(&header, command, sizeof(header));
        if (image->byteorder->swap32(header.cmd) == type) return command;
    }
    return nullptr;
}

const void* zvcrash_async_macho_find_command(const zvcrash_async_macho* image, uint32_t type) {
    return zvcrash_async_macho_next_command_type(image, nullptr, type);
}

const void* zvcrash_async_macho_find_segment_cmd(const zvcrash_async_macho* image, const char* segname) {
    const uint32_t type = segmentCommandType(image);
    for (const void* command = zvcrash_async_macho_next_command_type(image, nullptr, type); command != nullptr;
         command = zvcrash_async_macho_next_command_type(image, command, type)) {
        if (!insideCommands(image, command, segmentCommandSize(image))) return nullptr;
        if (segmentNamed(command, segname)) return command;
    }
    return nullptr;
}

zvcrash_error_t zvcrash_async_macho_map_segment(const zvcrash_async_macho* image, const char* segname,
                                                zvcrash_async_macho_segment* segment) {
    const void* command = zvcrash_async_macho_find_segment_cmd(image, segname);
    if (command == nullptr) return ZVCRASH_ERR_NOTFOUND;
    const SegmentFields fields = readSegment(image, command);
    zvcrash_error_t error = zvcrash_async_mobject_init(&segment->mobj, image->task,
                                                       fields.vmaddr + static_cast<uint64_t>(image->vmaddr_slide), fields.vmsize, false);
    if (error != ZVCRASH_OK) return error;
    segment->fileoff = fields.fileoff;
    segment->filesize = fields.filesize;
    return ZVCRASH_OK;
}

void zvcrash_async_macho_mapped_segment_free(zvcrash_async_macho_segment* segment) { zvcrash_async_mobject_free(&segment->mobj); }

zvcrash_error_t zvcrash_async_macho_map_section(const zvcrash_async_macho* image, const char* segname, const char* sectname,
                                                zvcrash_async_mobject* mobj) {
    const void* command = zvcrash_async_macho_find_segment_cmd(image, segname);
    if (command == nullptr) return ZVCRASH_ERR_NOTFOUND;
    const SegmentFields fields = readSegment(image, command);
    const size_t sectionSize = image->m64 ? kSectionSize64 : kSectionSize32;
    const uintptr_t first = reinterpret_cast<uintptr_t>(command) + segmentCommandSize(image);
    for (uint32_t i = 0; i < fields.nsects; ++i) {
        const int64_t offset = static_cast<int64_t>(i) * static_cast<int64_t>(sectionSize);
        if (!zvcrash_async_mobject_verify_local_pointer(&image->load_cmds, first, offset, sectionSize)) return ZVCRASH_ERR_INVAL;
        const char* record = reinterpret_cast<const char*>(first + static_cast<uintptr_t>(offset));
        if (zvcrash_async_strncmp(record, sectname, 16) != 0) continue;
        uint64_t address;
        uint64_t size;
        if (image->m64) {
            zvcrash_async_macho_section_64 section;
            zvcrash_async_memcpy(&section, record, sizeof(section));
            address = image->byteorder->swap64(section.addr);
            size = image->byteorder->swap64(section.size);
        } else {
            zvcrash_async_macho_section section;
            zvcrash_async_memcpy(&section, record, sizeof(section));
            address = image->byteorder->swap32(section.addr);
            size = image->byteorder->swap32(section.size);
        }
        return zvcrash_async_mobject_init(mobj, image->task, address + static_cast<uint64_t>(image->vmaddr_slide), size, true);
    }
    return ZVCRASH_ERR_NOTFOUND;
}

zvcrash_error_t zvcrash_async_macho_symtab_reader_init(zvcrash_async_macho_symtab_reader* reader, const zvcrash_async_macho* image) {
    zvcrash_async_memset(reader, 0, sizeof(*reader));
    reader->image = image;
    const zvcrash_async_byteorder* order = image->byteorder;

    const void* symtabCommand = zvcrash_async_macho_find_command(image, ZVCRASH_MACHO_LC_SYMTAB);
    if (symtabCommand == nullptr) return ZVCRASH_ERR_NOTFOUND;
    if (!insideCommands(image, symtabCommand, sizeof(zvcrash_async_macho_symtab_command))) return ZVCRASH_ERR_INVAL;
    zvcrash_async_macho_symtab_command symtab;
    zvcrash_async_memcpy(&symtab, symtabCommand, sizeof(symtab));

    const void* dysymtabCommand = zvcrash_async_macho_find_command(image, ZVCRASH_MACHO_LC_DYSYMTAB);
    zvcrash_async_macho_dysymtab_command dysymtab{};
    if (dysymtabCommand != nullptr) {
        if (!insideCommands(image, dysymtabCommand, sizeof(dysymtab))) return ZVCRASH_ERR_INVAL;
        zvcrash_async_memcpy(&dysymtab, dysymtabCommand, sizeof(dysymtab));
    }

    if (zvcrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit) != ZVCRASH_OK) return ZVCRASH_ERR_INTERNAL;
    const zvcrash_async_mobject* linkedit = &reader->linkedit.mobj;
    const uint64_t entrySize = nlistSize(image);
    const uint32_t nsyms = order->swap32(symtab.nsyms);
    const uint64_t symbolsAddress = linkedit->task_address + (order->swap32(symtab.symoff) - reader->linkedit.fileoff);
    const uint64_t stringsAddress = linkedit->task_address + (order->swap32(symtab.stroff) - reader->linkedit.fileoff);
    const uint32_t stringsSize = order->swap32(symtab.strsize);
    reader->symtab = zvcrash_async_mobject_remap_address(linkedit, symbolsAddress, 0, nsyms * entrySize);
    reader->string_table = static_cast<const char*>(zvcrash_async_mobject_remap_address(linkedit, stringsAddress, 0, stringsSize));
    if (reader->symtab == nullptr || reader->string_table == nullptr) {
        zvcrash_async_macho_mapped_segment_free(&reader->linkedit);
        return ZVCRASH_ERR_INTERNAL;
    }
    reader->nsyms = nsyms;
    reader->string_table_size = stringsSize;

    if (dysymtabCommand != nullptr) {
        const uint64_t firstGlobal = order->swap32(dysymtab.iextdefsym);
        const uint64_t globals = order->swap32(dysymtab.nextdefsym);
        const uint64_t firstLocal = order->swap32(dysymtab.ilocalsym);
        const uint64_t locals = order->swap32(dysymtab.nlocalsym);
        if (nsyms < firstGlobal + globals || nsyms < firstLocal + locals) {
            zvcrash_async_macho_mapped_segment_free(&reader->linkedit);
            return ZVCRASH_ERR_INVAL;
        }
        const auto* base = static_cast<const uint8_t*>(reader->symtab);
        reader->symtab_global = base + firstGlobal * entrySize;
        reader->nsyms_global = static_cast<uint32_t>(globals);
        reader->symtab_local = base + firstLocal * entrySize;
        reader->nsyms_local = static_cast<uint32_t>(locals);
    }
    return ZVCRASH_OK;
}

zvcrash_async_macho_symtab_entry zvcrash_async_macho_symtab_reader_read(const zvcrash_async_macho_symtab_reader* reader, const void* table,
                                                                        uint32_t index) {
    const zvcrash_async_byteorder* order = reader->image->byteorder;
    zvcrash_async_macho_symtab_entry entry{};
    if (reader->image->m64) {
        zvcrash_async_macho_nlist_64 raw;
        zvcrash_async_memcpy(&raw, static_cast<const uint8_t*>(table) + static_cast<size_t>(index) * sizeof(raw), sizeof(raw));
        entry = {order->swap32(raw.n_strx), raw.n_type, raw.n_sect, order->swap16(raw.n_desc), order->swap64(raw.n_value), 0};
    } else {
        zvcrash_async_macho_nlist raw;
        zvcrash_async_memcpy(&raw, static_cast<const uint8_t*>(table) + static_cast<size_t>(index) * sizeof(raw), sizeof(raw));
        entry = {order->swap32(raw.n_strx), raw.n_type, raw.n_sect, order->swap16(raw.n_desc), order->swap32(raw.n_value), 0};
    }
    entry.normalized_value = entry.n_value;
    if ((entry.n_desc & ZVCRASH_MACHO_N_ARM_THUMB_DEF) != 0) entry.normalized_value |= 1;
    return entry;
}

const char* zvcrash_async_macho_symtab_reader_symbol_name(const zvcrash_async_macho_symtab_reader* reader, uint32_t n_strx) {
    if (n_strx >= reader->string_table_size) return nullptr;
    for (size_t i = n_strx; i < reader->string_table_size; ++i) {
        if (reader->string_table[i] == '\0') return reader->string_table + n_strx;
    }
    return nullptr;
}

void zvcrash_async_macho_symtab_reader_free(zvcrash_async_macho_symtab_reader* reader) {
    zvcrash_async_macho_mapped_segment_free(&reader->linkedit);
}

namespace {

bool definedInSection(const zvcrash_async_macho_symtab_entry& entry) {
    return (entry.n_type & (ZVCRASH_MACHO_N_STAB | ZVCRASH_MACHO_N_TYPE)) == ZVCRASH_MACHO_N_SECT;
}

struct BestSymbol {
    bool found = false;
    zvcrash_async_macho_symtab_entry entry{};
};

void scanForPc(const zvcrash_async_macho_symtab_reader* reader, const void* table, uint32_t count, uint64_t search, BestSymbol* best) {
    for (uint32_t i = 0; i < count; ++i) {
        const zvcrash_async_macho_symtab_entry entry = zvcrash_async_macho_symtab_reader_read(reader, table, i);
        if (!definedInSection(entry) || entry.n_value > search) continue;
        // Strictly greater: the first of equal values stays.
        if (!best->found || entry.n_value > best->entry.n_value) {
            best->found = true;
            best->entry = entry;
        }
    }
}

}  // namespace

zvcrash_error_t zvcrash_async_macho_find_symbol_by_pc(const zvcrash_async_macho* image, uint64_t pc,
                                                      zvcrash_async_macho_found_symbol_cb callback, void* context) {
    zvcrash_async_macho_symtab_reader reader;
    zvcrash_error_t error = zvcrash_async_macho_symtab_reader_init(&reader, image);
    if (error != ZVCRASH_OK) return error;
    const uint64_t search = pc - static_cast<uint64_t>(image->vmaddr_slide);
    BestSymbol best;
    if (reader.nsyms_global > 0 && reader.nsyms_local > 0) {
        scanForPc(&reader, reader.symtab_global, reader.nsyms_global, search, &best);
        scanForPc(&reader, reader.symtab_local, reader.nsyms_local, search, &best);
    } else {
        scanForPc(&reader, reader.symtab, reader.nsyms, search, &best);
    }
    if (!best.found) {
        zvcrash_async_macho_symtab_reader_free(&reader);
        return ZVCRASH_ERR_NOTFOUND;
    }
    const char* name = zvcrash_async_macho_symtab_reader_symbol_name(&reader, best.entry.n_strx);
    if (name == nullptr) {
        zvcrash_async_macho_symtab_reader_free(&reader);
        return ZVCRASH_ERR_INVAL;
    }
    callback(best.entry.normalized_value + static_cast<uint64_t>(image->vmaddr_slide), name, context);
    zvcrash_async_macho_symtab_reader_free(&reader);
    return ZVCRASH_OK;
}

zvcrash_error_t zvcrash_async_macho_find_symbol_by_name(const zvcrash_async_macho* image, const char* name, uint64_t* address) {
    zvcrash_async_macho_symtab_reader reader;
    zvcrash_error_t error = zvcrash_async_macho_symtab_reader_init(&reader, image);
    if (error != ZVCRASH_OK) return error;
    for (uint32_t i = 0; i < reader.nsyms; ++i) {
        const zvcrash_async_macho_symtab_entry entry = zvcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
        if (!definedInSection(entry)) continue;
        const char* candidate = zvcrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
        if (candidate == nullptr || zvcrash_async_strcmp(candidate, name) != 0) continue;
        *address = entry.normalized_value + static_cast<uint64_t>(image->vmaddr_slide);
        zvcrash_async_macho_symtab_reader_free(&reader);
        return ZVCRASH_OK;
    }
    zvcrash_async_macho_symtab_reader_free(&reader);
    return ZVCRASH_ERR_NOTFOUND;
}

zvcrash_error_t zvcrash_async_macho_string_init(zvcrash_async_macho_string* string, const zvcrash_async_macho* image, uint64_t address) {
    zvcrash_async_memset(string, 0, sizeof(*string));
    string->image = image;
    string->address = address;
    string->mapped = false;
    return ZVCRASH_OK;
}

namespace {

constexpr uint64_t kStringPage = 4096;

// Maps one page first and one page more each time the NUL is not yet inside the mapping.
zvcrash_error_t mapString(zvcrash_async_macho_string* string) {
    if (string->mapped) return ZVCRASH_OK;
    uint64_t pages = 1;
    zvcrash_error_t error = zvcrash_async_mobject_init(&string->mobj, string->image->task, string->address, kStringPage, false);
    if (error != ZVCRASH_OK) return error;
    uint64_t index = 0;
    for (;;) {
        const char* byte =
            static_cast<const char*>(zvcrash_async_mobject_remap_address(&string->mobj, string->address, static_cast<int64_t>(index), 1));
        if (byte != nullptr) {
            if (*byte == '\0') break;
            ++index;
            continue;
        }
        const uint64_t covered = string->mobj.length;
        zvcrash_async_mobject_free(&string->mobj);
        ++pages;
        uint64_t length;
        if (__builtin_mul_overflow(pages, kStringPage, &length)) return ZVCRASH_ERR_INVAL;
        error = zvcrash_async_mobject_init(&string->mobj, string->image->task, string->address, length, false);
        if (error != ZVCRASH_OK) return ZVCRASH_ERR_INVAL;
        if (string->mobj.length <= covered) {
            zvcrash_async_mobject_free(&string->mobj);
            return ZVCRASH_ERR_INVAL;
        }
    }
    string->length = index;
    string->mapped = true;
    return ZVCRASH_OK;
}

}  // namespace

zvcrash_error_t zvcrash_async_macho_string_get_length(zvcrash_async_macho_string* string, size_t* length) {
    zvcrash_error_t error = mapString(string);
    if (error != ZVCRASH_OK) return error;
    *length = string->length;
    return ZVCRASH_OK;
}

zvcrash_error_t zvcrash_async_macho_string_get_pointer(zvcrash_async_macho_string* string, const char** pointer) {
    zvcrash_error_t error = mapString(string);
    if (error != ZVCRASH_OK) return error;
    const void* local = zvcrash_async_mobject_remap_address(&string->mobj, string->address, 0, string->length + 1);
    if (local == nullptr) return ZVCRASH_ERR_ACCESS;
    *pointer = static_cast<const char*>(local);
    return ZVCRASH_OK;
}

void zvcrash_async_macho_string_free(zvcrash_async_macho_string* string) {
    if (string->mapped) zvcrash_async_mobject_free(&string->mobj);
    string->mapped = false;
}
