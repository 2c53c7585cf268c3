#include "platform/net/URLSession.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/base/OriginOverride.h"
#include "platform/runtime/VirtualMainLoop.h"
#include "testing/LoopbackHttpServer.h"
#include "testing/TaskProbe.h"

using namespace std::chrono_literals;

using namespace velmo;
using velmo::test::Gate;
using velmo::test::LoopbackAnswer;
using velmo::test::LoopbackHttpServer;
using velmo::test::TaskProbe;

namespace {

constexpr const char* kHost = "service.example.test";

// A loop, a loopback server reached as https://service.example.test, and helpers to run tasks.
class URLSessionTest : public testing::Test {
protected:
    VirtualMainLoopScope scope;
    LoopbackHttpServer server;
    OriginOverride::Scope redirect{kHost, server.origin()};

    static std::string url(const std::string& path) { return std::string("https://") + kHost + path; }

    template <class T>
    velmo::test::TaskProbe<T> await(Task<T> task, Seconds timeout = 10s) {
        auto probe = velmo::test::awaitTask(scope.loop(), std::move(task), timeout);
        EXPECT_TRUE(probe.done());
        return probe;
    }

    // Reads every line of a streamed answer.
    static Task<std::vector<std::string>> readLines(URLSessionBytes bytes) {
        std::vector<std::string> lines;
        while (auto line = co_await bytes.nextLine()) lines.push_back(*line);
        co_return lines;
    }
    // Lines read so far and how the stream ended, kept even when it fails.
    struct StreamRead {
        std::vector<std::string> lines;
        std::exception_ptr error;
        bool done = false;
    };
    static Task<void> readInto(URLSession& session, std::string url, std::shared_ptr<StreamRead> read) {
        try {
            URLSessionBytes bytes = co_await session.bytes(URLRequest(url));
            while (auto line = co_await bytes.nextLine()) read->lines.push_back(*line);
        } catch (...) {
            read->error = std::current_exception();
        }
        read->done = true;
    }
    static Task<std::vector<std::string>> readAll(Task<URLSessionBytes> opening) {
        URLSessionBytes bytes = co_await opening;
        co_return co_await readLines(bytes);
    }
};

long errorCode(const std::exception_ptr& e) {
    auto identity = velmo::test::errorIdentity(e);
    if (!identity) {
        ADD_FAILURE() << "expected an Error";
        return 0;
    }
    EXPECT_EQ(identity->domain, "NSURLErrorDomain");
    return identity->code;
}

}  // namespace

TEST(LineBuffer, SplitsOnLineFeedDroppingOneCarriageReturnAtEveryChunkBoundary) {
    struct Case {
        std::string input;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\r\r\nb", {"a\r", "b"}},
        {"\n\nx\n", {"", "", "x"}},
        {"no end", {"no end"}},
        {"tail\r", {"tail\r"}},
        {"", {}},
        {"\r\n", {""}},
        {"data: {\"a\":1}\n\ndata: [DONE]\n", {"data: {\"a\":1}", "", "data: [DONE]"}},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(1000)}) {
            LineBuffer buffer;
            std::vector<std::string> got;
            std::string line;
            for (std::size_t i = 0; i < c.input.size(); i += chunk) {
                buffer.append(std::string_view(c.input).substr(i, chunk));
                while (buffer.nextLine(line)) got.push_back(line);
            }
            buffer.finish();
            while (buffer.nextLine(line)) got.push_back(line);
            EXPECT_EQ(got, c.lines) << "input " << c.input << " chunk " << chunk;
        }
    }
}

TEST(URLError, StandardCodesAndTheirMessages) {
    struct Case {
        URLError::Code code;
        long value;
        const char* message;
    } cases[] = {
        {URLError::cancelled, -999, "The request was cancelled."},
        {URLError::timedOut, -1001, "The request timed out."},
        {URLError::cannotConnectToHost, -1004, "Could not connect to the server."},
        {URLError::networkConnectionLost, -1005, "The network connection was lost."},
        {URLError::notConnectedToInternet, -1009, "The Internet connection appears to be offline."},
    };
    for (const auto& c : cases) {
        URLError e(c.code);
        EXPECT_EQ(e.domain(), "NSURLErrorDomain");
        EXPECT_EQ(e.code(), c.value);
        EXPECT_EQ(e.localizedDescription(), c.message);
    }
    EXPECT_EQ(URLError(URLError::timedOut, "after 2 s").localizedDescription(), "The request timed out. (after 2 s)");
}

TEST(URLError, MapsTransportResults) {
    struct Case {
        CURLcode curl;
        long osErrno;
        bool usable;
        URLError::Code expected;
    } cases[] = {
        {CURLE_OPERATION_TIMEDOUT, 0, true, URLError::timedOut},
        {CURLE_COULDNT_CONNECT, ECONNREFUSED, true, URLError::cannotConnectToHost},
        {CURLE_COULDNT_CONNECT, ENETUNREACH, true, URLError::notConnectedToInternet},
        {CURLE_COULDNT_CONNECT, ECONNREFUSED, false, URLError::notConnectedToInternet},
        {CURLE_COULDNT_RESOLVE_HOST, 0, true, URLError::cannotFindHost},
        {CURLE_COULDNT_RESOLVE_HOST, 0, false, URLError::notConnectedToInternet},
        {CURLE_RECV_ERROR, ECONNRESET, true, URLError::networkConnectionLost},
        {CURLE_PARTIAL_FILE, 0, true, URLError::networkConnectionLost},
        {CURLE_GOT_NOTHING, 0, true, URLError::networkConnectionLost},
        {CURLE_WEIRD_SERVER_REPLY, 0, true, URLError::badServerResponse},
        {CURLE_SSL_CONNECT_ERROR, 0, true, URLError::secureConnectionFailed},
        {CURLE_PEER_FAILED_VERIFICATION, 0, true, URLError::secureConnectionFailed},
        {CURLE_URL_MALFORMAT, 0, true, URLError::badURL},
        {CURLE_OUT_OF_MEMORY, 0, true, URLError::unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(URLError::codeForCurlResult(c.curl, c.osErrno, c.usable), c.expected) << c.curl;
}

TEST_F(URLSessionTest, SendsHeadersInOrderWithEmptyValuesAndNoExpectOrFormTypeOnLargeBodies) {
    server.route("POST", "/v1/upload", LoopbackAnswer::text(201, "stored").withHeader("X-Reply", "yes"));
    URLSession session;
    URLRequest request(url("/v1/upload?x=1"));
    request.httpMethod = "POST";
    request.setValue("", "x-api-key");
    request.setValue("2023-06-01", "anthropic-version");
    request.setValue("first", "X-Replaced");
    request.setValue("second", "x-replaced");
    std::string body(3 * 1024 * 1024, 'b');
    auto out = await(session.upload(request, body));
    ASSERT_TRUE(out.value()) << out.errorDescription();
    EXPECT_EQ(out.value()->data, "stored");
    EXPECT_EQ(out.value()->response.statusCode, 201);
    EXPECT_EQ(out.value()->response.url, url("/v1/upload?x=1"));
    EXPECT_EQ(out.value()->response.valueForHTTPHeaderField("x-reply"), "yes");

    auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    const auto& r = received[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/v1/upload?x=1");
    EXPECT_EQ(r.body.size(), body.size());
    EXPECT_EQ(r.body, body);
    EXPECT_EQ(r.header("x-api-key"), "");
    EXPECT_EQ(r.headerCount("x-api-key"), 1u);
    EXPECT_EQ(r.header("X-Replaced"), "second");
    EXPECT_EQ(r.headerCount("X-Replaced"), 1u);
    EXPECT_FALSE(r.header("Expect"));
    EXPECT_FALSE(r.header("Content-Type"));
    EXPECT_FALSE(r.header("Cookie"));
    // The request's own fields keep their order.
    std::vector<std::string> own;
    for (const auto& [n, v] : r.headers)
        if (n == "x-api-key" || n == "anthropic-version" || n == "X-Replaced") own.push_back(n);
    EXPECT_EQ(own, (std::vector<std::string>{"x-api-key", "anthropic-version", "X-Replaced"}));
}

TEST_F(URLSessionTest, DataTaskCompletesOnTheMainLoopAndHeadCarriesNoBody) {
    server.route("GET", "/", LoopbackAnswer::text(200, "a body HEAD must not carry"));
    URLSession session;
    URLRequest request(url("/"), 60s);
    request.httpMethod = "HEAD";
    request.timeoutInterval = 10s;
    bool called = false;
    bool onMain = false;
    std::optional<URLResponse> response;
    std::string data = "unset";
    auto task = session.dataTask(request, [&](std::string d, std::optional<URLResponse> r, std::exception_ptr e) {
        called = true;
        onMain = MainLoop::isMainThread();
        data = std::move(d);
        response = std::move(r);
        EXPECT_FALSE(e) << describeException(e);
    });
    EXPECT_TRUE(server.requests().empty());  // nothing goes out before resume
    task->resume();
    ASSERT_TRUE(scope.loop().runUntil([&] { return called; }));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(data, "");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->statusCode, 200);
    auto heads = server.requestsWith("HEAD", "/");
    EXPECT_EQ(heads.size(), 1u);
}

TEST_F(URLSessionTest, BodyBoundsFailALongSuccessAndCutALongErrorWhateverTheFraming) {
    URLSession session;
    struct Case {
        LoopbackAnswer answer;
        std::optional<std::string> data;  // nothing: fails with dataLengthExceedsMaximum
        int status = 0;
    } cases[] = {
        {LoopbackAnswer::text(200, std::string(100, 'a')), std::string(100, 'a'), 200},
        {LoopbackAnswer::text(200, std::string(101, 'a')), std::nullopt},
        {LoopbackAnswer::streamed(200, {std::string(60, 'a'), std::string(60, 'b')}), std::nullopt},
        {LoopbackAnswer::text(503, std::string(10'000'000, 'e')), std::string(10, 'e'), 503},
        {LoopbackAnswer::streamed(404, {"12345", "67890abc"}), std::string("1234567890"), 404},
        {LoopbackAnswer::text(500, "short"), std::string("short"), 500},
    };
    for (auto& c : cases) {
        server.route("GET", "/bounded", c.answer);
        URLRequest request(url("/bounded"));
        request.maximumBodyBytes = 100;
        request.maximumErrorBodyBytes = 10;
        auto out = await(session.data(std::move(request)));
        if (c.data) {
            ASSERT_TRUE(out.value()) << out.errorDescription();
            EXPECT_EQ(out.value()->data, *c.data);
            EXPECT_EQ(out.value()->response.statusCode, c.status);
        } else {
            EXPECT_TRUE(isURLError(out.error(), URLError::dataLengthExceedsMaximum)) << out.errorDescription();
        }
    }
    // Without bounds the whole body comes.
    server.route("GET", "/bounded", LoopbackAnswer::text(503, std::string(100'000, 'e')));
    auto out = await(session.data(URLRequest(url("/bounded"))));
    ASSERT_TRUE(out.value()) << out.errorDescription();
    EXPECT_EQ(out.value()->data.size(), 100'000u);
}

TEST_F(URLSessionTest, ReusesOneConnectionForSuccessiveRequests) {
    server.route("GET", "/a", LoopbackAnswer::text(200, "A"));
    URLSession session;
    for (int i = 0; i < 3; ++i) {
        auto out = await(session.data(URLRequest(url("/a"))));
        ASSERT_TRUE(out.value()) << out.errorDescription();
        EXPECT_EQ(out.value()->data, "A");
    }
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_F(URLSessionTest, StreamsLinesWhateverTheChunkingAndLineEndings) {
    std::string body = "event: one\r\ndata: {\"a\":1}\r\n\r\ndata: last";
    std::vector<std::string> expected = {"event: one", "data: {\"a\":1}", "", "data: last"};
    struct Case {
        const char* name;
        LoopbackAnswer answer;
    } cases[] = {
        {"whole", LoopbackAnswer::text(200, body)},
        {"byte at a time", LoopbackAnswer::bytewise(200, body, 0.001s)},
        {"pieces", LoopbackAnswer::streamed(200, {"event: o", "ne\r", "\ndata: {\"a\":1}\r\n\r", "\ndata: last"}, 0.01s)},
    };
    URLSession session;
    for (auto& c : cases) {
        server.route("GET", "/s", c.answer);
        auto out = await(readAll(session.bytes(URLRequest(url("/s")))));
        ASSERT_TRUE(out.value()) << c.name << ": " << out.errorDescription();
        EXPECT_EQ(*out.value(), expected) << c.name;
    }
}

TEST_F(URLSessionTest, StreamHandsOverStatusAndHeadersBeforeTheBody) {
    auto gate = std::make_shared<Gate>();
    LoopbackAnswer answer = LoopbackAnswer::streamed(429, {}, 0s, "text/plain");
    answer.thenPart("slow down\n", gate);
    server.route("GET", "/s", answer);
    URLSession session;
    auto out = await(session.bytes(URLRequest(url("/s"))));
    ASSERT_TRUE(out.value()) << out.errorDescription();
    EXPECT_EQ(out.value()->response().statusCode, 429);
    EXPECT_EQ(out.value()->response().valueForHTTPHeaderField("content-type"), "text/plain");
    gate->release();
    URLSessionBytes bytes = *out.value();
    auto lines = await(readLines(bytes));
    ASSERT_TRUE(lines.value());
    EXPECT_EQ(*lines.value(), std::vector<std::string>{"slow down"});
}

TEST_F(URLSessionTest, LongBodiesArriveWholeWhenTheReaderFallsBehind) {
    std::string body;
    std::size_t count = 0;
    while (body.size() < 12 * 1024 * 1024) body += "line " + std::to_string(count++) + " " + std::string(90, 'x') + "\n";
    server.route("GET", "/big", LoopbackAnswer::text(200, body));
    URLSession session;
    std::size_t seen = 0;
    bool inOrder = true;
    bool done = false;
    auto reader = startTask([&]() -> Task<void> {
        URLSessionBytes bytes = co_await session.bytes(URLRequest(url("/big")));
        while (auto line = co_await bytes.nextLine()) {
            if (line->rfind("line " + std::to_string(seen) + " ", 0) != 0) inOrder = false;
            ++seen;
            // Let the transfer run ahead of the reader now and then.
            if (seen == 10) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        done = true;
    });
    ASSERT_TRUE(scope.loop().runUntil([&] { return done; }, 60s));
    EXPECT_EQ(seen, count);
    EXPECT_TRUE(inOrder);
}

TEST_F(URLSessionTest, DroppedConnectionFailsWithConnectionLostAfterTheLinesReceived) {
    server.route("GET", "/drop", LoopbackAnswer::text(200, "first\nsecond\npart").droppedAfterBody());
    URLSession session;
    auto whole = await(session.data(URLRequest(url("/drop"))));
    EXPECT_EQ(errorCode(whole.error()), URLError::networkConnectionLost);

    auto read = std::make_shared<StreamRead>();
    TaskProbe<void> reader(readInto(session, url("/drop"), read));
    ASSERT_TRUE(reader.finish(scope.loop()));
    EXPECT_EQ(read->lines, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(errorCode(read->error), URLError::networkConnectionLost);
}

TEST_F(URLSessionTest, InterimAnswersAreSkippedAndAnAnswerThatNeverEndsItsHeaderIsBad) {
    URLSession session;
    server.route("GET", "/interim",
                 LoopbackAnswer::rawBytes("HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
                                          "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    auto out = await(session.data(URLRequest(url("/interim"))));
    ASSERT_TRUE(out.value()) << out.errorDescription();
    EXPECT_EQ(out.value()->response.statusCode, 200);
    EXPECT_EQ(out.value()->data, "ok");
    EXPECT_FALSE(out.value()->response.valueForHTTPHeaderField("Link"));

    // A 1xx is never a final answer in HTTP/1.1: what follows it is read as the next status line.
    server.route("GET", "/199", LoopbackAnswer::rawBytes("HTTP/1.1 199 Odd\r\nContent-Length: 4\r\n\r\nbody"));
    auto odd = await(session.data(URLRequest(url("/199"))));
    ASSERT_TRUE(odd.error());
    long code = errorCode(odd.error());
    EXPECT_TRUE(code == URLError::badServerResponse || code == URLError::networkConnectionLost) << code;
}

TEST_F(URLSessionTest, FoldedHeaderContinuationsJoinTheirHeaderAndBlankOnesAddNothing) {
    URLSession session;
    server.route("GET", "/folded",
                 LoopbackAnswer::rawBytes("HTTP/1.1 200 OK\r\nX-A: b\r\n \r\nX-B: c\r\n\t d \r\n"
                                          "Content-Length: 2\r\n\r\nok"));
    auto out = await(session.data(URLRequest(url("/folded"))));
    ASSERT_TRUE(out.value()) << out.errorDescription();
    EXPECT_EQ(out.value()->data, "ok");
    EXPECT_EQ(out.value()->response.valueForHTTPHeaderField("X-A").value_or("?"), "b");
    EXPECT_EQ(out.value()->response.valueForHTTPHeaderField("X-B").value_or("?"), "c d");
}

TEST_F(URLSessionTest, CancellingTheAwaitingTaskEndsTheTransferWithItsCancellationError) {
    auto gate = std::make_shared<Gate>();
    server.route("GET", "/held", LoopbackAnswer::text(200, "late").heldBy(gate));
    LoopbackAnswer streaming = LoopbackAnswer::streamed(200, {"one\n"});
    streaming.thenPart("two\n", gate);
    server.route("GET", "/stream", streaming);
    URLSession session;

    // While waiting for the whole body.
    TaskProbe<URLDataResponse> whole(session.data(URLRequest(url("/held"))));
    ASSERT_TRUE(scope.loop().runUntil([&] { return server.requests().size() == 1; }));
    whole.cancel();
    ASSERT_TRUE(whole.finish(scope.loop()));
    EXPECT_EQ(errorCode(whole.error()), URLError::cancelled);

    // Mid-stream, while waiting for the next line.
    auto read = std::make_shared<StreamRead>();
    TaskProbe<void> b(readInto(session, url("/stream"), read));
    ASSERT_TRUE(scope.loop().runUntil([&] { return read->lines.size() == 1; }));
    auto cancelledAt = std::chrono::steady_clock::now();
    b.cancel();
    ASSERT_TRUE(b.finish(scope.loop()));
    auto elapsed = std::chrono::steady_clock::now() - cancelledAt;
    EXPECT_LT(elapsed, std::chrono::milliseconds(100));
    EXPECT_EQ(errorCode(read->error), URLError::cancelled);
    EXPECT_EQ(read->lines, std::vector<std::string>{"one"});

    // Already cancelled before the request goes out: nothing is sent.
    std::size_t before = server.requests().size();
    TaskProbe<URLDataResponse> early(session.data(URLRequest(url("/held"))));
    early.cancel();
    ASSERT_TRUE(early.finish(scope.loop()));
    EXPECT_EQ(errorCode(early.error()), URLError::cancelled);
    EXPECT_EQ(server.requests().size(), before);
    gate->release();
}

TEST_F(URLSessionTest, SilenceAndOverlongTransfersTimeOut) {
    auto gate = std::make_shared<Gate>();
    server.route("GET", "/silent", LoopbackAnswer::text(200, "never").heldBy(gate));
    std::vector<std::string> trickle(100, "x\n");
    server.route("GET", "/trickle", LoopbackAnswer::streamed(200, trickle, 0.05s));

    URLSessionConfiguration quick;
    quick.timeoutIntervalForRequest = 0.3s;
    URLSession idle(quick);
    auto silent = await(idle.data(URLRequest(url("/silent"))));
    EXPECT_EQ(errorCode(silent.error()), URLError::timedOut);

    // The request's own time-out can only shorten the session's.
    URLSession lenient;
    URLRequest shortRequest(url("/silent"), 0.3s);
    auto shortened = await(lenient.data(shortRequest));
    EXPECT_EQ(errorCode(shortened.error()), URLError::timedOut);

    URLSessionConfiguration bounded;
    bounded.timeoutIntervalForResource = 0.4s;
    URLSession resource(bounded);
    auto trickling = await(resource.data(URLRequest(url("/trickle"))));
    EXPECT_EQ(errorCode(trickling.error()), URLError::timedOut);
    gate->release();
}

TEST_F(URLSessionTest, ATotalTimeOutEndsATransferThatKeepsTrickling) {
    std::vector<std::string> trickle(100, "x\n");
    server.route("GET", "/trickle", LoopbackAnswer::streamed(200, trickle, 0.05s));
    URLSession session;
    URLRequest request(url("/trickle"), 10s);
    request.totalTimeoutInterval = 0.4s;
    const auto started = std::chrono::steady_clock::now();
    auto out = await(session.data(request));
    EXPECT_EQ(errorCode(out.error()), URLError::timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(350));

    // Bytes of a quick answer arrive whole within it.
    server.route("GET", "/quick", LoopbackAnswer::text(200, "done"));
    URLRequest quick(url("/quick"));
    quick.totalTimeoutInterval = 10s;
    auto done = await(session.data(quick));
    ASSERT_TRUE(done.value()) << done.errorDescription();
    EXPECT_EQ(done.value()->data, "done");
}

TEST_F(URLSessionTest, ARedirectIsHandedBackNotFollowed) {
    server.route("POST", "/moved", LoopbackAnswer::text(302, "elsewhere").withHeader("Location", url("/target")));
    server.route("POST", "/target", LoopbackAnswer::text(200, "followed"));
    URLSession session;
    URLRequest request(url("/moved"));
    request.httpMethod = "POST";
    auto out = await(session.upload(request, "body"));
    ASSERT_TRUE(out.value()) << out.errorDescription();
    EXPECT_EQ(out.value()->response.statusCode, 302);
    EXPECT_EQ(out.value()->data, "elsewhere");
    EXPECT_EQ(server.requestCountWith("POST", "/target"), 0u);
}

TEST_F(URLSessionTest, TheSessionsAdditionalHeadersGoWithEveryRequestUnlessItSetsThemItself) {
    server.route("GET", "/h", LoopbackAnswer::text(200, "ok"));
    URLSessionConfiguration configuration;
    configuration.httpAdditionalHeaders = {{"User-Agent", "lib/1.0"}, {"X-Common", "session"}};
    URLSession session(configuration);
    URLRequest own(url("/h"));
    own.setValue("request", "x-common");
    ASSERT_TRUE(await(session.data(own)).value());
    ASSERT_TRUE(await(session.data(URLRequest(url("/h")))).value());
    auto received = server.requests();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].header("X-Common"), "request");
    EXPECT_EQ(received[0].headerCount("X-Common"), 1u);
    EXPECT_EQ(received[1].header("X-Common"), "session");
    for (const auto& r : received) EXPECT_EQ(r.header("User-Agent"), "lib/1.0");
}

TEST_F(URLSessionTest, RefusedConnectionsAndBadRequestsFailWithTheirOwnCodes) {
    URLSession session;
    int closedPort;
    {
        LoopbackHttpServer gone;
        closedPort = gone.port();
    }
    OriginOverride::Scope toClosed("closed.example.test", "http://127.0.0.1:" + std::to_string(closedPort));
    auto refused = await(session.data(URLRequest("https://closed.example.test/x")));
    EXPECT_EQ(errorCode(refused.error()), URLError::cannotConnectToHost);

    // A server that answers a TLS greeting in plain text.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::thread plain([listener] {
        int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) return;
        const char reply[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
        ssize_t n = ::write(c, reply, sizeof reply - 1);
        (void)n;
        ::close(c);
    });
    OriginOverride::Scope toPlain("tls.example.test", "https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
    auto tls = await(session.data(URLRequest("https://tls.example.test/x")));
    EXPECT_EQ(errorCode(tls.error()), URLError::secureConnectionFailed);
    plain.join();
    ::close(listener);

    struct Refused {
        const char* url;
        URLError::Code code;
    };
    for (const Refused& c :
         {Refused{"ftp://service.example.test/file", URLError::unsupportedURL},
          Refused{"https:service.example.test/file", URLError::unsupportedURL}, Refused{"https:///file", URLError::unsupportedURL},
          Refused{"https://service.example.test/a file", URLError::badURL},
          Refused{"https://service.example.test:99999/file", URLError::badURL}}) {
        auto out = await(session.data(URLRequest(c.url)));
        EXPECT_EQ(errorCode(out.error()), c.code) << c.url;
    }

    std::size_t before = server.requests().size();
    for (const char* value : {"key\r\nInjected: 1", "key\n", "key\r"}) {
        URLRequest split(url("/x"));
        split.setValue(value, "x-api-key");
        auto out = await(session.data(split));
        EXPECT_EQ(errorCode(out.error()), URLError::badURL);
    }
    for (const char* name : {"x api key", "x:key", ""}) {
        URLRequest badName(url("/x"));
        badName.setValue("v", name);
        auto out = await(session.data(badName));
        EXPECT_EQ(errorCode(out.error()), URLError::badURL) << name;
    }
    EXPECT_EQ(server.requests().size(), before);
}

TEST_F(URLSessionTest, OfflineRequestsFailAtOnceOrWaitForConnectivity) {
    server.route("GET", "/x", LoopbackAnswer::text(200, "online"));
    std::atomic<bool> online{false};
    URLSession::setNetworkProbe([&](const std::string&) { return online.load(); });
    struct Restore {
        ~Restore() { URLSession::setNetworkProbe(nullptr); }
    } restore;

    URLSession plain;
    auto offline = await(plain.data(URLRequest(url("/x"))));
    EXPECT_EQ(errorCode(offline.error()), URLError::notConnectedToInternet);
    EXPECT_TRUE(server.requests().empty());

    URLSessionConfiguration patient;
    patient.waitsForConnectivity = true;
    URLSession waiting(patient);
    TaskProbe<URLDataResponse> waited(waiting.data(URLRequest(url("/x"))));
    scope.loop().runUntil([] { return false; }, 0.3s);
    EXPECT_FALSE(waited.done());
    EXPECT_TRUE(server.requests().empty());
    online = true;
    ASSERT_TRUE(waited.finish(scope.loop()));
    ASSERT_TRUE(waited.value()) << waited.errorDescription();
    EXPECT_EQ(waited.value()->data, "online");

    online = false;
    patient.timeoutIntervalForResource = 0.3s;
    URLSession bounded(patient);
    auto gaveUp = await(bounded.data(URLRequest(url("/x"))));
    EXPECT_EQ(errorCode(gaveUp.error()), URLError::timedOut);
}

TEST_F(URLSessionTest, CookiesAreKeptOnlyWithCookieStorage) {
    server.route("GET", "/set", LoopbackAnswer::text(200, "set").withHeader("Set-Cookie", "session=abc; Path=/"));
    server.route("GET", "/next", LoopbackAnswer::text(200, "next"));
    for (bool storage : {true, false}) {
        URLSessionConfiguration config;
        config.httpCookieStorage = storage;
        URLSession session(config);
        ASSERT_TRUE(await(session.data(URLRequest(url("/set")))).value());
        ASSERT_TRUE(await(session.data(URLRequest(url("/next")))).value());
        auto next = server.requestsWith("GET", "/next").back();
        EXPECT_EQ(next.header("Cookie").has_value(), storage);
        if (storage) {
            EXPECT_EQ(next.header("Cookie"), "session=abc");
        }
    }
}

TEST_F(URLSessionTest, DestroyingTheSessionCancelsItsTransfers) {
    auto gate = std::make_shared<Gate>();
    server.route("GET", "/held", LoopbackAnswer::text(200, "late").heldBy(gate));
    auto session = std::make_unique<URLSession>();
    TaskProbe<URLDataResponse> out(session->data(URLRequest(url("/held"))));
    ASSERT_TRUE(scope.loop().runUntil([&] { return server.requests().size() == 1; }));
    session.reset();
    ASSERT_TRUE(out.finish(scope.loop()));
    EXPECT_EQ(errorCode(out.error()), URLError::cancelled);
    gate->release();
}

TEST(PercentEncodedPathSegment, KeepsUnreservedCharactersAndEncodesTheRest) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"21m00Tcm4TlvDq8ikWAM", "21m00Tcm4TlvDq8ikWAM"},
        {"", ""},
        {"a-b_c.d~e", "a-b_c.d~e"},
        {"a b/c?d#e", "a%20b%2Fc%3Fd%23e"},
        {"100%", "100%25"},
        {"..", "%2E%2E"},
        {".", "%2E"},
        {"...", "..."},
        {"\xC3\xA9", "%C3%A9"},
        {"x\r\ny", "x%0D%0Ay"},
    };
    for (const auto& c : cases) EXPECT_EQ(percentEncodedPathSegment(c.in), c.out) << c.in;
}
