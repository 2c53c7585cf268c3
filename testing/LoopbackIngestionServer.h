#pragma once

#include <cstddef>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/Duration.h"

#include <nlohmann/json.hpp>

#include "testing/LoopbackHttpServer.h"

namespace velmo::test {

// Inflates one gzip member (trailing bytes refused); none when the bytes are not one.
std::optional<std::string> gunzip(const std::string& compressed);

// The analytics ingestion service on 127.0.0.1: the batch, snapshot, flags and
// remote-configuration routes, under any path prefix the client's host carries. Inflates gzip
// bodies, records every request and answers each route by script.
// Thread contract: every operation from any thread; the state is guarded by the server's lock.
class LoopbackIngestionServer {
public:
    enum class Route { batch, snapshot, flags, remoteConfig, unknown };

    struct Request {
        Route route = Route::unknown;
        std::string method;
        std::string path;  // without the query
        std::optional<std::string> query;  // present when the target held a "?"
        HeaderList headers;
        std::string body;  // inflated when sent with "Content-Encoding: gzip"
        bool gzipped = false;
        bool inflated = false;  // false when a gzip body did not inflate
        std::optional<nlohmann::ordered_json> json;  // the body when it is JSON

        std::optional<std::string> header(const std::string& name) const;
    };

    // What a route answers.
    struct Answer {
        static Answer status(int code, std::string body = "{}");
        // Nothing is sent until the gate opens (or the server stops).
        static Answer held(std::shared_ptr<Gate> gate, int code = 200, std::string body = "{}");
        // The request is read, then the connection is reset.
        static Answer dropped();
        // The request is read, then the connection is closed with nothing sent.
        static Answer closedWithoutReply();

        LoopbackAnswer answer;
    };

    // Snapshots go to "/s/" unless told otherwise.
    explicit LoopbackIngestionServer(std::string snapshotPath = "/s/");
    ~LoopbackIngestionServer();

    int port() const { return http_.port(); }
    // "http://127.0.0.1:PORT".
    std::string origin() const { return http_.origin(); }
    // Connections accepted so far.
    std::size_t connectionCount() const { return http_.connectionCount(); }

    // The answer of every later request of the route (defaults: 200 with a small JSON body).
    void answer(Route route, Answer answer);
    // Answers the route's next request only, before its standing answer; several queue up.
    void answerNext(Route route, Answer answer);

    std::vector<Request> requests() const;
    std::vector<Request> requestsOf(Route route) const;
    // Waits in real time until at least `count` requests have been recorded.
    bool waitForRequests(std::size_t count, Seconds timeout = Seconds(10)) const;
    void stop() { http_.stop(); }

    // Which route a path names.
    Route routeOf(const std::string& path) const;

private:
    LoopbackAnswer respond(const RecordedRequest& request);

    std::string snapshotPath_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<Route, Answer> standing_;
    std::map<Route, std::deque<Answer>> next_;
    std::vector<Request> requests_;
    LoopbackHttpServer http_;  // last: its threads stop before the state above goes
};

}  // namespace velmo::test
