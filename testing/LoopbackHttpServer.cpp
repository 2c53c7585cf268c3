#include "testing/LoopbackHttpServer.h"

#include <algorithm>

#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <cstdio>

namespace velmo::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// Sleeps up to `delay`, ending early when the server stops; false when it stopped.
bool pause(Seconds delay, const std::atomic<bool>& stop) {
    using Clock = std::chrono::steady_clock;
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(delay);
    while (!stop.load()) {
        auto now = Clock::now();
        if (now >= until) return true;
        Clock::duration left = until - now;
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(5)));
    }
    return false;
}

}  // namespace

std::string standardReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (sameName(n, name)) return v;
    return std::nullopt;
}

std::size_t RecordedRequest::headerCount(const std::string& name) const {
    std::size_t count = 0;
    for (const auto& [n, v] : headers)
        if (sameName(n, name)) ++count;
    return count;
}

void Gate::release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
}

bool Gate::isReleased() const {
    std::lock_guard lock(mutex_);
    return released_;
}

bool Gate::wait(const std::atomic<bool>& stop) const {
    std::unique_lock lock(mutex_);
    while (!released_) {
        if (stop.load()) return false;
        cv_.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
}

LoopbackAnswer LoopbackAnswer::text(int status, std::string body, std::string contentType) {
    LoopbackAnswer a;
    a.status = status;
    a.headers.emplace_back("Content-Type", std::move(contentType));
    a.body.push_back(Part{std::move(body), Seconds(0), nullptr});
    return a;
}

LoopbackAnswer LoopbackAnswer::streamed(int status, const std::vector<std::string>& pieces, Seconds delay, std::string contentType) {
    LoopbackAnswer a;
    a.status = status;
    a.framing = Framing::chunked;
    a.headers.emplace_back("Content-Type", std::move(contentType));
    for (std::size_t i = 0; i < pieces.size(); ++i) a.body.push_back(Part{pieces[i], i == 0 ? Seconds(0) : delay, nullptr});
    return a;
}

LoopbackAnswer LoopbackAnswer::bytewise(int status, const std::string& body, Seconds delay, std::string contentType) {
    std::vector<std::string> pieces;
    pieces.reserve(body.size());
    for (char c : body) pieces.emplace_back(1, c);
    return streamed(status, pieces, delay, std::move(contentType));
}

LoopbackAnswer LoopbackAnswer::rawBytes(std::string bytes) {
    LoopbackAnswer a;
    a.raw = std::move(bytes);
    return a;
}

LoopbackAnswer LoopbackAnswer::connectionReset() {
    LoopbackAnswer a;
    a.reset = true;
    return a;
}

LoopbackAnswer& LoopbackAnswer::withHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

LoopbackAnswer& LoopbackAnswer::heldBy(std::shared_ptr<Gate> gate) {
    hold = std::move(gate);
    return *this;
}

LoopbackAnswer& LoopbackAnswer::thenPart(std::string data, std::shared_ptr<Gate> gate, Seconds delayBefore) {
    body.push_back(Part{std::move(data), delayBefore, std::move(gate)});
    return *this;
}

LoopbackAnswer& LoopbackAnswer::droppedAfterBody() {
    dropAfterBody = true;
    return *this;
}

struct LoopbackHttpServer::Connection {
    explicit Connection(asio::io_context& io)
        : socket(io) {}
    tcp::socket socket;
    std::size_t index = 0;
    std::thread thread;
    std::mutex mutex;  // orders the closing calls of the serving thread and of `stop`
    bool wasReset = false;
    void shutdown() {
        std::lock_guard lock(mutex);
        if (!wasReset) ::shutdown(socket.native_handle(), SHUT_RDWR);
    }
    // Closing with a zero linger time sends RST instead of the orderly FIN.
    void reset() {
        std::lock_guard lock(mutex);
        linger abort{1, 0};
        ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        boost::system::error_code ignored;
        socket.close(ignored);
        wasReset = true;
    }
};

namespace {
asio::io_context& ioContext() {
    static asio::io_context io;
    return io;
}
}  // namespace

struct LoopbackHttpServer::Acceptor {
    tcp::acceptor acceptor{ioContext()};
};

LoopbackHttpServer::LoopbackHttpServer() {
    fallback_ = [](const RecordedRequest&) { return LoopbackAnswer::text(404, "not found"); };
    acceptor_ = std::make_unique<Acceptor>();
    auto& acceptor = acceptor_->acceptor;
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(64);
    port_ = acceptor.local_endpoint().port();
    listenFd_ = acceptor.native_handle();
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() { stop(); }

std::string LoopbackHttpServer::origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

void LoopbackHttpServer::route(const std::string& method, const std::string& path, LoopbackAnswer answer) {
    route(method, path, [answer = std::move(answer)](const RecordedRequest&) { return answer; });
}

void LoopbackHttpServer::route(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    std::erase_if(routes_, [&](const Route& r) { return r.method == method && r.path == path; });
    routes_.push_back(Route{method, path, std::move(handler)});
}

void LoopbackHttpServer::setFallback(Handler handler) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(handler);
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> LoopbackHttpServer::requestsWith(const std::string& method, const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> out;
    for (const auto& r : requests_)
        if (r.method == method && (path.empty() || r.path == path)) out.push_back(r);
    return out;
}

std::size_t LoopbackHttpServer::requestCountWith(const std::string& method, const std::string& path) const {
    std::lock_guard lock(mutex_);
    return std::size_t(std::count_if(requests_.begin(), requests_.end(),
                                     [&](const RecordedRequest& r) { return r.method == method && (path.empty() || r.path == path); }));
}

bool LoopbackHttpServer::waitForRequests(std::size_t count, Seconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::size_t LoopbackHttpServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

std::size_t LoopbackHttpServer::closedConnectionCount() const {
    std::lock_guard lock(mutex_);
    return closedConnections_;
}

void LoopbackHttpServer::stop() {
    if (stopping_.exchange(true)) return;
    if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard lock(mutex_);
        connections = connections_;
    }
    for (auto& c : connections) c->shutdown();
    for (auto& c : connections)
        if (c->thread.joinable()) c->thread.join();
    boost::system::error_code ignored;
    acceptor_->acceptor.close(ignored);
}

void LoopbackHttpServer::acceptLoop() {
    auto& acceptor = acceptor_->acceptor;
    while (!stopping_.load()) {
        auto connection = std::make_shared<Connection>(ioContext());
        boost::system::error_code ec;
        acceptor.accept(connection->socket, ec);
        if (ec || stopping_.load()) break;
        connection->socket.set_option(tcp::no_delay(true), ec);
        {
            std::lock_guard lock(mutex_);
            connections_.push_back(connection);
            connection->index = connections_.size();
        }
        changed_.notify_all();
        connection->thread = std::thread([this, connection] { serve(connection); });
    }
}

LoopbackAnswer LoopbackHttpServer::answerFor(const RecordedRequest& request) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        auto find = [&](const std::string& method) -> const Route* {
            for (auto it = routes_.rbegin(); it != routes_.rend(); ++it)
                if ((it->method == method || it->method == "*") && it->path == request.path) return &*it;
            return nullptr;
        };
        const Route* r = find(request.method);
        if (!r && request.method == "HEAD") r = find("GET");
        handler = r ? r->handler : fallback_;
    }
    return handler(request);
}

void LoopbackHttpServer::serve(const std::shared_ptr<Connection>& connection) {
    auto& socket = connection->socket;
    boost::beast::flat_buffer buffer;
    boost::system::error_code ec;
    auto send = [&](const std::string& bytes) {
        asio::write(socket, asio::buffer(bytes), ec);
        return !ec;
    };
    while (!stopping_.load()) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(256 * 1024);
        parser.body_limit(256ull * 1024 * 1024);
        http::read(socket, buffer, parser, ec);
        if (ec) break;
        auto& message = parser.get();
        RecordedRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        request.path = request.target.substr(0, request.target.find('?'));
        for (const auto& field : message) request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        request.body = std::move(message.body());
        request.connection = connection->index;
        bool clientCloses = !message.keep_alive();
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        changed_.notify_all();

        LoopbackAnswer answer = answerFor(request);
        if (answer.hold && !answer.hold->wait(stopping_)) break;
        if (answer.delayBeforeHeaders.count() > 0 && !pause(answer.delayBeforeHeaders, stopping_)) break;
        if (answer.reset) {
            connection->reset();
            break;
        }
        if (answer.raw) {
            send(*answer.raw);
            break;
        }
        bool isHead = request.method == "HEAD";
        std::size_t total = 0;
        for (const auto& p : answer.body) total += p.data.size();
        std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " +
                           (answer.reason.empty() ? standardReasonPhrase(answer.status) : answer.reason) + "\r\n";
        for (const auto& [n, v] : answer.headers) head += n + ": " + v + "\r\n";
        switch (answer.framing) {
            case LoopbackAnswer::Framing::contentLength:
                // A dropped body promises one byte more than it sends.
                head += "Content-Length: " + std::to_string(total + (answer.dropAfterBody ? 1 : 0)) + "\r\n";
                break;
            case LoopbackAnswer::Framing::chunked:
                head += "Transfer-Encoding: chunked\r\n";
                break;
            case LoopbackAnswer::Framing::untilClose:
                head += "Connection: close\r\n";
                break;
        }
        head += "\r\n";
        if (!send(head)) break;
        bool ok = true;
        if (!isHead) {
            for (const auto& part : answer.body) {
                if (part.gate && !part.gate->wait(stopping_)) {
                    ok = false;
                    break;
                }
                if (part.delayBefore.count() > 0 && !pause(part.delayBefore, stopping_)) {
                    ok = false;
                    break;
                }
                if (part.data.empty()) continue;
                if (answer.framing == LoopbackAnswer::Framing::chunked) {
                    char size[32];
                    std::snprintf(size, sizeof size, "%zx\r\n", part.data.size());
                    ok = send(size + part.data + "\r\n");
                } else {
                    ok = send(part.data);
                }
                if (!ok) break;
            }
            if (ok && answer.dropAfterBody) break;
            if (ok && answer.framing == LoopbackAnswer::Framing::chunked) ok = send("0\r\n\r\n");
        }
        if (!ok || clientCloses || answer.closeAfter || answer.framing == LoopbackAnswer::Framing::untilClose) break;
    }
    connection->shutdown();
    {
        std::lock_guard lock(mutex_);
        ++closedConnections_;
    }
    changed_.notify_all();
}

}  // namespace velmo::test
