#include "platform/foundation/UserDefaults.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include "platform/foundation/Bundle.h"
#include "platform/base/Logger.h"

namespace velmo {
namespace {

namespace fs = std::filesystem;

std::mutex& standardMutex() {
    static std::mutex m;
    return m;
}
UserDefaults*& installedStandard() {
    static UserDefaults* current = nullptr;
    return current;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/tmp";
}

// The bundle identifier names a folder, so only a plain single path component is taken.
std::string folderName() {
    const auto identifier = Bundle::main().bundleIdentifier();
    if (!identifier || *identifier == "." || *identifier == ".." || identifier->find('/') != std::string::npos) return "velmo";
    return *identifier;
}

std::string temporaryPrefix(const fs::path& file) { return file.filename().string() + ".tmp-"; }

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

UserDefaults::UserDefaults() = default;

UserDefaults::UserDefaults(std::string filePath)
    : filePath_(std::move(filePath)) {
    load();
}

std::string UserDefaults::standardFilePath() {
    std::string base;
    // Relative values are to be ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        base = config;
    } else {
        base = homeDirectory() + "/.config";
    }
    return base + "/" + folderName() + "/defaults.plist";
}

UserDefaults& UserDefaults::standard() {
    std::lock_guard lock(standardMutex());
    if (UserDefaults* installed = installedStandard()) return *installed;
    static UserDefaults* process = new UserDefaults(standardFilePath());  // lives for the whole process
    return *process;
}

void UserDefaults::load() {
    const fs::path file(*filePath_);
    std::error_code error;
    // Temporaries of a writer that was killed before its rename hold nothing of value.
    const std::string prefix = temporaryPrefix(file);
    for (fs::directory_iterator it(file.parent_path(), error), end; !error && it != end; it.increment(error)) {
        if (it->path().filename().string().rfind(prefix, 0) == 0) fs::remove(it->path(), error);
    }
    if (!fs::exists(file, error)) return;
    try {
        PlistValue contents = PropertyList::readFile(file.string());
        if (const auto* dictionary = contents.asDictionary()) {
            // What cannot be written back would make every later change fail.
            try {
                PropertyList::toXML(contents);
            } catch (const PropertyListError& e) {
                throw PropertyListError(file.string() + ": " + e.message());
            }
            stored_ = *dictionary;
            return;
        }
        throw PropertyListError(file.string() + ": not a dictionary");
    } catch (const PropertyListError& e) {
        logLine("⚠️ Velmo: Ignoring unreadable user defaults: " + e.message());
        // Kept aside rather than overwritten by the next change.
        fs::rename(file, file.string() + ".corrupt", error);
    }
}

PlistValue UserDefaults::lookup(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = stored_.find(key); it != stored_.end()) return it->second;
    if (auto it = registered_.find(key); it != registered_.end()) return it->second;
    return PlistValue();
}

PlistValue UserDefaults::objectForKey(const std::string& key) const { return lookup(key); }

bool UserDefaults::boolForKey(const std::string& key) const {
    const PlistValue value = lookup(key);
    if (const auto* b = value.asBool()) return *b;
    if (const auto* i = value.asInteger()) return *i != 0;
    if (const auto* r = value.asReal()) return *r != 0;
    return false;
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
    const PlistValue value = lookup(key);
    if (const auto* i = value.asInteger()) return *i;
    if (const auto* b = value.asBool()) return *b ? 1 : 0;
    if (const auto* r = value.asReal()) {
        if (std::isnan(*r)) return 0;
        // Saturate instead of the undefined conversion of an out-of-range real.
        if (*r >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
        if (*r <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(*r);
    }
    return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
    const PlistValue value = lookup(key);
    if (const auto* r = value.asReal()) return *r;
    if (const auto* i = value.asInteger()) return static_cast<double>(*i);
    if (const auto* b = value.asBool()) return *b ? 1 : 0;
    return 0;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    const PlistValue value = lookup(key);
    if (const auto* s = value.asString()) return *s;
    return std::nullopt;
}

std::optional<PlistValue::Data> UserDefaults::dataForKey(const std::string& key) const {
    const PlistValue value = lookup(key);
    if (const auto* d = value.asData()) return *d;
    return std::nullopt;
}

void UserDefaults::setObject(const std::string& key, PlistValue value) {
    if (store(key, std::move(value))) changes_.send(key);
}

bool UserDefaults::store(const std::string& key, PlistValue value) {
    std::lock_guard lock(mutex_);
    // Setting what is already stored changes nothing and writes nothing (callers may store
    // the same flag on every poll).
    if (auto it = stored_.find(key); it != stored_.end() && it->second == value) return false;
    // Checked before anything changes, so a value that cannot be written changes nothing.
    if (!value.isNone()) PropertyList::toXML(PlistValue::Dictionary{{key, value}});
    PlistValue::Dictionary next = stored_;
    if (value.isNone()) {
        if (next.erase(key) == 0) return false;
    } else {
        next.insert_or_assign(key, std::move(value));
    }
    std::string xml;
    try {
        xml = PropertyList::toXML(PlistValue(next));
    } catch (const PropertyListError& e) {
        // Kept in memory; a failed write never reaches the caller's loop.
        stored_ = std::move(next);
        if (!saveFailureLogged_) logLine("⚠️ Velmo: Could not save user defaults: " + e.message());
        saveFailureLogged_ = true;
        return true;
    }
    stored_ = std::move(next);
    if (filePath_) save(xml);
    return true;
}

void UserDefaults::registerDefaults(const PlistValue::Dictionary& defaults) {
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, value] : defaults) {
            if (value.isNone()) {
                registered_.erase(key);
            } else {
                registered_.insert_or_assign(key, value);
            }
        }
    }
    // A fallback may change what a key reads as.
    for (const auto& entry : defaults) changes_.send(entry.first);
}

Cancellable UserDefaults::observeChanges(std::function<void(const std::string& key)> changed) {
    return changes_.publisher().sink(std::move(changed));
}

// Called with mutex_ held, so files are written in the order of the changes.
void UserDefaults::save(const std::string& xml) {
    const fs::path file(*filePath_);
    const fs::path folder = file.parent_path();
    std::string failure;
    std::error_code error;
    fs::create_directories(folder, error);
    std::string temporary = (folder / (temporaryPrefix(file) + "XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        failure = errnoText("cannot create " + temporary);
    } else {
        if (!writeAll(fd, xml)) {
            failure = errnoText("cannot write " + temporary);
        } else if (::fsync(fd) != 0) {
            failure = errnoText("cannot flush " + temporary);
        }
        if (::close(fd) != 0 && failure.empty()) failure = errnoText("cannot close " + temporary);
        if (failure.empty() && ::rename(temporary.c_str(), file.c_str()) != 0) failure = errnoText("cannot replace " + file.string());
        if (!failure.empty()) ::unlink(temporary.c_str());
    }
    if (failure.empty()) {
        // The rename itself is durable only once the folder is flushed.
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        saveFailureLogged_ = false;
        return;
    }
    // The values stay in memory; one line per run of failures.
    if (!saveFailureLogged_) logLine("⚠️ Velmo: Could not save user defaults: " + failure);
    saveFailureLogged_ = true;
}

UserDefaults::Scope::Scope()
    : Scope(std::make_unique<UserDefaults>()) {}

UserDefaults::Scope::Scope(std::unique_ptr<UserDefaults> defaults)
    : defaults_(std::move(defaults)) {
    std::lock_guard lock(standardMutex());
    previous_ = installedStandard();
    installedStandard() = defaults_.get();
}

UserDefaults::Scope::~Scope() {
    std::lock_guard lock(standardMutex());
    installedStandard() = previous_;
}

}  // namespace velmo
