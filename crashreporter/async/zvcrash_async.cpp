#include "crashreporter/async/zvcrash_async.h"

#include <cerrno>
#include <cstring>

#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

const char* zvcrash_async_strerror(int error) {
    switch (error) {
        case ZVCRASH_OK:
            return "No error";
        case ZVCRASH_ERR_UNKNOWN:
            return "Unknown error";
        case ZVCRASH_ERR_OUTPUT:
            return "Output file can not be opened (or written to)";
        case ZVCRASH_ERR_NOMEM:
            return "No memory available";
        case ZVCRASH_ERR_NOTSUP:
            return "Operation not supported";
        case ZVCRASH_ERR_INVAL:
            return "Invalid argument";
        case ZVCRASH_ERR_INTERNAL:
            return "Internal error";
        case ZVCRASH_ERR_ACCESS:
            return "Access denied";
        case ZVCRASH_ERR_NOTFOUND:
            return "Not found";
        case ZVCRASH_ERR_BADDATA:
            return "The input data is in an unknown or invalid format.";
    }
    return "Unhandled error code";
}

uint16_t zvcrash_async_byteorder_direct16(uint16_t value) { return value; }
uint32_t zvcrash_async_byteorder_direct32(uint32_t value) { return value; }
uint64_t zvcrash_async_byteorder_direct64(uint64_t value) { return value; }
uint16_t zvcrash_async_byteorder_swap16(uint16_t value) { return __builtin_bswap16(value); }
uint32_t zvcrash_async_byteorder_swap32(uint32_t value) { return __builtin_bswap32(value); }
uint64_t zvcrash_async_byteorder_swap64(uint64_t value) { return __builtin_bswap64(value); }

namespace {
constexpr zvcrash_async_byteorder directTable = {zvcrash_async_byteorder_direct16, zvcrash_async_byteorder_direct32,
                                                 zvcrash_async_byteorder_direct64};
constexpr zvcrash_async_byteorder swappedTable = {zvcrash_async_byteorder_swap16, zvcrash_async_byteorder_swap32,
                                                  zvcrash_async_byteorder_swap64};
}  // namespace

const zvcrash_async_byteorder* zvcrash_async_byteorder_direct() { return &directTable; }
const zvcrash_async_byteorder* zvcrash_async_byteorder_swapped() { return &swappedTable; }

bool zvcrash_async_address_apply_offset(uint64_t base, int64_t offset, uint64_t* out) {
    uint64_t result;
    if (offset >= 0) {
        if (__builtin_add_overflow(base, static_cast<uint64_t>(offset), &result)) return false;
    } else {
        // The magnitude of INT64_MIN does not fit an int64_t, so negate in unsigned arithmetic.
        uint64_t magnitude = 0 - static_cast<uint64_t>(offset);
        if (magnitude > base) return false;
        result = base - magnitude;
    }
    if (out) *out = result;
    return true;
}

pid_t zvcrash_async_current_thread_port() { return static_cast<pid_t>(syscall(SYS_gettid)); }

namespace {

// Our pid, kept in a page the kernel clears in a forked child: a child that kept its parent's
// pid would read the parent's memory. Zero means it has to be asked for again.
pid_t* makePidSlot() {
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return nullptr;
    if (madvise(page, 4096, MADV_WIPEONFORK) != 0) {
        munmap(page, 4096);
        return nullptr;
    }
    auto* slot = static_cast<pid_t*>(page);
    *slot = getpid();
    return slot;
}

// Null before static initialisation has run, or when the kernel cannot clear pages on fork:
// then every read asks.
pid_t* pidSlot = makePidSlot();

pid_t ownPid() {
    pid_t* slot = pidSlot;
    if (slot == nullptr) return getpid();
    pid_t pid = __atomic_load_n(slot, __ATOMIC_RELAXED);
    if (pid == 0) {
        pid = getpid();
        __atomic_store_n(slot, pid, __ATOMIC_RELAXED);
    }
    return pid;
}

zvcrash_error_t selfRead(const zvcrash_async_task* task, uint64_t address, void* dest, size_t length) {
    if (length == 0) return ZVCRASH_OK;
    iovec local = {dest, length};
    iovec remote = {reinterpret_cast<void*>(address), length};
    ssize_t copied = process_vm_readv(ownPid(), &local, 1, &remote, 1, 0);
    if (copied == static_cast<ssize_t>(length)) return ZVCRASH_OK;
    if (copied < 0 && errno != EFAULT) return ZVCRASH_ERR_UNKNOWN;
    // The first byte that was not copied tells which page failed: one that is not mapped at all,
    // or one that is mapped without read permission.
    uint64_t failed = address + (copied > 0 ? static_cast<uint64_t>(copied) : 0);
    uint64_t page = failed & ~(task->page_size - 1);
    unsigned char resident;
    if (mincore(reinterpret_cast<void*>(page), 1, &resident) != 0 && errno == ENOMEM) return ZVCRASH_ERR_NOTFOUND;
    return ZVCRASH_ERR_ACCESS;
}

// x86-64 and the other targets we build for use 4 KiB pages; asking sysconf at crash time is
// not safe, so the size is fixed here and checked by the tests.
const zvcrash_async_task selfTask = {selfRead, 4096};

}  // namespace

zvcrash_async_task_t zvcrash_async_task_self() { return &selfTask; }

zvcrash_error_t zvcrash_async_task_memcpy(zvcrash_async_task_t task, uint64_t address, int64_t offset, void* dest, size_t length) {
    uint64_t target;
    if (!zvcrash_async_address_apply_offset(address, offset, &target)) return ZVCRASH_ERR_NOMEM;
    return task->read(task, target, dest, length);
}

zvcrash_error_t zvcrash_async_task_read_uint8(zvcrash_async_task_t task, uint64_t address, int64_t offset, uint8_t* out) {
    return zvcrash_async_task_memcpy(task, address, offset, out, sizeof(*out));
}

zvcrash_error_t zvcrash_async_task_read_uint16(zvcrash_async_task_t task, const zvcrash_async_byteorder* byteorder, uint64_t address,
                                               int64_t offset, uint16_t* out) {
    zvcrash_error_t error = zvcrash_async_task_memcpy(task, address, offset, out, sizeof(*out));
    if (error == ZVCRASH_OK) *out = byteorder->swap16(*out);
    return error;
}

zvcrash_error_t zvcrash_async_task_read_uint32(zvcrash_async_task_t task, const zvcrash_async_byteorder* byteorder, uint64_t address,
                                               int64_t offset, uint32_t* out) {
    zvcrash_error_t error = zvcrash_async_task_memcpy(task, address, offset, out, sizeof(*out));
    if (error == ZVCRASH_OK) *out = byteorder->swap32(*out);
    return error;
}

zvcrash_error_t zvcrash_async_task_read_uint64(zvcrash_async_task_t task, const zvcrash_async_byteorder* byteorder, uint64_t address,
                                               int64_t offset, uint64_t* out) {
    zvcrash_error_t error = zvcrash_async_task_memcpy(task, address, offset, out, sizeof(*out));
    if (error == ZVCRASH_OK) *out = byteorder->swap64(*out);
    return error;
}

int zvcrash_async_strcmp(const char* a, const char* b) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x != 0 && *x == *y) {
        ++x;
        ++y;
    }
    return static_cast<int>(*x) - static_cast<int>(*y);
}

int zvcrash_async_strncmp(const char* a, const char* b, size_t n) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) return static_cast<int>(x[i]) - static_cast<int>(y[i]);
        if (x[i] == 0) return 0;
    }
    return 0;
}

void* zvcrash_async_memcpy(void* dest, const void* src, size_t length) {
    auto* d = static_cast<unsigned char*>(dest);
    const auto* s = static_cast<const unsigned char*>(src);
    for (size_t i = 0; i < length; ++i) {
        d[i] = s[i];
        // Keeps the compiler from turning the loop back into a call to the library's memcpy.
        __asm__ volatile("" : : "r"(d) : "memory");
    }
    return dest;
}

void* zvcrash_async_memset(void* dest, int value, size_t length) {
    if (length != 0) memset(dest, value & 0xff, length);
    return dest;
}

ssize_t zvcrash_async_writen(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const unsigned char*>(data);
    size_t remaining = length;
    while (remaining > 0) {
        ssize_t written = write(fd, p, remaining);
        if (written > 0) {
            p += written;
            remaining -= static_cast<size_t>(written);
            continue;
        }
        // Only an interrupted call is tried again: a write of 0 bytes leaves errno as it was, and a
        // stale EINTR there would spin forever.
        if (written < 0 && errno == EINTR) continue;
        return -1;
    }
    return static_cast<ssize_t>(length);
}
