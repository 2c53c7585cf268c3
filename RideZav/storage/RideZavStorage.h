#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "RideZav/core/RideZavValue.h"
#include "RideZav/storage/StorageKey.h"

namespace ridezav {

class RideZavConfig;

// The client's persistent state: one small JSON file per key in
// <Application Support>/<bundle id or app group>/<api key>/. Each file is written under a
// temporary name and renamed into place, so a crash never leaves a torn file.
// Documents read with getJSON are kept in memory, for the whole process, while their file is
// unchanged; the files stay the truth.
// Thread contract: each call is one whole-file read, write or removal (the kept documents have a
// process-wide lock of their own), and callers sharing a key serialise themselves.
class RideZavStorage {
public:
    // Resolves and creates the folder, then runs the app-group merge and the old-location move.
    explicit RideZavStorage(const RideZavConfig& config);

    const std::filesystem::path& appFolderUrl() const { return appFolderUrl_; }
    std::filesystem::path url(StorageKey key) const { return appFolderUrl_ / std::string(rawValue(key)); }

    std::optional<std::string> getData(StorageKey key) const;
    // Replaces the file with the bytes; none removes it.
    void setData(StorageKey key, const std::optional<std::string>& data);
    // The file's object or array; none when missing or not such JSON.
    std::optional<Value> getJSON(StorageKey key) const;
    // Objects and arrays as they are; any other value wrapped as {"<file name>": value}.
    void setJSON(StorageKey key, const Value& value);
    std::optional<std::string> getString(StorageKey key) const;
    std::optional<bool> getBool(StorageKey key) const;
    std::optional<std::int64_t> getNumber(StorageKey key) const;

    // Removes every key file except the two queue folders, "ridezav.evaluatedAt" and, when asked,
    // the anonymous id. The user's stored opt-out choice is written back afterwards, so a reset
    // never starts tracking an opted-out user again.
    void reset(bool keepAnonymousId);

    // $XDG_DATA_HOME, else ~/.local/share.
    static std::filesystem::path applicationSupportDirectory();

    // The container folder of an application group; none by default (Linux has no such thing).
    using AppGroupContainerResolver = std::function<std::optional<std::filesystem::path>(const std::string& group)>;
    static void setAppGroupContainerResolver(AppGroupContainerResolver resolver);

    // Test seam: called while a file is being written (after half its bytes, then before the
    // rename), so a test can kill the process at either point.
    enum class WriteStage { partiallyWritten, beforeRename };
    using WriteObserver = std::function<void(WriteStage, const std::filesystem::path& file)>;
    static void setWriteObserverForTesting(WriteObserver observer);

private:
    std::filesystem::path appFolderUrl_;
};

}  // namespace ridezav
