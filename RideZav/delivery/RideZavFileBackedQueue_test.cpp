#include "RideZav/delivery/RideZavFileBackedQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "RideZav/core/CoreTesting.h"
#include "RideZav/core/RideZavLog.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/foundation/TestDirectory.h"

using namespace std::chrono_literals;

namespace ridezav {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class FileBackedQueueTest : public testing::Test {
protected:
    FileBackedQueueTest() { RideZavLog::setDebug(true); }
    ~FileBackedQueueTest() override { RideZavLog::setDebug(false); }

    std::string folder() const { return dir / "ridezav.queueFolder"; }
    void put(const std::string& name, const std::string& contents) const { dir.write("ridezav.queueFolder/" + name, contents); }
    std::set<std::string> onDisk() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder())) names.insert(entry.path().filename().string());
        return names;
    }

    velmo::test::TestDirectory dir;
    std::shared_ptr<velmo::test::ManualWallClock> clock =
        std::make_shared<velmo::test::ManualWallClock>(velmo::test::dateFromMilliseconds(1704067200000));
    velmo::test::ScopedWallClock scopedClock{clock};
    velmo::LogCapture log;
};

TEST(FileBackedQueueNames, ShortestRoundTripInFixedNotation) {
    const std::pair<double, const char*> cases[] = {
        {1704067200.0, "1704067200.0"},     {1.7e9, "1700000000.0"}, {1704067200.5, "1704067200.5"}, {999.5, "999.5"}, {0.1, "0.1"},
        {1704067200.123, "1704067200.123"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(RideZavFileBackedQueue::fileName(seconds), text);
        EXPECT_EQ(RideZavFileBackedQueue::nameValue(text), seconds);
    }
    const double next = std::nextafter(1704067200.0, INFINITY);
    EXPECT_EQ(RideZavFileBackedQueue::nameValue(RideZavFileBackedQueue::fileName(next)), next);
    EXPECT_FALSE(RideZavFileBackedQueue::nameValue(".ridezav-tmp-1-2"));
    EXPECT_FALSE(RideZavFileBackedQueue::nameValue("notes.txt"));
    EXPECT_FALSE(RideZavFileBackedQueue::nameValue(""));
    EXPECT_FALSE(RideZavFileBackedQueue::nameValue("inf"));
}

TEST_F(FileBackedQueueTest, SetupLoadsEarlierFilesInNumericOrderAndRemovesTemporaries) {
    put("1000.25", "c");
    put("999.5", "b");
    put("2.0", "a");
    put(".ridezav-tmp-77-0", "{\"torn");
    put("notes.txt", "left alone");
    RideZavFileBackedQueue store(folder());
    EXPECT_EQ(store.names(), (Names{"2.0", "999.5", "1000.25"}));
    EXPECT_EQ(store.depth(), 3u);
    EXPECT_EQ(store.peek(10), (Names{"a", "b", "c"}));
    EXPECT_EQ(onDisk(), (std::set<std::string>{"2.0", "999.5", "1000.25", "notes.txt"}));
}

TEST_F(FileBackedQueueTest, SetupCreatesMissingFolders) {
    RideZavFileBackedQueue store(dir / "a/b/queue");
    EXPECT_TRUE(fs::is_directory(dir / "a/b/queue"));
    EXPECT_TRUE(store.add("x"));
    EXPECT_EQ(store.depth(), 1u);
}

TEST_F(FileBackedQueueTest, PeekSkipsAMissingFirstFileAndKeepsItsName) {
    put("1.0", "a");
    put("2.0", "b");
    put("3.0", "c");
    put("4.0", "d");
    RideZavFileBackedQueue store(folder());
    fs::remove(folder() + "/1.0");
    log.clear();
    const auto batch = store.peekBatch(2);
    EXPECT_EQ(batch.contents, (Names{"b", "c"}));
    EXPECT_EQ(batch.names, (Names{"1.0", "2.0", "3.0"}));
    EXPECT_EQ(log.lines(), (Names{"[RideZav] File file://" + folder() + "/1.0 does not exist"}));
    EXPECT_EQ(store.names().front(), "1.0");
}

TEST_F(FileBackedQueueTest, PeekDeletesAnUnreadableFileButKeepsItsName) {
    put("1.0", "a");
    fs::create_directory(folder() + "/2.0");  // listed, but reading it fails
    put("3.0", "c");
    RideZavFileBackedQueue store(folder());
    log.clear();
    EXPECT_EQ(store.peek(5), (Names{"a", "c"}));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("[RideZav] File file://" + folder() + "/2.0 is corrupted "));
    EXPECT_FALSE(fs::exists(folder() + "/2.0"));
    EXPECT_EQ(store.names(), (Names{"1.0", "2.0", "3.0"}));
}

TEST_F(FileBackedQueueTest, PeekOnAnEmptyStoreAndWithCountZero) {
    RideZavFileBackedQueue store(folder());
    EXPECT_TRUE(store.peek(3).empty());
    store.add("a");
    EXPECT_TRUE(store.peekBatch(0).names.empty());
}

TEST_F(FileBackedQueueTest, PopPastTheEndEmptiesTheStore) {
    put("1.0", "a");
    put("2.0", "b");
    put("3.0", "c");
    RideZavFileBackedQueue store(folder());
    store.pop(5);
    EXPECT_EQ(store.depth(), 0u);
    EXPECT_TRUE(onDisk().empty());
}

TEST_F(FileBackedQueueTest, DeleteAtRemovesOneNameAndFileAndIgnoresAnEmptyList) {
    RideZavFileBackedQueue store(folder());
    store.deleteAt(0);
    EXPECT_EQ(store.depth(), 0u);
    put("1.0", "a");
    put("2.0", "b");
    RideZavFileBackedQueue loaded(folder());
    loaded.deleteAt(0);
    loaded.deleteAt(7);
    EXPECT_EQ(loaded.names(), (Names{"2.0"}));
    EXPECT_EQ(onDisk(), (std::set<std::string>{"2.0"}));
}

TEST_F(FileBackedQueueTest, AddNamesTheFileByTheStoreTime) {
    RideZavFileBackedQueue store(folder());
    EXPECT_TRUE(store.add(R"({"event":"a"})"));
    clock->advance(std::chrono::milliseconds(1500));
    EXPECT_TRUE(store.add(R"({"event":"b"})"));
    EXPECT_EQ(store.names(), (Names{"1704067200.0", "1704067201.5"}));
    EXPECT_EQ(store.peek(2), (Names{R"({"event":"a"})", R"({"event":"b"})"}));
    EXPECT_EQ(onDisk(), (std::set<std::string>{"1704067200.0", "1704067201.5"}));
}

TEST_F(FileBackedQueueTest, NamesStayUniqueAndIncreasingOnOneClockReadingAndWhenTheClockStepsBack) {
    put("1704067300.0", "from an earlier run, ahead of the clock");
    RideZavFileBackedQueue store(folder());
    store.add("a");
    store.add("b");
    clock->advance(-std::chrono::hours(1));
    store.add("c");
    const Names names = store.names();
    ASSERT_EQ(names.size(), 4u);
    for (std::size_t i = 1; i < names.size(); ++i) {
        EXPECT_LT(*RideZavFileBackedQueue::nameValue(names[i - 1]), *RideZavFileBackedQueue::nameValue(names[i]));
    }
    EXPECT_EQ(onDisk().size(), 4u);
    EXPECT_EQ(store.peek(4), (Names{"from an earlier run, ahead of the clock", "a", "b", "c"}));
}

TEST_F(FileBackedQueueTest, AnExistingFileUnderTheNextNameIsNeverReplaced) {
    RideZavFileBackedQueue store(folder());
    put("1704067200.0", "placed behind the store's back");
    EXPECT_TRUE(store.add("new"));
    EXPECT_EQ(store.names().size(), 1u);
    EXPECT_NE(store.names()[0], "1704067200.0");
    EXPECT_EQ(store.peek(1), (Names{"new"}));
    std::string kept;
    std::ifstream(folder() + "/1704067200.0") >> kept;
    EXPECT_EQ(kept, "placed");
}

TEST_F(FileBackedQueueTest, RemoveTakesExactlyTheNamesOfTheBatchWhereverTheyAre) {
    for (const char* name : {"1.0", "2.0", "3.0", "4.0"}) put(name, name);
    RideZavFileBackedQueue store(folder());
    fs::remove(folder() + "/1.0");
    const auto batch = store.peekBatch(2);  // walks 1.0 (missing), 2.0, 3.0
    store.deleteAt(0);  // a drop while the batch is in flight
    store.add("late");
    store.remove(batch.names);
    ASSERT_EQ(store.names().size(), 2u);
    EXPECT_EQ(store.names()[0], "4.0");
    EXPECT_EQ(store.peek(5), (Names{"4.0", "late"}));
}

TEST_F(FileBackedQueueTest, SpareFilesServeTheNextAddsAndLeaveWithTheStore) {
    constexpr std::size_t spares = RideZavFileBackedQueue::spareFiles;
    // Unnamed files show in /proc as "<folder>/#<inode> (deleted)".
    const auto unnamedOpen = [&] {
        std::size_t n = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (fs::read_symlink(entry.path(), error).string().starts_with(folder() + "/#")) ++n;
        }
        return n;
    };
    const auto temporariesOnDisk = [&] {
        const auto names = onDisk();
        return static_cast<std::size_t>(std::count_if(
            names.begin(), names.end(), [](const std::string& name) { return RideZavFileBackedQueue::isTemporaryName(name); }));
    };
    enum class Kind { unnamed, unnamedThroughProc, named };
    for (const Kind kind : {Kind::unnamed, Kind::unnamedThroughProc, Kind::named}) {
        const bool named = kind == Kind::named;
        fs::remove_all(folder());
        {
            RideZavFileBackedQueue store(folder());
            if (named) store.useNamedTemporariesForTesting();
            if (kind == Kind::unnamedThroughProc) store.linkThroughProcForTesting();
            store.prepareSpareFiles();
            store.prepareSpareFiles();
            EXPECT_EQ(onDisk().size(), named ? spares : 0u) << static_cast<int>(kind);
            EXPECT_EQ(temporariesOnDisk(), named ? spares : 0u) << static_cast<int>(kind);
            EXPECT_EQ(unnamedOpen(), named ? 0u : spares) << static_cast<int>(kind);
            EXPECT_TRUE(store.add("a"));
            EXPECT_TRUE(onDisk().contains("1704067200.0")) << static_cast<int>(kind);
            EXPECT_TRUE(store.add("b"));  // the same clock reading: the next name up
            EXPECT_EQ(store.names().size(), 2u) << static_cast<int>(kind);
            EXPECT_EQ(temporariesOnDisk() + unnamedOpen(), spares - 2) << static_cast<int>(kind);  // the adds took two
            store.prepareSpareFiles();
            EXPECT_EQ(temporariesOnDisk() + unnamedOpen(), spares) << static_cast<int>(kind);
        }
        EXPECT_EQ(onDisk().size(), 2u) << static_cast<int>(kind);
        EXPECT_EQ(unnamedOpen(), 0u) << static_cast<int>(kind);
        RideZavFileBackedQueue reloaded(folder());
        EXPECT_EQ(reloaded.peek(3), (Names{"a", "b"})) << static_cast<int>(kind);
    }
}

TEST_F(FileBackedQueueTest, AFolderRemovedWhileInUseIsMadeAgainAndKeepsTheEvent) {
    for (const bool named : {false, true}) {
        fs::remove_all(folder());
        RideZavFileBackedQueue store(folder());
        if (named) store.useNamedTemporariesForTesting();
        store.prepareSpareFiles();  // made in the folder about to go
        ASSERT_TRUE(store.add("a"));
        fs::remove_all(folder());
        log.clear();
        EXPECT_TRUE(store.add("b")) << named;
        EXPECT_TRUE(store.add("c")) << named;
        EXPECT_EQ(store.depth(), 3u) << named;
        EXPECT_EQ(onDisk().size(), 2u) << named;
        EXPECT_EQ(log.linesStartingWith("[RideZav] Could not write file"), Names{}) << named;
        EXPECT_EQ(store.peek(3), (Names{"b", "c"})) << named;  // "a" went with the old folder
        EXPECT_EQ(RideZavFileBackedQueue(folder()).peek(3), (Names{"b", "c"})) << named;
    }
}

TEST_F(FileBackedQueueTest, AWriteThatCannotSucceedIsToldToTheUserOnceAndAddsNoName) {
    RideZavFileBackedQueue store(dir / "gone");
    fs::remove_all(dir / "gone");
    dir.write("gone", "a file where the folder was");
    for (const bool debug : {false, true}) {
        RideZavLog::setDebug(debug);
        log.clear();
        EXPECT_FALSE(store.add("a"));
        EXPECT_FALSE(store.add("b"));
        EXPECT_FALSE(store.add("c"));
        EXPECT_EQ(store.depth(), debug ? 1u : 0u);  // "d" below
        const auto lines = log.linesStartingWith("[RideZav] Could not write file ");
        // Debug logging adds a line per event; the user hears of it once either way.
        ASSERT_EQ(lines.size(), debug ? 4u : 1u) << debug;
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) { return line.ends_with("; events are dropped until a write succeeds"); }),
                  1)
            << debug;
        if (!debug) {
            // A success ends the run; the next failure is told again.
            fs::remove(dir / "gone");
            EXPECT_TRUE(store.add("d"));
            fs::remove_all(dir / "gone");
            dir.write("gone", "again");
        }
    }
    RideZavLog::setDebug(true);
    log.clear();
    EXPECT_FALSE(store.add("e"));
    EXPECT_EQ(log.linesStartingWith("[RideZav] Could not write file ").size(), 1u);
}

TEST_F(FileBackedQueueTest, FilesAReadOnlyFolderKeepsAreEmptiedAndDeletedOnceItAllows) {
    RideZavFileBackedQueue store(folder());
    for (const char* contents : {"a", "b", "c"}) ASSERT_TRUE(store.add(contents));
    const Names names = store.names();
    velmo::test::ReadOnlyFolder readOnly(folder());
    if (!readOnly.isReadOnly()) GTEST_SKIP() << "the folder cannot be made read-only here";
    store.remove({names[0], names[1]});
    store.pop(1);
    EXPECT_EQ(store.depth(), 0u);
    // Still there, but no event: the next start reads three empty files.
    EXPECT_EQ(onDisk(), (std::set<std::string>(names.begin(), names.end())));
    EXPECT_EQ(RideZavFileBackedQueue(folder()).peek(3), (Names{"", "", ""}));
    readOnly.release();
    store.remove({});
    EXPECT_EQ(onDisk().size(), 3u);  // nothing to remove: nothing tried
    ASSERT_TRUE(store.add("d"));
    store.remove({store.names()[0]});
    EXPECT_EQ(onDisk(), std::set<std::string>{});
}

TEST_F(FileBackedQueueTest, AnUnlistableFolderLeavesAnEmptyList) {
    dir.write("file", "not a folder");
    RideZavFileBackedQueue store(dir / "file");
    EXPECT_EQ(store.depth(), 0u);
    EXPECT_EQ(log.linesStartingWith("[RideZav] Error trying to create caching folder ").size(), 1u);
    EXPECT_EQ(log.linesStartingWith("[RideZav] Failed to load files for queue ").size(), 1u);
}

struct LegacyCase {
    const char* name;
    const char* legacy;
    Names files;  // expected names on disk after set-up
    Names contents;  // expected contents in order
    const char* logLine;  // expected line prefix, or null for none
};

class LegacyMigration : public FileBackedQueueTest, public testing::WithParamInterface<LegacyCase> {};

TEST_P(LegacyMigration, MigratesOnceAndDeletesTheLegacyFile) {
    const auto& c = GetParam();
    const std::string legacy = dir.write("ridezav.queue.plist", c.legacy);
    clock->set(velmo::test::dateFromMilliseconds(1710000000000));
    RideZavFileBackedQueue store(folder(), legacy);
    EXPECT_FALSE(fs::exists(legacy));
    EXPECT_EQ(store.names(), c.files);
    EXPECT_EQ(store.peek(10), c.contents);
    if (c.logLine) {
        EXPECT_EQ(log.linesStartingWith(c.logLine).size(), 1u) << c.logLine;
    } else {
        EXPECT_TRUE(log.lines().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LegacyMigration,
    testing::Values(
        LegacyCase{"OneEventAmongOthers",
                   R"([1, {"event":"e","timestamp":"2024-01-01T00:00:00.000Z"}])",
                   {"1704067200.0"},
                   {R"({"event":"e","timestamp":"2024-01-01T00:00:00.000Z"})"},
                   nullptr},
        LegacyCase{"NoTimestampTakesTheCurrentTime", R"([{"event":"e"}])", {"1710000000.0"}, {R"({"event":"e"})"}, nullptr},
        LegacyCase{"TwoElementsWithOneTimestamp",
                   R"([{"event":"a","timestamp":"2024-01-01T00:00:00Z"},{"event":"b","timestamp":"2024-01-01T00:00:00Z"}])",
                   {"1704067200.0", "1704067200.0000002"},
                   {R"({"event":"a","timestamp":"2024-01-01T00:00:00Z"})", R"({"event":"b","timestamp":"2024-01-01T00:00:00Z"})"},
                   nullptr},
        LegacyCase{"TopLevelObjectRefused", R"({"event":"e"})", {}, {}, "[RideZav] Failed to migrate queue: invalid data format"},
        LegacyCase{"NotJSON", "[{\"event\"", {}, {}, "[RideZav] Failed to migrate queue "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileBackedQueueTest, ALegacyFileNestedTooDeeplyIsDroppedNotACrash) {
    const std::string deep = "[" + std::string(300000, '[') + std::string(300000, ']') + "]";
    const std::string legacy = dir.write("ridezav.queue.plist", deep);
    RideZavFileBackedQueue store(folder(), legacy);
    EXPECT_FALSE(fs::exists(legacy));
    EXPECT_EQ(store.depth(), 0u);
    EXPECT_EQ(log.linesStartingWith("[RideZav] Failed to migrate queue ").size(), 1u);
}

TEST_F(FileBackedQueueTest, NoLegacyFileIsNoMigration) {
    RideZavFileBackedQueue store(folder(), dir / "ridezav.queue.plist");
    EXPECT_EQ(store.depth(), 0u);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace ridezav
