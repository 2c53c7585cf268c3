#include "RideZav/delivery/RideZavEventJournal.h"

#include <errno.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cmath>
#include <cstring>

namespace ridezav {

namespace {

constexpr char journalMagic[8] = {'R', 'Z', 'J', 'R', 'N', 'L', '1', '\0'};
constexpr std::uint32_t entryMagic = 0x56455a52;  // "RZEV"
constexpr std::size_t sizeOffset = 16;
constexpr std::size_t committedOffset = 24;

std::uint64_t load(const char* bytes, std::size_t offset) {
    std::uint64_t value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

std::uint32_t load32(const char* bytes, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

std::atomic_ref<std::uint64_t> field(char* map, std::size_t offset) {
    return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(map + offset));
}

std::uint32_t checksum(double name, std::string_view contents) {
    uLong crc = ::crc32(0L, reinterpret_cast<const Bytef*>(&name), sizeof name);
    while (!contents.empty()) {
        const auto chunk = static_cast<uInt>(std::min<std::size_t>(contents.size(), 1u << 30));
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(contents.data()), chunk);
        contents.remove_prefix(chunk);
    }
    return static_cast<std::uint32_t>(crc);
}

// The entry at `offset` if it lies whole before `limit` and reads back; none otherwise.
std::optional<RideZavEventJournal::Entry> entryAt(const char* bytes, std::uint64_t offset, std::uint64_t limit) {
    if (offset > limit || limit - offset < RideZavEventJournal::entryHeaderSize) return std::nullopt;
    if (load32(bytes, offset) != entryMagic) return std::nullopt;
    const std::uint64_t length = load32(bytes, offset + 4);
    if (length > limit - offset - RideZavEventJournal::entryHeaderSize) return std::nullopt;
    double name;
    std::memcpy(&name, bytes + offset + 8, sizeof name);
    if (!std::isfinite(name)) return std::nullopt;
    const std::string_view contents(bytes + offset + RideZavEventJournal::entryHeaderSize, length);
    if (load32(bytes, offset + 16) != checksum(name, contents)) return std::nullopt;
    const std::uint64_t end = offset + RideZavEventJournal::entrySize(length);
    if (end > limit) return std::nullopt;
    return RideZavEventJournal::Entry{name, contents, end};
}

}  // namespace

std::size_t RideZavEventJournal::entrySize(std::size_t length) { return entryHeaderSize + ((length + 7) & ~std::size_t{7}); }

std::unique_ptr<RideZavEventJournal> RideZavEventJournal::create(int fd, std::size_t size) {
    size = std::max(size, headerSize + entryHeaderSize) & ~std::size_t{7};
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    char* bytes = static_cast<char*>(map);
    // A write to every page now takes the faults (and the block reservations) here, on the
    // thread that makes journals, rather than on the one that appends.
    const long page = ::sysconf(_SC_PAGESIZE);
    for (std::size_t offset = 0; offset < size; offset += static_cast<std::size_t>(page > 0 ? page : 4096))
        std::atomic_ref<char>(bytes[offset]).store(0, std::memory_order_relaxed);
    std::memcpy(bytes, journalMagic, sizeof journalMagic);
    const std::uint32_t header = headerSize;
    std::memcpy(bytes + 8, &header, sizeof header);
    const std::uint64_t total = size;
    std::memcpy(bytes + sizeOffset, &total, sizeof total);
    field(bytes, committedOffset).store(headerSize, std::memory_order_release);
    field(bytes, publishedOffset).store(headerSize, std::memory_order_release);
    return std::unique_ptr<RideZavEventJournal>(new RideZavEventJournal(fd, bytes, size));
}

RideZavEventJournal::~RideZavEventJournal() {
    ::munmap(map_, size_);
    ::close(fd_);
}

std::uint64_t RideZavEventJournal::committed() const { return field(map_, committedOffset).load(std::memory_order_acquire); }

bool RideZavEventJournal::append(double name, std::string_view contents) {
    const std::uint64_t at = field(map_, committedOffset).load(std::memory_order_relaxed);
    if (contents.size() > UINT32_MAX || entrySize(contents.size()) > size_ - at) return false;
    char* entry = map_ + at;
    const std::uint32_t magic = entryMagic;
    const auto length = static_cast<std::uint32_t>(contents.size());
    const std::uint32_t crc = checksum(name, contents);
    const std::uint32_t zero = 0;
    std::memcpy(entry, &magic, 4);
    std::memcpy(entry + 4, &length, 4);
    std::memcpy(entry + 8, &name, 8);
    std::memcpy(entry + 16, &crc, 4);
    std::memcpy(entry + 20, &zero, 4);
    std::memcpy(entry + entryHeaderSize, contents.data(), contents.size());
    const std::size_t padding = entrySize(contents.size()) - entryHeaderSize - contents.size();
    std::memset(entry + entryHeaderSize + contents.size(), 0, padding);
    // The entry is whole before it counts.
    field(map_, committedOffset).store(at + entrySize(contents.size()), std::memory_order_release);
    return true;
}

std::optional<RideZavEventJournal::Entry> RideZavEventJournal::next() const {
    const std::uint64_t published = field(map_, publishedOffset).load(std::memory_order_relaxed);
    return entryAt(map_, published, committed());
}

void RideZavEventJournal::markPublished(std::uint64_t end) { field(map_, publishedOffset).store(end, std::memory_order_release); }

void RideZavEventJournal::reset() {
    // Committed first: a published offset past the committed one reads as nothing pending.
    field(map_, committedOffset).store(headerSize, std::memory_order_release);
    field(map_, publishedOffset).store(headerSize, std::memory_order_release);
}

bool RideZavEventJournal::linked() const {
    struct stat status;
    return ::fstat(fd_, &status) == 0 && status.st_nlink > 0;
}

std::vector<RideZavEventJournal::Entry> RideZavEventJournal::pending(std::string_view bytes) {
    std::vector<Entry> entries;
    if (bytes.size() < headerSize || std::memcmp(bytes.data(), journalMagic, sizeof journalMagic) != 0) return entries;
    if (load32(bytes.data(), 8) != headerSize) return entries;
    const std::uint64_t limit = std::min<std::uint64_t>(load(bytes.data(), sizeOffset), bytes.size());
    // A file cut short still holds the whole entries before the cut.
    const std::uint64_t said = load(bytes.data(), committedOffset);
    const std::uint64_t committed = std::min(said, limit);
    std::uint64_t offset = load(bytes.data(), publishedOffset);
    if (offset < headerSize || offset > said) return entries;
    while (offset < committed) {
        auto entry = entryAt(bytes.data(), offset, committed);
        if (!entry) break;
        offset = entry->end;
        entries.push_back(*entry);
    }
    return entries;
}

}  // namespace ridezav
