#include "crashreporter/async/zvcrash_async_file.h"

#include <unistd.h>

void zvcrash_async_file_init(zvcrash_async_file* file, int fd, uint64_t limit) {
    file->fd = fd;
    file->limit = limit;
    file->total_bytes = 0;
    file->buflen = 0;
    file->refused = false;
}

namespace {

bool accept(zvcrash_async_file* file, const void* data, uint64_t length) {
    if (file->limit != 0) {
        if (length > file->limit || file->total_bytes > file->limit - length) return false;
    }
    if (file->buflen + length > sizeof(file->buffer)) {
        if (!zvcrash_async_file_flush(file)) return false;
    }
    if (file->buflen + length > sizeof(file->buffer)) {
        if (zvcrash_async_writen(file->fd, data, length) < 0) return false;
    } else {
        zvcrash_async_memcpy(file->buffer + file->buflen, data, length);
        file->buflen += length;
    }
    if (file->limit != 0) file->total_bytes += length;
    return true;
}

}  // namespace

bool zvcrash_async_file_write(zvcrash_async_file* file, const void* data, uint64_t length) {
    if (file->refused) return false;
    if (accept(file, data, length)) return true;
    file->refused = true;
    return false;
}

bool zvcrash_async_file_incomplete(const zvcrash_async_file* file) { return file->refused; }

bool zvcrash_async_file_flush(zvcrash_async_file* file) {
    if (file->buflen == 0) return true;
    if (zvcrash_async_writen(file->fd, file->buffer, file->buflen) < 0) return false;
    file->buflen = 0;
    return true;
}

bool zvcrash_async_file_close(zvcrash_async_file* file) {
    if (!zvcrash_async_file_flush(file)) return false;
    return close(file->fd) == 0;
}
