#include <gtest/gtest.h>

#include <chrono>

#include "platform/base/OriginOverride.h"
#include "platform/net/WebSocketTask.h"
#include "testing/BlockingQueue.h"
#include "testing/LoopbackWebSocketServer.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::BlockingQueue;
using velmo::test::LoopbackWebSocketServer;
using Step = LoopbackWebSocketServer::Step;
using Frame = LoopbackWebSocketServer::Frame;

namespace {

constexpr const char* host = "streaming.example.test";
const std::string url = std::string("wss://") + host + "/v3/ws";
const std::string begin = R"({"type":"Begin","id":"x"})";
const std::string error = R"({"type":"Error","error":"bad key"})";

// Every message (or the error as "error") the client receives, in order.
class Client {
public:
    explicit Client(WebSocketSession& session)
        : task_(session.webSocketTask(URLRequest(url))) {
        task_->resume();
        arm(task_, received_);
    }
    ~Client() { task_->cancel(WebSocketCloseCode::normalClosure); }

    std::optional<std::string> next(Seconds timeout = Seconds(10)) { return received_->pop(timeout); }
    WebSocketTask& task() { return *task_; }

private:
    using Queue = BlockingQueue<std::string>;
    static void arm(const std::shared_ptr<WebSocketTask>& task, const std::shared_ptr<Queue>& queue) {
        task->receive([weak = std::weak_ptr<WebSocketTask>(task), queue](std::optional<WebSocketMessage> message, std::exception_ptr e) {
            if (!message) return queue->push("error: " + localizedDescriptionOf(e));
            queue->push(message->data);
            if (auto task = weak.lock()) arm(task, queue);
        });
    }
    std::shared_ptr<WebSocketTask> task_;
    std::shared_ptr<Queue> received_ = std::make_shared<Queue>();
};

}  // namespace

TEST(LoopbackWebSocketServer, StepsAfterTheUpgradeRunInOrderAfterTheirDelays) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> expected;
        double earliestSeconds;  // the last message cannot come sooner
    } cases[] = {
        {"begin delayed", {Step::text(begin, 0.2s)}, {begin}, 0.2},
        {"error before begin", {Step::text(error), Step::text(begin, 0.05s)}, {error, begin}, 0.05},
        {"error after begin", {Step::text(begin), Step::text(error, 0.05s)}, {begin, error}, 0.05},
        {"undecodable",
         {Step::text("{\"type\": \"Turn\", "), Step::binary(std::string("\xff\x00", 2))},
         {"{\"type\": \"Turn\", ", std::string("\xff\x00", 2)},
         0},
        {"begin never sent", {}, {}, 0},
    };
    for (auto& c : cases) {
        LoopbackWebSocketServer server;
        server.setStepsAfterUpgrade(c.steps);
        OriginOverride::Scope scope(host, server.origin());
        WebSocketSession session;
        auto started = std::chrono::steady_clock::now();
        Client client(session);
        for (const auto& expected : c.expected) EXPECT_EQ(client.next(), std::optional<std::string>(expected)) << c.name;
        EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), c.earliestSeconds) << c.name;
        EXPECT_FALSE(client.next(0.1s).has_value()) << c.name;
    }
}

TEST(LoopbackWebSocketServer, RepliesAreChosenByTheFirstMatchingRule) {
    LoopbackWebSocketServer server;
    server.addReply(LoopbackWebSocketServer::jsonType("ForceEndpoint"), {Step::text("turn")}, /*once=*/true);
    server.addReply(LoopbackWebSocketServer::jsonType("Terminate"), {Step::text("termination"), Step::close(1000, "bye")});
    server.addReply(LoopbackWebSocketServer::textEquals("{\"type\":"), {Step::text("saw the broken one")});
    OriginOverride::Scope scope(host, server.origin());
    WebSocketSession session;
    Client client(session);
    auto send = [&](WebSocketMessage m) { client.task().send(std::move(m), nullptr); };
    send(WebSocketMessage::binary("pcm"));  // no rule: no answer
    send(WebSocketMessage::text(R"({"type":"ForceEndpoint"})"));
    send(WebSocketMessage::text(R"({"type":"ForceEndpoint"})"));  // that rule is used up
    send(WebSocketMessage::text("{\"type\":"));  // undecodable: no JSON rule matches
    send(WebSocketMessage::text(R"({"type":"Terminate"})"));
    EXPECT_EQ(client.next(), std::optional<std::string>("turn"));
    EXPECT_EQ(client.next(), std::optional<std::string>("saw the broken one"));
    EXPECT_EQ(client.next(), std::optional<std::string>("termination"));
    auto end = client.next();
    ASSERT_TRUE(end);
    EXPECT_NE(end->find("code 1000 \"bye\""), std::string::npos) << *end;

    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::closeFrame()));
    auto frames = server.connections()[0].frames;
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0].kind, Frame::Kind::binary);
    EXPECT_EQ(frames[0].payload, "pcm");
    EXPECT_EQ(frames[1].payload, R"({"type":"ForceEndpoint"})");
    EXPECT_EQ(frames[2].payload, R"({"type":"ForceEndpoint"})");
    EXPECT_EQ(frames[4].payload, R"({"type":"Terminate"})");
    EXPECT_EQ(frames[5].kind, Frame::Kind::close);
    EXPECT_EQ(frames[5].closeCode, std::optional<std::uint16_t>(1000));
}

TEST(LoopbackWebSocketServer, ReadsStallAndResumeByScript) {
    LoopbackWebSocketServer server;
    server.setStepsAfterUpgrade({Step::stallReads()});
    OriginOverride::Scope scope(host, server.origin());
    WebSocketSession session;
    Client client(session);
    auto sent = std::make_shared<BlockingQueue<std::exception_ptr>>();
    client.task().send(WebSocketMessage::text("held"), [sent](std::exception_ptr e) { sent->push(e); });
    ASSERT_TRUE(sent->pop());  // written to the socket, but not read
    EXPECT_FALSE(server.waitForFrames(LoopbackWebSocketServer::anyText(), 1, 0, 0.1s));
    server.run({Step::resumeReads()});
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::anyText()));
    EXPECT_EQ(server.connections()[0].texts(), std::vector<std::string>{"held"});
}

TEST(LoopbackWebSocketServer, RecordsTheUpgradeRequestAsSent) {
    LoopbackWebSocketServer server;
    OriginOverride::Scope scope(host, server.origin());
    WebSocketSession session;
    URLRequest request(url + "?sample_rate=16000&keyterms_prompt=%5B%22a%20b%22%5D&flag");
    request.setValue("secret", "Authorization");
    auto task = session.webSocketTask(request);
    task->resume();
    ASSERT_TRUE(server.waitUntil([](const auto& c) { return !c.empty() && c[0].upgraded; }));
    auto handshake = server.connections()[0].handshake;
    EXPECT_EQ(handshake.target, "/v3/ws?sample_rate=16000&keyterms_prompt=%5B%22a%20b%22%5D&flag");
    EXPECT_EQ(handshake.query, "sample_rate=16000&keyterms_prompt=%5B%22a%20b%22%5D&flag");
    using Items = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(handshake.queryItems, (Items{{"sample_rate", "16000"}, {"keyterms_prompt", "[\"a b\"]"}, {"flag", ""}}));
    EXPECT_TRUE(handshake.hasQueryItem("flag"));
    EXPECT_FALSE(handshake.hasQueryItem("token"));
    EXPECT_EQ(handshake.header("authorization"), std::optional<std::string>("secret"));
    EXPECT_EQ(handshake.header("upgrade"), std::optional<std::string>("websocket"));
    task->cancel(WebSocketCloseCode::goingAway);
}
