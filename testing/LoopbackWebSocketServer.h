#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testing/LoopbackHttpServer.h"

namespace velmo::test {

// A WebSocket server on 127.0.0.1 (port 0) for tests of the clients of streaming services.
// It speaks the protocol itself (upgrade, framing, masking, close handshake, pings) with no
// client library underneath, records everything each client sends, and answers by script:
// steps when a connection is upgraded, replies chosen by predicate for each message, steps
// pushed by the test at any time. Every step may wait before it runs, so delays, early and
// late messages, closes and dropped connections can be arranged; reads can be stalled so the
// client's writes back up. Point a client at it with OriginOverride and `origin()`.
// Thread-safe: the server runs on its own thread; tests configure and inspect it from theirs.
class LoopbackWebSocketServer {
public:
    struct Options {
        // Serve "wss" with a fresh self-signed certificate for 127.0.0.1 and "localhost";
        // clients must be told to trust `certificatePEM()`.
        bool tls = false;
    };

    // Something the server does on a connection.
    struct Step {
        enum class Kind {
            text,  // send a text frame holding `payload` (sent as is: it may be any bytes)
            binary,  // send a binary frame holding `payload`
            close,  // send a close frame (`closeCode`, `payload` as reason), then close once
            // the client answers
            drop,  // close the TCP connection, with no close frame (once the frames of
            // earlier steps are written)
            stallReads,  // stop reading from this connection (its writes back up)
            resumeReads,  // read again
        };
        Kind kind = Kind::text;
        std::string payload;
        std::uint16_t closeCode = 1000;
        Seconds delay{0};  // waited (real time) after the previous step of the same script

        static Step text(std::string payload, Seconds delay = Seconds(0)) { return {Kind::text, std::move(payload), 1000, delay}; }
        static Step binary(std::string payload, Seconds delay = Seconds(0)) { return {Kind::binary, std::move(payload), 1000, delay}; }
        static Step close(std::uint16_t code, std::string reason = {}, Seconds delay = Seconds(0)) {
            return {Kind::close, std::move(reason), code, delay};
        }
        static Step drop(Seconds delay = Seconds(0)) { return {Kind::drop, {}, 1000, delay}; }
        static Step stallReads(Seconds delay = Seconds(0)) { return {Kind::stallReads, {}, 1000, delay}; }
        static Step resumeReads(Seconds delay = Seconds(0)) { return {Kind::resumeReads, {}, 1000, delay}; }
    };

    // What a client sent, in order. Data messages are whole (fragments joined).
    struct Frame {
        enum class Kind { text, binary, close, ping, pong };
        Kind kind = Kind::text;
        std::string payload;  // the message, the ping data, or the close reason
        std::optional<std::uint16_t> closeCode;  // close frames that carried one
        std::size_t fragments = 1;  // how many frames the message came in

        bool isData() const { return kind == Kind::text || kind == Kind::binary; }
    };

    // The upgrade request as it came (`connection` counts from 1 like the server's connections).
    struct HandshakeRequest : RecordedRequest {
        std::string query;  // after "?", still percent-encoded; empty when there is none
        std::vector<std::pair<std::string, std::string>> queryItems;  // decoded, in order; a
            // name without "=" has ""
        bool hasQueryItem(const std::string& name) const;
    };

    // One client connection as seen so far.
    struct Connection {
        HandshakeRequest handshake;
        bool upgraded = false;  // the upgrade was answered with 101
        std::vector<Frame> frames;  // everything received after the upgrade, in order
        bool clientClosedTcp = false;  // the client's side of TCP ended (or failed)
        std::string protocolError;  // why the server gave up on the client's bytes, if it did

        std::vector<Frame> dataFrames() const;  // text and binary only
        std::vector<std::string> texts() const;
        std::optional<std::uint16_t> clientCloseCode() const;  // the first close frame's code
    };

    using Predicate = std::function<bool(const Frame&)>;
    // Makes the steps that answer one frame (to echo it, say).
    using Responder = std::function<std::vector<Step>(const Frame&)>;

    LoopbackWebSocketServer();
    explicit LoopbackWebSocketServer(Options options);
    ~LoopbackWebSocketServer();
    LoopbackWebSocketServer(const LoopbackWebSocketServer&) = delete;
    LoopbackWebSocketServer& operator=(const LoopbackWebSocketServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:PORT" ("https://..." with TLS), the form OriginOverride takes.
    std::string origin() const;
    const std::string& certificatePEM() const { return certificatePEM_; }

    // --- the script, used by connections upgraded after it was set ---

    // Answer the upgrade with this status and body instead of 101 (then close).
    void setUpgradeRefusal(int status, std::string body = {});
    // Never answer the upgrade request at all (the connection stays open, silent).
    void setUpgradeUnanswered(bool unanswered);
    // Frames written together with the 101 answer, in the same single write.
    void setFramesWithUpgradeAnswer(std::vector<Step> textOrBinarySteps);
    // Steps run after the upgrade answer (and any frames sent with it).
    void setStepsAfterUpgrade(std::vector<Step> steps);
    // For each message (or control frame) a client sends, the first rule whose predicate holds
    // runs its steps; a rule made with `once` is used up by its first match. Rules are shared
    // by every connection.
    // Predicates and responders run on the server's thread and must not call the server.
    void addReply(Predicate predicate, std::vector<Step> steps, bool once = false);
    void addReply(Predicate predicate, Responder responder, bool once = false);
    // Stop or resume reading on every connection, now and for later ones (once upgraded).
    void setReadsStalled(bool stalled);

    // Runs steps on a connection now (the latest one by default).
    void run(std::vector<Step> steps, std::optional<std::size_t> connectionIndex = std::nullopt);

    // --- what was seen ---

    std::vector<Connection> connections() const;
    std::size_t connectionCount() const;
    // Waits (real time) until `predicate` holds for the connections seen so far; false when
    // `timeout` passes first.
    bool waitUntil(const std::function<bool(const std::vector<Connection>&)>& predicate, Seconds timeout = Seconds(10)) const;
    // Waits until connection `index` has received `count` frames matching `predicate`.
    bool waitForFrames(const Predicate& predicate, std::size_t count = 1, std::size_t index = 0, Seconds timeout = Seconds(10)) const;

    // --- predicates ---
    static Predicate anyText();
    static Predicate anyBinary();
    static Predicate textEquals(std::string text);
    // A text frame holding a JSON object whose member "type" is the string `type`.
    static Predicate jsonType(std::string type);
    static Predicate closeFrame();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
    std::string certificatePEM_;
    bool tls_ = false;
};

}  // namespace velmo::test
