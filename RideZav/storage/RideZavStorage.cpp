#include "RideZav/storage/RideZavStorage.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <unordered_map>

#include "RideZav/RideZavConfig.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/core/RideZavUtils.h"
#include "platform/foundation/Bundle.h"

namespace fs = std::filesystem;

namespace ridezav {

namespace {

std::mutex hooksMutex;  // guards the two hooks below
RideZavStorage::AppGroupContainerResolver appGroupResolver;
RideZavStorage::WriteObserver writeObserver;

RideZavStorage::WriteObserver currentWriteObserver() {
    std::lock_guard lock(hooksMutex);
    return writeObserver;
}

std::string bundleIdentifierOrUnknown() { return velmo::Bundle::main().bundleIdentifier().value_or("com.ridezav.unknown"); }

std::string urlText(const fs::path& folder) {
    std::string text = "file://" + folder.string();
    if (text.back() != '/') text.push_back('/');
    return text;
}

std::string errnoText(int error) { return std::strerror(error); }

// What identifies one version of a file: every write renames a new file into place.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    explicit FileStamp(const struct stat& info)
        : device(info.st_dev),
          inode(info.st_ino),
          size(info.st_size),
          modified(info.st_mtim),
          changed(info.st_ctim) {}
    bool operator==(const FileStamp& other) const {
        return device == other.device && inode == other.inode && size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
               changed.tv_nsec == other.changed.tv_nsec;
    }
};

// Documents already read, by path, for the whole process: capture reads the same few keys for
// every event. The file stays the truth: an entry serves only while the file is the one it was
// read from, and every write or removal through this class drops it.
struct ReadDocument {
    FileStamp stamp;
    std::optional<Value> document;
    std::optional<std::string> failure;  // the line a document that is no object or array logs
};

struct DocumentCache {
    std::mutex lock;
    std::unordered_map<std::string, ReadDocument> entries;  // guarded by lock
};

DocumentCache& documentCache() {
    static auto* cache = new DocumentCache();  // never released
    return *cache;
}

void forgetDocument(const fs::path& path) {
    auto& cache = documentCache();
    std::lock_guard lock(cache.lock);
    cache.entries.erase(path.string());
}

// The bytes of an open file, or none with errno set.
std::optional<std::string> readAll(int fd) {
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return data;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        data.append(buffer, std::size_t(n));
    }
}

// The bytes of a key's file, or none (logged unless there is no file); `version`, when given,
// gets the stamp of the file the bytes came from.
std::optional<std::string> readKeyFile(const fs::path& path, StorageKey key, std::optional<FileStamp>* version = nullptr) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) ridezavLog("Error reading data from key " + std::string(caseName(key)) + ": " + errnoText(errno));
        return std::nullopt;
    }
    struct stat info;
    if (version && ::fstat(fd, &info) == 0) *version = FileStamp(info);
    auto data = readAll(fd);
    if (!data) ridezavLog("Error reading data from key " + std::string(caseName(key)) + ": " + errnoText(errno));
    ::close(fd);
    return data;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// Writes the bytes beside `path` under a temporary name and renames them into place. Returns
// the error text on failure (the temporary file is then removed).
std::optional<std::string> writeFileAtomically(const fs::path& path, const std::string& data) {
    std::string temp = (path.parent_path() / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return errnoText(errno);
    const auto observer = currentWriteObserver();
    const std::size_t half = data.size() / 2;
    bool ok = writeAll(fd, data.data(), half);
    if (ok && observer) observer(RideZavStorage::WriteStage::partiallyWritten, temp);
    ok = ok && writeAll(fd, data.data() + half, data.size() - half);
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && observer) observer(RideZavStorage::WriteStage::beforeRename, path);
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return errnoText(error);
    }
    return std::nullopt;
}

bool isEmptyDirectory(const fs::path& folder) {
    std::error_code error;
    return fs::is_directory(folder, error) && fs::is_empty(folder, error) && !error;
}

void mergeFolder(const fs::path& source, const fs::path& destination, const std::set<std::string>& skipped) {
    createDirectoryIfNeeded(destination);
    std::error_code error;
    fs::directory_iterator it(source, error);
    if (error) {
        ridezavLog("Error reading directory contents at " + source.string() + ": " + error.message());
        return;
    }
    std::vector<fs::path> entries;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) break;
        entries.push_back(it->path());
    }
    for (const fs::path& entry : entries) {
        const fs::path target = destination / entry.filename();
        auto migrateFailed = [&](const std::error_code& e) {
            ridezavLog("Failed to migrate file from " + entry.string() + " to " + target.string() + ": " + e.message());
        };
        std::error_code e;
        if (fs::is_directory(fs::symlink_status(entry, e))) {
            mergeFolder(entry, target, skipped);
            if (isEmptyDirectory(entry)) {
                fs::remove(entry, e);
                if (e) ridezavLog("Failed to remove empty directory at " + entry.string() + ": " + e.message());
            }
            continue;
        }
        if (!skipped.count(entry.filename().string()) && !fs::exists(fs::symlink_status(target, e))) {
            fs::copy(entry, target, fs::copy_options::copy_symlinks, e);
            if (e) {
                migrateFailed(e);  // the source stays for a later try
                continue;
            }
        }
        fs::remove(entry, e);
        if (e) migrateFailed(e);
    }
}

void mergeExtensionFolder(const fs::path& groupBase, const fs::path& sharedFolder) {
    const fs::path legacy = groupBase / bundleIdentifierOrUnknown();
    std::error_code error;
    if (!fs::is_directory(legacy, error)) return;
    std::set<std::string> skipped;
    const std::string bundlePath = velmo::Bundle::main().bundlePath();
    const bool isExtension = bundlePath.size() >= 6 && bundlePath.compare(bundlePath.size() - 6, 6, ".appex") == 0;
    if (isExtension) {
        for (StorageKey key : {StorageKey::distinctId, StorageKey::anonymousId, StorageKey::isIdentified, StorageKey::groups,
                               StorageKey::registerProperties, StorageKey::personPropertiesForFlags, StorageKey::groupPropertiesForFlags})
            skipped.insert(std::string(rawValue(key)));
        ridezavLog("Legacy folder found at " + urlText(legacy) + ", merging from extension... (skipping " + std::to_string(skipped.size()) +
                   " identity keys)");
    } else {
        ridezavLog("Legacy folder found at " + urlText(legacy) + ", merging from main app... (migrating all keys)");
    }
    mergeFolder(legacy, sharedFolder, skipped);
    if (isEmptyDirectory(legacy)) {
        fs::remove(legacy, error);
        if (error)
            ridezavLog("Failed to remove empty directory at " + legacy.string() + ": " + error.message());
        else
            ridezavLog("Successfully migrated and removed legacy folder at " + urlText(legacy));
    }
}

fs::path baseFolder(const RideZavConfig& config, bool mergeExtension) {
    if (config.appGroupIdentifier) {
        RideZavStorage::AppGroupContainerResolver resolver;
        {
            std::lock_guard lock(hooksMutex);
            resolver = appGroupResolver;
        }
        if (auto container = resolver ? resolver(*config.appGroupIdentifier) : std::nullopt) {
            const fs::path groupBase = *container / "Library/Application Support/";
            const fs::path shared = groupBase / *config.appGroupIdentifier;
            createDirectoryIfNeeded(shared);
            if (mergeExtension) mergeExtensionFolder(groupBase, shared);
            std::error_code error;
            if (fs::is_directory(shared, error)) return shared;
        }
    }
    return RideZavStorage::applicationSupportDirectory() / bundleIdentifierOrUnknown();
}

// Files an older layout kept directly in the base folder move into the API-key folder. A copy
// that fails keeps the old item (it may hold unsent events or the anonymous id) and removes any
// partial copy, so the next launch tries again.
void moveFromOldLocation(const fs::path& base, const fs::path& appFolder) {
    std::error_code error;
    if (!fs::is_directory(base, error)) return;
    for (StorageKey key : allStorageKeys()) {
        const std::string name(rawValue(key));
        const fs::path oldPath = base / name;
        const fs::path newPath = appFolder / name;
        std::error_code e;
        if (!fs::exists(fs::symlink_status(oldPath, e))) continue;
        if (!fs::exists(fs::symlink_status(newPath, e))) {
            fs::copy(oldPath, newPath, fs::copy_options::recursive | fs::copy_options::copy_symlinks, e);
            if (e) {
                ridezavLog("Error during storage migration for file " + name + " at path " + oldPath.string() + ": " + e.message());
                std::error_code ignored;
                fs::remove_all(newPath, ignored);
                continue;
            }
        }
        fs::remove_all(oldPath, e);
        if (e) ridezavLog("Could not delete file " + name + " at path " + oldPath.string() + ": " + e.message());
    }
}

}  // namespace

RideZavStorage::RideZavStorage(const RideZavConfig& config) {
    const fs::path base = baseFolder(config, /*mergeExtension=*/true);
    appFolderUrl_ = base / config.apiKey();
    createDirectoryIfNeeded(appFolderUrl_);
    moveFromOldLocation(baseFolder(config, /*mergeExtension=*/false), appFolderUrl_);
}

fs::path RideZavStorage::applicationSupportDirectory() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') return fs::path(data);
    const char* home = std::getenv("HOME");
    if (!home || !home[0]) {
        const passwd* entry = ::getpwuid(::getuid());
        home = entry ? entry->pw_dir : "/";
    }
    return fs::path(home) / ".local/share";
}

void RideZavStorage::setAppGroupContainerResolver(AppGroupContainerResolver resolver) {
    std::lock_guard lock(hooksMutex);
    appGroupResolver = std::move(resolver);
}

void RideZavStorage::setWriteObserverForTesting(WriteObserver observer) {
    std::lock_guard lock(hooksMutex);
    writeObserver = std::move(observer);
}

std::optional<std::string> RideZavStorage::getData(StorageKey key) const { return readKeyFile(url(key), key); }

void RideZavStorage::setData(StorageKey key, const std::optional<std::string>& data) {
    const fs::path path = url(key);
    forgetDocument(path);
    if (!data) {
        deleteSafely(path);
        return;
    }
    if (auto error = writeFileAtomically(path, *data))
        ridezavLog("Failed to write data for key '" + std::string(caseName(key)) + "' error: " + *error);
    forgetDocument(path);  // a read racing the write may have kept the old file
}

namespace {
// The document in `data`, or none with the line to log.
std::pair<std::optional<Value>, std::optional<std::string>> parseDocument(StorageKey key, const std::string& data) {
    if (jsonNestingDepth(data) > kMaximumJSONDepth)
        return {std::nullopt, "Failed to serialize key '" + std::string(caseName(key)) + "' error: the document nests deeper than " +
                                  std::to_string(kMaximumJSONDepth) + " levels"};
    try {
        const OrderedJSON json = OrderedJSON::parse(data);
        if (!json.is_object() && !json.is_array())
            return {std::nullopt,
                    "Failed to serialize key '" + std::string(caseName(key)) + "' error: the document is neither an object nor an array"};
        return {valueFromJSON(json), std::nullopt};
    } catch (const nlohmann::json::exception& error) {
        return {std::nullopt, "Failed to serialize key '" + std::string(caseName(key)) + "' error: " + error.what()};
    }
}
}  // namespace

std::optional<Value> RideZavStorage::getJSON(StorageKey key) const {
    const fs::path path = url(key);
    auto& cache = documentCache();
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) {
        std::lock_guard lock(cache.lock);
        const auto found = cache.entries.find(path.string());
        if (found != cache.entries.end() && found->second.stamp == FileStamp(info)) {
            if (found->second.failure) ridezavLog(*found->second.failure);
            return found->second.document;
        }
    }
    std::optional<FileStamp> version;  // of the file this read sees
    const auto data = readKeyFile(path, key, &version);
    if (!data) return std::nullopt;
    auto [document, failure] = parseDocument(key, *data);
    if (failure) ridezavLog(*failure);
    if (version) {
        std::lock_guard lock(cache.lock);
        cache.entries.insert_or_assign(path.string(), ReadDocument{*version, document, failure});
    }
    return document;
}

void RideZavStorage::setJSON(StorageKey key, const Value& value) {
    std::optional<OrderedJSON> json;
    if (value.isObject() || value.isArray())
        json = toOrderedJSON(value);
    else
        json = toOrderedJSON(Value(Object{{std::string(rawValue(key)), value}}));
    std::optional<std::string> data;
    std::string error = "the value cannot be written as JSON";
    if (json) {
        try {
            data = json->dump();
        } catch (const nlohmann::json::exception& e) {
            error = e.what();
        }
    }
    if (!data) ridezavLog("Failed to serialize key '" + std::string(caseName(key)) + "' error: " + error);
    setData(key, data);
}

namespace {
// The document itself, or its entry under the file name when it is an object.
std::optional<Value> wrappedValue(const std::optional<Value>& document, StorageKey key) {
    if (!document) return std::nullopt;
    if (const Object* object = document->get<Object>()) {
        if (const Value* entry = object->find(rawValue(key))) return *entry;
        return std::nullopt;
    }
    return document;
}
}  // namespace

std::optional<std::string> RideZavStorage::getString(StorageKey key) const {
    const auto value = wrappedValue(getJSON(key), key);
    return value ? value->asString() : std::nullopt;
}

std::optional<bool> RideZavStorage::getBool(StorageKey key) const {
    const auto value = wrappedValue(getJSON(key), key);
    return value ? value->asBool() : std::nullopt;
}

std::optional<std::int64_t> RideZavStorage::getNumber(StorageKey key) const {
    const auto value = wrappedValue(getJSON(key), key);
    if (!value || !value->isNumber()) return std::nullopt;
    if (auto i = value->asInt64()) return i;
    const double d = *value->asDouble();
    if (d != d || d < -9.2233720368547758e18 || d >= 9.2233720368547758e18) return std::nullopt;
    return std::int64_t(d);  // a fractional number counts by its integer part
}

void RideZavStorage::reset(bool keepAnonymousId) {
    const std::optional<bool> optOut = getBool(StorageKey::optOut);
    for (StorageKey key :
         {StorageKey::distinctId, StorageKey::anonymousId, StorageKey::oldQeueue, StorageKey::flags, StorageKey::enabledFeatureFlags,
          StorageKey::enabledFeatureFlagPayloads, StorageKey::groups, StorageKey::registerProperties, StorageKey::optOut,
          StorageKey::sessionReplay, StorageKey::isIdentified, StorageKey::personProcessingEnabled, StorageKey::remoteConfig,
          StorageKey::surveySeen, StorageKey::lastSeenSurveyDate, StorageKey::requestId, StorageKey::personPropertiesForFlags,
          StorageKey::groupPropertiesForFlags, StorageKey::errorTracking}) {
        if (key == StorageKey::anonymousId && keepAnonymousId) continue;
        setData(key, std::nullopt);
    }
    if (optOut) setJSON(StorageKey::optOut, *optOut);
}

}  // namespace ridezav
