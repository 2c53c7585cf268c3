#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ridezav {

// A file of events not yet written as event files, appended through a shared mapping: a store
// to mapped memory is in the page cache at once, so an event appended here survives the death of
// the process without a system call on the appending thread. The store's writer turns entries
// into event files and marks them published; set-up turns what a killed process left into event
// files. Nothing is fsynced, as with event files.
//
// Layout (host byte order): a 64-byte header {"RZJRNL1\0", u32 header size 64, u32 0, u64 file
// size, u64 committed, u64 published}, then entries {u32 "RZEV", u32 length, f64 name, u32 CRC-32
// of the name's bytes and the contents, u32 0, contents, zero padding to 8 bytes}. Entries between
// published and committed are the pending ones; committed moves only after an entry is whole.
// Thread contract: one appender at a time and one publisher at a time (the store's locks), which
// may run on two threads at once: they meet only at the committed offset.
class RideZavEventJournal {
public:
    struct Entry {
        double name = 0;  // the event file's name as a number
        std::string_view contents;
        std::uint64_t end = 0;  // the offset just past the entry
    };

    static constexpr std::size_t headerSize = 64;
    static constexpr std::size_t entryHeaderSize = 24;

    // Maps `fd` (open for reading and writing, owned from now on) as a new journal of `size`
    // bytes, touching every page so that appends do not fault; none (errno set) on failure.
    static std::unique_ptr<RideZavEventJournal> create(int fd, std::size_t size);
    ~RideZavEventJournal();
    RideZavEventJournal(const RideZavEventJournal&) = delete;
    RideZavEventJournal& operator=(const RideZavEventJournal&) = delete;

    // The bytes an entry of `length` contents takes.
    static std::size_t entrySize(std::size_t length);
    std::size_t size() const { return size_; }
    // Appends an entry; false when it does not fit in what is left.
    bool append(double name, std::string_view contents);
    // The first pending entry, or none.
    std::optional<Entry> next() const;
    void markPublished(std::uint64_t end);
    // Empties it for reuse: nothing reads as pending whatever point a kill stops this at.
    void reset();
    // Whether the file still has a name (its folder was not removed).
    bool linked() const;
    int fd() const { return fd_; }
    std::string path;  // where the store linked it

    // The pending entries of a journal file's bytes, oldest first, as views into `bytes`: those
    // that read whole from the published offset on, up to the first that does not.
    static std::vector<Entry> pending(std::string_view bytes);
    // The offset of the published field in the header, where set-up records replayed entries.
    static constexpr std::size_t publishedOffset = 32;

private:
    RideZavEventJournal(int fd, char* map, std::size_t size)
        : fd_(fd),
          map_(map),
          size_(size) {}
    std::uint64_t committed() const;

    int fd_;
    char* map_;
    std::size_t size_;
};

}  // namespace ridezav
