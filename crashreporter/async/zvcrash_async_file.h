// A small buffered output file with an optional byte limit, for the report writer's many small
// field writes. Lives on the caller's stack; belongs to one thread at a time.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"

constexpr uint64_t ZVCRASH_ASYNC_FILE_BUFFER_SIZE = 256;

struct zvcrash_async_file {
    int fd;
    // 0 means no limit.
    uint64_t limit;
    // Total of every length accepted so far; counted only while a limit is set.
    uint64_t total_bytes;
    uint64_t buflen;
    uint8_t buffer[ZVCRASH_ASYNC_FILE_BUFFER_SIZE];
};

// Takes an open descriptor (still owned by the caller until close). Safe at crash time.
void zvcrash_async_file_init(zvcrash_async_file* file, int fd, uint64_t limit);

// Accepts the whole request or nothing: a write that would pass the limit is refused whole and
// leaves the count as it was. Safe at crash time.
bool zvcrash_async_file_write(zvcrash_async_file* file, const void* data, uint64_t length);

// Writes the buffered bytes; an empty buffer makes no system call. Safe at crash time.
bool zvcrash_async_file_flush(zvcrash_async_file* file);

// Flushes, then closes the descriptor; a failed flush leaves the descriptor open. Safe at crash time.
bool zvcrash_async_file_close(zvcrash_async_file* file);
