#include "RideZav/delivery/Gzip.h"

#include <zlib.h>

#include <cstring>

#include "platform/base/UTF8.h"

namespace ridezav {

namespace {
constexpr std::size_t chunk = 16384;
}

GzipError::Kind GzipError::Kind::fromCode(int zlibCode) {
    switch (zlibCode) {
        case Z_STREAM_ERROR:
            return stream();
        case Z_DATA_ERROR:
            return data();
        case Z_MEM_ERROR:
            return memory();
        case Z_BUF_ERROR:
            return buffer();
        case Z_VERSION_ERROR:
            return version();
        default:
            return unknown(zlibCode);
    }
}

GzipError::GzipError(int zlibCode, const char* streamMessage)
    : kind(Kind::fromCode(zlibCode)),
      message(streamMessage && velmo::isValidUTF8(streamMessage) ? streamMessage : "Unknown gzip error") {}

std::string gzipped(std::string_view input, CompressionLevel level, int wBits) {
    if (input.empty()) return {};

    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    int status = deflateInit2(&stream, level.rawValue, Z_DEFLATED, wBits, 9, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) throw GzipError(status, stream.msg);

    std::string output(chunk, '\0');
    do {
        if (stream.total_out >= output.size()) output.resize(output.size() + chunk);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data())) + stream.total_in;
        stream.avail_in = static_cast<uInt>(input.size() - stream.total_in);
        stream.next_out = reinterpret_cast<Bytef*>(output.data()) + stream.total_out;
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        status = deflate(&stream, Z_FINISH);
    } while (stream.avail_out == 0 && status != Z_STREAM_END);

    // The message belongs to the stream: copy it before deflateEnd releases the stream.
    const GzipError failure(status, stream.msg);
    const bool ended = deflateEnd(&stream) == Z_OK;
    if (!ended || status != Z_STREAM_END) throw failure;
    output.resize(stream.total_out);
    return output;
}

}  // namespace ridezav
