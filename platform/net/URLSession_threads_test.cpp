#include <gtest/gtest.h>

#include <future>
#include <random>
#include <thread>

#include "platform/base/OriginOverride.h"
#include "platform/net/URLSession.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/TaskProbe.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::LoopbackAnswer;
using velmo::test::LoopbackHttpServer;
using velmo::test::TaskProbe;

namespace {

constexpr const char* kHost = "threads.example.test";

std::string url(const std::string& path) { return std::string("https://") + kHost + path; }

Task<std::size_t> countLines(URLSession& session, std::string path) {
    URLSessionBytes bytes = co_await session.bytes(URLRequest(url(path)));
    std::size_t n = 0;
    while (co_await bytes.nextLine()) ++n;
    co_return n;
}

class URLSessionThreadsTest : public testing::Test {
protected:
    VirtualMainLoopScope scope;
    LoopbackHttpServer server;
    OriginOverride::Scope redirect{kHost, server.origin()};
};

}  // namespace

TEST_F(URLSessionThreadsTest, ManyOverlappingTransfersOnOneSessionEachGetTheirOwnAnswer) {
    for (int i = 0; i < 16; ++i) {
        server.route("GET", "/data/" + std::to_string(i), LoopbackAnswer::text(200, "answer " + std::to_string(i)));
        std::vector<std::string> pieces(20, std::string(i + 1, 'x') + "\n");
        server.route("GET", "/lines/" + std::to_string(i), LoopbackAnswer::streamed(200, pieces, 0.001s));
    }
    URLSession session;
    std::vector<TaskProbe<URLDataResponse>> whole;
    std::vector<TaskProbe<std::size_t>> streamed;
    for (int i = 0; i < 16; ++i) {
        whole.emplace_back(session.data(URLRequest(url("/data/" + std::to_string(i)))));
        streamed.emplace_back(countLines(session, "/lines/" + std::to_string(i)));
    }
    ASSERT_TRUE(scope.loop().runUntil(
        [&] {
            for (auto& w : whole)
                if (!w.done()) return false;
            for (auto& s : streamed)
                if (!s.done()) return false;
            return true;
        },
        30s));
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(whole[i].value()) << whole[i].errorDescription();
        EXPECT_EQ(whole[i].value()->data, "answer " + std::to_string(i));
        ASSERT_TRUE(streamed[i].value()) << streamed[i].errorDescription();
        EXPECT_EQ(*streamed[i].value(), 20u);
    }
}

TEST_F(URLSessionThreadsTest, CancellationRacingWithCompletionEndsEveryCallOnce) {
    server.route("GET", "/quick", LoopbackAnswer::streamed(200, {"a\n", "b\n", "c\n"}, 0.002s));
    URLSession session;
    std::mt19937 random(11);
    int succeeded = 0, cancelled = 0;
    for (int round = 0; round < 40; ++round) {
        TaskProbe<std::size_t> call(countLines(session, "/quick"));
        // Cancel from another thread at a random moment while the loop runs.
        std::thread canceller([&call, delay = std::uniform_int_distribution<int>(0, 8)(random)] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            call.cancel();
        });
        scope.loop().runUntil([&] { return call.done(); }, 10s);
        canceller.join();
        ASSERT_TRUE(call.finish(scope.loop()));
        if (call.value()) {
            EXPECT_EQ(*call.value(), 3u);
            ++succeeded;
        } else {
            EXPECT_TRUE(isURLError(call.error(), URLError::cancelled)) << call.errorDescription();
            ++cancelled;
        }
    }
    EXPECT_EQ(succeeded + cancelled, 40);
}

TEST_F(URLSessionThreadsTest, SessionsMadeAndDroppedWhileTransfersRun) {
    server.route("GET", "/slow", LoopbackAnswer::streamed(200, {"a\n", "b\n"}, 0.05s));
    for (int round = 0; round < 10; ++round) {
        std::vector<TaskProbe<URLDataResponse>> calls;
        {
            URLSession session;
            for (int i = 0; i < 4; ++i) calls.emplace_back(session.data(URLRequest(url("/slow"))));
            scope.loop().runUntil([] { return false; }, 0.01s);
        }
        ASSERT_TRUE(scope.loop().runUntil([&] {
            for (auto& c : calls)
                if (!c.done()) return false;
            return true;
        }));
        for (auto& c : calls) EXPECT_TRUE(c.value() || isURLError(c.error(), URLError::cancelled)) << c.errorDescription();
    }
}

// With no main loop the completion is dropped where the transfer ended, on the session's own
// worker: when it holds the last reference the session goes from its own thread, which must not
// try to join itself.
TEST(URLSessionRelease, TheLastReferenceDroppedOnTheSessionsOwnWorkerEndsItCleanly) {
    LoopbackHttpServer server;
    OriginOverride::Scope redirect{kHost, server.origin()};
    server.route("GET", "/last", LoopbackAnswer::text(200, "done"));
    struct Released {
        std::promise<std::thread::id> done;
        ~Released() { done.set_value(std::this_thread::get_id()); }
    };
    auto released = std::make_shared<Released>();
    auto ended = released->done.get_future();
    auto session = std::make_shared<URLSession>(URLSessionConfiguration::defaultSessionConfiguration());
    auto task =
        session->dataTask(URLRequest(url("/last")), [session, released](std::string, std::optional<URLResponse>, std::exception_ptr) {});
    released.reset();
    session.reset();
    task->resume();
    task.reset();
    ASSERT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NE(ended.get(), std::this_thread::get_id());
}
