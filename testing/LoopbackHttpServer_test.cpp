#include "testing/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

using namespace std::chrono_literals;

using namespace velmo::test;

namespace {
// A plain socket client, so the server is checked without the project's own HTTP client.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        timeval tv{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& s) { ASSERT_EQ(::write(fd_, s.data(), s.size()), ssize_t(s.size())); }
    // Reads until `marker` has arrived or the peer closes.
    std::string readUntil(const std::string& marker) {
        std::string got;
        char buf[4096];
        while (got.find(marker) == std::string::npos) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, n);
        }
        return got;
    }
    std::string readToEnd() { return readUntil(std::string(1, '\0') + "never"); }
    // The errno of the first failed read (0 when the peer closed in order).
    int readErrorAtEnd() {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n == 0) return 0;
            if (n < 0) return errno;
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};
}  // namespace

TEST(LoopbackHttpServer, RecordsRequestsAndAnswersRoutesOnOneKeptConnection) {
    LoopbackHttpServer server;
    server.route("POST", "/v1/things", LoopbackAnswer::text(201, "made").withHeader("X-Id", "7"));
    RawClient client(server.port());
    ASSERT_TRUE(client.connected());
    client.send("POST /v1/things?q=1 HTTP/1.1\r\nHost: h\r\nB-Second: 2\r\nA-First: 1\r\nEmpty:\r\nContent-Length: 4\r\n\r\nbody");
    std::string first = client.readUntil("made");
    EXPECT_EQ(first.rfind("HTTP/1.1 201 Created\r\n", 0), 0u) << first;
    EXPECT_NE(first.find("X-Id: 7\r\n"), std::string::npos);
    EXPECT_NE(first.find("Content-Length: 4\r\n"), std::string::npos);

    client.send("GET /missing HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_NE(client.readUntil("not found").find("HTTP/1.1 404"), std::string::npos);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/v1/things?q=1");
    EXPECT_EQ(requests[0].path, "/v1/things");
    EXPECT_EQ(requests[0].body, "body");
    EXPECT_EQ(requests[0].headers,
              (HeaderList{{"Host", "h"}, {"B-Second", "2"}, {"A-First", "1"}, {"Empty", ""}, {"Content-Length", "4"}}));
    EXPECT_EQ(requests[1].connection, requests[0].connection);
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST(LoopbackHttpServer, HeadGetsTheGetRoutesHeadersWithoutItsBody) {
    LoopbackHttpServer server;
    server.route("GET", "/", LoopbackAnswer::text(200, "hello"));
    RawClient client(server.port());
    client.send("HEAD / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    std::string answer = client.readToEnd();
    EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\n");
}

TEST(LoopbackHttpServer, StreamsChunksHoldsUntilReleasedAndDrops) {
    LoopbackHttpServer server;
    auto gate = std::make_shared<Gate>();
    server.route("GET", "/chunks", LoopbackAnswer::streamed(200, {"ab", "c"}, 0.01s).thenPart("d", gate));
    server.route("GET", "/drop", LoopbackAnswer::text(200, "partial").droppedAfterBody());
    RawClient client(server.port());
    client.send("GET /chunks HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string got = client.readUntil("1\r\nc\r\n");
    EXPECT_NE(got.find("Transfer-Encoding: chunked\r\n\r\n2\r\nab\r\n1\r\nc\r\n"), std::string::npos) << got;
    EXPECT_FALSE(gate->isReleased());
    gate->release();
    EXPECT_EQ(client.readUntil("0\r\n\r\n"), "1\r\nd\r\n0\r\n\r\n");

    client.send("GET /drop HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string dropped = client.readToEnd();
    EXPECT_NE(dropped.find("Content-Length: 8\r\n\r\npartial"), std::string::npos) << dropped;
    EXPECT_TRUE(dropped.size() >= 7 && dropped.substr(dropped.size() - 7) == "partial");
}

TEST(LoopbackHttpServer, StopReleasesHeldAnswers) {
    auto server = std::make_unique<LoopbackHttpServer>();
    auto gate = std::make_shared<Gate>();
    server->route("GET", "/held", LoopbackAnswer::text(200, "x").heldBy(gate));
    RawClient client(server->port());
    client.send("GET /held HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(server->waitForRequests(1));
    server.reset();  // must not hang on the held answer
    EXPECT_EQ(client.readToEnd(), "");
}

TEST(LoopbackHttpServer, ResetsTheConnectionInsteadOfAnsweringAfterReadingTheRequest) {
    LoopbackHttpServer server;
    server.route("POST", "/reset", LoopbackAnswer::connectionReset());
    server.route("GET", "/close", LoopbackAnswer::rawBytes(""));
    RawClient reset(server.port());
    reset.send("POST /reset HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(reset.readErrorAtEnd(), ECONNRESET);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body, "abc");

    RawClient closed(server.port());  // the orderly close, for contrast
    closed.send("GET /close HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(closed.readErrorAtEnd(), 0);
}
