#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/base/OriginOverride.h"
#include "platform/base/URLComponents.h"
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

constexpr const char* serviceHost = "streaming.example.test";
const std::string serviceURL = std::string("wss://") + serviceHost + "/v3/ws";

struct Received {
    std::optional<WebSocketMessage> message;
    std::exception_ptr error;
};

// Hands the task's next message (or error) to the test thread.
Received receiveOne(WebSocketTask& task, Seconds timeout = 10s) {
    auto queue = std::make_shared<BlockingQueue<Received>>();
    task.receive([queue](std::optional<WebSocketMessage> message, std::exception_ptr error) { queue->push({std::move(message), error}); });
    auto result = queue->pop(timeout);
    if (!result) ADD_FAILURE() << "no receive completion";
    return result.value_or(Received{});
}

// Sends and waits for the completion; a missing completion fails the test.
std::exception_ptr sendOne(WebSocketTask& task, WebSocketMessage message) {
    auto queue = std::make_shared<BlockingQueue<std::exception_ptr>>();
    task.send(std::move(message), [queue](std::exception_ptr error) { queue->push(error); });
    auto result = queue->pop();
    if (!result) {
        ADD_FAILURE() << "no send completion";
        return std::make_exception_ptr(std::runtime_error("no send completion"));
    }
    return *result;
}

std::string text(const Received& r) {
    if (r.message) return r.message->isText() ? r.message->data : "<binary>";
    return "<error: " + (r.error ? describeException(r.error) : std::string("none")) + ">";
}

testing::AssertionResult failsWith(const std::exception_ptr& error, URLError::Code code) {
    if (isURLError(error, code)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "expected code " << code << ", got " << (error ? describeException(error) : "no error");
}

// Enough 1 MiB messages to overfill the kernel's socket buffers on both ends, whatever this
// machine's limits are.
int messagesBeyondSocketBuffers() {
    auto largest = [](const char* path) -> long {
        long low = 0, initial = 0, high = 0;
        std::ifstream(path) >> low >> initial >> high;
        return high;
    };
    long buffered = largest("/proc/sys/net/ipv4/tcp_wmem") + largest("/proc/sys/net/ipv4/tcp_rmem");
    return static_cast<int>(std::max(16L << 20, buffered) >> 20) + 8;
}

class WebSocketTaskTest : public testing::Test {
protected:
    LoopbackWebSocketServer server;
    OriginOverride::Scope scope{serviceHost, server.origin()};
    WebSocketSession session;

    std::shared_ptr<WebSocketTask> open(const std::string& url = serviceURL) {
        auto task = session.webSocketTask(URLRequest(url));
        task->resume();
        return task;
    }
};

}  // namespace

TEST_F(WebSocketTaskTest, TheServerSeesTheQueryItemsAndHeaderFieldsOfTheRequest) {
    auto components = URLComponents::fromString(serviceURL);
    ASSERT_TRUE(components);
    std::vector<URLQueryItem> items = {
        {"sample_rate", "16000"},
        {"keyterms_prompt", R"(["Xcode","C++ & co"])"},
        {"token", "tok+en=/?&#"},
    };
    components->setQueryItems(items);
    URLRequest request(*components->url());
    request.setValue("key-123", "Authorization");
    request.setValue("first", "X-Extra");
    request.setValue("second", "x-extra");  // replaces, whatever the case
    auto task = session.webSocketTask(request);
    EXPECT_EQ(task->originalRequest().url, *components->url());
    task->resume();
    EXPECT_EQ(sendOne(*task, WebSocketMessage::text("hello")), nullptr);
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::anyText()));

    auto connections = server.connections();
    ASSERT_EQ(connections.size(), 1u);
    const auto& handshake = connections[0].handshake;
    EXPECT_EQ(handshake.method, "GET");
    EXPECT_EQ(handshake.path, "/v3/ws");
    std::vector<std::pair<std::string, std::string>> expected;
    for (const auto& item : items) expected.emplace_back(item.name, *item.value);
    EXPECT_EQ(handshake.queryItems, expected);
    EXPECT_EQ(handshake.query.find_first_of("\"[]+ #/?"), std::string::npos) << handshake.query;
    EXPECT_EQ(handshake.header("Authorization"), std::optional<std::string>("key-123"));
    EXPECT_EQ(handshake.header("X-Extra"), std::optional<std::string>("second"));
    EXPECT_EQ(handshake.header("Host"), std::optional<std::string>("127.0.0.1:" + std::to_string(server.port())));
    EXPECT_EQ(handshake.header("Sec-WebSocket-Version"), std::optional<std::string>("13"));
    EXPECT_EQ(connections[0].texts(), std::vector<std::string>{"hello"});
    task->cancel(WebSocketCloseCode::normalClosure);
}

TEST_F(WebSocketTaskTest, TextAndBinaryMessagesOfEverySizeTravelBothWays) {
    // The server echoes every message back with its kind.
    server.addReply([](const Frame& f) { return f.isData(); }, LoopbackWebSocketServer::Responder([](const Frame& f) {
                        return std::vector<Step>{f.kind == Frame::Kind::text ? Step::text(f.payload) : Step::binary(f.payload)};
                    }));
    auto task = open();
    std::string allBytes;
    for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<char>(i));
    std::vector<WebSocketMessage> messages = {
        WebSocketMessage::text(""),
        WebSocketMessage::text(R"({"type":"ForceEndpoint"})"),
        WebSocketMessage::text("caf\xc3\xa9 \xf0\x9f\x8e\x99"),
        WebSocketMessage::binary(allBytes),
        WebSocketMessage::binary(std::string(125, 'a')),  // the longest one-byte length
        WebSocketMessage::binary(std::string(126, 'b')),  // two-byte lengths from here
        WebSocketMessage::binary(std::string(65535, 'c')),
        WebSocketMessage::binary(std::string(65536, 'd')),  // eight-byte lengths from here
        WebSocketMessage::text(std::string(300000, 'e')),
        WebSocketMessage::binary(""),
    };
    for (const auto& message : messages) EXPECT_EQ(sendOne(*task, message), nullptr);
    for (const auto& message : messages) {
        auto received = receiveOne(*task);
        ASSERT_TRUE(received.message.has_value()) << describeException(received.error);
        EXPECT_EQ(received.message->kind, message.kind);
        EXPECT_EQ(received.message->data.size(), message.data.size());
        EXPECT_TRUE(received.message->data == message.data);
    }
    auto frames = server.connections()[0].dataFrames();
    ASSERT_EQ(frames.size(), messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(frames[i].kind == Frame::Kind::text, messages[i].isText()) << i;
        EXPECT_TRUE(frames[i].payload == messages[i].data) << i;
        EXPECT_EQ(frames[i].fragments, 1u) << i;  // each message is one frame
    }
    task->cancel(WebSocketCloseCode::normalClosure);
}

TEST_F(WebSocketTaskTest, FramesSentInTheSameWriteAsTheUpgradeAnswerAreNotLost) {
    server.setFramesWithUpgradeAnswer({Step::text(R"({"type":"Begin","id":"s1"})"), Step::binary("\x01\x02")});
    server.setStepsAfterUpgrade({Step::text(R"({"type":"Turn"})")});
    for (bool receiveFirst : {true, false}) {
        auto task = session.webSocketTask(URLRequest(serviceURL));
        auto queue = std::make_shared<BlockingQueue<Received>>();
        auto push = [queue](std::optional<WebSocketMessage> m, std::exception_ptr e) { queue->push({std::move(m), e}); };
        if (receiveFirst) task->receive(push);
        task->resume();
        if (!receiveFirst) task->receive(push);
        task->receive(push);
        task->receive(push);
        auto begin = queue->pop();
        auto bytes = queue->pop();
        auto turn = queue->pop();
        ASSERT_TRUE(begin && bytes && turn) << receiveFirst;
        EXPECT_EQ(text(*begin), R"({"type":"Begin","id":"s1"})");
        ASSERT_TRUE(bytes->message);
        EXPECT_EQ(*bytes->message, WebSocketMessage::binary("\x01\x02"));
        EXPECT_EQ(text(*turn), R"({"type":"Turn"})");
        task->cancel(WebSocketCloseCode::normalClosure);
    }
}

TEST_F(WebSocketTaskTest, CancelSendsItsCloseCodeAndEndsTheTask) {
    struct Case {
        std::uint16_t code;
        std::string reason;
    } cases[] = {{WebSocketCloseCode::goingAway, ""}, {WebSocketCloseCode::normalClosure, "done"}, {4000, "private"}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        auto task = open();
        ASSERT_EQ(sendOne(*task, WebSocketMessage::text("before")), nullptr);
        auto waiting = std::make_shared<BlockingQueue<Received>>();
        task->receive([waiting](std::optional<WebSocketMessage> m, std::exception_ptr e) { waiting->push({std::move(m), e}); });
        task->cancel(cases[i].code, cases[i].reason);
        auto pending = waiting->pop();
        ASSERT_TRUE(pending);
        EXPECT_FALSE(pending->message);
        EXPECT_TRUE(failsWith(pending->error, URLError::cancelled));
        EXPECT_TRUE(failsWith(sendOne(*task, WebSocketMessage::text("after")), URLError::cancelled));
        EXPECT_TRUE(failsWith(receiveOne(*task).error, URLError::cancelled));
        task->cancel(1002);  // a second cancel changes nothing

        ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::closeFrame(), 1, i));
        ASSERT_TRUE(server.waitUntil([&](const auto& c) { return c[i].clientClosedTcp; }));
        auto connection = server.connections()[i];
        EXPECT_EQ(connection.texts(), std::vector<std::string>{"before"});
        ASSERT_EQ(connection.frames.size(), 2u);
        EXPECT_EQ(connection.frames[1].closeCode, std::optional<std::uint16_t>(cases[i].code));
        EXPECT_EQ(connection.frames[1].payload, cases[i].reason);
    }
}

TEST_F(WebSocketTaskTest, TheServerEndingTheSessionSurfacesAsAReceiveErrorAfterEarlierMessages) {
    struct Case {
        Step end;
        const char* detail;  // expected in the error's message
    } cases[] = {
        {Step::close(1011, "overloaded"), "code 1011 \"overloaded\""},
        {Step::close(1000), "code 1000"},
        {Step::drop(), ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        server.setStepsAfterUpgrade({Step::text("first"), Step::text("second"), cases[i].end});
        auto task = open();
        EXPECT_EQ(text(receiveOne(*task)), "first");
        EXPECT_EQ(text(receiveOne(*task)), "second");
        auto end = receiveOne(*task);
        EXPECT_FALSE(end.message);
        EXPECT_TRUE(failsWith(end.error, URLError::networkConnectionLost)) << i;
        EXPECT_NE(localizedDescriptionOf(end.error).find(cases[i].detail), std::string::npos) << localizedDescriptionOf(end.error);
        // The task has ended: later operations report the same failure.
        EXPECT_TRUE(failsWith(receiveOne(*task).error, URLError::networkConnectionLost));
        EXPECT_TRUE(failsWith(sendOne(*task, WebSocketMessage::binary("x")), URLError::networkConnectionLost));
    }
    // The client answered the server's close frames.
    auto connections = server.connections();
    EXPECT_EQ(connections[0].clientCloseCode(), std::optional<std::uint16_t>(1011));
    EXPECT_EQ(connections[1].clientCloseCode(), std::optional<std::uint16_t>(1000));
}

TEST_F(WebSocketTaskTest, OpeningFailuresReachEveryWaitingCompletion) {
    std::uint16_t closedPort;
    {
        LoopbackWebSocketServer gone;
        closedPort = gone.port();
    }
    LoopbackWebSocketServer silent;
    silent.setUpgradeUnanswered(true);
    LoopbackWebSocketServer refusing;
    refusing.setUpgradeRefusal(401, R"({"error":"Invalid API key"})");

    struct Case {
        const char* name;
        std::string origin;
        std::string url;
        Seconds timeout;
        URLError::Code code;
        const char* detail;
    } cases[] = {
        {"refused", "http://127.0.0.1:" + std::to_string(closedPort), serviceURL, 60s, URLError::cannotConnectToHost, ""},
        {"unanswered", silent.origin(), serviceURL, 0.3s, URLError::timedOut, ""},
        {"declined", refusing.origin(), serviceURL, 60s, URLError::badServerResponse, "HTTP 401"},
        {"scheme", server.origin(), std::string("https://") + serviceHost + "/v3/ws", 60s, URLError::unsupportedURL, ""},
        {"malformed", server.origin(), "wss://exa mple.test/", 60s, URLError::badURL, ""},
        {"no host", server.origin(), "ws:///v3/ws", 60s, URLError::badURL, ""},
    };
    for (const auto& c : cases) {
        OriginOverride::Scope override(serviceHost, c.origin);
        auto task = session.webSocketTask(URLRequest(c.url, c.timeout));
        auto sent = std::make_shared<BlockingQueue<std::exception_ptr>>();
        task->send(WebSocketMessage::text("queued before the connection"), [sent](std::exception_ptr e) { sent->push(e); });
        task->resume();
        auto received = receiveOne(*task);
        EXPECT_TRUE(failsWith(received.error, c.code)) << c.name;
        EXPECT_NE(localizedDescriptionOf(received.error).find(c.detail), std::string::npos) << c.name;
        auto sendError = sent->pop();
        ASSERT_TRUE(sendError) << c.name;
        EXPECT_TRUE(failsWith(*sendError, c.code)) << c.name;
    }
    EXPECT_EQ(silent.connectionCount(), 1u);
    ASSERT_EQ(refusing.connectionCount(), 1u);
    EXPECT_FALSE(refusing.connections()[0].upgraded);
}

TEST_F(WebSocketTaskTest, HeaderFieldsThatCannotTravelFailTheTaskBeforeAnythingIsSent) {
    struct Case {
        std::string name, value;
    } cases[] = {
        {"Authorization", "key\r\nX-Injected: 1"},
        {"Authorization", "key\nX-Injected: 1"},
        {"Authorization", "key\r"},
        {"Authorization", std::string("key\0more", 8)},
        {"Bad Name", "v"},
        {"X:Y", "v"},
        {"", "v"},
    };
    for (const auto& c : cases) {
        URLRequest request(serviceURL);
        request.setValue(c.value, c.name);
        auto task = session.webSocketTask(request);
        auto sent = std::make_shared<BlockingQueue<std::exception_ptr>>();
        task->send(WebSocketMessage::text("never sent"), [sent](std::exception_ptr e) { sent->push(e); });
        task->resume();
        auto received = receiveOne(*task);
        EXPECT_TRUE(failsWith(received.error, URLError::badURL)) << c.name;
        auto message = localizedDescriptionOf(received.error);
        EXPECT_NE(message.find("\"" + c.name + "\" holds a line break or is not a valid name"), std::string::npos) << message;
        EXPECT_EQ(message.find("key"), std::string::npos) << "the value must not be repeated: " << message;
        auto sendError = sent->pop();
        ASSERT_TRUE(sendError);
        EXPECT_TRUE(failsWith(*sendError, URLError::badURL));
    }
    EXPECT_EQ(server.connectionCount(), 0u);

    URLRequest fine(serviceURL);
    EXPECT_EQ(fine.timeoutInterval, 60s);
    fine.setValue("a value\twith spaces and tabs", "X-Fine");
    auto task = session.webSocketTask(fine);
    task->resume();
    EXPECT_EQ(sendOne(*task, WebSocketMessage::text("sent")), nullptr);
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::anyText()));
    EXPECT_EQ(server.connections()[0].handshake.header("X-Fine"), std::optional<std::string>("a value\twith spaces and tabs"));
    task->cancel(WebSocketCloseCode::normalClosure);
}

TEST_F(WebSocketTaskTest, MessagesSentBeforeTheConnectionOpensLeaveInOrder) {
    auto task = session.webSocketTask(URLRequest(serviceURL));
    auto done = std::make_shared<BlockingQueue<std::exception_ptr>>();
    for (int i = 0; i < 5; ++i)
        task->send(WebSocketMessage::text("m" + std::to_string(i)), [done](std::exception_ptr e) { done->push(e); });
    task->resume();
    for (int i = 0; i < 5; ++i) {
        auto error = done->pop();
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, nullptr);
    }
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::anyText(), 5));
    EXPECT_EQ(server.connections()[0].texts(), (std::vector<std::string>{"m0", "m1", "m2", "m3", "m4"}));
    task->cancel(WebSocketCloseCode::normalClosure);
}

TEST_F(WebSocketTaskTest, CompletionsRunOnTheSessionsCallbackThreadNeverInline) {
    server.addReply(LoopbackWebSocketServer::anyText(), {Step::text("reply")});
    auto task = open();
    auto threads = std::make_shared<BlockingQueue<std::thread::id>>();
    auto record = [threads](auto&&...) { threads->push(std::this_thread::get_id()); };
    task->send(WebSocketMessage::text("x"), record);
    task->receive(record);
    auto sent = threads->pop();
    auto received = threads->pop();
    ASSERT_TRUE(sent && received);
    EXPECT_NE(*sent, std::this_thread::get_id());
    EXPECT_EQ(*sent, *received);
    // A task that has ended still answers on that thread, not inside the call.
    task->cancel(WebSocketCloseCode::normalClosure);
    task->send(WebSocketMessage::text("late"), record);
    auto late = threads->pop();
    ASSERT_TRUE(late);
    EXPECT_EQ(*late, *sent);
}

TEST_F(WebSocketTaskTest, InvalidatingTheSessionClosesItsTasksAsGoingAway) {
    auto first = open();
    auto second = open();
    ASSERT_EQ(sendOne(*first, WebSocketMessage::text("a")), nullptr);
    ASSERT_EQ(sendOne(*second, WebSocketMessage::text("b")), nullptr);
    second->cancel(4001, "own code");
    session.invalidateAndCancel();
    EXPECT_TRUE(failsWith(receiveOne(*first).error, URLError::cancelled));
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::closeFrame(), 1, 0));
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::closeFrame(), 1, 1));
    auto connections = server.connections();
    EXPECT_EQ(connections[0].clientCloseCode(), std::optional<std::uint16_t>(WebSocketCloseCode::goingAway));
    EXPECT_EQ(connections[1].clientCloseCode(), std::optional<std::uint16_t>(4001));

    auto later = session.webSocketTask(URLRequest(serviceURL));
    later->resume();
    EXPECT_TRUE(failsWith(receiveOne(*later).error, URLError::cancelled));
    EXPECT_EQ(server.connectionCount(), 2u);
}

TEST_F(WebSocketTaskTest, DroppingTheSessionClosesItsConnectionsAndEndsKeptTasks) {
    auto other = std::make_unique<WebSocketSession>();
    auto task = other->webSocketTask(URLRequest(serviceURL));
    task->resume();
    ASSERT_EQ(sendOne(*task, WebSocketMessage::text("a")), nullptr);
    other.reset();
    // The closing handshake goes on in the background.
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::closeFrame()));
    auto connections = server.connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].clientCloseCode(), std::optional<std::uint16_t>(WebSocketCloseCode::goingAway));
    EXPECT_TRUE(failsWith(sendOne(*task, WebSocketMessage::text("b")), URLError::cancelled));
    EXPECT_TRUE(failsWith(receiveOne(*task).error, URLError::cancelled));
}

TEST_F(WebSocketTaskTest, StalledServerReadsHoldBackSendCompletionsUntilTheyResume) {
    server.setReadsStalled(true);
    auto task = open();
    const int count = messagesBeyondSocketBuffers();
    const std::string chunk(1 << 20, 'p');
    auto done = std::make_shared<BlockingQueue<std::pair<int, std::exception_ptr>>>();
    for (int i = 0; i < count; ++i) {
        std::string payload = chunk;
        payload[0] = static_cast<char>(i);
        task->send(WebSocketMessage::binary(std::move(payload)), [done, i](std::exception_ptr e) { done->push({i, e}); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(done->size(), static_cast<std::size_t>(count));
    server.setReadsStalled(false);
    for (int i = 0; i < count; ++i) {
        auto completion = done->pop();
        ASSERT_TRUE(completion);
        EXPECT_EQ(completion->first, i);  // in order
        EXPECT_EQ(completion->second, nullptr);
    }
    ASSERT_TRUE(server.waitForFrames(LoopbackWebSocketServer::anyBinary(), count));
    auto frames = server.connections()[0].dataFrames();
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(frames[i].payload.size(), chunk.size());
        EXPECT_EQ(frames[i].payload[0], static_cast<char>(i));
    }
    task->cancel(WebSocketCloseCode::normalClosure);
}

TEST_F(WebSocketTaskTest, CancellingWhileTheServerStallsFailsUnsentMessagesAtOnce) {
    server.setReadsStalled(true);
    auto task = open();
    const int count = messagesBeyondSocketBuffers();
    auto done = std::make_shared<BlockingQueue<std::pair<int, std::exception_ptr>>>();
    for (int i = 0; i < count; ++i) {
        task->send(WebSocketMessage::binary(std::string(1 << 20, 'q')), [done, i](std::exception_ptr e) { done->push({i, e}); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    task->cancel(WebSocketCloseCode::goingAway);
    // Every message reports exactly once: those written with success, then at most the one being
    // written when the connection is dropped, the rest cancelled.
    std::vector<int> seen(count, 0);
    int cancelled = 0;
    for (int i = 0; i < count; ++i) {
        auto completion = done->pop();
        ASSERT_TRUE(completion);
        ++seen[completion->first];
        if (isURLError(completion->second, URLError::cancelled)) ++cancelled;
    }
    EXPECT_FALSE(done->pop(0.1s));
    for (int i = 0; i < count; ++i) EXPECT_EQ(seen[i], 1) << i;
    EXPECT_GT(cancelled, 0);
}

namespace {

// Trusts one extra certificate through OpenSSL's own variable for the system store, for the
// life of the object.
class TrustedCertificate {
public:
    explicit TrustedCertificate(const std::string& pem) {
        path_ = testing::TempDir() + "velmo-loopback-" + std::to_string(::getpid()) + ".pem";
        std::ofstream(path_) << pem;
        ::setenv("SSL_CERT_FILE", path_.c_str(), 1);
    }
    ~TrustedCertificate() {
        ::unsetenv("SSL_CERT_FILE");
        std::remove(path_.c_str());
    }

private:
    std::string path_;
};

}  // namespace

TEST(WebSocketTaskTLS, SecureConnectionsVerifyTheServerCertificate) {
    LoopbackWebSocketServer server({.tls = true});
    server.addReply(LoopbackWebSocketServer::anyText(), {Step::text("secure reply")});
    OriginOverride::Scope scope(serviceHost, server.origin());
    EXPECT_EQ(server.origin().rfind("https://", 0), 0u);
    {
        TrustedCertificate trust(server.certificatePEM());
        WebSocketSession session;
        auto task = session.webSocketTask(URLRequest(serviceURL));
        task->resume();
        EXPECT_EQ(sendOne(*task, WebSocketMessage::text("over TLS")), nullptr);
        EXPECT_EQ(text(receiveOne(*task)), "secure reply");
        EXPECT_EQ(server.connections()[0].texts(), std::vector<std::string>{"over TLS"});
        task->cancel(WebSocketCloseCode::normalClosure);
    }
    {
        WebSocketSession session;  // the system store alone does not know the test certificate
        auto task = session.webSocketTask(URLRequest(serviceURL));
        task->resume();
        auto received = receiveOne(*task);
        EXPECT_TRUE(failsWith(received.error, URLError::secureConnectionFailed));
        EXPECT_NE(localizedDescriptionOf(received.error).find("certificate"), std::string::npos) << localizedDescriptionOf(received.error);
    }
}
