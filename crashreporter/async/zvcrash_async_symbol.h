// Names the function of a program counter at crash time, from the image's symbol table and from
// its class metadata, and gives methods found in the metadata in the bracketed form
// "-[Class selector]" ('+' for a class method).
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_image.h"
#include "crashreporter/async/zvcrash_async_objc.h"

// Which sources a look-up consults (the writer passes its configured strategy masked with 3).
enum : uint32_t {
    ZVCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE = 1,
    ZVCRASH_SYMBOL_STRATEGY_OBJC = 2,
};

// The buffer a name is built in: at most 255 bytes and the NUL.
inline constexpr size_t ZVCRASH_ASYNC_SYMBOL_NAME_SIZE = 256;

// What the look-ups of one report share: the metadata parser's section copies and class cache.
struct zvcrash_async_symbol_cache {
    zvcrash_async_objc_cache objc;
};

// Receives the best name found: the symbol's start address and its NUL-terminated name (valid
// only during the call).
using zvcrash_async_found_symbol_cb = void (*)(uint64_t address, const char* name, void* context);

// Safe at crash time.
void zvcrash_async_symbol_cache_init(zvcrash_async_symbol_cache* cache);
// Safe at crash time (munmap).
void zvcrash_async_symbol_cache_free(zvcrash_async_symbol_cache* cache);

// Consults the sources of strategy in turn and calls callback once with the candidate of the
// highest address at or below pc; of two at the same address the later source's wins, so a
// method named by the metadata is preferred to a symbol at its address. ZVCRASH_ERR_NOTFOUND
// when no source was consulted or every one failed, ZVCRASH_ERR_INTERNAL when a source answered
// but gave no usable name. Safe at crash time.
zvcrash_error_t zvcrash_async_find_symbol(const zvcrash_async_image* image, uint32_t strategy, zvcrash_async_symbol_cache* cache,
                                          uint64_t pc, zvcrash_async_found_symbol_cb callback, void* context);
