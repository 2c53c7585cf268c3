#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RideZav/core/ReadWriteLock.h"
#include "RideZav/core/RideZavValue.h"

namespace ridezav {

// The persistent store under an upload queue: one file per event in `queue`, named by its store
// time in seconds since 1970 ("1704067200.0"), and the names in upload order in memory.
// Files are written under a temporary non-numeric name and moved into place without replacing
// anything, so a crash never leaves a torn event under a numeric name and names never clash.
// Nothing is fsynced: an event whose add returned survives the death of the process (the page
// cache outlives it); after a power loss the newest events may be missing or empty, and an empty
// or cut file reads as no event and leaves with its batch.
// Thread contract: every operation from any thread. _items is guarded by its read-write lock
// (file I/O outside it); lastName_ and spare_ by addMutex_, which serialises writers so names
// increase.
class RideZavFileBackedQueue {
public:
    // What one batch read: every name it walked (missing and unreadable files included), and
    // the contents it could read, oldest first.
    struct Batch {
        std::vector<std::string> names;
        std::vector<std::string> contents;
    };

    explicit RideZavFileBackedQueue(std::filesystem::path queue,
                                    std::optional<std::filesystem::path> oldQueue = std::nullopt);
    ~RideZavFileBackedQueue();
    RideZavFileBackedQueue(const RideZavFileBackedQueue&) = delete;
    RideZavFileBackedQueue& operator=(const RideZavFileBackedQueue&) = delete;

    // Creates the folder, migrates the legacy file, removes leftover temporary files and loads
    // the names in numeric order. Entries whose names are not numbers are left alone, unlisted.
    void setup(const std::optional<std::filesystem::path>& oldQueue);
    // Writes a new event file and appends its name; false (with a log line) when it failed.
    bool add(std::string_view contents);
    // Up to `count` contents from the front, without removing anything.
    std::vector<std::string> peek(std::size_t count) const;
    // As peek, also naming every entry walked, so that exactly those can be removed later.
    Batch peekBatch(std::size_t count) const;
    // Removes the name at `index` and its file in one locked step; nothing when out of range.
    void deleteAt(std::size_t index);
    // Removes up to `count` names from the front and their files.
    void pop(std::size_t count);
    // Removes exactly these names (wherever they are now) and their files.
    void remove(const std::vector<std::string>& names);
    std::size_t depth() const;
    // Opens an empty temporary file for the next add, so that creating a file (the slow part on
    // a journalled file system) happens on the caller's thread rather than the capturing one.
    void prepareSpareFile();

    const std::filesystem::path& queue() const { return queue_; }
    // A copy of the names in upload order.
    std::vector<std::string> names() const { return _items.value(); }

    // "1704067200.0": the shortest text that reads back as `seconds`, in fixed notation with
    // at least one fractional digit.
    static std::string fileName(double seconds);
    // The number a name stands for; none for names that are not plain decimal numbers.
    static std::optional<double> nameValue(std::string_view name);
    static bool isTemporaryName(std::string_view name);

private:
    // Writes `contents` under the first free name at or after `seconds`; the name, or none
    // (logged). Caller holds addMutex_.
    std::optional<std::string> write(std::string_view contents, double seconds);
    // A new temporary file: its path and descriptor, or none with errno set.
    std::optional<std::pair<std::string, int>> openTemporary() const;
    void migrate(const std::filesystem::path& source);

    std::filesystem::path queue_;
    ReadWriteLock<std::vector<std::string>> _items{{}};
    std::mutex addMutex_;
    std::optional<double> lastName_;  // guarded by addMutex_: the highest name given out or loaded
    std::optional<std::pair<std::string, int>> spare_;  // guarded by addMutex_: path and descriptor
};

double secondsSince1970(Date date);

}  // namespace ridezav
