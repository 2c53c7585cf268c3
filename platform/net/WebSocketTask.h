#pragma once

// WebSocket client connections over Boost.Beast: "ws" in the clear, "wss" through OpenSSL with
// the system's certificate store and host-name verification.
//
// Threads. Each WebSocketSession runs its connections on one I/O thread of its own and calls
// every completion (send and receive) on one callback thread of its own, one at a time, in the
// order the events happened; completions never run inline in the call that hands them over,
// never on the I/O thread and never on the main loop, so a receiver that keeps its state on
// another queue must hop there itself. Task operations may be called from any thread.
//
// A task is opened with a URLRequest: its "ws" or "wss" URL, its header fields (sent with the
// upgrade request; a field that cannot travel fails the task with URLError::badURL before
// anything is sent) and its `timeoutInterval`, which bounds the opening (name look-up,
// connection, TLS and upgrade); an open connection has no idle limit. The method and body are
// not used. Failures are URLErrors.
//
// Tests reach loopback servers through OriginOverride: a task's URL is rewritten there when it
// connects, so clients keep building their real URLs.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/net/URLSession.h"

namespace velmo {

namespace detail {
struct WebSocketSessionCore;
struct WebSocketConnection;
}  // namespace detail

// One whole message, text (UTF-8) or binary.
struct WebSocketMessage {
    enum class Kind { text, binary };
    Kind kind = Kind::text;
    std::string data;  // the text, or the raw bytes

    static WebSocketMessage text(std::string text) { return {Kind::text, std::move(text)}; }
    static WebSocketMessage binary(std::string bytes) { return {Kind::binary, std::move(bytes)}; }
    bool isText() const { return kind == Kind::text; }
    bool operator==(const WebSocketMessage&) const = default;
};

// Close codes of the WebSocket protocol used by callers.
namespace WebSocketCloseCode {
inline constexpr std::uint16_t normalClosure = 1000;
inline constexpr std::uint16_t goingAway = 1001;
}  // namespace WebSocketCloseCode

// One connection. Nothing happens until `resume`. Messages handed to `send` before the
// connection is open wait for it and leave in the order they were handed over; messages that
// arrive are kept until `receive` asks for them. A failure (or `cancel`) ends the task: every
// completion still waiting, and every later one, reports the error (after the messages that
// had already arrived, for `receive`). The session keeps a running task going even when every
// handle to it is dropped: `cancel` it or invalidate the session to end it.
class WebSocketTask {
public:
    // `error` is null when the whole message was written to the connection.
    using SendCompletion = std::function<void(std::exception_ptr error)>;
    // Either a message or an error.
    using ReceiveCompletion = std::function<void(std::optional<WebSocketMessage> message, std::exception_ptr error)>;

    ~WebSocketTask();
    WebSocketTask(const WebSocketTask&) = delete;
    WebSocketTask& operator=(const WebSocketTask&) = delete;

    const URLRequest& originalRequest() const;

    // Starts connecting (once; later calls do nothing).
    void resume();
    // Each message goes out as one frame.
    void send(WebSocketMessage message, SendCompletion completion);
    // Completes with the next message, oldest first; several waiting receivers are served in
    // the order they asked.
    void receive(ReceiveCompletion completion);
    // Ends the task: waiting completions report URLError::cancelled at once, the message
    // being written (if any) finishes, then the close frame with `closeCode` and `reason` is
    // sent. The closing handshake is given two seconds before the connection is dropped.
    void cancel(std::uint16_t closeCode, std::string reason = {});

private:
    friend class WebSocketSession;
    explicit WebSocketTask(std::shared_ptr<detail::WebSocketConnection> connection);
    std::shared_ptr<detail::WebSocketConnection> connection_;
};

// Makes WebSocket tasks and owns the threads they run on.
class WebSocketSession {
public:
    WebSocketSession();
    // Invalidates and cancels without waiting: closing handshakes still under way finish in
    // the background (each within its two seconds). A task kept after its session is gone
    // fails its operations with URLError::cancelled.
    ~WebSocketSession();
    WebSocketSession(const WebSocketSession&) = delete;
    WebSocketSession& operator=(const WebSocketSession&) = delete;

    std::shared_ptr<WebSocketTask> webSocketTask(URLRequest request);

    // Cancels every task of the session with WebSocketCloseCode::goingAway (tasks already
    // cancelled keep their own close code); tasks made afterwards fail at once with
    // URLError::cancelled.
    void invalidateAndCancel();

private:
    std::shared_ptr<detail::WebSocketSessionCore> core_;
    std::thread ioThread_;
};

}  // namespace velmo
