#include "RideZav/delivery/RideZavQueue.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "RideZav/core/CoreTesting.h"
#include "RideZav/core/RideZavLog.h"
#include "RideZav/delivery/DeliveryTesting.h"
#include "RideZav/network/Reachability.h"
#include "platform/base/LogCapture.h"
#include "platform/base/Logger.h"
#include "platform/foundation/TestDirectory.h"
#include "platform/net/SimulatedReachabilityTarget.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/runtime/VirtualMainLoop.h"

using namespace std::chrono_literals;

namespace ridezav {
namespace {

using Lines = std::vector<std::string>;
namespace Flag = velmo::ReachabilityFlag;

class QueueTest : public testing::Test {
protected:
    QueueTest() { RideZavLog::setDebug(true); }
    ~QueueTest() override {
        if (queue_) dispatchQueue->sync([] {});
        RideZavLog::setDebug(false);
    }

    RideZavQueue& queue(RideZavApiEndpoint endpoint = RideZavApiEndpoint::batch) {
        if (!queue_) {
            store = std::make_shared<RideZavFileBackedQueue>(dir / "ridezav.queueFolder");
            queue_ = RideZavQueue::create(config, uploader, reachability, endpoint, dispatchQueue, store);
        }
        return *queue_;
    }
    RideZavEvent event(int n) const {
        return RideZavEvent("e" + std::to_string(n), "user", Object{{"n", n}}, clock->now(), velmo::UUID::random());
    }
    void addEvents(int count, int first = 0) {
        for (int n = first; n < first + count; ++n) EXPECT_TRUE(queue().add(event(n)));
    }
    // Waits until every block already on the dispatch queue has run.
    void drain() {
        dispatchQueue->sync([] {});
    }
    // Starts a batch now and waits for its request.
    void flushAndWait(std::size_t call) {
        queue().take(static_cast<std::size_t>(config.maxBatchSize));
        ASSERT_TRUE(uploader->waitForCalls(call));
    }
    std::vector<std::string> eventNames(std::size_t call) const {
        std::vector<std::string> names;
        const auto calls = uploader->calls();
        for (const auto& e : calls.at(call).events) names.push_back(e.event);
        return names;
    }
    Lines pausingLines() const { return log.linesStartingWith("[RideZav] Pausing queue consumption for "); }

    velmo::test::TestDirectory dir;
    std::shared_ptr<velmo::test::ManualWallClock> clock =
        std::make_shared<velmo::test::ManualWallClock>(velmo::test::dateFromMilliseconds(1704067200000));
    velmo::test::ScopedWallClock scopedClock{clock};
    velmo::VirtualMainLoopScope mainLoop;
    velmo::LogCapture log;
    RideZavConfig config{"phc_key"};
    std::shared_ptr<velmo::test::ScriptedUploader> uploader = std::make_shared<velmo::test::ScriptedUploader>();
    std::shared_ptr<velmo::SerialQueue> dispatchQueue = std::make_shared<velmo::SerialQueue>("com.ridezav.Queue");
    std::shared_ptr<Reachability> reachability;
    std::shared_ptr<RideZavFileBackedQueue> store;
    std::shared_ptr<RideZavQueue> queue_;
};

TEST(RideZavApiEndpoint, FromRaw) {
    EXPECT_EQ(apiEndpointFromRaw(0), RideZavApiEndpoint::batch);
    EXPECT_EQ(apiEndpointFromRaw(1), RideZavApiEndpoint::snapshot);
    EXPECT_EQ(apiEndpointFromRaw(2), std::nullopt);
    EXPECT_EQ(apiEndpointFromRaw(-1), std::nullopt);
}

TEST_F(QueueTest, TheTwentiethAddStartsABatchAndTheNineteenthDoesNot) {
    addEvents(19);
    drain();
    EXPECT_TRUE(uploader->calls().empty());
    EXPECT_TRUE(log.contains("[RideZav] Queued event 'e18'. Depth: 19"));
    queue().add(event(19));
    ASSERT_TRUE(uploader->waitForCalls(1));
    const auto names = eventNames(0);
    ASSERT_EQ(names.size(), 20u);
    EXPECT_EQ(names.front(), "e0");
    EXPECT_EQ(names.back(), "e19");
    EXPECT_EQ(uploader->calls()[0].endpoint, RideZavApiEndpoint::batch);
    EXPECT_TRUE(log.contains("[RideZav] Sending batch of 20 events to RideZav"));
    uploader->answer(200);
    EXPECT_EQ(queue().depth(), 0u);
    EXPECT_FALSE(queue().isFlushing());
    EXPECT_TRUE(log.contains("[RideZav] Completed!"));
}

TEST_F(QueueTest, ABatchTakesAtMostMaxBatchSizeOldestFirst) {
    config.flushAt = 10000;
    addEvents(60);
    flushAndWait(1);
    const auto names = eventNames(0);
    ASSERT_EQ(names.size(), 50u);
    EXPECT_EQ(names.front(), "e0");
    EXPECT_EQ(names.back(), "e49");
    uploader->answer(200);
    EXPECT_EQ(queue().depth(), 10u);
}

TEST_F(QueueTest, AtTheCapTheOldestIsDroppedAfterTheNewOneIsStored) {
    config.flushAt = 10000;
    addEvents(1000);
    const std::string oldest = store->names().front();
    log.clear();
    queue().add(event(1000));
    EXPECT_EQ(queue().depth(), 1000u);
    EXPECT_NE(store->names().front(), oldest);
    EXPECT_FALSE(std::filesystem::exists(dir / ("ridezav.queueFolder/" + oldest)));
    EXPECT_EQ(log.lines(), (Lines{"[RideZav] Queue is full, dropping oldest event", "[RideZav] Queued event 'e1000'. Depth: 1000"}));
    EXPECT_EQ(RideZavQueue::decodeEvent(store->peekBatch(1000).contents.back())->event, "e1000");
}

TEST_F(QueueTest, AtTheCapAFailedWriteDropsNothing) {
    config.flushAt = 10000;
    config.maxQueueSize = 3;
    addEvents(3);
    drain();  // the spare file is made on the dispatch queue
    std::filesystem::remove_all(dir / "ridezav.queueFolder");
    dir.write("ridezav.queueFolder", "a file where the folder was");
    EXPECT_FALSE(queue().add(event(3)));  // says that nothing was stored
    EXPECT_EQ(queue().depth(), 3u);
    EXPECT_FALSE(log.contains("[RideZav] Queue is full, dropping oldest event"));
}

TEST_F(QueueTest, ABatchSentFromAReadOnlyFolderIsNotSentAgainAtTheNextStart) {
    config.flushAt = 10000;
    addEvents(12);
    drain();  // the journal's entries are event files before the folder turns read-only
    velmo::test::ReadOnlyFolder readOnly(dir / "ridezav.queueFolder");
    if (!readOnly.isReadOnly()) GTEST_SKIP() << "the folder cannot be made read-only here";
    flushAndWait(1);
    uploader->answer(200);
    drain();
    EXPECT_EQ(queue().depth(), 0u);
    readOnly.release();

    // The next start: the twelve files are still there, but only the new event goes out.
    queue_.reset();
    store.reset();
    queue().add(event(12));
    flushAndWait(2);
    EXPECT_EQ(eventNames(1), Lines{"e12"});
    uploader->answer(200);
    drain();
    EXPECT_EQ(queue().depth(), 0u);
    for (const auto& entry : std::filesystem::directory_iterator(dir / "ridezav.queueFolder"))
        EXPECT_TRUE(RideZavFileBackedQueue::isJournalName(entry.path().filename().string())) << entry.path();
}

struct AnswerCase {
    std::optional<int> status;
    bool removed;
};

class QueueAnswers : public QueueTest, public testing::WithParamInterface<AnswerCase> {};

TEST_P(QueueAnswers, AnsweredBatchesAreRemovedOthersStayAndBackOff) {
    config.flushAt = 10000;
    addEvents(3);
    flushAndWait(1);
    uploader->answer(GetParam().status);
    EXPECT_FALSE(queue().isFlushing());
    if (GetParam().removed) {
        EXPECT_EQ(queue().depth(), 0u);
        EXPECT_EQ(queue().retryCount(), 0);
        EXPECT_TRUE(pausingLines().empty());
        EXPECT_TRUE(queue().canFlush());
        return;
    }
    EXPECT_EQ(queue().depth(), 3u);
    EXPECT_EQ(queue().retryCount(), 1);
    EXPECT_EQ(pausingLines(), (Lines{"[RideZav] Pausing queue consumption for 5.0 seconds due to 1.0 API failure(s)."}));
    clock->advance(std::chrono::milliseconds(4999));
    log.clear();
    EXPECT_FALSE(queue().canFlush());
    EXPECT_EQ(log.lines(), (Lines{"[RideZav] The queue is paused until `2024-01-01 00:00:05 +0000`"}));
    clock->advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(queue().canFlush());
    // Sent again once the pause is over.
    flushAndWait(2);
    EXPECT_EQ(eventNames(1), (std::vector<std::string>{"e0", "e1", "e2"}));
    uploader->answer(200);
    EXPECT_EQ(queue().depth(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, QueueAnswers,
                         testing::Values(AnswerCase{200, true}, AnswerCase{204, true}, AnswerCase{400, true}, AnswerCase{413, true},
                                         AnswerCase{500, true}, AnswerCase{0, true}, AnswerCase{299, true}, AnswerCase{300, false},
                                         AnswerCase{302, false}, AnswerCase{399, false}, AnswerCase{-1, false},
                                         AnswerCase{std::nullopt, false}, AnswerCase{429, false}, AnswerCase{502, false},
                                         AnswerCase{503, false}, AnswerCase{504, false}));

TEST_F(QueueTest, FailuresInARowBackOffUpToThirtySecondsAndAnAnswerResets) {
    config.flushAt = 10000;
    addEvents(1);
    for (int i = 1; i <= 7; ++i) {
        flushAndWait(static_cast<std::size_t>(i));
        uploader->answer(std::nullopt);
    }
    EXPECT_EQ(pausingLines(), (Lines{"[RideZav] Pausing queue consumption for 5.0 seconds due to 1.0 API failure(s).",
                                     "[RideZav] Pausing queue consumption for 10.0 seconds due to 2.0 API failure(s).",
                                     "[RideZav] Pausing queue consumption for 15.0 seconds due to 3.0 API failure(s).",
                                     "[RideZav] Pausing queue consumption for 20.0 seconds due to 4.0 API failure(s).",
                                     "[RideZav] Pausing queue consumption for 25.0 seconds due to 5.0 API failure(s).",
                                     "[RideZav] Pausing queue consumption for 30.0 seconds due to 6.0 API failure(s).",
                                     "[RideZav] Pausing queue consumption for 30.0 seconds due to 7.0 API failure(s)."}));
    EXPECT_EQ(queue().pausedUntil(), clock->now() + std::chrono::seconds(30));
    flushAndWait(8);
    uploader->answer(200);
    EXPECT_EQ(queue().retryCount(), 0);
    EXPECT_EQ(queue().depth(), 0u);
}

TEST_F(QueueTest, AnAllUndecodableBatchSendsNothingAndRemovesItsFiles) {
    dir.write("ridezav.queueFolder/1.0", "not json");
    dir.write("ridezav.queueFolder/2.0", "[1,2]");
    dir.write("ridezav.queueFolder/3.0", "{}");
    dir.write("ridezav.queueFolder/4.0", R"({"event":"no distinct id"})");
    EXPECT_EQ(queue().depth(), 4u);
    queue().take(50);
    drain();
    EXPECT_TRUE(uploader->calls().empty());
    EXPECT_EQ(queue().depth(), 0u);
    for (const auto& entry : std::filesystem::directory_iterator(dir / "ridezav.queueFolder"))
        EXPECT_TRUE(RideZavFileBackedQueue::isJournalName(entry.path().filename().string())) << entry.path();
    EXPECT_TRUE(log.contains("[RideZav] Completed!"));
    EXPECT_FALSE(queue().isFlushing());
}

TEST_F(QueueTest, UndecodableContentsAreSkippedAndRemovedWithTheirBatch) {
    dir.write("ridezav.queueFolder/1.0", "torn {");
    config.flushAt = 10000;
    addEvents(2);
    flushAndWait(1);
    EXPECT_EQ(eventNames(0), (std::vector<std::string>{"e0", "e1"}));
    uploader->answer(200);
    EXPECT_EQ(queue().depth(), 0u);
}

TEST_F(QueueTest, ATakeWhileABatchIsInFlightReadsNothing) {
    config.flushAt = 10000;
    addEvents(3);
    flushAndWait(1);
    addEvents(2, 3);
    EXPECT_FALSE(queue().canFlush());
    EXPECT_TRUE(log.contains("[RideZav] Already flushing"));
    queue().take(50);
    drain();
    EXPECT_EQ(uploader->calls().size(), 1u);
    EXPECT_TRUE(queue().isFlushing());
    uploader->answer(200);
    EXPECT_FALSE(queue().isFlushing());
    // Exactly the three sent are gone; the two added meanwhile stay.
    EXPECT_EQ(queue().depth(), 2u);
    flushAndWait(2);
    EXPECT_EQ(eventNames(1), (std::vector<std::string>{"e3", "e4"}));
    uploader->answer(200);
}

TEST_F(QueueTest, ADropWhileABatchIsInFlightKeepsTheUnsentEvents) {
    config.flushAt = 10000;
    config.maxQueueSize = 3;
    addEvents(3);
    flushAndWait(1);  // e0 e1 e2 in flight
    queue().add(event(3));  // full: e0 dropped, e3 stored
    uploader->answer(200);
    ASSERT_EQ(queue().depth(), 1u);
    EXPECT_EQ(RideZavQueue::decodeEvent(store->peek(1).at(0))->event, "e3");
}

TEST_F(QueueTest, TheReplayQueueUploadsThroughTheSnapshotRequest) {
    config.flushAt = 1;
    queue(RideZavApiEndpoint::snapshot).add(event(0));
    ASSERT_TRUE(uploader->waitForCalls(1));
    EXPECT_EQ(uploader->calls()[0].endpoint, RideZavApiEndpoint::snapshot);
    uploader->answer(200);
}

TEST_F(QueueTest, TheTimerFlushesEveryIntervalOnTheMainLoop) {
    config.flushIntervalSeconds = std::chrono::duration<double>(30.0);
    queue().start(true, false);
    mainLoop.loop().runUntilIdle();
    EXPECT_EQ(mainLoop.loop().pendingTimerCount(), 1u);
    addEvents(3);
    mainLoop.loop().advance(29.9s);
    drain();
    EXPECT_TRUE(uploader->calls().empty());
    mainLoop.loop().advance(0.1s);
    ASSERT_TRUE(uploader->waitForCalls(1));
    uploader->answer(std::nullopt);  // back off for 5 s: the next tick still finds the pause over
    addEvents(1, 3);
    mainLoop.loop().advance(30s);
    ASSERT_FALSE(uploader->waitForCalls(2, std::chrono::milliseconds(200)));  // wall clock did not move
    clock->advance(std::chrono::seconds(6));
    mainLoop.loop().advance(30s);
    ASSERT_TRUE(uploader->waitForCalls(2));
    EXPECT_EQ(eventNames(1).size(), 4u);
    uploader->answer(200);
}

TEST_F(QueueTest, NoTimerWhenDisabled) {
    queue().start(true, true);
    mainLoop.loop().runUntilIdle();
    EXPECT_EQ(mainLoop.loop().pendingTimerCount(), 0u);
}

class QueueReachabilityTest : public QueueTest {
protected:
    QueueReachabilityTest() { reachability = Reachability::create(target, Reachability::mainQueue()); }
    void report(velmo::ReachabilityFlags flags) {
        mainLoop.loop().runUntilIdle();  // earlier deliveries first: each reads the connection when it runs
        target->setFlags(flags);
        ASSERT_TRUE(mainLoop.loop().runUntil([&] { return reachability->flags() == flags; }));
        mainLoop.loop().runUntil([] { return false; }, 0.05s);
    }
    std::shared_ptr<velmo::SimulatedReachabilityTarget> target = std::make_shared<velmo::SimulatedReachabilityTarget>(Flag::reachable);
};

TEST_F(QueueReachabilityTest, UnreachablePausesAndReachableResumesWithABatch) {
    config.flushAt = 10000;
    int slotCalls = 0;
    reachability->setWhenUnreachable([&](Reachability&) { ++slotCalls; });
    queue().start(false, true);
    report(0);
    EXPECT_TRUE(queue().paused());
    EXPECT_TRUE(log.contains("[RideZav] Queue is paused because network is unreachable"));
    EXPECT_EQ(log.linesStartingWith("[RideZav] Queue is paused because network is unreachable").size(), 1u);
    EXPECT_EQ(slotCalls, 1) << "the monitor's own slot was taken over";
    addEvents(2);
    log.clear();
    EXPECT_FALSE(queue().canFlush());
    EXPECT_EQ(log.lines(), (Lines{"[RideZav] The queue is paused due to the reachability check"}));
    report(Flag::reachable);
    EXPECT_FALSE(queue().paused());
    ASSERT_TRUE(uploader->waitForCalls(1));
    uploader->answer(200);
    EXPECT_EQ(queue().depth(), 0u);
}

TEST_F(QueueReachabilityTest, WiFiModeAcceptsAWiFiConnection) {
    config.dataMode = RideZavDataMode::wifi;
    queue().start(false, true);
    report(0);
    report(Flag::reachable | Flag::isDirect);
    EXPECT_FALSE(queue().paused());
    EXPECT_FALSE(log.contains("[RideZav] Queue is paused because its not in WiFi mode"));
}

TEST_F(QueueReachabilityTest, ANotifierThatCannotStartIsLoggedAndTheQueueRunsOn) {
    target->failNextSetCallback(22);
    config.flushAt = 1;
    queue().start(false, true);
    EXPECT_EQ(log.linesStartingWith("[RideZav] Error: Unable to monitor network reachability: ").size(), 1u);
    queue().add(event(0));
    ASSERT_TRUE(uploader->waitForCalls(1));
    uploader->answer(200);
}

TEST_F(QueueReachabilityTest, DisabledReachabilityNeitherSubscribesNorStarts) {
    queue().start(true, true);
    EXPECT_FALSE(reachability->notifierRunning());
    target->setFlags(0);
    mainLoop.loop().runUntil([] { return false; }, 0.05s);
    EXPECT_FALSE(queue().paused());
}

}  // namespace
}  // namespace ridezav
