// A writer killed with SIGKILL at any point must leave a folder from which every acknowledged
// event loads exactly once and nothing torn is read.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "RideZav/delivery/RideZavFileBackedQueue.h"
#include "platform/foundation/TestDirectory.h"

namespace ridezav {
namespace {

// The child: adds events numbered from `first` for ever, acknowledging each one after its add
// returned, through unnamed temporary files (linked directly, or through /proc) or named ones,
// or into journals that the adding thread (kind 3) or a writer thread (kind 4, with journals of
// a few entries) turns into files. Never returns.
[[noreturn]] void writer(const std::string& folder, int first, int ackFd, int kind) {
    RideZavFileBackedQueue store(folder);
    if (kind == 1) store.linkThroughProcForTesting();
    if (kind == 2) store.useNamedTemporariesForTesting();
    if (kind == 3) store.startJournal();
    if (kind == 4) {
        store.startJournal(RideZavEventJournal::headerSize + 5 * RideZavEventJournal::entrySize(3100));
        std::thread([&store] {
            for (;;) {
                store.writePending();
                std::this_thread::yield();
            }
        }).detach();
    }
    const std::string pad(3000, 'p');  // big enough that a write can be cut in the middle
    for (int n = first;; ++n) {
        const std::string event = nlohmann::json{{"event", "crash-test"}, {"n", n}, {"pad", pad}}.dump();
        if (!store.add(event)) _exit(3);
        if (::write(ackFd, &n, sizeof n) != sizeof n) _exit(4);
        if (n % 2) store.prepareSpareFiles();  // some adds write into prepared files
        if (kind == 3 && n % 3 == 0) store.writePending();
    }
}

TEST(FileBackedQueueCrash, EveryAcknowledgedEventSurvivesSigkillExactlyOnce) {
    velmo::test::TestDirectory dir;
    const std::string folder = dir / "ridezav.queueFolder";
    std::mt19937 random(std::random_device{}());
    std::map<int, int> acknowledged;  // event number -> times acknowledged
    int next = 0;

    for (int round = 0; round < 25; ++round) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            writer(folder, next, pipeFds[1], round % 5);
        }
        ::close(pipeFds[1]);

        // Let it run for a random number of acknowledgements, then a random moment more.
        const int wanted = std::uniform_int_distribution<int>(1, 60)(random);
        int got = 0;
        int n;
        while (got < wanted && ::read(pipeFds[0], &n, sizeof n) == sizeof n) {
            ++acknowledged[n];
            ++got;
        }
        const auto spin = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 400)(random));
        for (const auto until = std::chrono::steady_clock::now() + spin; std::chrono::steady_clock::now() < until;) {
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped by itself: " << status;
        while (::read(pipeFds[0], &n, sizeof n) == sizeof n) ++acknowledged[n];
        ::close(pipeFds[0]);

        // Restart: load everything and check it.
        RideZavFileBackedQueue store(folder);
        std::map<int, int> loaded;
        for (const auto& contents : store.peek(store.depth())) {
            const auto json = nlohmann::json::parse(contents, nullptr, false);
            ASSERT_FALSE(json.is_discarded()) << "torn event read in round " << round;
            ++loaded[json.at("n").get<int>()];
        }
        for (const auto& [number, times] : acknowledged) {
            EXPECT_EQ(times, 1);
            EXPECT_EQ(loaded[number], 1) << "event " << number << " in round " << round;
        }
        for (const auto& [number, times] : loaded) EXPECT_EQ(times, 1) << "event " << number << " loaded twice";
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            EXPECT_FALSE(RideZavFileBackedQueue::isTemporaryName(entry.path().filename().string())) << "leftover temporary after set-up";
            EXPECT_FALSE(RideZavFileBackedQueue::isJournalName(entry.path().filename().string())) << "journal left after set-up";
        }
        next = loaded.empty() ? next : std::max(next, loaded.rbegin()->first + 1);
        if (!acknowledged.empty()) next = std::max(next, acknowledged.rbegin()->first + 1);
        if (testing::Test::HasFailure()) return;
    }
    EXPECT_GE(acknowledged.size(), 20u);
}

}  // namespace
}  // namespace ridezav
