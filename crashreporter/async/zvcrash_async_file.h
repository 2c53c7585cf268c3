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
    // Set by the first refused write. A report is a chain of lengths: once one field is missing,
    // whatever follows would be read with the wrong lengths, so every later write is refused too.
    bool refused;
    uint8_t buffer[ZVCRASH_ASYNC_FILE_BUFFER_SIZE];
};

// Takes an open descriptor (still owned by the caller until close). Safe at crash time.
void zvcrash_async_file_init(zvcrash_async_file* file, int fd, uint64_t limit);

// Accepts the whole request or nothing: a write that would pass the limit, or that the descriptor
// does not take, is refused whole and leaves the count as it was; after a refusal every later
// write is refused as well. Safe at crash time.
bool zvcrash_async_file_write(zvcrash_async_file* file, const void* data, uint64_t length);

// Whether a write has been refused, so that the output lacks bytes it was given. Safe at crash time.
bool zvcrash_async_file_incomplete(const zvcrash_async_file* file);

// Writes the buffered bytes; an empty buffer makes no system call. Safe at crash time.
bool zvcrash_async_file_flush(zvcrash_async_file* file);

// Flushes, then closes the descriptor; a failed flush leaves the descriptor open. Safe at crash time.
bool zvcrash_async_file_close(zvcrash_async_file* file);
