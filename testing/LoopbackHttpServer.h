#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/runtime/Duration.h"

namespace velmo::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The usual reason phrase of an HTTP status ("Unauthorized" for 401), "Status" for others.
std::string standardReasonPhrase(int status);

// One request as the server received it.
struct RecordedRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::string path;  // without the query
    HeaderList headers;  // in the order sent, names as sent
    std::string body;
    std::size_t connection = 0;  // 1 for the first connection accepted, 2 for the next...

    // The first field of that name (names compare without case).
    std::optional<std::string> header(const std::string& name) const;
    std::size_t headerCount(const std::string& name) const;
};

// Holds an answer (or a part of one) until the test releases it. Stopping the server releases
// every gate too.
class Gate {
public:
    void release();
    bool isReleased() const;
    // True once released; false when `stop` was set first.
    bool wait(const std::atomic<bool>& stop) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool released_ = false;
};

// What the server sends back. Built with the helpers and adjusted with the chained setters.
struct LoopbackAnswer {
    struct Part {
        std::string data;
        Seconds delayBefore{0};
        std::shared_ptr<Gate> gate;  // waited for before this part
    };
    enum class Framing { contentLength, chunked, untilClose };

    int status = 200;
    std::string reason;  // empty: a standard one
    HeaderList headers;
    std::vector<Part> body;
    Framing framing = Framing::contentLength;
    std::shared_ptr<Gate> hold;  // waited for before anything is sent
    Seconds delayBeforeHeaders{0};
    bool dropAfterBody = false;  // close after the parts without ending the body
    bool closeAfter = false;  // close the connection after this answer
    std::optional<std::string> raw;  // bytes sent exactly as they are, then closed
    bool reset = false;  // no answer: the connection is reset (TCP RST)

    static LoopbackAnswer text(int status, std::string body, std::string contentType = "text/plain");
    // A chunked body sent as the given pieces, `delay` seconds apart.
    static LoopbackAnswer streamed(int status, const std::vector<std::string>& pieces, Seconds delay = Seconds(0),
                                   std::string contentType = "text/event-stream");
    // A chunked body sent one byte per chunk, `delay` seconds apart.
    static LoopbackAnswer bytewise(int status, const std::string& body, Seconds delay = Seconds(0),
                                   std::string contentType = "text/event-stream");
    static LoopbackAnswer rawBytes(std::string bytes);
    // Reads the request, then resets the connection instead of answering (after `hold` and
    // `delayBeforeHeaders`, when set).
    static LoopbackAnswer connectionReset();

    LoopbackAnswer& withHeader(std::string name, std::string value);
    LoopbackAnswer& heldBy(std::shared_ptr<Gate> gate);
    // Adds a part that waits for `gate` first (live streams the test drives).
    LoopbackAnswer& thenPart(std::string data, std::shared_ptr<Gate> gate = nullptr, Seconds delayBefore = Seconds(0));
    LoopbackAnswer& droppedAfterBody();
};

// An HTTP/1.1 server on 127.0.0.1 at a port of its own choosing, for tests of the clients of
// hosted services. Answers per route (method and path), records every request, keeps
// connections alive, answers HEAD with the headers alone. One thread per connection.
class LoopbackHttpServer {
public:
    using Handler = std::function<LoopbackAnswer(const RecordedRequest&)>;

    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT", the value for OriginOverride.
    std::string origin() const;

    // `method` "*" matches any method; `path` is matched exactly, without the query. A HEAD
    // request falls back to the GET route of its path. Later routes replace earlier ones.
    void route(const std::string& method, const std::string& path, LoopbackAnswer answer);
    void route(const std::string& method, const std::string& path, Handler handler);
    // Answers requests no route matches (default: 404 "not found").
    void setFallback(Handler handler);

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requestsWith(const std::string& method, const std::string& path = "") const;
    // How many recorded requests match, as `requestsWith` would list them, without copying them.
    std::size_t requestCountWith(const std::string& method, const std::string& path = "") const;
    // Waits in real time until at least `count` requests have been recorded.
    bool waitForRequests(std::size_t count, Seconds timeout = Seconds(10)) const;
    std::size_t connectionCount() const;
    // Connections whose handling has ended (closed by either side).
    std::size_t closedConnectionCount() const;

    void stop();

private:
    struct Connection;
    struct Acceptor;
    void acceptLoop();
    void serve(const std::shared_ptr<Connection>& connection);
    LoopbackAnswer answerFor(const RecordedRequest& request);

    std::unique_ptr<Acceptor> acceptor_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    struct Route {
        std::string method, path;
        Handler handler;
    };
    std::vector<Route> routes_;
    Handler fallback_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::size_t closedConnections_ = 0;
};

}  // namespace velmo::test
