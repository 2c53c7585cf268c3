#include "crashreporter/async/zvcrash_async_image_feeder.h"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

struct Loaded {
    uint64_t header;
    char* path;
};

struct Scan {
    Loaded* entries = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    unsigned long long adds = 0;
    unsigned long long subs = 0;
    bool countsKnown = false;
    bool stopAfterCounts = false;
    bool failed = false;
};

// Where the ELF header of an object is: the start of the load that maps file offset 0.
bool headerAddress(const dl_phdr_info* info, uint64_t* out) {
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& phdr = info->dlpi_phdr[i];
        if (phdr.p_type == PT_LOAD && phdr.p_offset == 0) {
            *out = info->dlpi_addr + phdr.p_vaddr;
            return true;
        }
    }
    return false;
}

char* pathOf(const dl_phdr_info* info, bool first, uint64_t header) {
    if (header == getauxval(AT_SYSINFO_EHDR))
        return strdup(info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' ? info->dlpi_name : "[vdso]");
    if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') return strdup(info->dlpi_name);
    if (first) {
        char buffer[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
        if (length > 0) {
            buffer[length] = '\0';
            return strdup(buffer);
        }
    }
    return strdup("");
}

int collect(dl_phdr_info* info, size_t size, void* data) {
    auto* scan = static_cast<Scan*>(data);
    const bool first = !scan->countsKnown;
    if (first && size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
        scan->adds = info->dlpi_adds;
        scan->subs = info->dlpi_subs;
        scan->countsKnown = true;
        if (scan->stopAfterCounts) return 1;
    }
    scan->countsKnown = true;
    uint64_t header;
    if (!headerAddress(info, &header)) return 0;
    if (scan->count == scan->capacity) {
        const size_t capacity = scan->capacity == 0 ? 64 : scan->capacity * 2;
        auto* grown = static_cast<Loaded*>(std::realloc(scan->entries, capacity * sizeof(Loaded)));
        if (grown == nullptr) {
            scan->failed = true;
            return 1;
        }
        scan->entries = grown;
        scan->capacity = capacity;
    }
    char* path = pathOf(info, first, header);
    if (path == nullptr) {
        scan->failed = true;
        return 1;
    }
    scan->entries[scan->count++] = Loaded{header, path};
    return 0;
}

void release(Scan* scan) {
    for (size_t i = 0; i < scan->count; ++i) std::free(scan->entries[i].path);
    std::free(scan->entries);
}

bool listed(const Scan& scan, uint64_t header, const char* path) {
    for (size_t i = 0; i < scan.count; ++i) {
        if (scan.entries[i].header == header && std::strcmp(scan.entries[i].path, path) == 0) return true;
    }
    return false;
}

}  // namespace

void zvcrash_async_image_feeder_init(zvcrash_async_image_feeder* feeder, zvcrash_async_image_list* list) {
    feeder->list = list;
    feeder->adds = 0;
    feeder->subs = 0;
    feeder->synced = false;
    zvcrash_async_image_feeder_resync(feeder);
}

void zvcrash_async_image_feeder_resync(zvcrash_async_image_feeder* feeder) {
    if (feeder->synced) {
        Scan counts;
        counts.stopAfterCounts = true;
        dl_iterate_phdr(&collect, &counts);
        if (counts.countsKnown && counts.adds == feeder->adds && counts.subs == feeder->subs) return;
        release(&counts);
    }

    Scan scan;
    dl_iterate_phdr(&collect, &scan);
    if (scan.failed) {
        release(&scan);
        return;
    }

    // Images gone (or replaced by another at the same address) leave; new ones join at the end.
    zvcrash_async_image_list* list = feeder->list;
    uint64_t* gone = nullptr;
    size_t goneCount = 0;
    size_t goneCapacity = 0;
    zvcrash_async_image_list_set_reading(list, true);
    for (zvcrash_async_image* image = zvcrash_async_image_list_next(list, nullptr); image != nullptr;
         image = zvcrash_async_image_list_next(list, image)) {
        if (listed(scan, zvcrash_async_image_base(image), zvcrash_async_image_path(image))) continue;
        if (goneCount == goneCapacity) {
            goneCapacity = goneCapacity == 0 ? 16 : goneCapacity * 2;
            auto* grown = static_cast<uint64_t*>(std::realloc(gone, goneCapacity * sizeof(uint64_t)));
            if (grown == nullptr) break;
            gone = grown;
        }
        gone[goneCount++] = zvcrash_async_image_base(image);
    }
    zvcrash_async_image_list_set_reading(list, false);
    for (size_t i = 0; i < goneCount; ++i) zvcrash_async_image_list_remove(list, gone[i]);
    std::free(gone);

    for (size_t i = 0; i < scan.count; ++i) {
        bool present = false;
        zvcrash_async_image_list_set_reading(list, true);
        for (zvcrash_async_image* image = zvcrash_async_image_list_next(list, nullptr); image != nullptr && !present;
             image = zvcrash_async_image_list_next(list, image)) {
            present = zvcrash_async_image_base(image) == scan.entries[i].header &&
                      std::strcmp(zvcrash_async_image_path(image), scan.entries[i].path) == 0;
        }
        zvcrash_async_image_list_set_reading(list, false);
        if (!present) zvcrash_async_image_list_append(list, scan.entries[i].header, scan.entries[i].path);
    }

    feeder->adds = scan.adds;
    feeder->subs = scan.subs;
    feeder->synced = true;
    release(&scan);
}
