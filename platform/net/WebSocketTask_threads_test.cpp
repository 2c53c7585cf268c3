#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "platform/base/OriginOverride.h"
#include "platform/net/WebSocketTask.h"
#include "testing/BlockingQueue.h"
#include "testing/LoopbackWebSocketServer.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::BlockingQueue;
using velmo::test::LoopbackWebSocketServer;
using Step = LoopbackWebSocketServer::Step;

namespace {

constexpr const char* serviceHost = "streaming.example.test";
const std::string serviceURL = std::string("wss://") + serviceHost + "/v3/ws";

bool eventually(const std::function<bool()>& predicate, double timeoutSeconds = 10.0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class WebSocketThreadsTest : public testing::Test {
protected:
    LoopbackWebSocketServer server;
    OriginOverride::Scope scope{serviceHost, server.origin()};
};

}  // namespace

TEST_F(WebSocketThreadsTest, SendersOnSeveralThreadsEachKeepTheirOrder) {
    WebSocketSession session;
    auto task = session.webSocketTask(URLRequest(serviceURL));
    task->resume();
    const int threads = 4, perThread = 200;
    auto done = std::make_shared<BlockingQueue<std::exception_ptr>>();
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            for (int n = 0; n < perThread; ++n) {
                task->send(WebSocketMessage::text(std::to_string(t) + ":" + std::to_string(n)),
                           [done](std::exception_ptr e) { done->push(e); });
            }
        });
    }
    for (auto& sender : senders) sender.join();
    for (int i = 0; i < threads * perThread; ++i) {
        auto error = done->pop();
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, nullptr);
    }
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::anyText(), threads * perThread));
    std::vector<int> next(threads, 0);
    for (const auto& text : server.connections()[0].texts()) {
        int t = std::stoi(text.substr(0, text.find(':')));
        int n = std::stoi(text.substr(text.find(':') + 1));
        EXPECT_EQ(n, next[t]) << text;
        next[t] = n + 1;
    }
    for (int t = 0; t < threads; ++t) EXPECT_EQ(next[t], perThread);
    task->cancel(WebSocketCloseCode::normalClosure);
}

TEST_F(WebSocketThreadsTest, ReceiversOnSeveralThreadsGetEachMessageOnce) {
    const int count = 200;
    std::vector<Step> steps;
    for (int i = 0; i < count; ++i) steps.push_back(Step::text(std::to_string(i)));
    server.setStepsAfterUpgrade(steps);
    WebSocketSession session;
    auto task = session.webSocketTask(URLRequest(serviceURL));
    task->resume();
    auto received = std::make_shared<BlockingQueue<std::string>>();
    std::vector<std::thread> receivers;
    for (int t = 0; t < 4; ++t) {
        receivers.emplace_back([&] {
            for (int n = 0; n < count / 4; ++n) {
                task->receive(
                    [received](std::optional<WebSocketMessage> m, std::exception_ptr) { received->push(m ? m->data : "<error>"); });
            }
        });
    }
    for (auto& receiver : receivers) receiver.join();
    // Completions run one at a time in the order the messages came.
    for (int i = 0; i < count; ++i) {
        auto text = received->pop();
        ASSERT_TRUE(text);
        EXPECT_EQ(*text, std::to_string(i));
    }
    task->cancel(WebSocketCloseCode::normalClosure);
}

TEST_F(WebSocketThreadsTest, CancellingWhileOtherThreadsSendAndReceiveAnswersEveryCompletionOnce) {
    server.addReply(LoopbackWebSocketServer::anyText(), {Step::text("echo")});
    for (int round = 0; round < 10; ++round) {
        WebSocketSession session;
        auto task = session.webSocketTask(URLRequest(serviceURL));
        task->resume();
        std::atomic<int> sendsAnswered{0}, receivesAnswered{0};
        const int perThread = 100;
        std::thread sender([&] {
            for (int n = 0; n < perThread; ++n) task->send(WebSocketMessage::text("m"), [&](std::exception_ptr) { ++sendsAnswered; });
        });
        std::thread receiver([&] {
            for (int n = 0; n < perThread; ++n)
                task->receive([&](std::optional<WebSocketMessage>, std::exception_ptr) { ++receivesAnswered; });
        });
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
            task->cancel(WebSocketCloseCode::goingAway);
        });
        sender.join();
        receiver.join();
        canceller.join();
        EXPECT_TRUE(eventually([&] { return sendsAnswered == perThread && receivesAnswered == perThread; })) << round;
        // Anything asked after the cancellation is answered too, and nothing twice: this last
        // completion runs after every earlier one on the callback thread.
        auto marker = std::make_shared<BlockingQueue<bool>>();
        task->send(WebSocketMessage::text("after"), [marker](std::exception_ptr e) { marker->push(isURLError(e, URLError::cancelled)); });
        auto cancelled = marker->pop();
        ASSERT_TRUE(cancelled);
        EXPECT_TRUE(*cancelled);
        EXPECT_EQ(sendsAnswered.load(), perThread) << round;
        EXPECT_EQ(receivesAnswered.load(), perThread) << round;
    }
}

TEST_F(WebSocketThreadsTest, ASessionReleasedInsideItsOwnCompletionFinishesCleanly) {
    auto session = std::make_shared<WebSocketSession>();
    auto task = session->webSocketTask(URLRequest(serviceURL));
    task->resume();
    auto finished = std::make_shared<BlockingQueue<bool>>();
    auto holder = std::make_shared<std::shared_ptr<WebSocketSession>>(std::move(session));
    task->send(WebSocketMessage::text("x"), [holder, finished](std::exception_ptr e) {
        holder->reset();  // the last reference: the session ends on its own callback thread
        finished->push(e == nullptr);
    });
    holder.reset();
    auto ok = finished->pop();
    ASSERT_TRUE(ok);
    EXPECT_TRUE(*ok);
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::closeFrame()));
    EXPECT_EQ(server.connections()[0].clientCloseCode(), std::optional<std::uint16_t>(WebSocketCloseCode::goingAway));
}

TEST_F(WebSocketThreadsTest, SessionsDestroyedWhileTheirTasksOpenEndEveryTask) {
    for (int round = 0; round < 20; ++round) {
        auto answered = std::make_shared<BlockingQueue<bool>>();
        std::shared_ptr<WebSocketTask> task;
        {
            WebSocketSession session;
            task = session.webSocketTask(URLRequest(serviceURL));
            task->receive([answered](std::optional<WebSocketMessage> m, std::exception_ptr e) {
                answered->push(!m && isURLError(e, URLError::cancelled));
            });
            std::thread resumer([&] { task->resume(); });
            std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
            resumer.join();
        }
        auto cancelled = answered->pop();
        ASSERT_TRUE(cancelled) << round;
        EXPECT_TRUE(*cancelled) << round;
    }
}

TEST_F(WebSocketThreadsTest, ReleasingASessionNeverWaitsForTheClosingHandshake) {
    auto session = std::make_unique<WebSocketSession>();
    auto task = session->webSocketTask(URLRequest(serviceURL));
    task->resume();
    auto sent = std::make_shared<BlockingQueue<bool>>();
    task->send(WebSocketMessage::text("x"), [sent](std::exception_ptr e) { sent->push(e == nullptr); });
    auto ok = sent->pop();
    ASSERT_TRUE(ok && *ok);
    server.setReadsStalled(true);  // the close frame is never read, so never answered
    const auto before = std::chrono::steady_clock::now();
    session.reset();
    task.reset();
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_LT(waited, std::chrono::milliseconds(100));
    // The connection still ends cleanly, in the background.
    server.setReadsStalled(false);
    EXPECT_TRUE(server.waitForFrames(LoopbackWebSocketServer::closeFrame()));
    EXPECT_TRUE(server.waitUntil([](const auto& connections) { return connections.size() == 1 && connections[0].clientClosedTcp; }, 6.0s));
}
