// The crash report's encoder: the file header and a minimal protocol-buffer writer for the
// report's messages, used at crash time. Every routine takes an output file or none: with none
// it writes nothing and only counts, so one routine gives a submessage's length (first pass) and
// then writes it (second pass). Nothing here allocates or touches a protocol-buffer library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crashreporter/async/zvcrash_async_file.h"

// The 8-byte file header: these 7 ASCII bytes (no NUL), then the version byte.
constexpr char ZVCRASH_REPORT_FILE_MAGIC[] = "zvcrash";
constexpr size_t ZVCRASH_REPORT_FILE_MAGIC_LENGTH = 7;
constexpr uint8_t ZVCRASH_REPORT_FILE_VERSION = 1;
constexpr size_t ZVCRASH_REPORT_FILE_HEADER_LENGTH = 8;

// The most frames written for one thread or one exception.
constexpr size_t ZVCRASH_WRITER_MAX_FRAMES = 512;

// Field types, numbered as protocol-buffer implementations number them.
enum zvcrash_writer_type : uint32_t {
    ZVCRASH_WRITER_TYPE_INT32 = 0,
    ZVCRASH_WRITER_TYPE_SINT32 = 1,
    ZVCRASH_WRITER_TYPE_SFIXED32 = 2,
    ZVCRASH_WRITER_TYPE_INT64 = 3,
    ZVCRASH_WRITER_TYPE_SINT64 = 4,
    ZVCRASH_WRITER_TYPE_SFIXED64 = 5,
    ZVCRASH_WRITER_TYPE_UINT32 = 6,
    ZVCRASH_WRITER_TYPE_FIXED32 = 7,
    ZVCRASH_WRITER_TYPE_UINT64 = 8,
    ZVCRASH_WRITER_TYPE_FIXED64 = 9,
    ZVCRASH_WRITER_TYPE_FLOAT = 10,
    ZVCRASH_WRITER_TYPE_DOUBLE = 11,
    ZVCRASH_WRITER_TYPE_BOOL = 12,
    ZVCRASH_WRITER_TYPE_ENUM = 13,
    ZVCRASH_WRITER_TYPE_STRING = 14,
    ZVCRASH_WRITER_TYPE_BYTES = 15,
    ZVCRASH_WRITER_TYPE_MESSAGE = 16,
};

// Wire types of the tag's low three bits.
enum zvcrash_writer_wire_type : uint32_t {
    ZVCRASH_WRITER_WIRE_VARINT = 0,
    ZVCRASH_WRITER_WIRE_64BIT = 1,
    ZVCRASH_WRITER_WIRE_LENGTH_DELIMITED = 2,
    ZVCRASH_WRITER_WIRE_32BIT = 5,
};

// Field numbers of the report's messages.
enum zvcrash_report_field : uint32_t {
    ZVCRASH_REPORT_SYSTEM_INFO = 1,
    ZVCRASH_REPORT_APPLICATION_INFO = 2,
    ZVCRASH_REPORT_THREADS = 3,
    ZVCRASH_REPORT_BINARY_IMAGES = 4,
    ZVCRASH_REPORT_EXCEPTION = 5,
    ZVCRASH_REPORT_SIGNAL = 6,
    ZVCRASH_REPORT_PROCESS_INFO = 7,
    ZVCRASH_REPORT_MACHINE_INFO = 8,
    ZVCRASH_REPORT_REPORT_INFO = 9,
    ZVCRASH_REPORT_CUSTOM_DATA = 10,
};

enum zvcrash_report_operating_system : uint32_t {
    ZVCRASH_OS_MAC_OS_X = 0,
    ZVCRASH_OS_IPHONE_OS = 1,
    ZVCRASH_OS_IPHONE_SIMULATOR = 2,
    ZVCRASH_OS_UNKNOWN = 3,
    ZVCRASH_OS_APPLE_TVOS = 4,
    ZVCRASH_OS_LINUX = 5,
};

enum zvcrash_report_architecture : uint32_t {
    ZVCRASH_ARCH_X86_32 = 0,
    ZVCRASH_ARCH_X86_64 = 1,
    ZVCRASH_ARCH_ARMV6 = 2,
    ZVCRASH_ARCH_PPC = 3,
    ZVCRASH_ARCH_PPC64 = 4,
    ZVCRASH_ARCH_ARMV7 = 5,
    ZVCRASH_ARCH_UNKNOWN = 6,
};

enum zvcrash_report_type_encoding : uint32_t {
    ZVCRASH_TYPE_ENCODING_UNKNOWN = 0,
    ZVCRASH_TYPE_ENCODING_MACH = 1,
};

// Byte data given by pointer and length (the pointer may be null when the length is 0).
struct zvcrash_writer_bytes {
    const void* data;
    size_t length;
};

// One backtrace frame: its instruction pointer and, when symbolication found one, its symbol.
struct zvcrash_writer_frame {
    uint64_t pc;
    // Null when there is no symbol.
    const char* symbol_name;
    uint64_t symbol_start;
};

struct zvcrash_writer_register {
    const char* name;
    uint64_t value;
};

struct zvcrash_writer_image {
    uint64_t base_address;
    uint64_t size;
    const char* name;
    // 16 bytes, or null when the image has no identifier.
    const uint8_t* uuid;
    uint64_t cpu_type;
    uint64_t cpu_subtype;
};

// Little-endian base-128 into out (room for 10 bytes); the bytes used, 1 to 10. Safe at crash time.
size_t zvcrash_writer_pack_varint(uint64_t value, uint8_t* out);

// Writes one field (tag and value) into file, or only counts when file is null; returns the
// bytes the field takes. value points to the field's C value: int32_t (int32, sint32, sfixed32),
// int64_t (int64, sint64, sfixed64), uint32_t (uint32, fixed32, enum), uint64_t (uint64, fixed64),
// float, double, bool; for a string the value is the NUL-terminated text itself (null is written
// as an empty text); for bytes a zvcrash_writer_bytes; for a message a size_t holding the length
// of the content that the caller writes right after. A type above 16 aborts the process.
// Safe at crash time.
size_t zvcrash_writer_pack(zvcrash_async_file* file, uint32_t field_id, uint32_t type, const void* value);

// The 8-byte file header; returns 8. Safe at crash time.
size_t zvcrash_writer_write_file_header(zvcrash_async_file* file);

// The message routines: each writes the content of one message (not its own tag and length) and
// returns its byte count; texts given as null are written as empty texts.

// The identifier (16 bytes) is left out when null. Safe at crash time.
size_t zvcrash_writer_write_report_info(zvcrash_async_file* file, bool user_requested, const uint8_t uuid[16]);
// Fields in the order operating system, version, build, architecture, timestamp. Safe at crash time.
size_t zvcrash_writer_write_system_info(zvcrash_async_file* file, uint32_t operating_system, const char* os_version, const char* os_build,
                                        uint32_t architecture, int64_t timestamp);
// Safe at crash time.
size_t zvcrash_writer_write_processor(zvcrash_async_file* file, uint32_t encoding, uint64_t type, uint64_t subtype);
// The model is left out when null. Safe at crash time.
size_t zvcrash_writer_write_machine_info(zvcrash_async_file* file, const char* model, uint64_t cpu_type, uint64_t cpu_subtype,
                                         uint32_t processor_count, uint32_t logical_processor_count);
// Safe at crash time.
size_t zvcrash_writer_write_application_info(zvcrash_async_file* file, const char* identifier, const char* version,
                                             const char* marketing_version);
// Safe at crash time.
size_t zvcrash_writer_write_process_info(zvcrash_async_file* file, const char* process_name, uint32_t process_id, const char* process_path,
                                         const char* parent_process_name, uint32_t parent_process_id, bool native, uint64_t start_time);
// Safe at crash time.
size_t zvcrash_writer_write_symbol(zvcrash_async_file* file, const char* name, uint64_t start_address);
// The pc, then the symbol when the frame has one. Safe at crash time.
size_t zvcrash_writer_write_frame(zvcrash_async_file* file, const zvcrash_writer_frame* frame);
// Safe at crash time.
size_t zvcrash_writer_write_register(zvcrash_async_file* file, const zvcrash_writer_register* reg);
// Number, crashed flag, the registers, then at most 512 frames. Safe at crash time.
size_t zvcrash_writer_write_thread(zvcrash_async_file* file, uint32_t thread_number, bool crashed, const zvcrash_writer_register* registers,
                                   size_t register_count, const zvcrash_writer_frame* frames, size_t frame_count);
// Fields in the order size, base, name, identifier (when given), code type (Mach encoding). Safe at crash time.
size_t zvcrash_writer_write_binary_image(zvcrash_async_file* file, const zvcrash_writer_image* image);
// Name, reason, then at most 512 frames. Safe at crash time.
size_t zvcrash_writer_write_exception(zvcrash_async_file* file, const char* name, const char* reason, const zvcrash_writer_frame* frames,
                                      size_t frame_count);
// Safe at crash time.
size_t zvcrash_writer_write_mach_exception(zvcrash_async_file* file, uint64_t type, const uint64_t* codes, size_t code_count);
// The Mach exception is left out when has_mach_exception is false. Safe at crash time.
size_t zvcrash_writer_write_signal(zvcrash_async_file* file, const char* name, const char* code, uint64_t address, bool has_mach_exception,
                                   uint64_t mach_type, const uint64_t* mach_codes, size_t mach_code_count);
