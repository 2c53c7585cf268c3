#include "crashreporter/async/zvcrash_async_image_feeder.h"

void zvcrash_async_image_feeder_init(zvcrash_async_image_feeder* feeder, zvcrash_async_image_list* list) {
    feeder->list = list;
    feeder->adds = 0;
    feeder->subs = 0;
    feeder->synced = false;
}
void zvcrash_async_image_feeder_resync(zvcrash_async_image_feeder* feeder) {}
