#include "platform/net/WebSocketTask.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>

#include "platform/base/OriginOverride.h"
#include "platform/base/URLComponents.h"
#include "platform/runtime/SerialQueue.h"

namespace velmo {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

// How long a closing handshake may take before the connection is simply dropped.
constexpr std::chrono::seconds closeHandshakeLimit{2};
// Messages kept for `receive` before the connection stops reading (and the peer feels it).
constexpr std::size_t inboxLimit = 64;

// The error for a transport failure, whatever the stage it happened in.
URLError errorForTransport(const beast::error_code& ec) {
    using E = URLError;
    if (ec == net::error::connection_refused || ec == net::error::host_unreachable) return URLError(E::cannotConnectToHost, ec.message());
    if (ec == net::error::host_not_found || ec == net::error::host_not_found_try_again || ec == net::error::no_data ||
        ec == net::error::no_recovery) {
        return URLError(E::cannotFindHost, ec.message());
    }
    if (ec == net::error::network_unreachable || ec == net::error::network_down) return URLError(E::notConnectedToInternet, ec.message());
    if (ec == net::error::timed_out) return URLError(E::timedOut, ec.message());
    if (ec == websocket::error::closed) return URLError(E::networkConnectionLost, "the server closed the connection");
    if (ec == net::error::eof || ec == net::error::connection_reset || ec == net::error::connection_aborted ||
        ec == net::error::broken_pipe || ec == net::ssl::error::stream_truncated || ec == beast::http::error::end_of_stream) {
        return URLError(E::networkConnectionLost, ec.message());
    }
    if (ec.category() == net::error::get_ssl_category()) return URLError(E::secureConnectionFailed, ec.message());
    if (ec == websocket::condition::handshake_failed || ec == websocket::condition::protocol_violation ||
        ec.category() == beast::http::make_error_code(beast::http::error::bad_version).category()) {
        return URLError(E::badServerResponse, ec.message());
    }
    return URLError(E::unknown, ec.message());
}

}  // namespace

namespace detail {

struct WebSocketSessionCore {
    net::io_context io;
    net::executor_work_guard<net::io_context::executor_type> work = net::make_work_guard(io);
    SerialQueue callbacks{"websocket.callbacks"};

    std::mutex mutex;
    bool invalidated = false;
    bool acceptsWork = true;  // false once the I/O thread is winding down
    std::vector<std::weak_ptr<WebSocketConnection>> connections;
    bool ioFinished = false;
    std::condition_variable ioFinishedChanged;

    std::unique_ptr<net::ssl::context> tls;  // I/O thread only, made on first use

    // Runs `work` on the I/O thread, unless that thread is winding down.
    bool post(std::function<void()> work) {
        std::lock_guard lock(mutex);
        if (!acceptsWork) return false;
        net::post(io, std::move(work));
        return true;
    }

    net::ssl::context& tlsContext() {
        if (!tls) {
            tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_client);
            beast::error_code ignored;
            tls->set_default_verify_paths(ignored);  // a missing store shows up as a failed verification
            tls->set_verify_mode(net::ssl::verify_peer);
            SSL_CTX_set_min_proto_version(tls->native_handle(), TLS1_2_VERSION);
        }
        return *tls;
    }
};

struct WebSocketConnection : std::enable_shared_from_this<WebSocketConnection> {
    using PlainStream = websocket::stream<tcp::socket>;
    using SecureStream = websocket::stream<net::ssl::stream<tcp::socket>>;
    struct Outgoing {
        WebSocketMessage message;
        WebSocketTask::SendCompletion completion;
    };

    WebSocketConnection(std::shared_ptr<WebSocketSessionCore> core, URLRequest request)
        : core(std::move(core)),
          request(std::move(request)),
          resolver(this->core->io),
          openTimer(this->core->io),
          closeTimer(this->core->io) {}

    ~WebSocketConnection() {
        // Whoever still waits hears of the end (a task dropped before it was resumed).
        std::lock_guard lock(mutex);
        failWaitingLocked(terminal.value_or(URLError(URLError::cancelled)));
    }

    std::shared_ptr<WebSocketSessionCore> core;
    const URLRequest request;

    // Shared with the callers' threads, under `mutex`.
    std::mutex mutex;
    bool resumed = false;
    bool pumpScheduled = false;
    // Set once: the failure or the cancellation that ended the task. Each completion gets an
    // exception of its own, made on the callback thread, so none is shared between threads.
    std::optional<URLError> terminal;
    std::uint16_t closeCode = WebSocketCloseCode::goingAway;
    std::string closeReason;
    std::deque<Outgoing> outbox;
    std::deque<WebSocketMessage> inbox;
    std::deque<WebSocketTask::ReceiveCompletion> receivers;

    // I/O thread only.
    enum class Phase { idle, opening, open, closing, closed };
    Phase phase = Phase::idle;
    tcp::resolver resolver;
    net::steady_timer openTimer;
    net::steady_timer closeTimer;
    std::unique_ptr<PlainStream> plain;
    std::unique_ptr<SecureStream> secure;
    std::string host, hostHeader, target, port;
    websocket::response_type handshakeResponse;
    beast::flat_buffer readBuffer;
    bool reading = false;
    std::optional<Outgoing> inFlight;

    template <class F>
    void withStream(F&& f) {
        if (secure)
            f(*secure);
        else if (plain)
            f(*plain);
    }

    tcp::socket* lowestSocket() {
        if (secure) return &beast::get_lowest_layer(*secure);
        if (plain) return &beast::get_lowest_layer(*plain);
        return nullptr;
    }

    // --- delivery (with `mutex` held, so completions keep the order of the events) ---

    void deliverSendLocked(WebSocketTask::SendCompletion completion, std::optional<URLError> error) {
        if (!completion) return;
        core->callbacks.async([completion = std::move(completion), error = std::move(error)] {
            completion(error ? std::make_exception_ptr(*error) : nullptr);
        });
    }

    void deliverReceiveLocked(WebSocketTask::ReceiveCompletion completion, std::optional<WebSocketMessage> message,
                              std::optional<URLError> error) {
        if (!completion) return;
        core->callbacks.async([completion = std::move(completion), message = std::move(message), error = std::move(error)]() mutable {
            completion(std::move(message), error ? std::make_exception_ptr(*error) : nullptr);
        });
    }

    void failWaitingLocked(const URLError& error) {
        auto waitingReceivers = std::move(receivers);
        receivers.clear();
        for (auto& receiver : waitingReceivers) deliverReceiveLocked(std::move(receiver), std::nullopt, error);
        auto waitingSends = std::move(outbox);
        outbox.clear();
        for (auto& outgoing : waitingSends) deliverSendLocked(std::move(outgoing.completion), error);
    }

    bool isFinished() {
        std::lock_guard lock(mutex);
        return terminal.has_value();
    }

    void schedulePumpLocked() {
        if (pumpScheduled || !resumed) return;
        pumpScheduled = true;
        core->post([self = shared_from_this()] { self->pump(); });
    }

    // --- the callers' side ---

    void resume() {
        {
            std::lock_guard lock(mutex);
            if (resumed) return;
            resumed = true;
            if (terminal) return;
        }
        core->post([self = shared_from_this()] { self->start(); });
    }

    void send(WebSocketMessage message, WebSocketTask::SendCompletion completion) {
        std::lock_guard lock(mutex);
        if (terminal) {
            deliverSendLocked(std::move(completion), terminal);
            return;
        }
        outbox.push_back({std::move(message), std::move(completion)});
        schedulePumpLocked();
    }

    void receive(WebSocketTask::ReceiveCompletion completion) {
        std::lock_guard lock(mutex);
        if (!inbox.empty()) {
            bool wasFull = inbox.size() >= inboxLimit;
            deliverReceiveLocked(std::move(completion), std::move(inbox.front()), std::nullopt);
            inbox.pop_front();
            if (wasFull && !terminal) schedulePumpLocked();  // reading had paused
            return;
        }
        if (terminal) {
            deliverReceiveLocked(std::move(completion), std::nullopt, terminal);
            return;
        }
        receivers.push_back(std::move(completion));
    }

    void cancel(std::uint16_t code, std::string reason) {
        bool started;
        {
            std::lock_guard lock(mutex);
            if (terminal) return;
            terminal = URLError(URLError::cancelled);
            closeCode = code;
            closeReason = std::move(reason);
            inbox.clear();
            failWaitingLocked(*terminal);
            started = resumed;
        }
        if (started) core->post([self = shared_from_this()] { self->closeAfterCancel(); });
    }

    // --- the I/O thread ---

    // Ends the task with `error` (unless it has ended already) and drops the connection.
    void fail(URLError error) {
        {
            std::lock_guard lock(mutex);
            if (!terminal) {
                terminal = error;
                failWaitingLocked(error);
            }
        }
        drop();
    }

    void drop() {
        openTimer.cancel();
        closeTimer.cancel();
        resolver.cancel();
        if (auto* socket = lowestSocket()) {
            beast::error_code ignored;
            socket->close(ignored);
        }
        phase = Phase::closed;
    }

    void start() {
        if (isFinished()) return;
        phase = Phase::opening;
        if (auto problem = invalidHeaderFieldError(request.allHTTPHeaderFields())) return fail(*problem);
        auto components = URLComponents::fromString(OriginOverride::apply(request.url));
        if (!components) return fail(URLError(URLError::badURL, "the URL is not well formed"));
        std::string scheme = components->scheme;
        std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
        if (scheme != "ws" && scheme != "wss") {
            return fail(URLError(URLError::unsupportedURL, "a WebSocket URL starts with ws: or wss:"));
        }
        if (!components->host || components->host->empty()) return fail(URLError(URLError::badURL, "the URL names no host"));
        bool tls = scheme == "wss";
        hostHeader = *components->host;
        host = hostHeader.front() == '[' ? hostHeader.substr(1, hostHeader.size() - 2) : hostHeader;
        int portNumber = components->port.value_or(tls ? 443 : 80);
        port = std::to_string(portNumber);
        if (components->port && portNumber != (tls ? 443 : 80)) hostHeader += ":" + port;
        target = components->percentEncodedPath.empty() ? "/" : components->percentEncodedPath;
        if (components->percentEncodedQuery) target += "?" + *components->percentEncodedQuery;

        if (tls) {
            secure = std::make_unique<SecureStream>(core->io, core->tlsContext());
        } else {
            plain = std::make_unique<PlainStream>(core->io);
        }

        const double asked = request.timeoutInterval.count();
        double seconds = asked > 0 && std::isfinite(asked) ? asked : 60.0;
        seconds = std::min(seconds, 7 * 24 * 3600.0);
        openTimer.expires_after(std::chrono::duration_cast<net::steady_timer::duration>(std::chrono::duration<double>(seconds)));
        openTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec || self->phase != Phase::opening) return;
            self->fail(URLError(URLError::timedOut));
        });

        resolver.async_resolve(host, port, [self = shared_from_this()](beast::error_code ec, tcp::resolver::results_type results) {
            if (self->isFinished()) return;
            if (ec) return self->fail(errorForTransport(ec));
            net::async_connect(*self->lowestSocket(), results, [self](beast::error_code ec, const tcp::endpoint&) {
                if (self->isFinished()) return;
                if (ec) return self->fail(errorForTransport(ec));
                beast::error_code ignored;  // small frames (control messages) must not wait for acknowledgements
                self->lowestSocket()->set_option(tcp::no_delay(true), ignored);
                if (self->secure) {
                    self->startTls();
                } else {
                    self->upgrade();
                }
            });
        });
    }

    void startTls() {
        auto& tlsStream = secure->next_layer();
        SSL* ssl = tlsStream.native_handle();
        beast::error_code addressError;
        net::ip::make_address(host, addressError);
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (addressError) {
            SSL_set_tlsext_host_name(ssl, host.c_str());
            X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
        } else {
            X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
        }
        tlsStream.async_handshake(net::ssl::stream_base::client, [self = shared_from_this()](beast::error_code ec) {
            if (self->isFinished()) return;
            if (ec) {
                long verification = SSL_get_verify_result(self->secure->next_layer().native_handle());
                std::string detail = verification != X509_V_OK ? X509_verify_cert_error_string(verification) : ec.message();
                return self->fail(URLError(URLError::secureConnectionFailed, detail));
            }
            self->upgrade();
        });
    }

    void upgrade() {
        withStream([this](auto& ws) {
            ws.set_option(websocket::stream_base::timeout{websocket::stream_base::none(), websocket::stream_base::none(), false});
            ws.set_option(websocket::stream_base::decorator([headers = request.allHTTPHeaderFields()](websocket::request_type& req) {
                for (const auto& [name, value] : headers) req.set(name, value);
            }));
            ws.auto_fragment(false);
            ws.async_handshake(handshakeResponse, hostHeader, target, [self = shared_from_this()](beast::error_code ec) {
                if (self->isFinished()) return;
                if (ec == websocket::error::upgrade_declined) {
                    return self->fail(URLError(URLError::badServerResponse, "the server answered the upgrade with HTTP " +
                                                                                std::to_string(self->handshakeResponse.result_int())));
                }
                if (ec) return self->fail(errorForTransport(ec));
                self->openTimer.cancel();
                self->phase = Phase::open;
                // From here on the stream's own limit bounds a closing handshake the server starts.
                self->withStream([](auto& ws) {
                    ws.set_option(websocket::stream_base::timeout{closeHandshakeLimit, websocket::stream_base::none(), false});
                });
                self->pump();
            });
        });
    }

    void pump() {
        {
            std::lock_guard lock(mutex);
            pumpScheduled = false;
        }
        if (phase != Phase::open) return;
        startWrite();
        startRead();
    }

    void startWrite() {
        if (inFlight) return;
        {
            std::lock_guard lock(mutex);
            if (terminal || outbox.empty()) return;
            inFlight = std::move(outbox.front());
            outbox.pop_front();
        }
        withStream([this](auto& ws) {
            ws.text(inFlight->message.isText());
            ws.async_write(net::buffer(inFlight->message.data),
                           [self = shared_from_this()](beast::error_code ec, std::size_t) { self->written(ec); });
        });
    }

    void written(const beast::error_code& ec) {
        Outgoing done = std::move(*inFlight);
        inFlight.reset();
        std::optional<URLError> error;
        {
            std::lock_guard lock(mutex);
            // A write cut short by the task's own end reports that end.
            if (ec) error = terminal ? terminal : errorForTransport(ec);
            deliverSendLocked(std::move(done.completion), error);
        }
        if (error) return fail(*error);
        if (phase == Phase::open) startWrite();
    }

    void startRead() {
        if (reading) return;
        {
            std::lock_guard lock(mutex);
            if (terminal || inbox.size() >= inboxLimit) return;
        }
        reading = true;
        withStream([this](auto& ws) {
            ws.async_read(readBuffer, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->read(ec); });
        });
    }

    void read(const beast::error_code& ec) {
        reading = false;
        if (ec) {
            if (isFinished()) return;
            websocket::close_reason reason;
            withStream([&](auto& ws) { reason = ws.reason(); });
            if (reason.code != websocket::close_code::none) {  // the server's close frame came
                std::string detail = "the server closed the connection with code " + std::to_string(reason.code);
                if (!reason.reason.empty()) detail += " \"" + std::string(reason.reason.c_str()) + "\"";
                return fail(URLError(URLError::networkConnectionLost, detail));
            }
            return fail(errorForTransport(ec));
        }
        bool text = false;
        withStream([&](auto& ws) { text = ws.got_text(); });
        WebSocketMessage message{text ? WebSocketMessage::Kind::text : WebSocketMessage::Kind::binary,
                                 beast::buffers_to_string(readBuffer.data())};
        readBuffer.consume(readBuffer.size());
        {
            std::lock_guard lock(mutex);
            if (terminal) return;  // cancelled meanwhile: nobody wants it any more
            if (!receivers.empty()) {
                auto receiver = std::move(receivers.front());
                receivers.pop_front();
                deliverReceiveLocked(std::move(receiver), std::move(message), std::nullopt);
            } else {
                inbox.push_back(std::move(message));
            }
        }
        startRead();
    }

    void closeAfterCancel() {
        if (phase == Phase::opening) return drop();
        if (phase != Phase::open) return;
        phase = Phase::closing;
        closeTimer.expires_after(closeHandshakeLimit);
        closeTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec && self->phase == Phase::closing) self->drop();
        });
        websocket::close_reason reason(static_cast<websocket::close_code>(closeCode), closeReason);
        // The message being written finishes first; the stream holds the close frame until then.
        withStream([&](auto& ws) { ws.async_close(reason, [self = shared_from_this()](beast::error_code) { self->drop(); }); });
    }
};

}  // namespace detail

// --- WebSocketTask ---

WebSocketTask::WebSocketTask(std::shared_ptr<detail::WebSocketConnection> connection)
    : connection_(std::move(connection)) {}
WebSocketTask::~WebSocketTask() = default;

const URLRequest& WebSocketTask::originalRequest() const { return connection_->request; }
void WebSocketTask::resume() { connection_->resume(); }
void WebSocketTask::send(WebSocketMessage message, SendCompletion completion) {
    connection_->send(std::move(message), std::move(completion));
}
void WebSocketTask::receive(ReceiveCompletion completion) { connection_->receive(std::move(completion)); }
void WebSocketTask::cancel(std::uint16_t closeCode, std::string reason) { connection_->cancel(closeCode, std::move(reason)); }

// --- WebSocketSession ---

namespace {

// The sessions' detached I/O threads still running. At exit the process gives them a moment
// to finish their closing handshakes, so none is cut off mid-write and OpenSSL's per-thread
// state is freed before the process ends. Never destroyed: a late thread may still report.
class LiveIoThreads {
public:
    static LiveIoThreads& shared() {
        // OpenSSL frees its globals at exit; initialised first, it does so after the wait.
        static LiveIoThreads* instance = (OPENSSL_init_ssl(0, nullptr), new LiveIoThreads());
        static WaitAtExit wait{instance};
        return *instance;
    }
    void started() {
        std::lock_guard lock(mutex_);
        ++live_;
    }
    void ended() {
        std::lock_guard lock(mutex_);
        --live_;
        changed_.notify_all();
    }

private:
    struct WaitAtExit {
        LiveIoThreads* threads;
        ~WaitAtExit() {
            std::unique_lock lock(threads->mutex_);
            threads->changed_.wait_for(lock, std::chrono::seconds(2), [this] { return threads->live_ == 0; });
        }
    };

    std::mutex mutex_;
    std::condition_variable changed_;
    int live_ = 0;  // guarded by mutex_
};

}  // namespace

WebSocketSession::WebSocketSession()
    : core_(std::make_shared<detail::WebSocketSessionCore>()) {
    LiveIoThreads::shared().started();
    ioThread_ = std::thread([core = core_]() mutable {
        core->io.run();
        {
            std::lock_guard lock(core->mutex);
            core->ioFinished = true;
            core->ioFinishedChanged.notify_all();
        }
        // The core may be the last owner of the TLS context: free it before the exit wait may
        // see this thread as ended and let OpenSSL's clean-up run.
        core.reset();
        OPENSSL_thread_stop();
        LiveIoThreads::shared().ended();
    });
    pthread_setname_np(ioThread_.native_handle(), "websocket.io");
}

WebSocketSession::~WebSocketSession() {
    invalidateAndCancel();
    {
        std::lock_guard lock(core_->mutex);
        core_->acceptsWork = false;
    }
    // The thread ends on its own once the last closing handshake is over (each is bounded) or
    // a name look-up returns: the caller (often the main thread) never waits for the service.
    // The thread holds the core.
    core_->work.reset();
    ioThread_.detach();
}

std::shared_ptr<WebSocketTask> WebSocketSession::webSocketTask(URLRequest request) {
    auto connection = std::make_shared<detail::WebSocketConnection>(core_, std::move(request));
    {
        std::lock_guard lock(core_->mutex);
        if (core_->invalidated) {
            connection->terminal = URLError(URLError::cancelled);
        } else {
            std::erase_if(core_->connections, [](const auto& weak) { return weak.expired(); });
            core_->connections.push_back(connection);
        }
    }
    return std::shared_ptr<WebSocketTask>(new WebSocketTask(std::move(connection)));
}

void WebSocketSession::invalidateAndCancel() {
    std::vector<std::shared_ptr<detail::WebSocketConnection>> live;
    {
        std::lock_guard lock(core_->mutex);
        core_->invalidated = true;
        for (auto& weak : core_->connections) {
            if (auto connection = weak.lock()) live.push_back(std::move(connection));
        }
        core_->connections.clear();
    }
    for (auto& connection : live) connection->cancel(WebSocketCloseCode::goingAway, {});
}

}  // namespace velmo
