#include "RideZav/storage/RideZavStorage.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "RideZav/RideZavConfig.h"
#include "RideZav/core/CoreTesting.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/storage/RideZavStorageManager.h"
#include "RideZav/storage/StorageTesting.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"

namespace fs = std::filesystem;

namespace ridezav {
namespace {

using velmo::test::StorageSandbox;

using velmo::test::DebugLogging;

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

TEST(StorageKey, RawValuesAndCaseNames) {
    EXPECT_EQ(allStorageKeys().size(), 22u);
    EXPECT_EQ(rawValue(StorageKey::oldQeueue), "ridezav.queue.plist");
    EXPECT_EQ(rawValue(StorageKey::replayQeueue), "ridezav.replayFolder");
    EXPECT_EQ(rawValue(StorageKey::personProcessingEnabled), "ridezav.enabledPersonProcessing");
    EXPECT_EQ(caseName(StorageKey::personProcessingEnabled), "personProcessingEnabled");
    for (StorageKey key : allStorageKeys()) EXPECT_EQ(storageKeyFromRawValue(rawValue(key)), key);
    EXPECT_FALSE(storageKeyFromRawValue("ridezav.queue"));
    EXPECT_FALSE(storageKeyFromRawValue("distinctId"));
}

TEST(RideZavStorage, FolderIsBundleIdThenApiKeyAndTwoKeysSitSideBySide) {
    StorageSandbox sandbox;
    const RideZavStorage a(RideZavConfig("phc_a"));
    const RideZavStorage b(RideZavConfig("phc_b"));
    EXPECT_EQ(a.appFolderUrl(), sandbox.dataHome() / "com.example.velmo" / "phc_a");
    EXPECT_EQ(b.appFolderUrl(), sandbox.dataHome() / "com.example.velmo" / "phc_b");
    EXPECT_TRUE(fs::is_directory(a.appFolderUrl()) && fs::is_directory(b.appFolderUrl()));

    StorageSandbox noId(std::nullopt);
    EXPECT_EQ(RideZavStorage(RideZavConfig("phc_a")).appFolderUrl(), noId.dataHome() / "com.ridezav.unknown" / "phc_a");
}

TEST(RideZavStorage, FilesMatchTheGoldenBytes) {
    StorageSandbox sandbox;
    RideZavStorage storage(RideZavConfig("phc_key"));
    storage.setJSON(StorageKey::anonymousId, "0190A1B2-C3D4-7E5F-8A9B-0C1D2E3F4A5B");
    storage.setJSON(StorageKey::optOut, true);
    storage.setJSON(StorageKey::evaluatedAt, std::int64_t(1700000000));
    storage.setJSON(StorageKey::groups, Object{{"company", "acme"}, {"team", "ops"}});
    storage.setJSON(StorageKey::flags, Array{"a", 1});
    const struct {
        StorageKey key;
        const char* bytes;
    } golden[] = {
        {StorageKey::anonymousId, R"({"ridezav.anonymousId":"0190A1B2-C3D4-7E5F-8A9B-0C1D2E3F4A5B"})"},
        {StorageKey::optOut, R"({"ridezav.optOut":true})"},
        {StorageKey::evaluatedAt, R"({"ridezav.evaluatedAt":1700000000})"},
        {StorageKey::groups, R"({"company":"acme","team":"ops"})"},
        {StorageKey::flags, R"(["a",1])"},
    };
    for (const auto& g : golden) EXPECT_EQ(StorageSandbox::read(storage.url(g.key)), g.bytes) << caseName(g.key);
    EXPECT_EQ(storage.getString(StorageKey::anonymousId), "0190A1B2-C3D4-7E5F-8A9B-0C1D2E3F4A5B");
    EXPECT_EQ(storage.getBool(StorageKey::optOut), true);
    EXPECT_EQ(storage.getNumber(StorageKey::evaluatedAt), 1700000000);
    EXPECT_FALSE(storage.getBool(StorageKey::anonymousId));  // a text, not a Boolean
    EXPECT_FALSE(storage.getString(StorageKey::groups));  // no entry under the file name
    EXPECT_EQ(storage.getJSON(StorageKey::groups), Value(Object{{"company", "acme"}, {"team", "ops"}}));
    storage.setData(StorageKey::flags, std::nullopt);
    EXPECT_FALSE(fs::exists(storage.url(StorageKey::flags)));
    // No temporary file is left behind.
    EXPECT_EQ(namesIn(storage.appFolderUrl()),
              (std::set<std::string>{"ridezav.anonymousId", "ridezav.optOut", "ridezav.evaluatedAt", "ridezav.groups"}));
}

TEST(RideZavStorage, FailuresAreLoggedAndGiveNone) {
    StorageSandbox sandbox;
    DebugLogging debug;
    RideZavStorage storage(RideZavConfig("phc_key"));
    velmo::LogCapture log;
    StorageSandbox::write(storage.url(StorageKey::flags), "{not json");
    StorageSandbox::write(storage.url(StorageKey::requestId), R"("bare text")");
    StorageSandbox::write(storage.url(StorageKey::enabledFeatureFlagPayloads), std::string(100000, '[') + std::string(100000, ']'));
    fs::create_directories(storage.url(StorageKey::remoteConfig));
    EXPECT_FALSE(storage.getJSON(StorageKey::flags));
    EXPECT_FALSE(storage.getString(StorageKey::requestId));
    EXPECT_FALSE(storage.getJSON(StorageKey::enabledFeatureFlagPayloads));
    EXPECT_FALSE(storage.getData(StorageKey::remoteConfig));
    EXPECT_FALSE(storage.getJSON(StorageKey::sessionReplay));  // missing: no line
    storage.setJSON(StorageKey::groups, Object{{"bad", std::nan("")}});
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind("[RideZav] Failed to serialize key 'flags' error: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("[RideZav] Failed to serialize key 'requestId' error: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "[RideZav] Failed to serialize key 'enabledFeatureFlagPayloads' error: the document nests deeper than 512 levels");
    EXPECT_EQ(lines[3], "[RideZav] Error reading data from key remoteConfig: Is a directory");
    EXPECT_EQ(lines[4].rfind("[RideZav] Failed to serialize key 'groups' error: ", 0), 0u) << lines[4];
    EXPECT_FALSE(fs::exists(storage.url(StorageKey::groups)));
}

TEST(RideZavStorage, AReadDocumentServesOnlyWhileItsFileIsUnchanged) {
    StorageSandbox sandbox;
    const RideZavConfig config("phc_key");
    RideZavStorage storage(config);
    RideZavStorage other(config);  // a second writer over the same folder
    const auto file = storage.url(StorageKey::registerProperties);
    struct Case {
        const char* name;
        std::function<void()> change;
        std::optional<Value> expected;
    } cases[] = {
        {"unchanged", [] {}, Value(Object{{"plan", "pro"}})},
        {"written by another instance",
         [&] {
             other.setJSON(StorageKey::registerProperties, Object{{"plan", "max"}});
         },
         Value(Object{{"plan", "max"}})},
        {"rewritten in place", [&] { StorageSandbox::write(file, R"({"plan":"team"})"); }, Value(Object{{"plan", "team"}})},
        {"replaced by a rename, same size",
         [&] {
             StorageSandbox::write(file.string() + ".new", R"({"plan":"abc"})");
             fs::rename(file.string() + ".new", file);
         },
         Value(Object{{"plan", "abc"}})},
        {"removed by another instance", [&] { other.setData(StorageKey::registerProperties, std::nullopt); }, std::nullopt},
        {"removed by a reset", [&] { other.reset(false); }, std::nullopt},
    };
    for (const auto& c : cases) {
        storage.setJSON(StorageKey::registerProperties, Object{{"plan", "pro"}});
        ASSERT_EQ(storage.getJSON(StorageKey::registerProperties), Value(Object{{"plan", "pro"}})) << c.name;
        c.change();
        EXPECT_EQ(storage.getJSON(StorageKey::registerProperties), c.expected) << c.name;
        EXPECT_EQ(storage.getJSON(StorageKey::registerProperties), c.expected) << c.name << ", read again";
    }

    // A document that is no object is refused with its line on every read.
    DebugLogging debug;
    velmo::LogCapture log;
    StorageSandbox::write(storage.url(StorageKey::flags), "3");
    EXPECT_FALSE(storage.getJSON(StorageKey::flags));
    EXPECT_FALSE(storage.getJSON(StorageKey::flags));
    EXPECT_EQ(log.linesStartingWith("[RideZav] Failed to serialize key 'flags' error: ").size(), 2u);
}

void fillEveryKey(RideZavStorage& storage) {
    for (StorageKey key : allStorageKeys()) {
        if (key == StorageKey::queue || key == StorageKey::replayQeueue)
            StorageSandbox::write(storage.url(key) / "event.json", "{}");
        else
            storage.setJSON(key, std::string("v"));
    }
}

TEST(RideZavStorage, ResetRemovesAllButTheQueuesEvaluatedAtAndOptionallyTheAnonymousId) {
    StorageSandbox sandbox;
    RideZavStorage storage(RideZavConfig("phc_key"));
    fillEveryKey(storage);
    storage.setData(StorageKey::optOut, std::nullopt);  // the opt-out choice has its own test
    storage.reset(true);
    EXPECT_EQ(namesIn(storage.appFolderUrl()),
              (std::set<std::string>{"ridezav.anonymousId", "ridezav.queueFolder", "ridezav.replayFolder", "ridezav.evaluatedAt"}));
    EXPECT_TRUE(fs::exists(storage.url(StorageKey::queue) / "event.json"));
    fillEveryKey(storage);
    storage.setData(StorageKey::optOut, std::nullopt);
    storage.reset(false);
    EXPECT_EQ(namesIn(storage.appFolderUrl()),
              (std::set<std::string>{"ridezav.queueFolder", "ridezav.replayFolder", "ridezav.evaluatedAt"}));
}

TEST(RideZavStorage, ResetKeepsTheUsersOptOutChoice) {
    StorageSandbox sandbox;
    RideZavStorage storage(RideZavConfig("phc_key"));
    storage.setJSON(StorageKey::optOut, true);
    storage.setJSON(StorageKey::distinctId, "user");
    storage.reset(false);
    EXPECT_EQ(StorageSandbox::read(storage.url(StorageKey::optOut)), R"({"ridezav.optOut":true})");
    EXPECT_FALSE(fs::exists(storage.url(StorageKey::distinctId)));
    // The next launch still starts opted out.
    EXPECT_EQ(RideZavStorage(RideZavConfig("phc_key")).getBool(StorageKey::optOut), true);
}

TEST(RideZavStorage, OldLocationFilesMoveIntoTheApiKeyFolder) {
    StorageSandbox sandbox;
    const fs::path base = sandbox.dataHome() / "com.example.velmo";
    StorageSandbox::write(base / "ridezav.anonymousId", R"({"ridezav.anonymousId":"OLD"})");
    StorageSandbox::write(base / "ridezav.queueFolder" / "1.json", "{\"event\":\"e\"}");
    StorageSandbox::write(base / "ridezav.flags", "[\"old\"]");
    StorageSandbox::write(base / "phc_key" / "ridezav.flags", "[\"new\"]");
    StorageSandbox::write(base / "unrelated.txt", "x");
    RideZavStorage storage(RideZavConfig("phc_key"));
    EXPECT_EQ(storage.getString(StorageKey::anonymousId), "OLD");
    EXPECT_EQ(StorageSandbox::read(storage.url(StorageKey::queue) / "1.json"), "{\"event\":\"e\"}");
    EXPECT_EQ(StorageSandbox::read(storage.url(StorageKey::flags)), "[\"new\"]");  // the existing one wins
    EXPECT_EQ(namesIn(base), (std::set<std::string>{"phc_key", "unrelated.txt"}));
    RideZavStorage again(RideZavConfig("phc_key"));  // nothing left to move
    EXPECT_EQ(again.getString(StorageKey::anonymousId), "OLD");
}

TEST(RideZavStorage, AFailedOldLocationCopyKeepsTheOldItem) {
    StorageSandbox sandbox;
    DebugLogging debug;
    velmo::LogCapture log;
    const fs::path base = sandbox.dataHome() / "com.example.velmo";
    const fs::path oldQueue = base / "ridezav.queueFolder";
    StorageSandbox::write(oldQueue / "1.json", "{\"event\":\"unsent\"}");
    ASSERT_EQ(::mkfifo((oldQueue / "2.pipe").c_str(), 0600), 0);  // cannot be copied
    RideZavStorage storage(RideZavConfig("phc_key"));
    EXPECT_EQ(StorageSandbox::read(oldQueue / "1.json"), "{\"event\":\"unsent\"}");
    EXPECT_FALSE(fs::exists(storage.url(StorageKey::queue)));  // no partial copy to shadow it next time
    const auto lines =
        log.linesStartingWith("[RideZav] Error during storage migration for file ridezav.queueFolder at path " + oldQueue.string() + ": ");
    EXPECT_EQ(lines.size(), 1u);
}

TEST(RideZavStorage, AppGroupMergeFromTheMainAppAndFromAnExtension) {
    for (const bool extension : {false, true}) {
        SCOPED_TRACE(extension ? "extension" : "main app");
        StorageSandbox sandbox("com.example.velmo", extension ? "Share.appex" : "Velmo.app");
        DebugLogging debug;
        velmo::LogCapture log;
        const fs::path container = sandbox.dir() / "group";
        RideZavStorage::setAppGroupContainerResolver([&](const std::string& group) -> std::optional<fs::path> {
            return group == "group.velmo" ? std::optional(container) : std::nullopt;
        });
        const fs::path groupBase = container / "Library/Application Support";
        const fs::path legacy = groupBase / "com.example.velmo";
        const fs::path shared = groupBase / "group.velmo";
        StorageSandbox::write(legacy / "ridezav.distinctId", R"({"ridezav.distinctId":"legacy-user"})");
        StorageSandbox::write(legacy / "ridezav.flags", "[\"legacy\"]");
        StorageSandbox::write(legacy / "ridezav.requestId", R"({"ridezav.requestId":"legacy"})");
        StorageSandbox::write(shared / "ridezav.requestId", R"({"ridezav.requestId":"shared"})");
        StorageSandbox::write(legacy / "phc_key" / "ridezav.groups", "{}");

        RideZavConfig config("phc_key");
        config.appGroupIdentifier = "group.velmo";
        RideZavStorage storage(config);
        RideZavStorage::setAppGroupContainerResolver(nullptr);

        EXPECT_EQ(storage.appFolderUrl(), shared / "phc_key");
        EXPECT_FALSE(fs::exists(legacy));
        EXPECT_EQ(storage.getString(StorageKey::requestId), "shared");  // an existing file wins
        // The old-location move then carried the merged files into the API-key folder.
        EXPECT_EQ(StorageSandbox::read(storage.url(StorageKey::flags)), "[\"legacy\"]");
        EXPECT_EQ(storage.getString(StorageKey::distinctId), extension ? std::nullopt : std::optional<std::string>("legacy-user"));
        EXPECT_EQ(fs::exists(storage.url(StorageKey::groups)), !extension);
        const std::string found = "[RideZav] Legacy folder found at file://" + legacy.string() + "/, merging from ";
        EXPECT_TRUE(log.contains(found + (extension ? "extension... (skipping 7 identity keys)" : "main app... (migrating all keys)")));
        EXPECT_TRUE(log.contains("[RideZav] Successfully migrated and removed legacy folder at file://" + legacy.string() + "/"));
    }
}

TEST(RideZavStorageManager, FreshInstallMintsStoresAndKeepsOneAnonymousId) {
    StorageSandbox sandbox;
    RideZavStorageManager manager(RideZavConfig("phc_key"));
    const std::string id = manager.getDistinctId();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '7');
    EXPECT_EQ(manager.getAnonymousId(), id);
    EXPECT_EQ(StorageSandbox::read(manager.storage().url(StorageKey::anonymousId)), R"({"ridezav.anonymousId":")" + id + R"("})");
    EXPECT_FALSE(fs::exists(manager.storage().url(StorageKey::distinctId)));
    EXPECT_EQ(RideZavStorageManager(RideZavConfig("phc_key")).getDistinctId(), id);  // after a restart
}

TEST(RideZavStorageManager, TheAnonymousIdHookRewritesFreshIds) {
    StorageSandbox sandbox;
    RideZavConfig config("phc_key");
    const velmo::UUID fixed = *velmo::UUID::fromString("11111111-2222-4333-8444-555555555555");
    config.getAnonymousId = [&](velmo::UUID) { return fixed; };
    EXPECT_EQ(RideZavStorageManager(config).getAnonymousId(), fixed.uuidString());
}

TEST(RideZavStorageManager, DerivedValuesAreCachedButNotWritten) {
    StorageSandbox sandbox;
    {
        RideZavStorageManager manager(RideZavConfig("phc_key"));
        EXPECT_FALSE(manager.isIdentified());
        EXPECT_FALSE(fs::exists(manager.storage().url(StorageKey::isIdentified)));
        EXPECT_FALSE(manager.isPersonProcessing());
        // Written later by another storage object: the cached value stands.
        RideZavStorage(RideZavConfig("phc_key")).setJSON(StorageKey::personProcessingEnabled, true);
        EXPECT_FALSE(manager.isPersonProcessing());
        manager.setPersonProcessing(false);  // same as cached: nothing written
        EXPECT_EQ(StorageSandbox::read(manager.storage().url(StorageKey::personProcessingEnabled)),
                  R"({"ridezav.enabledPersonProcessing":true})");
        manager.setPersonProcessing(true);
        manager.setDistinctId("user-42");
    }
    RideZavStorageManager restarted(RideZavConfig("phc_key"));
    EXPECT_TRUE(restarted.isIdentified());  // the stored distinct id differs from the anonymous id
    EXPECT_FALSE(fs::exists(restarted.storage().url(StorageKey::isIdentified)));
    EXPECT_TRUE(restarted.isPersonProcessing());
    restarted.setIdentified(false);
    EXPECT_EQ(StorageSandbox::read(restarted.storage().url(StorageKey::isIdentified)), R"({"ridezav.isIdentified":false})");
}

TEST(RideZavStorageManager, ResetClearsTheCachesSoTheDiskIsReadAgain) {
    StorageSandbox sandbox;
    RideZavStorageManager manager(RideZavConfig("phc_key"));
    const std::string anonymous = manager.getDistinctId();
    RideZavStorage other(RideZavConfig("phc_key"));
    other.setJSON(StorageKey::distinctId, "from-disk");
    EXPECT_EQ(manager.getDistinctId(), anonymous);  // absence remembered
    manager.reset(true);
    EXPECT_EQ(manager.getDistinctId(), "from-disk");

    manager.storage().reset(false);
    manager.reset(false);
    const std::string fresh = manager.getDistinctId();
    EXPECT_NE(fresh, anonymous);
    EXPECT_EQ(manager.getAnonymousId(), fresh);
}

// A process killed while it writes the anonymous id must leave the previous file whole.
TEST(RideZavStorage, AWriteKilledBeforeTheRenameLeavesThePreviousFileWhole) {
    for (const auto stage : {RideZavStorage::WriteStage::partiallyWritten, RideZavStorage::WriteStage::beforeRename}) {
        StorageSandbox sandbox;
        const std::string before = [&] {
            RideZavStorageManager manager(RideZavConfig("phc_key"));
            return manager.getAnonymousId();
        }();
        const fs::path file = RideZavStorage(RideZavConfig("phc_key")).url(StorageKey::anonymousId);
        const auto golden = StorageSandbox::read(file);

        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            RideZavStorage::setWriteObserverForTesting([stage](RideZavStorage::WriteStage at, const fs::path&) {
                if (at == stage) ::raise(SIGKILL);
            });
            RideZavStorageManager manager(RideZavConfig("phc_key"));
            manager.setAnonymousId("REPLACEMENT-ID-THAT-IS-MUCH-LONGER-THAN-THE-ORIGINAL-ONE");
            ::_exit(0);  // not reached
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        EXPECT_EQ(StorageSandbox::read(file), golden);
        EXPECT_EQ(RideZavStorageManager(RideZavConfig("phc_key")).getAnonymousId(), before);
    }
}

}  // namespace
}  // namespace ridezav
