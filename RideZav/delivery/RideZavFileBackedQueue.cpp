#include "RideZav/delivery/RideZavFileBackedQueue.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "RideZav/core/RideZavAPIDateFormatter.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavUtils.h"
#include "RideZav/core/WallClock.h"

namespace ridezav {

namespace {

constexpr std::string_view temporaryPrefix = ".ridezav-tmp-";
constexpr std::string_view journalPrefix = ".ridezav-journal-";
constexpr int maxNameBumps = 10000;

std::string errnoText(int error) { return std::string(strerror(error)); }

std::string fileURL(const std::filesystem::path& path) { return "file://" + path.string(); }

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Moves `from` to `to` unless something is already there (EEXIST then).
int moveWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without the flag: a hard link refuses an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

// Gives an unnamed file a name: 0, or the errno. Linking the descriptor itself skips the walk
// through /proc; it needs a recent kernel or the capability, and where it is refused /proc does
// it from then on.
int linkUnnamed(int fd, const std::string& target, std::atomic<bool>& byDescriptor) {
    if (byDescriptor.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0) return 0;
        if (errno == EEXIST) return EEXIST;
        byDescriptor.store(false, std::memory_order_relaxed);
    }
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    return errno;
}

// Whether the process named in a journal's name no longer exists. A killed process's lock can
// outlive it for a moment (the kernel lets its mapping go later), so a held lock alone does not
// make a journal a living one's.
bool ownerIsGone(std::string_view journalName) {
    journalName.remove_prefix(std::min(journalName.size(), journalPrefix.size()));
    pid_t pid = 0;
    const auto parsed = std::from_chars(journalName.data(), journalName.data() + journalName.size(), pid);
    if (parsed.ec != std::errc() || pid <= 0) return false;
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Reads the whole file: 0 and the bytes, or the errno of the failure.
int readFile(const std::filesystem::path& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    out.clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            return error;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return 0;
}

}  // namespace

double secondsSince1970(Date date) { return std::chrono::duration<double>(date.time_since_epoch()).count(); }

std::string RideZavFileBackedQueue::fileName(double seconds) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    std::string name(buffer, result.ptr);
    if (name.find('.') == std::string::npos) name += ".0";
    return name;
}

std::optional<double> RideZavFileBackedQueue::nameValue(std::string_view name) {
    double value = 0;
    const auto result = std::from_chars(name.data(), name.data() + name.size(), value);
    if (result.ec != std::errc() || result.ptr != name.data() + name.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

bool RideZavFileBackedQueue::isTemporaryName(std::string_view name) { return name.starts_with(temporaryPrefix); }

bool RideZavFileBackedQueue::isJournalName(std::string_view name) { return name.starts_with(journalPrefix); }

RideZavFileBackedQueue::RideZavFileBackedQueue(std::filesystem::path queue, std::optional<std::filesystem::path> oldQueue)
    : queue_(std::move(queue)) {
    setup(oldQueue);
}

void RideZavFileBackedQueue::setup(const std::optional<std::filesystem::path>& oldQueue) {
    std::error_code error;
    std::filesystem::create_directories(queue_, error);
    if (error) ridezavLog("Error trying to create caching folder " + error.message());

    std::lock_guard lock(addMutex_);
    if (oldQueue) migrate(*oldQueue);
    recoverJournals();

    std::vector<std::pair<std::string, double>> listed;
    std::filesystem::directory_iterator it(queue_, error);
    if (error) {
        ridezavLog("Failed to load files for queue " + error.message());
        return;
    }
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::string name = it->path().filename().string();
        if (isTemporaryName(name)) {
            // A write that a crash interrupted: never an event.
            ::unlink(it->path().c_str());
        } else if (auto value = nameValue(name)) {
            listed.emplace_back(std::move(name), *value);
        }
    }
    if (error) {
        ridezavLog("Failed to load files for queue " + error.message());
        return;
    }
    std::stable_sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    std::vector<std::string> names;
    names.reserve(listed.size());
    for (auto& [name, value] : listed) {
        names.push_back(std::move(name));
        if (!lastName_ || value > *lastName_) lastName_ = value;
    }
    _items.setValue(std::move(names));
}

RideZavFileBackedQueue::~RideZavFileBackedQueue() {
    for (const auto& file : spares_) discard(file);
    // A journal with entries pending stays for the next set-up; the others are not needed.
    if (spareJournal_) ::unlink(spareJournal_->path.c_str());
    for (const auto& journal : journals_)
        if (!journal->next()) ::unlink(journal->path.c_str());
}

void RideZavFileBackedQueue::discard(const Temporary& file) {
    ::close(file.fd);
    if (!file.path.empty()) ::unlink(file.path.c_str());
}

std::optional<RideZavFileBackedQueue::Temporary> RideZavFileBackedQueue::openTemporary() {
    if (unnamedTemporaries_.load(std::memory_order_relaxed)) {
        // No name means no leftover after a crash, and no lock on the folder while it is made.
        const int fd = ::open(queue_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0) return Temporary{{}, fd};
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return std::nullopt;
        unnamedTemporaries_.store(false, std::memory_order_relaxed);
    }
    static std::atomic<unsigned long> temporaryCount{0};
    std::string temporary =
        (queue_ / (std::string(temporaryPrefix) + std::to_string(::getpid()) + "-" + std::to_string(temporaryCount.fetch_add(1)))).string();
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return std::nullopt;
    return Temporary{std::move(temporary), fd};
}

bool RideZavFileBackedQueue::wantsSpareFiles() {
    if (journaling_.load(std::memory_order_acquire)) return false;  // the writer makes its files itself
    std::lock_guard lock(addMutex_);
    if (refillAsked_ || spares_.size() > spareFiles / 2) return false;
    refillAsked_ = true;
    return true;
}

void RideZavFileBackedQueue::prepareSpareFiles() {
    {
        std::lock_guard lock(addMutex_);
        refillAsked_ = false;
    }
    for (;;) {
        {
            std::lock_guard lock(addMutex_);
            if (spares_.size() >= spareFiles) return;
        }
        auto file = openTemporary();  // outside the lock: this is the slow step
        if (!file) return;
        std::lock_guard lock(addMutex_);
        if (spares_.size() >= spareFiles) {
            discard(*file);
            return;
        }
        spares_.push_back(std::move(*file));
    }
}

std::optional<std::string> RideZavFileBackedQueue::publish(const Temporary& file, double seconds, int& error) {
    error = -1;
    if (file.path.empty()) {
        std::optional<std::string> published;
        for (int bump = 0; bump < maxNameBumps && !published; ++bump) {
            std::string name = fileName(seconds);
            const int linked = linkUnnamed(file.fd, (queue_ / name).string(), linkByDescriptor_);
            if (linked == 0) {
                published = std::move(name);
            } else if (linked == EEXIST) {
                seconds = std::nextafter(seconds, INFINITY);  // same clock reading: the next number up
            } else {
                error = linked;
                // Where linking an unnamed file (or /proc) is refused, named temporaries take over.
                if (error == EPERM || error == EOPNOTSUPP || error == EXDEV || error == EINVAL ||
                    (error == ENOENT && ::access("/proc/self/fd", F_OK) != 0)) {
                    unnamedTemporaries_.store(false, std::memory_order_relaxed);
                    error = 0;
                }
                break;
            }
        }
        ::close(file.fd);
        return published;
    }
    if (::close(file.fd) != 0) {
        error = errno;
        ::unlink(file.path.c_str());
        return std::nullopt;
    }
    for (int bump = 0; bump < maxNameBumps; ++bump) {
        std::string name = fileName(seconds);
        const int moved = moveWithoutReplacing(file.path, (queue_ / name).string());
        if (moved == 0) return name;
        if (moved != EEXIST) {
            error = moved;
            break;
        }
        seconds = std::nextafter(seconds, INFINITY);
    }
    ::unlink(file.path.c_str());
    return std::nullopt;
}

std::optional<RideZavFileBackedQueue::Temporary> RideZavFileBackedQueue::writeTemporary(std::string_view contents,
                                                                                        std::optional<Temporary> spare, int& error) {
    auto file = spare ? std::move(spare) : openTemporary();
    if (!file) {
        error = errno;
        return std::nullopt;
    }
    if (!writeAll(file->fd, contents)) {
        error = errno;
        discard(*file);
        return std::nullopt;
    }
    return file;
}

bool RideZavFileBackedQueue::remakeFolder() {
    for (const auto& file : spares_) discard(file);
    spares_.clear();
    std::error_code error;
    std::filesystem::create_directories(queue_, error);
    if (error) return false;
    ridezavLog("Queue folder was missing; made it again");
    return true;
}

void RideZavFileBackedQueue::addFailed(int error) {
    const std::string line = error > 0 ? "Could not write file " + errnoText(error) : std::string("Could not write file: no free name");
    ridezavLog(line);
    if (!addFailureSaid_.exchange(true))
        RideZavLog::warning(line + " (" + queue_.string() + "); events are dropped until a write succeeds");
}

std::optional<std::string> RideZavFileBackedQueue::write(std::string_view contents, double seconds) {
    for (;;) {
        int writeError = 0;
        auto file = writeTemporary(contents, std::nullopt, writeError);
        if (!file) {
            ridezavLog("Could not write file " + errnoText(writeError));
            return std::nullopt;
        }
        int error = 0;
        if (auto name = publish(*file, seconds, error)) return name;
        if (error == 0) continue;  // unnamed files cannot be linked here: again with a named one
        if (error > 0) ridezavLog("Could not write file " + errnoText(error));
        return std::nullopt;
    }
}

bool RideZavFileBackedQueue::add(std::string_view contents) {
    if (journaling_.load(std::memory_order_acquire)) {
        if (addToJournal(contents)) return true;
        writePending();  // too big for a journal: stored after the entries before it
    }
    return addDirectly(contents);
}

bool RideZavFileBackedQueue::addToJournal(std::string_view contents) {
    std::lock_guard lock(addMutex_);
    if (journals_.empty() || RideZavEventJournal::entrySize(contents.size()) > journalSize_.load() - RideZavEventJournal::headerSize)
        return false;
    double seconds = secondsSince1970(WallClock::current()->now());
    if (lastName_ && seconds <= *lastName_) seconds = std::nextafter(*lastName_, INFINITY);
    // A journal whose folder was removed keeps nothing across a kill. (fstat waits on no disk.)
    if (!journals_.back()->linked() || !journals_.back()->append(seconds, contents)) {
        auto next = std::exchange(spareJournal_, nullptr);
        if (next && !next->linked()) next = nullptr;
        if (!next) next = makeJournal();  // the writer fell behind: made here, once
        if (!next || !next->append(seconds, contents)) return false;
        journals_.push_back(std::move(next));
    }
    lastName_ = seconds;
    pending_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void RideZavFileBackedQueue::startJournal(std::size_t journalSize) {
    std::lock_guard lock(addMutex_);
    if (!journals_.empty()) return;
    journalSize_ = journalSize;
    if (auto first = makeJournal()) {
        journals_.push_back(std::move(first));
        journaling_.store(true, std::memory_order_release);
    }
}

std::shared_ptr<RideZavEventJournal> RideZavFileBackedQueue::makeJournal() {
    // Unnamed until whole and locked, so that no set-up elsewhere takes it for a dead one's.
    const int fd = ::open(queue_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) {
        ridezavLog("Could not make a journal " + errnoText(errno));
        return nullptr;
    }
    // Held while the descriptor is open: set-up leaves a living process's journal alone.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ridezavLog("Could not lock a journal " + errnoText(errno));
        ::close(fd);
        return nullptr;
    }
    std::shared_ptr<RideZavEventJournal> journal = RideZavEventJournal::create(fd, journalSize_.load());
    if (!journal) {
        ridezavLog("Could not make a journal " + errnoText(errno));
        return nullptr;
    }
    static std::atomic<unsigned long> journalCount{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    journal->path = (queue_ / (std::string(journalPrefix) + std::to_string(::getpid()) + "-" + std::to_string(journalCount.fetch_add(1)) +
                               "-" + std::to_string(stamp)))
                        .string();
    if (const int error = linkUnnamed(journal->fd(), journal->path, linkByDescriptor_)) {
        ridezavLog("Could not make a journal " + errnoText(error));
        return nullptr;
    }
    return journal;
}

bool RideZavFileBackedQueue::wantsWriting() {
    if (!journaling_.load(std::memory_order_acquire)) return false;
    return !writeAsked_.exchange(true, std::memory_order_acq_rel);
}

void RideZavFileBackedQueue::writePending() {
    if (!journaling_.load(std::memory_order_acquire)) return;
    std::lock_guard writing(writeMutex_);
    writeAsked_.store(false, std::memory_order_release);
    const auto keepSpareJournal = [this] {
        {
            std::lock_guard lock(addMutex_);
            if (spareJournal_) return;
        }
        auto made = makeJournal();  // outside the lock: captures go on meanwhile
        if (!made) return;
        std::lock_guard lock(addMutex_);
        if (!spareJournal_)
            spareJournal_ = std::move(made);
        else
            ::unlink(made->path.c_str());
    };
    keepSpareJournal();
    for (;;) {
        std::shared_ptr<RideZavEventJournal> front;
        bool active;
        {
            std::lock_guard lock(addMutex_);
            front = journals_.front();
            active = journals_.size() == 1;
        }
        // Entries appended while this runs are read too: they are whole once committed.
        while (auto entry = front->next()) {
            bool remade = false;
            int error = 0;
            auto name = store(entry->contents, entry->name, remade, error);
            if (!name) {
                addFailed(error);
                return;  // pending still: the next call tries again
            }
            // Published before it is listed, so that no upload can remove it while a kill
            // would still have set-up write it again.
            front->markPublished(entry->end);
            if (const auto value = nameValue(*name); value && *value != entry->name) {
                std::lock_guard lock(addMutex_);
                if (!lastName_ || *value > *lastName_) lastName_ = *value;
            }
            // A drop counted while every event was still in the journal takes this oldest one.
            const bool dropped = _items.mutate([&](auto& items) {
                pending_.fetch_sub(1, std::memory_order_relaxed);
                if (const std::size_t drops = drops_.load(std::memory_order_relaxed)) {
                    drops_.store(drops - 1, std::memory_order_relaxed);
                    return true;
                }
                items.push_back(*name);
                return false;
            });
            if (dropped) removeFile(*name);
            addFailureSaid_.store(false, std::memory_order_relaxed);
            keepSpareJournal();
        }
        if (active) break;
        {
            std::lock_guard lock(addMutex_);
            journals_.pop_front();
            if (!spareJournal_ && front->linked()) {
                front->reset();
                spareJournal_ = std::exchange(front, nullptr);
            }
        }
        if (front) ::unlink(front->path.c_str());
    }
    retryKeptFiles();  // the oldest events dropped meanwhile
    std::lock_guard lock(addMutex_);
    // The folder was removed: the journal taking adds went with it.
    if (!journals_.back()->linked()) {
        if (spareJournal_ && !spareJournal_->linked()) spareJournal_ = nullptr;
        if (auto fresh = makeJournal()) journals_.push_back(std::move(fresh));
    }
}

std::optional<std::string> RideZavFileBackedQueue::store(std::string_view contents, double seconds, bool& remade, int& error) {
    const auto remake = [&] {
        if (remade) return false;
        remade = true;
        std::lock_guard lock(addMutex_);
        return remakeFolder();
    };
    for (;;) {
        error = 0;
        auto file = writeTemporary(contents, std::nullopt, error);
        if (!file) {
            if (error == ENOENT && remake()) continue;
            return std::nullopt;
        }
        if (auto name = publish(*file, seconds, error)) return name;
        if (error == 0) continue;  // unnamed files cannot be linked here: again with a named one
        if (error == ENOENT && remake()) continue;
        return std::nullopt;
    }
}

void RideZavFileBackedQueue::recoverJournals() {
    std::error_code error;
    std::vector<std::filesystem::path> journals;
    for (std::filesystem::directory_iterator it(queue_, error); !error && it != std::filesystem::directory_iterator(); it.increment(error))
        if (isJournalName(it->path().filename().string())) journals.push_back(it->path());
    for (const auto& path : journals) recoverJournal(path);
}

void RideZavFileBackedQueue::recoverJournal(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && !ownerIsGone(path.filename().string())) {  // a living process's
        ::close(fd);
        return;
    }
    std::string bytes;
    bool complete = readFile(path, bytes) == 0;
    for (const auto& entry : complete ? RideZavEventJournal::pending(bytes) : std::vector<RideZavEventJournal::Entry>{}) {
        // Published but killed before the journal said so: the file is there under its name, or
        // a later one where that name was taken.
        double seconds = entry.name;
        bool stored = false;
        std::string existing;
        for (int bump = 0; bump < maxNameBumps; ++bump, seconds = std::nextafter(seconds, INFINITY)) {
            if (readFile(queue_ / fileName(seconds), existing) == ENOENT) break;
            if ((stored = existing == entry.contents)) break;
        }
        if (!stored) {
            bool remade = true;  // set-up made the folder just now
            int error = 0;
            if (!store(entry.contents, seconds, remade, error)) {
                addFailed(error);
                complete = false;
                break;
            }
        }
        // So that a later set-up does not write it again once it was sent and removed.
        ::pwrite(fd, &entry.end, sizeof entry.end, RideZavEventJournal::publishedOffset);
    }
    if (complete) ::unlink(path.c_str());
    ::close(fd);
}

bool RideZavFileBackedQueue::addDirectly(std::string_view contents) {
    std::optional<Temporary> spare;
    {
        std::lock_guard lock(addMutex_);
        if (!spares_.empty()) {
            spare = std::move(spares_.back());
            spares_.pop_back();
        }
    }
    bool remade = false;
    for (;;) {
        // Making and filling the file needs no lock; only naming it does, so names increase.
        int error = 0;
        auto file = writeTemporary(contents, std::exchange(spare, std::nullopt), error);
        if (!file) {
            if (error == ENOENT && !remade) {
                std::lock_guard lock(addMutex_);
                if ((remade = remakeFolder())) continue;
            }
            addFailed(error);
            return false;
        }
        std::lock_guard lock(addMutex_);
        double seconds = secondsSince1970(WallClock::current()->now());
        // Names increase even when the clock repeats a reading or steps back.
        if (lastName_ && seconds <= *lastName_) seconds = std::nextafter(*lastName_, INFINITY);
        auto name = publish(*file, seconds, error);
        if (!name) {
            if (error == 0) continue;  // unnamed files cannot be linked here: again with a named one
            // The folder went while the file was written (a spare made in it, or a named temporary).
            if (error == ENOENT && !remade && (remade = remakeFolder())) continue;
            addFailed(error);
            return false;
        }
        lastName_ = *nameValue(*name);
        _items.mutate([&](auto& items) { items.push_back(std::move(*name)); });
        addFailureSaid_.store(false, std::memory_order_relaxed);
        return true;
    }
}

void RideZavFileBackedQueue::removeFile(const std::string& name) {
    const std::filesystem::path path = queue_ / name;
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return;
    const int error = errno;
    if (error == EISDIR || error == EPERM) {
        std::error_code ignored;
        if (!std::filesystem::is_regular_file(path, ignored)) {
            deleteSafely(path);
            return;
        }
    }
    // A file that stays would be loaded and sent again at the next start; emptied, it reads as
    // no event. The folder may allow deleting later.
    const bool emptied = ::truncate(path.c_str(), 0) == 0;
    ridezavLog("Error trying to delete file " + path.string() + " " + errnoText(error) + (emptied ? "; emptied it instead" : ""));
    std::lock_guard lock(keptMutex_);
    kept_.push_back(name);
}

void RideZavFileBackedQueue::retryKeptFiles() {
    std::vector<std::string> kept;
    {
        std::lock_guard lock(keptMutex_);
        kept.swap(kept_);
    }
    for (const auto& name : kept) removeFile(name);
}

RideZavFileBackedQueue::Batch RideZavFileBackedQueue::peekBatch(std::size_t count) {
    Batch batch;
    if (count == 0) return batch;
    writePending();
    const std::vector<std::string> items = _items.value();
    std::string bytes;
    for (const auto& name : items) {
        const std::filesystem::path file = queue_ / name;
        batch.names.push_back(name);
        const int error = readFile(file, bytes);
        if (error == ENOENT) {
            ridezavLog("File " + fileURL(file) + " does not exist");
            continue;
        }
        if (error != 0) {
            ridezavLog("File " + fileURL(file) + " is corrupted " + errnoText(error));
            deleteSafely(file);
        } else {
            batch.contents.push_back(std::move(bytes));
            bytes = std::string();
        }
        if (batch.contents.size() == count) break;
    }
    return batch;
}

std::vector<std::string> RideZavFileBackedQueue::peek(std::size_t count) { return peekBatch(count).contents; }

void RideZavFileBackedQueue::dropOldest() {
    if (!journaling_.load(std::memory_order_acquire)) {
        deleteAt(0);
        return;
    }
    // The name is taken off at once, so that a batch removed meanwhile cannot make the drop fall
    // on a newer event; the file goes with the next write.
    auto name = _items.mutate([&](auto& items) -> std::optional<std::string> {
        if (items.empty()) {
            drops_.fetch_add(1, std::memory_order_relaxed);
            return std::nullopt;
        }
        std::string removed = std::move(items.front());
        items.erase(items.begin());
        return removed;
    });
    if (!name) return;
    std::lock_guard lock(keptMutex_);
    kept_.push_back(std::move(*name));
}

void RideZavFileBackedQueue::deleteAt(std::size_t index) {
    writePending();
    auto name = _items.mutate([&](auto& items) -> std::optional<std::string> {
        if (index >= items.size()) return std::nullopt;
        std::string removed = std::move(items[index]);
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
        return removed;
    });
    if (name) removeFile(*name);
}

void RideZavFileBackedQueue::pop(std::size_t count) {
    writePending();
    for (std::size_t i = 0; i < count; ++i) {
        auto name = _items.mutate([](auto& items) -> std::optional<std::string> {
            if (items.empty()) return std::nullopt;
            std::string removed = std::move(items.front());
            items.erase(items.begin());
            return removed;
        });
        if (!name) return;
        removeFile(*name);
    }
}

void RideZavFileBackedQueue::remove(const std::vector<std::string>& names) {
    if (names.empty()) return;
    const std::unordered_set<std::string> wanted(names.begin(), names.end());
    std::vector<std::string> removed;
    _items.mutate([&](auto& items) {
        auto kept = std::stable_partition(items.begin(), items.end(), [&](const std::string& name) { return !wanted.contains(name); });
        removed.assign(std::make_move_iterator(kept), std::make_move_iterator(items.end()));
        items.erase(kept, items.end());
    });
    retryKeptFiles();
    for (const auto& name : removed) removeFile(name);
}

std::size_t RideZavFileBackedQueue::depth() const {
    return _items.read([this](const auto& items) {
        const std::size_t stored = items.size() + pending_.load(std::memory_order_relaxed);
        const std::size_t dropped = drops_.load(std::memory_order_relaxed);
        return stored > dropped ? stored - dropped : 0;
    });
}

void RideZavFileBackedQueue::migrate(const std::filesystem::path& source) {
    std::error_code error;
    if (!std::filesystem::exists(source, error)) return;
    try {
        std::string bytes;
        if (const int readError = readFile(source, bytes)) throw std::runtime_error(errnoText(readError));
        const auto parsed = parseOrderedJSON(bytes);
        if (!parsed) throw std::runtime_error("the file is not JSON or nests too deeply");
        const auto& document = *parsed;
        if (!document.is_array()) {
            ridezavLog("Failed to migrate queue: invalid data format");
            deleteSafely(source);
            return;
        }
        const auto& formatter = RideZavAPIDateFormatter::shared();
        for (const auto& element : document) {
            if (!element.is_object()) continue;
            std::string text;
            if (!element.empty() && element.contains("timestamp") && element["timestamp"].is_string()) {
                text = element["timestamp"].get<std::string>();
            } else {
                text = formatter.string(WallClock::current()->now());
            }
            const Date date = formatter.date(text).value_or(WallClock::current()->now());
            const std::string contents = element.dump();
            auto name = write(contents, secondsSince1970(date));
            if (!name) throw std::runtime_error("the element could not be written");
            const double value = *nameValue(*name);
            if (!lastName_ || value > *lastName_) lastName_ = value;
        }
        deleteSafely(source);
    } catch (const std::exception& failure) {
        ridezavLog(std::string("Failed to migrate queue ") + failure.what());
        deleteSafely(source);
    }
}

}  // namespace ridezav
