#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RideZav/core/ReadWriteLock.h"
#include "RideZav/core/RideZavValue.h"
#include "RideZav/delivery/RideZavEventJournal.h"

namespace ridezav {

// The persistent store under an upload queue: one file per event in `queue`, named by its store
// time in seconds since 1970 ("1704067200.0"), and the names in upload order in memory.
// Each event is written whole into a file that has no name yet (an unnamed temporary file, or
// where the file system has none, one under a temporary non-numeric name) and only then linked
// or moved to its numeric name without replacing anything, so a crash never leaves a torn event
// under a numeric name and names never clash. Creating a file is the slow step on a journalled
// file system, so spare files are made ahead, off the capturing thread.
// Once the journal is started, an add only copies the event into a journal (a shared mapping,
// see RideZavEventJournal) and names it; writePending, run by the caller's writer thread, turns
// journal entries into event files, and set-up turns those a killed process left into event
// files before it lists the folder. Reads, removals and names() write pending entries first.
// Nothing is fsynced: an event whose add returned survives the death of the process (the page
// cache outlives it); after a power loss the newest events may be missing or empty, and an empty
// or cut file reads as no event and leaves with its batch.
// Thread contract: every operation from any thread. _items is guarded by its read-write lock
// (file I/O outside it); lastName_, spares_, journals_ and spareJournal_ by addMutex_, which
// serialises the naming of new events so names increase (writers make and fill their files
// outside it); writeMutex_ serialises the publishing of journal entries.
class RideZavFileBackedQueue {
public:
    // What one batch read: every name it walked (missing and unreadable files included), and
    // the contents it could read, oldest first.
    struct Batch {
        std::vector<std::string> names;
        std::vector<std::string> contents;
    };

    explicit RideZavFileBackedQueue(std::filesystem::path queue, std::optional<std::filesystem::path> oldQueue = std::nullopt);
    ~RideZavFileBackedQueue();
    RideZavFileBackedQueue(const RideZavFileBackedQueue&) = delete;
    RideZavFileBackedQueue& operator=(const RideZavFileBackedQueue&) = delete;

    // Creates the folder, migrates the legacy file, removes leftover temporary files and loads
    // the names in numeric order. Entries whose names are not numbers are left alone, unlisted.
    void setup(const std::optional<std::filesystem::path>& oldQueue);
    // Stores a new event: into the journal once it is started (false only when it could not be
    // stored anywhere), else as a new event file whose name it appends; false (with a log line)
    // when it failed. A folder removed meanwhile is made again. The first failure of a run of
    // failures is also said whether debug logging is on or not.
    bool add(std::string_view contents);
    // From now on adds go into journals of `journalSize` bytes, while one can be made here.
    void startJournal(std::size_t journalSize = defaultJournalSize);
    static constexpr std::size_t defaultJournalSize = std::size_t{2} << 20;
    // Writes the journal's pending entries as event files, in order, and keeps a spare journal
    // ready; entries it cannot write stay pending for the next call.
    void writePending();
    // True once per run of adds that left entries for writePending: the caller then has it run.
    bool wantsWriting();
    // Up to `count` contents from the front, without removing anything.
    std::vector<std::string> peek(std::size_t count);
    // As peek, also naming every entry walked, so that exactly those can be removed later.
    Batch peekBatch(std::size_t count);
    // Counts the oldest event as gone at once; with a journal its file is removed by the next
    // writePending (without one, at once).
    void dropOldest();
    // Removes the name at `index` and its file in one locked step; nothing when out of range.
    void deleteAt(std::size_t index);
    // Removes up to `count` names from the front and their files.
    void pop(std::size_t count);
    // Removes exactly these names (wherever they are now) and their files. A file the folder
    // will not let go (read-only) is emptied instead, so the next start reads it as no event
    // rather than sending it again, and its deletion is tried again with each later removal.
    void remove(const std::vector<std::string>& names);
    // Stored events, those still in the journal included.
    std::size_t depth() const;
    // Opens empty temporary files for the next adds, up to `spareFiles`, so that creating a file
    // happens on the caller's thread rather than the capturing one.
    void prepareSpareFiles();
    static constexpr std::size_t spareFiles = 8;
    // True when half the spare files are used and no refill was asked for since the last one
    // began: the caller then has prepareSpareFiles run. Handing work to another thread costs a
    // wake-up, so the capturing thread asks once per few adds.
    bool wantsSpareFiles();
    // Makes every later temporary file a named one, as on a file system without unnamed files.
    void useNamedTemporariesForTesting() { unnamedTemporaries_.store(false); }
    // Links unnamed files through /proc, as where linking a descriptor is refused.
    void linkThroughProcForTesting() { linkByDescriptor_.store(false); }

    const std::filesystem::path& queue() const { return queue_; }
    // A copy of the names in upload order.
    std::vector<std::string> names() {
        writePending();
        return _items.value();
    }

    // "1704067200.0": the shortest text that reads back as `seconds`, in fixed notation with
    // at least one fractional digit.
    static std::string fileName(double seconds);
    // The number a name stands for; none for names that are not plain decimal numbers.
    static std::optional<double> nameValue(std::string_view name);
    static bool isTemporaryName(std::string_view name);
    static bool isJournalName(std::string_view name);

private:
    // An open temporary file; `path` is empty for an unnamed one.
    struct Temporary {
        std::string path;
        int fd = -1;
    };
    // Writes `contents` under the first free name at or after `seconds`; the name, or none
    // (logged). Caller holds addMutex_.
    std::optional<std::string> write(std::string_view contents, double seconds);
    // `contents` written into the spare, or into a new temporary file; none when that failed
    // (logged).
    std::optional<Temporary> writeTemporary(std::string_view contents, std::optional<Temporary> spare, int& error);
    // Makes the folder again after it was removed, dropping the spares made in the old one.
    // Caller holds addMutex_.
    bool remakeFolder();
    // Logs a failed add (`error` an errno, or -1 when every name was taken).
    void addFailed(int error);
    // Deletes an event's file, or empties it where the folder refuses.
    void removeFile(const std::string& name);
    void retryKeptFiles();
    // Gives the written temporary the first free name at or after `seconds` and closes it. On
    // failure `error` is the errno to report, 0 when an unnamed file cannot be linked on this
    // system (unnamed files are then given up), or -1 when every name was taken.
    std::optional<std::string> publish(const Temporary& file, double seconds, int& error);
    // A new temporary file, or none with errno set.
    std::optional<Temporary> openTemporary();
    static void discard(const Temporary& file);
    void migrate(const std::filesystem::path& source);
    // The journal part of add; false when the event must go to a file directly.
    bool addToJournal(std::string_view contents);
    bool addDirectly(std::string_view contents);
    // Writes `contents` as an event file named `seconds` or the first free name after it; the
    // name, or none with `error` set as publish sets it.
    std::optional<std::string> store(std::string_view contents, double seconds, bool& remade, int& error);
    // A new journal, locked and linked into the folder; none (logged) when that failed.
    std::shared_ptr<RideZavEventJournal> makeJournal();
    // Turns the journals a killed process left into event files. Caller holds addMutex_.
    void recoverJournals();
    void recoverJournal(const std::filesystem::path& path);

    std::filesystem::path queue_;
    ReadWriteLock<std::vector<std::string>> _items{{}};
    std::mutex addMutex_;
    std::optional<double> lastName_;  // guarded by addMutex_: the highest name given out or loaded
    std::vector<Temporary> spares_;  // guarded by addMutex_
    bool refillAsked_ = false;  // guarded by addMutex_
    std::atomic<bool> addFailureSaid_{false};  // the current run of failed adds was logged for the user
    std::mutex keptMutex_;
    std::vector<std::string> kept_;  // guarded by keptMutex_: sent (emptied) or dropped, not yet deleted
    std::atomic<bool> unnamedTemporaries_{true};  // false once the file system refused one
    std::atomic<bool> linkByDescriptor_{true};  // false once linking a descriptor was refused
    std::atomic<std::size_t> journalSize_{0};
    std::deque<std::shared_ptr<RideZavEventJournal>> journals_;  // guarded by addMutex_: the back one takes adds
    std::shared_ptr<RideZavEventJournal> spareJournal_;  // guarded by addMutex_
    std::atomic<bool> journaling_{false};
    std::atomic<std::size_t> pending_{0};  // entries added and not yet in _items
    std::atomic<bool> writeAsked_{false};
    std::atomic<std::size_t> drops_{0};  // changed under _items' lock: drops that fall on journal entries
    std::mutex writeMutex_;
};

double secondsSince1970(Date date);

}  // namespace ridezav
