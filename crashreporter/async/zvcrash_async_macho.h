// A reader of Mach-O images in a task's memory: the header, the load commands, segments and
// sections, the nlist symbol table and strings. Every pointer formed from image data is checked
// against a mapping first, so a damaged image gives an error code, never a fault.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_mobject.h"

// Header magics, as read in host order.
constexpr uint32_t ZVCRASH_MACHO_MAGIC_32 = 0xfeedface;
constexpr uint32_t ZVCRASH_MACHO_CIGAM_32 = 0xcefaedfe;
constexpr uint32_t ZVCRASH_MACHO_MAGIC_64 = 0xfeedfacf;
constexpr uint32_t ZVCRASH_MACHO_CIGAM_64 = 0xcffaedfe;

// Load command types read here.
constexpr uint32_t ZVCRASH_MACHO_LC_SEGMENT = 0x1;
constexpr uint32_t ZVCRASH_MACHO_LC_SYMTAB = 0x2;
constexpr uint32_t ZVCRASH_MACHO_LC_DYSYMTAB = 0xb;
constexpr uint32_t ZVCRASH_MACHO_LC_SEGMENT_64 = 0x19;
constexpr uint32_t ZVCRASH_MACHO_LC_UUID = 0x1b;

// nlist type bits.
constexpr uint8_t ZVCRASH_MACHO_N_STAB = 0xe0;
constexpr uint8_t ZVCRASH_MACHO_N_PEXT = 0x10;
constexpr uint8_t ZVCRASH_MACHO_N_TYPE = 0x0e;
constexpr uint8_t ZVCRASH_MACHO_N_EXT = 0x01;
constexpr uint8_t ZVCRASH_MACHO_N_SECT = 0x0e;
// n_desc bit: the symbol is a Thumb function.
constexpr uint16_t ZVCRASH_MACHO_N_ARM_THUMB_DEF = 0x0008;

// The on-disk layouts, fields as stored (the image's byte order).
struct zvcrash_async_macho_header_t {
    uint32_t magic;
    uint32_t cputype;
    uint32_t cpusubtype;
    uint32_t filetype;
    uint32_t ncmds;
    uint32_t sizeofcmds;
    uint32_t flags;
};
static_assert(sizeof(zvcrash_async_macho_header_t) == 28);

struct zvcrash_async_macho_load_command {
    uint32_t cmd;
    uint32_t cmdsize;
};

struct zvcrash_async_macho_segment_command {
    uint32_t cmd;
    uint32_t cmdsize;
    char segname[16];
    uint32_t vmaddr;
    uint32_t vmsize;
    uint32_t fileoff;
    uint32_t filesize;
    uint32_t maxprot;
    uint32_t initprot;
    uint32_t nsects;
    uint32_t flags;
};
static_assert(sizeof(zvcrash_async_macho_segment_command) == 56);

struct zvcrash_async_macho_segment_command_64 {
    uint32_t cmd;
    uint32_t cmdsize;
    char segname[16];
    uint64_t vmaddr;
    uint64_t vmsize;
    uint64_t fileoff;
    uint64_t filesize;
    uint32_t maxprot;
    uint32_t initprot;
    uint32_t nsects;
    uint32_t flags;
};
static_assert(sizeof(zvcrash_async_macho_segment_command_64) == 72);

struct zvcrash_async_macho_section {
    char sectname[16];
    char segname[16];
    uint32_t addr;
    uint32_t size;
    uint32_t offset;
    uint32_t align;
    uint32_t reloff;
    uint32_t nreloc;
    uint32_t flags;
    uint32_t reserved1;
    uint32_t reserved2;
};
static_assert(sizeof(zvcrash_async_macho_section) == 68);

struct zvcrash_async_macho_section_64 {
    char sectname[16];
    char segname[16];
    uint64_t addr;
    uint64_t size;
    uint32_t offset;
    uint32_t align;
    uint32_t reloff;
    uint32_t nreloc;
    uint32_t flags;
    uint32_t reserved1;
    uint32_t reserved2;
    uint32_t reserved3;
};
static_assert(sizeof(zvcrash_async_macho_section_64) == 80);

struct zvcrash_async_macho_symtab_command {
    uint32_t cmd;
    uint32_t cmdsize;
    uint32_t symoff;
    uint32_t nsyms;
    uint32_t stroff;
    uint32_t strsize;
};

struct zvcrash_async_macho_dysymtab_command {
    uint32_t cmd;
    uint32_t cmdsize;
    uint32_t ilocalsym;
    uint32_t nlocalsym;
    uint32_t iextdefsym;
    uint32_t nextdefsym;
    uint32_t iundefsym;
    uint32_t nundefsym;
    uint32_t tocoff;
    uint32_t ntoc;
    uint32_t modtaboff;
    uint32_t nmodtab;
    uint32_t extrefsymoff;
    uint32_t nextrefsyms;
    uint32_t indirectsymoff;
    uint32_t nindirectsyms;
    uint32_t extreloff;
    uint32_t nextrel;
    uint32_t locreloff;
    uint32_t nlocrel;
};
static_assert(sizeof(zvcrash_async_macho_dysymtab_command) == 80);

struct zvcrash_async_macho_uuid_command {
    uint32_t cmd;
    uint32_t cmdsize;
    uint8_t uuid[16];
};

struct zvcrash_async_macho_nlist {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint32_t n_value;
};
static_assert(sizeof(zvcrash_async_macho_nlist) == 12);

struct zvcrash_async_macho_nlist_64 {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint64_t n_value;
};
static_assert(sizeof(zvcrash_async_macho_nlist_64) == 16);

// One loaded image. Built by zvcrash_async_macho_init, then shared read-only.
struct zvcrash_async_macho {
    zvcrash_async_task_t task;
    // Task address of the Mach-O header.
    uint64_t header_addr;
    // header_addr minus the __TEXT segment's virtual address.
    int64_t vmaddr_slide;
    // Heap copy of the image's path.
    char* name;
    // The header's first 28 bytes, as stored.
    zvcrash_async_macho_header_t header;
    // 28 for a 32-bit image, 32 for a 64-bit one.
    uint32_t header_size;
    // The header's command count in host order (never used as the walk's bound).
    uint32_t ncmds;
    // The load commands: header_addr + header_size, sizeofcmds bytes.
    zvcrash_async_mobject load_cmds;
    uint64_t text_vmaddr;
    uint64_t text_size;
    bool m64;
    const zvcrash_async_byteorder* byteorder;
};

// A mapped segment and where its bytes lie in the file.
struct zvcrash_async_macho_segment {
    zvcrash_async_mobject mobj;
    uint64_t fileoff;
    uint64_t filesize;
};

// The symbol table of one image, mapped for one lookup.
struct zvcrash_async_macho_symtab_reader {
    const zvcrash_async_macho* image;
    zvcrash_async_macho_segment linkedit;
    // Local pointers to nlist entries (12 or 16 bytes each, as stored).
    const void* symtab;
    uint32_t nsyms;
    // Externally defined symbols; null and 0 without LC_DYSYMTAB.
    const void* symtab_global;
    uint32_t nsyms_global;
    const void* symtab_local;
    uint32_t nsyms_local;
    const char* string_table;
    size_t string_table_size;
};

// One nlist entry in host order.
struct zvcrash_async_macho_symtab_entry {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint64_t n_value;
    // n_value with bit 0 set for a Thumb function.
    uint64_t normalized_value;
};

// A C string in the task, mapped page by page on the first request.
struct zvcrash_async_macho_string {
    const zvcrash_async_macho* image;
    uint64_t address;
    zvcrash_async_mobject mobj;
    bool mapped;
    // Without the NUL.
    size_t length;
};

// Receives a found symbol: its address in the task and its name (valid only during the call).
typedef void (*zvcrash_async_macho_found_symbol_cb)(uint64_t address, const char* name, void* context);

// Reads the header and maps the load commands; finds __TEXT. ZVCRASH_ERR_INTERNAL when the header
// cannot be read, ZVCRASH_ERR_INVAL for a bad magic or no (or a truncated) __TEXT command, the
// mapping's code when the commands cannot be mapped. A failure holds nothing.
// Not safe at crash time: copies the path on the heap.
zvcrash_error_t zvcrash_async_macho_init(zvcrash_async_macho* image, zvcrash_async_task_t task, const char* path, uint64_t header_address);
// Frees the path copy and unmaps the commands. Not safe at crash time: frees heap memory.
void zvcrash_async_macho_free(zvcrash_async_macho* image);

// Safe at crash time (the getters below).
const zvcrash_async_byteorder* zvcrash_async_macho_byteorder(const zvcrash_async_macho* image);
const zvcrash_async_macho_header_t* zvcrash_async_macho_header(const zvcrash_async_macho* image);
uint32_t zvcrash_async_macho_header_size(const zvcrash_async_macho* image);
// The header's CPU type and subtype in host order.
uint32_t zvcrash_async_macho_swap32_field_a(const zvcrash_async_macho* image);
uint32_t zvcrash_async_macho_swap32_field_b(const zvcrash_async_macho* image);

// header_addr <= address < header_addr + text_size. Safe at crash time.
bool zvcrash_async_macho_contains_address(const zvcrash_async_macho* image, uint64_t address);

// The load command after previous (the first when previous is null), or null when the walk ends:
// a command smaller than 8 bytes or one reaching past the mapped commands ends it.
// Safe at crash time.
const void* zvcrash_async_macho_next_command(const zvcrash_async_macho* image, const void* previous);
// The next command of the given type after previous. Safe at crash time.
const void* zvcrash_async_macho_next_command_type(const zvcrash_async_macho* image, const void* previous, uint32_t type);
// The first command of the type, or null. Safe at crash time.
const void* zvcrash_async_macho_find_command(const zvcrash_async_macho* image, uint32_t type);

// The first segment command of the image's width named segname (16-byte compare), or null.
// Safe at crash time.
const void* zvcrash_async_macho_find_segment_cmd(const zvcrash_async_macho* image, const char* segname);

// Maps the segment's memory (as much as can be read); ZVCRASH_ERR_NOTFOUND without the segment.
// Safe at crash time.
zvcrash_error_t zvcrash_async_macho_map_segment(const zvcrash_async_macho* image, const char* segname,
                                                zvcrash_async_macho_segment* segment);
// Safe at crash time.
void zvcrash_async_macho_mapped_segment_free(zvcrash_async_macho_segment* segment);

// Maps the whole of a section; ZVCRASH_ERR_NOTFOUND without the segment or the section,
// ZVCRASH_ERR_INVAL for a section record outside the commands. Safe at crash time.
zvcrash_error_t zvcrash_async_macho_map_section(const zvcrash_async_macho* image, const char* segname, const char* sectname,
                                                zvcrash_async_mobject* mobj);

// Maps __LINKEDIT and locates the symbol and string tables: ZVCRASH_ERR_NOTFOUND without
// LC_SYMTAB, ZVCRASH_ERR_INTERNAL when the tables cannot be mapped, ZVCRASH_ERR_INVAL when the
// dynamic symbol ranges pass the table. Safe at crash time.
zvcrash_error_t zvcrash_async_macho_symtab_reader_init(zvcrash_async_macho_symtab_reader* reader, const zvcrash_async_macho* image);
// Entry index of table (one of the reader's tables; the index is within its count).
// Safe at crash time.
zvcrash_async_macho_symtab_entry zvcrash_async_macho_symtab_reader_read(const zvcrash_async_macho_symtab_reader* reader, const void* table,
                                                                        uint32_t index);
// The NUL-terminated name at string index, or null when it does not end inside the table.
// Safe at crash time.
const char* zvcrash_async_macho_symtab_reader_symbol_name(const zvcrash_async_macho_symtab_reader* reader, uint32_t n_strx);
// Safe at crash time.
void zvcrash_async_macho_symtab_reader_free(zvcrash_async_macho_symtab_reader* reader);

// The defined symbol nearest at or below pc (globals before locals on a tie); the callback runs
// while the table is mapped. ZVCRASH_ERR_NOTFOUND when none. Safe at crash time.
zvcrash_error_t zvcrash_async_macho_find_symbol_by_pc(const zvcrash_async_macho* image, uint64_t pc,
                                                      zvcrash_async_macho_found_symbol_cb callback, void* context);
// The address of the defined symbol with exactly this name. Safe at crash time.
zvcrash_error_t zvcrash_async_macho_find_symbol_by_name(const zvcrash_async_macho* image, const char* name, uint64_t* address);

// Safe at crash time (the four string operations).
zvcrash_error_t zvcrash_async_macho_string_init(zvcrash_async_macho_string* string, const zvcrash_async_macho* image, uint64_t address);
// ZVCRASH_ERR_INVAL when no NUL is found in the pages that can be read.
zvcrash_error_t zvcrash_async_macho_string_get_length(zvcrash_async_macho_string* string, size_t* length);
zvcrash_error_t zvcrash_async_macho_string_get_pointer(zvcrash_async_macho_string* string, const char** pointer);
void zvcrash_async_macho_string_free(zvcrash_async_macho_string* string);
