#include "crashreporter/async/zvcrash_writer_pack.h"

#include <cstdlib>

namespace {

// Longest tag (5 bytes) and value (10 bytes) of any scalar field.
constexpr size_t kScalarFieldMax = 16;

size_t text_length(const char* text) {
    size_t length = 0;
    if (text != nullptr) {
        while (text[length] != '\0') ++length;
    }
    return length;
}

size_t put_tag(uint32_t field_id, uint32_t wire_type, uint8_t* out) {
    return zvcrash_writer_pack_varint((static_cast<uint64_t>(field_id) << 3) | wire_type, out);
}

size_t put_fixed(uint64_t value, size_t width, uint8_t* out) {
    for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return width;
}

void write(zvcrash_async_file* file, const void* data, size_t length) {
    if (file != nullptr && length > 0) zvcrash_async_file_write(file, data, length);
}

// Tag and length of a length-delimited field, then its data from the caller's memory.
size_t pack_delimited(zvcrash_async_file* file, uint32_t field_id, const void* data, size_t length) {
    uint8_t header[kScalarFieldMax];
    size_t used = put_tag(field_id, ZVCRASH_WRITER_WIRE_LENGTH_DELIMITED, header);
    used += zvcrash_writer_pack_varint(length, header + used);
    write(file, header, used);
    write(file, data, length);
    return used + length;
}

// A submessage: its length from a first pass of content without a file, then tag, length and
// the content itself.
template <class Content>
size_t pack_message(zvcrash_async_file* file, uint32_t field_id, Content content) {
    size_t length = content(nullptr);
    size_t used = zvcrash_writer_pack(file, field_id, ZVCRASH_WRITER_TYPE_MESSAGE, &length);
    if (file != nullptr) content(file);
    return used + length;
}

size_t pack_string(zvcrash_async_file* file, uint32_t field_id, const char* text) {
    return zvcrash_writer_pack(file, field_id, ZVCRASH_WRITER_TYPE_STRING, text);
}

size_t pack_uint32(zvcrash_async_file* file, uint32_t field_id, uint32_t value) {
    return zvcrash_writer_pack(file, field_id, ZVCRASH_WRITER_TYPE_UINT32, &value);
}

size_t pack_uint64(zvcrash_async_file* file, uint32_t field_id, uint64_t value) {
    return zvcrash_writer_pack(file, field_id, ZVCRASH_WRITER_TYPE_UINT64, &value);
}

size_t pack_bool(zvcrash_async_file* file, uint32_t field_id, bool value) {
    return zvcrash_writer_pack(file, field_id, ZVCRASH_WRITER_TYPE_BOOL, &value);
}

size_t pack_enum(zvcrash_async_file* file, uint32_t field_id, uint32_t value) {
    return zvcrash_writer_pack(file, field_id, ZVCRASH_WRITER_TYPE_ENUM, &value);
}

size_t pack_frames(zvcrash_async_file* file, uint32_t field_id, const zvcrash_writer_frame* frames, size_t count) {
    if (count > ZVCRASH_WRITER_MAX_FRAMES) count = ZVCRASH_WRITER_MAX_FRAMES;
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        used += pack_message(file, field_id, [&](zvcrash_async_file* f) { return zvcrash_writer_write_frame(f, &frames[i]); });
    }
    return used;
}

}  // namespace

size_t zvcrash_writer_pack_varint(uint64_t value, uint8_t* out) {
    size_t used = 0;
    while (value >= 0x80) {
        out[used++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[used++] = static_cast<uint8_t>(value);
    return used;
}

size_t zvcrash_writer_pack(zvcrash_async_file* file, uint32_t field_id, uint32_t type, const void* value) {
    uint8_t buffer[kScalarFieldMax];
    size_t used = 0;
    switch (type) {
        case ZVCRASH_WRITER_TYPE_INT32: {
            // Negative values are sign-extended to 64 bits and so take 10 bytes.
            int64_t extended = *static_cast<const int32_t*>(value);
            used = put_tag(field_id, ZVCRASH_WRITER_WIRE_VARINT, buffer);
            used += zvcrash_writer_pack_varint(static_cast<uint64_t>(extended), buffer + used);
            break;
        }
        case ZVCRASH_WRITER_TYPE_SINT32: {
            int32_t v = *static_cast<const int32_t*>(value);
            uint32_t zigzag = (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
            used = put_tag(field_id, ZVCRASH_WRITER_WIRE_VARINT, buffer);
            used += zvcrash_writer_pack_varint(zigzag, buffer + used);
            break;
        }
        case ZVCRASH_WRITER_TYPE_SINT64: {
            int64_t v = *static_cast<const int64_t*>(value);
            uint64_t zigzag = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
            used = put_tag(field_id, ZVCRASH_WRITER_WIRE_VARINT, buffer);
            used += zvcrash_writer_pack_varint(zigzag, buffer + used);
            break;
        }
        case ZVCRASH_WRITER_TYPE_INT64:
        case ZVCRASH_WRITER_TYPE_UINT64: {
            uint64_t v;
            zvcrash_async_memcpy(&v, value, sizeof v);
            used = put_tag(field_id, ZVCRASH_WRITER_WIRE_VARINT, buffer);
            used += zvcrash_writer_pack_varint(v, buffer + used);
            break;
        }
        case ZVCRASH_WRITER_TYPE_UINT32:
        case ZVCRASH_WRITER_TYPE_ENUM:
            used = put_tag(field_id, ZVCRASH_WRITER_WIRE_VARINT, buffer);
            used += zvcrash_writer_pack_varint(*static_cast<const uint32_t*>(value), buffer + used);
            break;
        case ZVCRASH_WRITER_TYPE_BOOL:
            used = put_tag(field_id, ZVCRASH_WRITER_WIRE_VARINT, buffer);
            buffer[used++] = *static_cast<const bool*>(value) ? 1 : 0;
            break;
        case ZVCRASH_WRITER_TYPE_FIXED64:
        case ZVCRASH_WRITER_TYPE_SFIXED64:
        case ZVCRASH_WRITER_TYPE_DOUBLE: {
            uint64_t bits;
            zvcrash_async_memcpy(&bits, value, sizeof bits);
            used = put_tag(field_id, ZVCRASH_WRITER_WIRE_64BIT, buffer);
            used += put_fixed(bits, 8, buffer + used);
            break;
        }
        case ZVCRASH_WRITER_TYPE_FIXED32:
        case ZVCRASH_WRITER_TYPE_SFIXED32:
        case ZVCRASH_WRITER_TYPE_FLOAT: {
            uint32_t bits;
            zvcrash_async_memcpy(&bits, value, sizeof bits);
            used = put_tag(field_id, ZVCRASH_WRITER_WIRE_32BIT, buffer);
            used += put_fixed(bits, 4, buffer + used);
            break;
        }
        case ZVCRASH_WRITER_TYPE_STRING: {
            const char* text = static_cast<const char*>(value);
            return pack_delimited(file, field_id, text, text_length(text));
        }
        case ZVCRASH_WRITER_TYPE_BYTES: {
            const auto* bytes = static_cast<const zvcrash_writer_bytes*>(value);
            return pack_delimited(file, field_id, bytes->data, bytes->length);
        }
        case ZVCRASH_WRITER_TYPE_MESSAGE:
            used = put_tag(field_id, ZVCRASH_WRITER_WIRE_LENGTH_DELIMITED, buffer);
            used += zvcrash_writer_pack_varint(*static_cast<const size_t*>(value), buffer + used);
            break;
        default:
            // A type the schema cannot hold is a fault of the writer itself.
            abort();
    }
    write(file, buffer, used);
    return used;
}

size_t zvcrash_writer_write_file_header(zvcrash_async_file* file) {
    uint8_t header[ZVCRASH_REPORT_FILE_HEADER_LENGTH];
    zvcrash_async_memcpy(header, ZVCRASH_REPORT_FILE_MAGIC, ZVCRASH_REPORT_FILE_MAGIC_LENGTH);
    header[ZVCRASH_REPORT_FILE_MAGIC_LENGTH] = ZVCRASH_REPORT_FILE_VERSION;
    write(file, header, sizeof header);
    return sizeof header;
}

size_t zvcrash_writer_write_report_info(zvcrash_async_file* file, bool user_requested, const uint8_t uuid[16]) {
    size_t used = pack_bool(file, 1, user_requested);
    if (uuid != nullptr) {
        zvcrash_writer_bytes bytes = {uuid, 16};
        used += zvcrash_writer_pack(file, 2, ZVCRASH_WRITER_TYPE_BYTES, &bytes);
    }
    return used;
}

size_t zvcrash_writer_write_system_info(zvcrash_async_file* file, uint32_t operating_system, const char* os_version, const char* os_build,
                                        uint32_t architecture, int64_t timestamp) {
    size_t used = pack_enum(file, 1, operating_system);
    used += pack_string(file, 2, os_version);
    used += pack_string(file, 5, os_build);
    used += pack_enum(file, 3, architecture);
    used += zvcrash_writer_pack(file, 4, ZVCRASH_WRITER_TYPE_INT64, &timestamp);
    return used;
}

size_t zvcrash_writer_write_processor(zvcrash_async_file* file, uint32_t encoding, uint64_t type, uint64_t subtype) {
    size_t used = pack_enum(file, 1, encoding);
    used += pack_uint64(file, 2, type);
    used += pack_uint64(file, 3, subtype);
    return used;
}

size_t zvcrash_writer_write_machine_info(zvcrash_async_file* file, const char* model, uint64_t cpu_type, uint64_t cpu_subtype,
                                         uint32_t processor_count, uint32_t logical_processor_count) {
    size_t used = 0;
    if (model != nullptr) used += pack_string(file, 1, model);
    used += pack_message(file, 2, [&](zvcrash_async_file* f) {
        return zvcrash_writer_write_processor(f, ZVCRASH_TYPE_ENCODING_MACH, cpu_type, cpu_subtype);
    });
    used += pack_uint32(file, 3, processor_count);
    used += pack_uint32(file, 4, logical_processor_count);
    return used;
}

size_t zvcrash_writer_write_application_info(zvcrash_async_file* file, const char* identifier, const char* version,
                                             const char* marketing_version) {
    size_t used = pack_string(file, 1, identifier);
    used += pack_string(file, 2, version);
    used += pack_string(file, 3, marketing_version);
    return used;
}

size_t zvcrash_writer_write_process_info(zvcrash_async_file* file, const char* process_name, uint32_t process_id, const char* process_path,
                                         const char* parent_process_name, uint32_t parent_process_id, bool native, uint64_t start_time) {
    size_t used = pack_string(file, 1, process_name);
    used += pack_uint32(file, 2, process_id);
    used += pack_string(file, 3, process_path);
    used += pack_string(file, 4, parent_process_name);
    used += pack_uint32(file, 5, parent_process_id);
    used += pack_bool(file, 6, native);
    used += pack_uint64(file, 7, start_time);
    return used;
}

size_t zvcrash_writer_write_symbol(zvcrash_async_file* file, const char* name, uint64_t start_address) {
    size_t used = pack_string(file, 1, name);
    used += pack_uint64(file, 2, start_address);
    return used;
}

size_t zvcrash_writer_write_frame(zvcrash_async_file* file, const zvcrash_writer_frame* frame) {
    size_t used = pack_uint64(file, 3, frame->pc);
    if (frame->symbol_name != nullptr) {
        used += pack_message(
            file, 6, [&](zvcrash_async_file* f) { return zvcrash_writer_write_symbol(f, frame->symbol_name, frame->symbol_start); });
    }
    return used;
}

size_t zvcrash_writer_write_register(zvcrash_async_file* file, const zvcrash_writer_register* reg) {
    size_t used = pack_string(file, 1, reg->name);
    used += pack_uint64(file, 2, reg->value);
    return used;
}

size_t zvcrash_writer_write_thread(zvcrash_async_file* file, uint32_t thread_number, bool crashed, const zvcrash_writer_register* registers,
                                   size_t register_count, const zvcrash_writer_frame* frames, size_t frame_count) {
    size_t used = pack_uint32(file, 1, thread_number);
    used += pack_bool(file, 3, crashed);
    for (size_t i = 0; i < register_count; ++i) {
        used += pack_message(file, 4, [&](zvcrash_async_file* f) { return zvcrash_writer_write_register(f, &registers[i]); });
    }
    used += pack_frames(file, 2, frames, frame_count);
    return used;
}

size_t zvcrash_writer_write_binary_image(zvcrash_async_file* file, const zvcrash_writer_image* image) {
    size_t used = pack_uint64(file, 2, image->size);
    used += pack_uint64(file, 1, image->base_address);
    used += pack_string(file, 3, image->name);
    if (image->uuid != nullptr) {
        zvcrash_writer_bytes bytes = {image->uuid, 16};
        used += zvcrash_writer_pack(file, 4, ZVCRASH_WRITER_TYPE_BYTES, &bytes);
    }
    used += pack_message(file, 5, [&](zvcrash_async_file* f) {
        return zvcrash_writer_write_processor(f, ZVCRASH_TYPE_ENCODING_MACH, image->cpu_type, image->cpu_subtype);
    });
    return used;
}

size_t zvcrash_writer_write_exception(zvcrash_async_file* file, const char* name, const char* reason, const zvcrash_writer_frame* frames,
                                      size_t frame_count) {
    size_t used = pack_string(file, 1, name);
    used += pack_string(file, 2, reason);
    used += pack_frames(file, 3, frames, frame_count);
    return used;
}

size_t zvcrash_writer_write_mach_exception(zvcrash_async_file* file, uint64_t type, const uint64_t* codes, size_t code_count) {
    size_t used = pack_uint64(file, 1, type);
    for (size_t i = 0; i < code_count; ++i) used += pack_uint64(file, 2, codes[i]);
    return used;
}

size_t zvcrash_writer_write_signal(zvcrash_async_file* file, const char* name, const char* code, uint64_t address, bool has_mach_exception,
                                   uint64_t mach_type, const uint64_t* mach_codes, size_t mach_code_count) {
    size_t used = pack_string(file, 1, name);
    used += pack_string(file, 2, code);
    used += pack_uint64(file, 3, address);
    if (has_mach_exception) {
        used += pack_message(
            file, 4, [&](zvcrash_async_file* f) { return zvcrash_writer_write_mach_exception(f, mach_type, mach_codes, mach_code_count); });
    }
    return used;
}
