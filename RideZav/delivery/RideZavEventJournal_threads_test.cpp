// The hand-off from capturing threads to the writer: adds from several threads while another
// writes the journal's entries as files, with journals small enough to be filled, replaced and
// reused meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RideZav/delivery/RideZavFileBackedQueue.h"
#include "platform/foundation/TestDirectory.h"

namespace ridezav {
namespace {

TEST(EventJournalThreads, EveryAddFromManyThreadsBecomesOneFileInNameOrderWhileTheWriterRuns) {
    velmo::test::TestDirectory dir;
    const std::string folder = dir / "ridezav.queueFolder";
    constexpr int threads = 4, perThread = 300;
    {
        RideZavFileBackedQueue store(folder);
        store.startJournal(RideZavEventJournal::headerSize + 8 * RideZavEventJournal::entrySize(40));
        std::atomic<bool> done{false};
        std::thread writer([&] {
            while (!done.load()) {
                if (store.wantsWriting()) store.writePending();
                std::this_thread::yield();
            }
        });
        std::vector<std::thread> capturing;
        for (int t = 0; t < threads; ++t)
            capturing.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) EXPECT_TRUE(store.add("thread " + std::to_string(t) + " event " + std::to_string(i)));
            });
        for (auto& thread : capturing) thread.join();
        done.store(true);
        writer.join();
        EXPECT_EQ(store.depth(), static_cast<std::size_t>(threads * perThread));

        const auto names = store.names();
        ASSERT_EQ(names.size(), static_cast<std::size_t>(threads * perThread));
        for (std::size_t i = 1; i < names.size(); ++i)
            EXPECT_LT(*RideZavFileBackedQueue::nameValue(names[i - 1]), *RideZavFileBackedQueue::nameValue(names[i]));
    }
    // Read back in a new store: each event once, and each thread's in the order it added them.
    RideZavFileBackedQueue reloaded(folder);
    std::set<std::string> seen;
    std::map<int, int> nextOf;
    for (const auto& contents : reloaded.peek(threads * perThread + 1)) {
        EXPECT_TRUE(seen.insert(contents).second) << contents;
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(contents.c_str(), "thread %d event %d", &t, &i), 2) << contents;
        EXPECT_EQ(i, nextOf[t]++) << contents;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * perThread));
}

}  // namespace
}  // namespace ridezav
