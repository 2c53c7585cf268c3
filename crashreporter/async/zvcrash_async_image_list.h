// The process's own list of loaded images, read without a lock on the crash path while other
// threads load and unload libraries. Writers (the feeder, outside the crash path) serialise on
// the list's lock; readers bracket their walk with set_reading(true) ... set_reading(false).
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async.h"
#include "crashreporter/async/zvcrash_async_image.h"
#include "crashreporter/async/zvcrash_async_list.h"

struct zvcrash_async_image_list {
    zvcrash_async_task_t task;
    zvcrash::async::async_list<zvcrash_async_image*>* list;
};

// An empty list of the task's images. Not safe at crash time: allocates the list body.
void zvcrash_async_image_list_init(zvcrash_async_image_list* list, zvcrash_async_task_t task);
// Releases every image and node. Only for a list no other thread uses any more.
// Not safe at crash time: frees memory.
void zvcrash_async_image_list_free(zvcrash_async_image_list* list);

// Reads the image at header_address (ELF or Mach-O) and appends it; an image that cannot be
// read is left out and false returned. Not safe at crash time: allocates and takes the lock.
bool zvcrash_async_image_list_append(zvcrash_async_image_list* list, uint64_t header_address, const char* path);
// Removes the first image with that header address; nothing happens when there is none. The
// image is released once no reader can reach it. Not safe at crash time: takes the lock.
void zvcrash_async_image_list_remove(zvcrash_async_image_list* list, uint64_t header_address);

// Counts the caller in (true) or out (false) as a reader. Safe at crash time.
void zvcrash_async_image_list_set_reading(zvcrash_async_image_list* list, bool reading);

// The first image that contains address, or null. The caller holds the reader count.
// Safe at crash time.
zvcrash_async_image* zvcrash_async_image_containing_address(zvcrash_async_image_list* list, uint64_t address);

// The oldest image when current is null, else the image after current; null after the last.
// The caller holds the reader count. Safe at crash time.
zvcrash_async_image* zvcrash_async_image_list_next(zvcrash_async_image_list* list, const zvcrash_async_image* current);
