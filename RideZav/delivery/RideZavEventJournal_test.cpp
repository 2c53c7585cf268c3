#include "RideZav/delivery/RideZavEventJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "RideZav/core/CoreTesting.h"
#include "RideZav/delivery/RideZavFileBackedQueue.h"
#include "platform/foundation/TestDirectory.h"

namespace ridezav {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes; }

// A journal in a scratch file, and its bytes as a killed process would leave them.
struct JournalFile {
    velmo::test::TestDirectory dir;
    std::unique_ptr<RideZavEventJournal> journal;
    explicit JournalFile(std::size_t size = 4096) {
        const int fd = ::open((dir / "journal").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        journal = RideZavEventJournal::create(fd, size);
    }
    std::string bytes() const { return readAll(dir / "journal"); }
};

std::vector<std::string> contentsOf(const std::vector<RideZavEventJournal::Entry>& entries) {
    std::vector<std::string> out;
    for (const auto& entry : entries) out.emplace_back(entry.contents);
    return out;
}

TEST(EventJournal, AppendedEntriesArePendingUntilPublishedAndReadBackFromTheFile) {
    JournalFile file;
    ASSERT_TRUE(file.journal);
    EXPECT_FALSE(file.journal->next());
    ASSERT_TRUE(file.journal->append(1.5, "first"));
    ASSERT_TRUE(file.journal->append(2.25, std::string(300, 'x')));
    const auto first = file.journal->next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->name, 1.5);
    EXPECT_EQ(first->contents, "first");
    EXPECT_EQ(contentsOf(RideZavEventJournal::pending(file.bytes())), (Names{"first", std::string(300, 'x')}));
    file.journal->markPublished(first->end);
    const auto pending = RideZavEventJournal::pending(file.bytes());
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].name, 2.25);
    file.journal->markPublished(file.journal->next()->end);
    EXPECT_FALSE(file.journal->next());
    EXPECT_TRUE(RideZavEventJournal::pending(file.bytes()).empty());
}

TEST(EventJournal, AFullJournalRefusesAnEntryAndAResetOneTakesEntriesAgain) {
    JournalFile file(RideZavEventJournal::headerSize + 2 * RideZavEventJournal::entrySize(100));
    EXPECT_TRUE(file.journal->append(1, std::string(100, 'a')));
    EXPECT_TRUE(file.journal->append(2, std::string(100, 'b')));
    EXPECT_FALSE(file.journal->append(3, "c"));
    file.journal->reset();
    EXPECT_TRUE(RideZavEventJournal::pending(file.bytes()).empty());
    EXPECT_TRUE(file.journal->append(4, "d"));
    EXPECT_EQ(contentsOf(RideZavEventJournal::pending(file.bytes())), Names{"d"});
}

// Files as a kill, a torn write or a stranger leaves them: whole entries before the first bad
// one are read, nothing else, and nothing reads outside the bytes.
TEST(EventJournal, PendingReadsOnlyWholeEntriesOfTornAndGarbledFiles) {
    JournalFile file;
    file.journal->append(1, "one");
    file.journal->append(2, "two");
    file.journal->append(3, "three");
    const std::string good = file.bytes();
    const std::size_t second = RideZavEventJournal::headerSize + RideZavEventJournal::entrySize(3);
    const auto put64 = [](std::string bytes, std::size_t offset, std::uint64_t value) {
        std::memcpy(bytes.data() + offset, &value, sizeof value);
        return bytes;
    };
    const auto flip = [](std::string bytes, std::size_t offset) {
        bytes[offset] = static_cast<char>(bytes[offset] ^ 0x40);
        return bytes;
    };
    const double nan = std::nan("");
    std::string notFinite = good;
    std::memcpy(notFinite.data() + second + 8, &nan, sizeof nan);
    const struct {
        const char* what;
        std::string bytes;
        Names expected;
    } cases[] = {
        {"whole", good, {"one", "two", "three"}},
        {"empty file", "", {}},
        {"header cut", good.substr(0, 40), {}},
        {"cut inside the second entry", good.substr(0, second + 30), {"one"}},
        {"other magic", flip(good, 0), {}},
        {"second entry's contents changed", flip(good, second + RideZavEventJournal::entryHeaderSize), {"one"}},
        {"second entry's magic changed", flip(good, second), {"one"}},
        {"second entry's length past the end", put64(good, second + 4, 0xffffffff00ffffffULL), {"one"}},
        {"second entry's name not a number", notFinite, {"one"}},
        {"committed past the file", put64(good, 24, 1u << 30), {"one", "two", "three"}},
        {"size past the file, cut inside the third entry", good.substr(0, second + RideZavEventJournal::entrySize(3) + 10), {"one", "two"}},
        {"committed inside the first entry", put64(good, 24, RideZavEventJournal::headerSize + 8), {}},
        {"published past committed (a reset cut short)", put64(good, 24, RideZavEventJournal::headerSize), {}},
        {"published inside the header", put64(good, 32, 8), {}},
        {"published at the second entry", put64(good, 32, second), {"two", "three"}},
        {"published misaligned", put64(good, 32, second + 3), {}},
        {"all zeros", std::string(4096, '\0'), {}},
    };
    for (const auto& c : cases) EXPECT_EQ(contentsOf(RideZavEventJournal::pending(c.bytes)), c.expected) << c.what;
}

class JournaledStoreTest : public testing::Test {
protected:
    std::string folder() const { return dir / "ridezav.queueFolder"; }
    std::vector<fs::path> journals() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(folder()))
            if (RideZavFileBackedQueue::isJournalName(entry.path().filename().string())) found.push_back(entry.path());
        return found;
    }
    std::set<std::string> eventFiles() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder()))
            if (RideZavFileBackedQueue::nameValue(entry.path().filename().string())) names.insert(entry.path().filename().string());
        return names;
    }
    std::unique_ptr<RideZavFileBackedQueue> journaled(std::size_t size = RideZavFileBackedQueue::defaultJournalSize) {
        auto store = std::make_unique<RideZavFileBackedQueue>(folder());
        store->startJournal(size);
        return store;
    }

    velmo::test::TestDirectory dir;
    std::shared_ptr<velmo::test::ManualWallClock> clock =
        std::make_shared<velmo::test::ManualWallClock>(velmo::test::dateFromMilliseconds(1704067200000));
    velmo::test::ScopedWallClock scopedClock{clock};
};

TEST_F(JournaledStoreTest, AddsWaitInTheJournalAndBecomeFilesInOrderWhenWritten) {
    auto store = journaled();
    EXPECT_TRUE(store->add("a"));
    clock->advance(std::chrono::milliseconds(1500));
    EXPECT_TRUE(store->add("b"));
    EXPECT_EQ(store->depth(), 2u);
    EXPECT_TRUE(eventFiles().empty()) << "the capturing thread wrote a file";
    EXPECT_TRUE(store->wantsWriting());
    EXPECT_FALSE(store->wantsWriting()) << "asked once per run of adds";
    store->writePending();
    EXPECT_EQ(eventFiles(), (std::set<std::string>{"1704067200.0", "1704067201.5"}));
    EXPECT_EQ(store->names(), (Names{"1704067200.0", "1704067201.5"}));
    EXPECT_EQ(store->peek(5), (Names{"a", "b"}));
    EXPECT_EQ(store->depth(), 2u);
    EXPECT_TRUE(store->wantsWriting());
}

TEST_F(JournaledStoreTest, SetUpWritesWhatAKilledStoreLeftInItsJournalsOnceAndRemovesThem) {
    {
        // Small journals: the adds run through several.
        auto store = journaled(RideZavEventJournal::headerSize + 3 * RideZavEventJournal::entrySize(8));
        for (int n = 0; n < 10; ++n) ASSERT_TRUE(store->add("event " + std::to_string(n)));
        EXPECT_GT(journals().size(), 1u);
    }  // gone without writing anything, as if killed
    EXPECT_TRUE(eventFiles().empty());
    RideZavFileBackedQueue reloaded(folder());
    EXPECT_EQ(reloaded.depth(), 10u);
    Names expected;
    for (int n = 0; n < 10; ++n) expected.push_back("event " + std::to_string(n));
    EXPECT_EQ(reloaded.peek(20), expected);
    EXPECT_TRUE(journals().empty());
}

TEST_F(JournaledStoreTest, AnEntryWrittenAsAFileBeforeTheJournalSaidSoIsNotWrittenAgain) {
    fs::path journal;
    std::string beforeWriting;
    {
        auto store = journaled();
        store->add("a");
        store->add("b");
        ASSERT_EQ(journals().size(), 1u);
        journal = journals()[0];
        beforeWriting = readAll(journal);
        store->writePending();
        writeAll(journal, beforeWriting);  // killed after the files, before the journal's mark
    }
    RideZavFileBackedQueue reloaded(folder());
    EXPECT_EQ(reloaded.peek(5), (Names{"a", "b"}));
    EXPECT_EQ(eventFiles().size(), 2u);
}

TEST_F(JournaledStoreTest, ASecondStoreLeavesTheJournalOfALivingOneAlone) {
    auto living = journaled();
    living->add("a");
    {
        RideZavFileBackedQueue other(folder());
        EXPECT_EQ(other.depth(), 0u);
    }
    EXPECT_EQ(journals().size(), 1u);
    EXPECT_EQ(living->peek(5), Names{"a"});
}

TEST_F(JournaledStoreTest, GarbageUnderAJournalNameIsRemovedAndTheEventFilesStay) {
    dir.write("ridezav.queueFolder/1.0", "kept");
    dir.write("ridezav.queueFolder/.ridezav-journal-1-2-3", "RZJRNL1 not really");
    RideZavFileBackedQueue store(folder());
    EXPECT_EQ(store.peek(5), Names{"kept"});
    EXPECT_TRUE(journals().empty());
}

TEST_F(JournaledStoreTest, AnEventTooBigForAJournalIsWrittenAfterThoseBeforeIt) {
    auto store = journaled(4096);
    store->add("small");
    const std::string big(8192, 'b');
    EXPECT_TRUE(store->add(big));
    EXPECT_EQ(store->peek(5), (Names{"small", big}));
}

TEST_F(JournaledStoreTest, ADropFallsOnTheOldestEventWhereverItIs) {
    auto store = journaled();
    store->add("a");
    store->add("b");
    store->dropOldest();  // both still in the journal
    EXPECT_EQ(store->depth(), 1u);
    EXPECT_EQ(store->peek(5), Names{"b"});
    store->add("c");
    store->dropOldest();  // "b" is a file now, "c" in the journal
    EXPECT_EQ(store->depth(), 1u);
    EXPECT_EQ(store->peek(5), Names{"c"});
    EXPECT_EQ(eventFiles().size(), 1u);
}

TEST_F(JournaledStoreTest, AFolderRemovedMeanwhileTakesTheNextAddsInANewJournal) {
    auto store = journaled();
    store->add("a");
    fs::remove_all(folder());
    EXPECT_TRUE(store->add("b"));  // the journal it had went with the folder: written directly
    store->writePending();
    EXPECT_EQ(store->peek(5), (Names{"a", "b"}));
    EXPECT_FALSE(journals().empty());
    store->add("c");
    store.reset();
    EXPECT_EQ(RideZavFileBackedQueue(folder()).peek(5), (Names{"a", "b", "c"}));
}

}  // namespace
}  // namespace ridezav
