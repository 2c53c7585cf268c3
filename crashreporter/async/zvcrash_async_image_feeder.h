// Keeps an image list in step with what the dynamic loader has loaded in this process, from
// dl_iterate_phdr. Runs outside the crash path: images loaded after the last resync are not in
// the list when a crash comes.
#pragma once

#include <cstdint>

#include "crashreporter/async/zvcrash_async_image_list.h"

struct zvcrash_async_image_feeder {
    zvcrash_async_image_list* list;
    // The loader's counts of loads and unloads at the last sync.
    unsigned long long adds;
    unsigned long long subs;
    bool synced;
};

// Lists every image loaded now: the main executable (path from /proc/self/exe), the vDSO and
// every shared object. Not safe at crash time: calls the dynamic loader and allocates.
void zvcrash_async_image_feeder_init(zvcrash_async_image_feeder* feeder, zvcrash_async_image_list* list);

// Appends images loaded and removes images unloaded since the last sync; returns at once when
// the loader's counts have not moved. Not safe at crash time: calls the dynamic loader.
void zvcrash_async_image_feeder_resync(zvcrash_async_image_feeder* feeder);
