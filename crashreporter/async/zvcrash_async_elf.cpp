#include "crashreporter/async/zvcrash_async_elf.h"

#include <elf.h>
#include <link.h>

#include <cstdlib>
#include <cstring>

namespace {

using Ehdr = ElfW(Ehdr);
using Phdr = ElfW(Phdr);
using Dyn = ElfW(Dyn);
using Sym = ElfW(Sym);

constexpr unsigned char kHostClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kHostData = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
// More program headers than any real image has; a bound for damaged ones.
constexpr uint32_t kMaxPhdrs = 1024;
constexpr uint32_t kMaxDynamic = 4096;
constexpr uint64_t kMaxGnuHashBuckets = 1u << 24;

template <typename T>
bool readAt(zvcrash_async_task_t task, uint64_t address, T* out) {
    return zvcrash_async_task_memcpy(task, address, 0, out, sizeof(T)) == ZVCRASH_OK;
}

bool endOf(uint64_t start, uint64_t length, uint64_t* end) { return !__builtin_add_overflow(start, length, end); }

// A pointer from the dynamic section: the loader rewrites most of them to run-time addresses, but
// not those in read-only dynamic sections (the vDSO's, for one); take whichever lies in the image.
uint64_t dynamicPointer(const zvcrash_async_elf* elf, uint64_t value) {
    if (value == 0) return 0;
    if (value >= elf->mapped_start && value < elf->mapped_end) return value;
    const uint64_t moved = value + elf->load_bias;
    if (moved >= elf->mapped_start && moved < elf->mapped_end) return moved;
    return 0;
}

// A DWARF exception-header pointer as .eh_frame_hdr uses it: absolute, pc-relative or relative
// to the header, in one of the fixed sizes.
bool decodeHeaderPointer(zvcrash_async_task_t task, uint8_t encoding, uint64_t field, uint64_t hdr, uint64_t* out) {
    if (encoding == 0xff) return false;
    uint64_t value = 0;
    switch (encoding & 0x0f) {
        case 0x00: {
            uintptr_t v;
            if (!readAt(task, field, &v)) return false;
            value = v;
            break;
        }
        case 0x02: {
            uint16_t v;
            if (!readAt(task, field, &v)) return false;
            value = v;
            break;
        }
        case 0x03: {
            uint32_t v;
            if (!readAt(task, field, &v)) return false;
            value = v;
            break;
        }
        case 0x04: {
            uint64_t v;
            if (!readAt(task, field, &v)) return false;
            value = v;
            break;
        }
        case 0x0a: {
            int16_t v;
            if (!readAt(task, field, &v)) return false;
            value = static_cast<uint64_t>(static_cast<int64_t>(v));
            break;
        }
        case 0x0b: {
            int32_t v;
            if (!readAt(task, field, &v)) return false;
            value = static_cast<uint64_t>(static_cast<int64_t>(v));
            break;
        }
        case 0x0c: {
            int64_t v;
            if (!readAt(task, field, &v)) return false;
            value = static_cast<uint64_t>(v);
            break;
        }
        default:
            return false;
    }
    switch (encoding & 0x70) {
        case 0x00:
            break;
        case 0x10:
            value += field;
            break;
        case 0x30:
            value += hdr;
            break;
        default:
            return false;
    }
    if ((encoding & 0x80) != 0) return false;
    *out = value;
    return true;
}

// The number of .dynsym entries from the GNU hash table: one past the highest index any chain
// reaches (the table leaves out the symbols below symoffset, which are counted too).
bool gnuHashCount(zvcrash_async_task_t task, uint64_t table, uint32_t* count) {
    uint32_t header[4];
    if (zvcrash_async_task_memcpy(task, table, 0, header, sizeof(header)) != ZVCRASH_OK) return false;
    const uint32_t nbuckets = header[0];
    const uint32_t symoffset = header[1];
    const uint32_t bloomSize = header[2];
    if (nbuckets == 0 || nbuckets > kMaxGnuHashBuckets || bloomSize > kMaxGnuHashBuckets) return false;
    const uint64_t buckets = table + sizeof(header) + static_cast<uint64_t>(bloomSize) * sizeof(uintptr_t);
    zvcrash_async_mobject mobj;
    if (zvcrash_async_mobject_init(&mobj, task, buckets, static_cast<uint64_t>(nbuckets) * 4, true) != ZVCRASH_OK) return false;
    uint32_t highest = 0;
    for (uint32_t i = 0; i < nbuckets; ++i) {
        uint32_t bucket = 0;
        zvcrash_async_mobject_read_uint32(&mobj, zvcrash_async_byteorder_direct(), buckets, static_cast<int64_t>(i) * 4, &bucket);
        if (bucket > highest) highest = bucket;
    }
    zvcrash_async_mobject_free(&mobj);
    if (highest < symoffset) {
        *count = symoffset;
        return true;
    }
    const uint64_t chains = buckets + static_cast<uint64_t>(nbuckets) * 4;
    // Follow the last chain to its end marker.
    for (uint64_t index = highest; index - highest < kMaxGnuHashBuckets; ++index) {
        uint32_t chain;
        if (!readAt(task, chains + (index - symoffset) * 4, &chain)) return false;
        if ((chain & 1) != 0) {
            *count = static_cast<uint32_t>(index + 1);
            return true;
        }
    }
    return false;
}

void readDynamic(zvcrash_async_elf* elf, uint64_t address, uint64_t size) {
    uint64_t symtab = 0, strtab = 0, strsz = 0, syment = sizeof(Sym), hash = 0, gnuHash = 0;
    const uint64_t entries = size / sizeof(Dyn);
    for (uint64_t i = 0; i < entries && i < kMaxDynamic; ++i) {
        Dyn dyn;
        if (!readAt(elf->task, address + i * sizeof(Dyn), &dyn)) break;
        if (dyn.d_tag == DT_NULL) break;
        switch (dyn.d_tag) {
            case DT_SYMTAB:
                symtab = dyn.d_un.d_ptr;
                break;
            case DT_STRTAB:
                strtab = dyn.d_un.d_ptr;
                break;
            case DT_STRSZ:
                strsz = dyn.d_un.d_val;
                break;
            case DT_SYMENT:
                syment = dyn.d_un.d_val;
                break;
            case DT_HASH:
                hash = dyn.d_un.d_ptr;
                break;
            case DT_GNU_HASH:
                gnuHash = dyn.d_un.d_ptr;
                break;
            default:
                break;
        }
    }
    symtab = dynamicPointer(elf, symtab);
    strtab = dynamicPointer(elf, strtab);
    if (symtab == 0 || strtab == 0 || syment != sizeof(Sym)) return;
    uint32_t count = 0;
    bool counted = false;
    if (gnuHash != 0 && (gnuHash = dynamicPointer(elf, gnuHash)) != 0) counted = gnuHashCount(elf->task, gnuHash, &count);
    if (!counted && hash != 0 && (hash = dynamicPointer(elf, hash)) != 0) {
        uint32_t header[2] = {0, 0};
        counted = zvcrash_async_task_memcpy(elf->task, hash, 0, header, sizeof(header)) == ZVCRASH_OK;
        count = header[1];
    }
    if (!counted || count == 0) return;
    elf->dynsym = symtab;
    elf->dynsym_count = count;
    elf->dynstr = strtab;
    elf->dynstr_size = strsz;
}

void readNotes(zvcrash_async_elf* elf, uint64_t address, uint64_t size, uint64_t alignment) {
    const uint64_t align = alignment == 8 ? 8 : 4;
    uint64_t offset = 0;
    while (offset + 12 <= size) {
        uint32_t header[3];
        if (zvcrash_async_task_memcpy(elf->task, address + offset, 0, header, sizeof(header)) != ZVCRASH_OK) return;
        const uint64_t namesz = header[0], descsz = header[1], type = header[2];
        const uint64_t nameAt = offset + 12;
        const uint64_t descAt = (nameAt + namesz + align - 1) & ~(align - 1);
        const uint64_t next = (descAt + descsz + align - 1) & ~(align - 1);
        if (descAt + descsz > size || next <= offset) return;
        char name[4];
        if (type == NT_GNU_BUILD_ID && namesz == 4 && zvcrash_async_task_memcpy(elf->task, address + nameAt, 0, name, 4) == ZVCRASH_OK &&
            std::memcmp(name, "GNU", 4) == 0 && descsz > 0) {
            const uint64_t length = descsz < ZVCRASH_ELF_BUILD_ID_MAX ? descsz : ZVCRASH_ELF_BUILD_ID_MAX;
            if (zvcrash_async_task_memcpy(elf->task, address + descAt, 0, elf->build_id, length) == ZVCRASH_OK) {
                elf->build_id_size = static_cast<uint32_t>(length);
            }
            return;
        }
        offset = next;
    }
}

// Copies the tables the crash path reads, as the crash path would map them; a table that cannot
// be copied stays empty and is read from the task when it is needed.
void copyTables(zvcrash_async_elf* elf) {
    auto copy = [elf](zvcrash_async_mobject* out, uint64_t address, uint64_t length, bool require_full) {
        if (address == 0 || zvcrash_async_mobject_init(out, elf->task, address, length, require_full) != ZVCRASH_OK)
            zvcrash_async_memset(out, 0, sizeof(*out));
    };
    copy(&elf->eh_frame_hdr_copy, elf->eh_frame_hdr, elf->eh_frame_hdr_size, true);
    copy(&elf->eh_frame_copy, elf->eh_frame, elf->eh_frame_size, false);
    if (elf->dynstr_size != 0) {
        copy(&elf->dynsym_copy, elf->dynsym, static_cast<uint64_t>(elf->dynsym_count) * sizeof(Sym), false);
        copy(&elf->dynstr_copy, elf->dynstr, elf->dynstr_size, false);
    }
}

// A mapping that reads the held copy and owns none of it, so that freeing it unmaps nothing.
zvcrash_error_t viewOf(const zvcrash_async_mobject* copy, zvcrash_async_mobject* view) {
    *view = *copy;
    view->vm_address = 0;
    view->vm_length = 0;
    return ZVCRASH_OK;
}

}  // namespace

zvcrash_error_t zvcrash_async_elf_init(zvcrash_async_elf* elf, zvcrash_async_task_t task, const char* path, uint64_t header_address) {
    zvcrash_async_memset(elf, 0, sizeof(*elf));
    elf->task = task;
    elf->header_addr = header_address;

    Ehdr header;
    if (!readAt(task, header_address, &header)) return ZVCRASH_ERR_INTERNAL;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != kHostClass ||
        header.e_ident[EI_DATA] != kHostData || header.e_phentsize != sizeof(Phdr) || header.e_phnum == 0 || header.e_phnum > kMaxPhdrs) {
        return ZVCRASH_ERR_INVAL;
    }
    uint64_t phdrs;
    if (!endOf(header_address, header.e_phoff, &phdrs)) return ZVCRASH_ERR_INVAL;
    auto readPhdr = [&](uint32_t index, Phdr* out) { return readAt(task, phdrs + static_cast<uint64_t>(index) * sizeof(Phdr), out); };

    // The loads: where the header's link-time address went, and the extent.
    bool haveLoad = false;
    uint64_t textEnd = 0;
    for (uint32_t i = 0; i < header.e_phnum; ++i) {
        Phdr phdr;
        if (!readPhdr(i, &phdr)) return ZVCRASH_ERR_INVAL;
        if (phdr.p_type != PT_LOAD) continue;
        if (!haveLoad) {
            if (phdr.p_offset > phdr.p_vaddr) return ZVCRASH_ERR_INVAL;
            elf->load_bias = header_address - (phdr.p_vaddr - phdr.p_offset);
            elf->mapped_start = header_address;
            haveLoad = true;
        }
        uint64_t start = phdr.p_vaddr + elf->load_bias;
        uint64_t end;
        if (!endOf(start, phdr.p_memsz, &end)) return ZVCRASH_ERR_INVAL;
        if (start < elf->mapped_start) elf->mapped_start = start;
        if (end > elf->mapped_end) elf->mapped_end = end;
        if ((phdr.p_flags & PF_X) != 0 && end > textEnd) textEnd = end;
    }
    if (!haveLoad || textEnd <= header_address) return ZVCRASH_ERR_INVAL;
    elf->size = textEnd - header_address;
    elf->machine = header.e_machine;

    for (uint32_t i = 0; i < header.e_phnum; ++i) {
        Phdr phdr;
        if (!readPhdr(i, &phdr)) break;
        const uint64_t address = phdr.p_vaddr + elf->load_bias;
        switch (phdr.p_type) {
            case PT_GNU_EH_FRAME: {
                uint8_t hdr[4];
                uint64_t frame = 0;
                if (zvcrash_async_task_memcpy(task, address, 0, hdr, sizeof(hdr)) != ZVCRASH_OK || hdr[0] != 1) break;
                if (!decodeHeaderPointer(task, hdr[1], address + 4, address, &frame)) break;
                elf->eh_frame_hdr = address;
                elf->eh_frame_hdr_size = phdr.p_memsz;
                // The frames run at most to the end of the load that holds them.
                for (uint32_t j = 0; j < header.e_phnum; ++j) {
                    Phdr load;
                    if (!readPhdr(j, &load) || load.p_type != PT_LOAD) continue;
                    const uint64_t start = load.p_vaddr + elf->load_bias;
                    if (frame >= start && frame - start < load.p_memsz) {
                        elf->eh_frame = frame;
                        elf->eh_frame_size = start + load.p_memsz - frame;
                        break;
                    }
                }
                break;
            }
            case PT_DYNAMIC:
                readDynamic(elf, address, phdr.p_memsz);
                break;
            case PT_NOTE:
                if (elf->build_id_size == 0) readNotes(elf, address, phdr.p_memsz, phdr.p_align);
                break;
            default:
                break;
        }
    }

    elf->path = strdup(path != nullptr ? path : "");
    if (elf->path == nullptr) return ZVCRASH_ERR_NOMEM;
    copyTables(elf);
    return ZVCRASH_OK;
}

void zvcrash_async_elf_free(zvcrash_async_elf* elf) {
    std::free(elf->path);
    elf->path = nullptr;
    zvcrash_async_mobject_free(&elf->eh_frame_hdr_copy);
    zvcrash_async_mobject_free(&elf->eh_frame_copy);
    zvcrash_async_mobject_free(&elf->dynsym_copy);
    zvcrash_async_mobject_free(&elf->dynstr_copy);
}

bool zvcrash_async_elf_contains_address(const zvcrash_async_elf* elf, uint64_t address) {
    return address >= elf->header_addr && address - elf->header_addr < elf->size;
}

zvcrash_error_t zvcrash_async_elf_map_eh_frame(const zvcrash_async_elf* elf, zvcrash_async_mobject* mobj) {
    if (elf->eh_frame == 0) return ZVCRASH_ERR_NOTFOUND;
    if (elf->eh_frame_copy.vm_length != 0) return viewOf(&elf->eh_frame_copy, mobj);
    return zvcrash_async_mobject_init(mobj, elf->task, elf->eh_frame, elf->eh_frame_size, false);
}

zvcrash_error_t zvcrash_async_elf_map_eh_frame_hdr(const zvcrash_async_elf* elf, zvcrash_async_mobject* mobj) {
    if (elf->eh_frame_hdr == 0) return ZVCRASH_ERR_NOTFOUND;
    if (elf->eh_frame_hdr_copy.vm_length != 0) return viewOf(&elf->eh_frame_hdr_copy, mobj);
    return zvcrash_async_mobject_init(mobj, elf->task, elf->eh_frame_hdr, elf->eh_frame_hdr_size, true);
}

namespace {

struct SymbolTables {
    zvcrash_async_mobject symbols;
    zvcrash_async_mobject strings;
    uint32_t count;
    // The entries in place when they are aligned, else null and each one is copied out.
    const Sym* aligned;
};

// The entries that could be read, and whether they can be read in place.
void describeSymbols(SymbolTables* tables) {
    tables->count = static_cast<uint32_t>(tables->symbols.length / sizeof(Sym));
    tables->aligned = tables->symbols.address % alignof(Sym) == 0 ? reinterpret_cast<const Sym*>(tables->symbols.address) : nullptr;
}

zvcrash_error_t mapTables(const zvcrash_async_elf* elf, SymbolTables* tables) {
    if (elf->dynsym == 0 || elf->dynstr_size == 0) return ZVCRASH_ERR_NOTFOUND;
    if (elf->dynsym_copy.vm_length != 0 && elf->dynstr_copy.vm_length != 0) {
        viewOf(&elf->dynsym_copy, &tables->symbols);
        viewOf(&elf->dynstr_copy, &tables->strings);
        describeSymbols(tables);
        return ZVCRASH_OK;
    }
    zvcrash_error_t error =
        zvcrash_async_mobject_init(&tables->symbols, elf->task, elf->dynsym, static_cast<uint64_t>(elf->dynsym_count) * sizeof(Sym), false);
    if (error != ZVCRASH_OK) return error;
    error = zvcrash_async_mobject_init(&tables->strings, elf->task, elf->dynstr, elf->dynstr_size, false);
    if (error != ZVCRASH_OK) {
        zvcrash_async_mobject_free(&tables->symbols);
        return error;
    }
    describeSymbols(tables);
    return ZVCRASH_OK;
}

void unmapTables(SymbolTables* tables) {
    zvcrash_async_mobject_free(&tables->symbols);
    zvcrash_async_mobject_free(&tables->strings);
}

Sym symbolAt(const SymbolTables* tables, uint32_t index) {
    if (tables->aligned != nullptr) return tables->aligned[index];
    Sym sym;
    zvcrash_async_memcpy(&sym, reinterpret_cast<const uint8_t*>(tables->symbols.address) + static_cast<size_t>(index) * sizeof(Sym),
                         sizeof(Sym));
    return sym;
}

// The NUL-terminated name inside the mapped strings, or null.
const char* nameOf(const SymbolTables* tables, uint32_t index) {
    const char* strings = reinterpret_cast<const char*>(tables->strings.address);
    for (uint64_t i = index; i < tables->strings.length; ++i) {
        if (strings[i] == '\0') return strings + index;
    }
    return nullptr;
}

bool isFunction(const Sym& sym) {
    const unsigned type = ELF64_ST_TYPE(sym.st_info);
    return sym.st_shndx != SHN_UNDEF && sym.st_value != 0 && (type == STT_FUNC || type == STT_GNU_IFUNC);
}

}  // namespace

zvcrash_error_t zvcrash_async_elf_find_symbol_by_pc(const zvcrash_async_elf* elf, uint64_t pc, zvcrash_async_elf_found_symbol_cb callback,
                                                    void* context) {
    SymbolTables tables;
    zvcrash_error_t error = mapTables(elf, &tables);
    if (error != ZVCRASH_OK) return error;
    const uint64_t search = pc - elf->load_bias;
    bool found = false;
    Sym best{};
    for (uint32_t i = 0; i < tables.count; ++i) {
        const Sym sym = symbolAt(&tables, i);
        if (!isFunction(sym) || sym.st_value > search) continue;
        if (!found || sym.st_value > best.st_value) {
            found = true;
            best = sym;
        }
    }
    // The nearest symbol below may end before pc: then pc is in code the table does not name.
    if (!found || (best.st_size != 0 && search - best.st_value >= best.st_size)) {
        unmapTables(&tables);
        return ZVCRASH_ERR_NOTFOUND;
    }
    const char* name = nameOf(&tables, best.st_name);
    if (name == nullptr) {
        unmapTables(&tables);
        return ZVCRASH_ERR_INVAL;
    }
    callback(best.st_value + elf->load_bias, name, context);
    unmapTables(&tables);
    return ZVCRASH_OK;
}

zvcrash_error_t zvcrash_async_elf_find_symbol_by_name(const zvcrash_async_elf* elf, const char* name, uint64_t* address) {
    SymbolTables tables;
    zvcrash_error_t error = mapTables(elf, &tables);
    if (error != ZVCRASH_OK) return error;
    for (uint32_t i = 0; i < tables.count; ++i) {
        const Sym sym = symbolAt(&tables, i);
        const unsigned type = ELF64_ST_TYPE(sym.st_info);
        if (sym.st_shndx == SHN_UNDEF || type == STT_SECTION || type == STT_FILE || type == STT_TLS) continue;
        const char* candidate = nameOf(&tables, sym.st_name);
        if (candidate == nullptr || zvcrash_async_strcmp(candidate, name) != 0) continue;
        *address = sym.st_value + elf->load_bias;
        unmapTables(&tables);
        return ZVCRASH_OK;
    }
    unmapTables(&tables);
    return ZVCRASH_ERR_NOTFOUND;
}

zvcrash_error_t zvcrash_async_elf_uuid(const zvcrash_async_elf* elf, uint8_t uuid[16]) {
    if (elf->build_id_size == 0) return ZVCRASH_ERR_NOTFOUND;
    for (uint32_t i = 0; i < 16; ++i) uuid[i] = i < elf->build_id_size ? elf->build_id[i] : 0;
    return ZVCRASH_OK;
}

uint32_t zvcrash_async_elf_cpu_type(const zvcrash_async_elf* elf) {
    switch (elf->machine) {
        case EM_X86_64:
            return 0x01000007;
        case EM_386:
            return 7;
        case EM_AARCH64:
            return 0x0100000c;
        case EM_ARM:
            return 12;
        case EM_PPC64:
            return 0x01000012;
        case EM_PPC:
            return 18;
        default:
            return 0;
    }
}

uint32_t zvcrash_async_elf_cpu_subtype(const zvcrash_async_elf* elf) {
    switch (elf->machine) {
        case EM_X86_64:
        case EM_386:
            return 3;
        default:
            return 0;
    }
}
