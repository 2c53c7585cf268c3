#include "testing/LoopbackWebSocketServer.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <strings.h>
#include <thread>

namespace velmo::test {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

namespace {

constexpr std::size_t requestLimit = 64 * 1024;

enum Opcode : unsigned { continuation = 0x0, opText = 0x1, opBinary = 0x2, opClose = 0x8, opPing = 0x9, opPong = 0xA };

std::string encodeFrame(unsigned opcode, const std::string& payload) {
    std::string out;
    out.push_back(static_cast<char>(0x80 | opcode));
    std::size_t n = payload.size();
    if (n < 126) {
        out.push_back(static_cast<char>(n));
    } else if (n <= 0xFFFF) {
        out.push_back(126);
        out.push_back(static_cast<char>(n >> 8));
        out.push_back(static_cast<char>(n & 0xFF));
    } else {
        out.push_back(127);
        for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((static_cast<std::uint64_t>(n) >> shift) & 0xFF));
    }
    return out + payload;
}

std::string encodeClose(std::optional<std::uint16_t> code, const std::string& reason) {
    std::string payload;
    if (code) {
        payload.push_back(static_cast<char>(*code >> 8));
        payload.push_back(static_cast<char>(*code & 0xFF));
        payload += reason;
    }
    return encodeFrame(opClose, payload);
}

std::string encodeStep(const LoopbackWebSocketServer::Step& step) {
    using Kind = LoopbackWebSocketServer::Step::Kind;
    return encodeFrame(step.kind == Kind::binary ? opBinary : opText, step.payload);
}

std::string trim(const std::string& s) {
    auto begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    auto end = s.find_last_not_of(" \t");
    return s.substr(begin, end - begin + 1);
}

// Decodes "%XX" escapes; a malformed escape is kept as it stands.
std::string decodeQueryPart(const std::string& s) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string acceptKeyFor(const std::string& key) {
    std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_Digest(input.data(), input.size(), digest, &digestLength, EVP_sha1(), nullptr);
    unsigned char encoded[64];
    int length = EVP_EncodeBlock(encoded, digest, static_cast<int>(digestLength));
    return std::string(reinterpret_cast<char*>(encoded), static_cast<std::size_t>(length));
}

// A self-signed certificate for 127.0.0.1 and localhost with its P-256 key.
struct Identity {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    std::string pem;

    Identity() {
        key = EVP_EC_gen("P-256");
        certificate = X509_new();
        if (!key || !certificate) throw std::runtime_error("could not make a test certificate");
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), static_cast<long>(std::random_device{}() & 0x7FFFFFFF));
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("velmo loopback"), -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
        if (X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost")) {
            X509_add_ext(certificate, san, -1);
            X509_EXTENSION_free(san);
        }
        X509_sign(certificate, key, EVP_sha256());
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, certificate);
        char* data = nullptr;
        long length = BIO_get_mem_data(bio, &data);
        pem.assign(data, static_cast<std::size_t>(length));
        BIO_free(bio);
    }
    ~Identity() {
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;
};

}  // namespace

bool LoopbackWebSocketServer::HandshakeRequest::hasQueryItem(const std::string& name) const {
    for (const auto& item : queryItems) {
        if (item.first == name) return true;
    }
    return false;
}

std::vector<LoopbackWebSocketServer::Frame> LoopbackWebSocketServer::Connection::dataFrames() const {
    std::vector<Frame> out;
    for (const auto& frame : frames) {
        if (frame.isData()) out.push_back(frame);
    }
    return out;
}

std::vector<std::string> LoopbackWebSocketServer::Connection::texts() const {
    std::vector<std::string> out;
    for (const auto& frame : frames) {
        if (frame.kind == Frame::Kind::text) out.push_back(frame.payload);
    }
    return out;
}

std::optional<std::uint16_t> LoopbackWebSocketServer::Connection::clientCloseCode() const {
    for (const auto& frame : frames) {
        if (frame.kind == Frame::Kind::close) return frame.closeCode;
    }
    return std::nullopt;
}

struct LoopbackWebSocketServer::Impl {
    struct Peer;
    struct Rule {
        Predicate predicate;
        Responder responder;
        bool once = false;
        bool used = false;
    };

    net::io_context io;
    std::unique_ptr<Identity> identity;
    std::unique_ptr<net::ssl::context> tls;
    tcp::acceptor acceptor{io};
    std::thread thread;

    // Shared with the tests' threads.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Connection> records;
    std::optional<std::pair<int, std::string>> refusal;
    bool unanswered = false;
    std::vector<Step> withAnswer;
    std::vector<Step> afterUpgrade;
    std::vector<Rule> rules;
    bool readsStalled = false;

    std::vector<std::shared_ptr<Peer>> peers;  // I/O thread only

    template <class F>
    void record(std::size_t index, F&& update) {
        {
            std::lock_guard lock(mutex);
            update(records[index]);
        }
        changed.notify_all();
    }

    void accept();
};

// One client connection, driven on the server's thread.
struct LoopbackWebSocketServer::Impl::Peer : std::enable_shared_from_this<Peer> {
    Impl& server;
    std::size_t index;
    tcp::socket socket;
    std::unique_ptr<net::ssl::stream<tcp::socket&>> tlsStream;
    std::string input;  // bytes read and not yet handled
    std::deque<std::pair<std::string, bool>> output;  // bytes, then close the connection
    bool writing = false;
    bool reading = false;
    bool upgraded = false;
    bool stalled = false;
    bool closeSent = false;
    bool closed = false;
    std::optional<unsigned> fragmentOpcode;
    std::string fragments;
    std::size_t fragmentCount = 0;
    std::vector<std::shared_ptr<net::steady_timer>> timers;

    Peer(Impl& server, std::size_t index, tcp::socket socket)
        : server(server),
          index(index),
          socket(std::move(socket)) {
        if (server.tls) tlsStream = std::make_unique<net::ssl::stream<tcp::socket&>>(this->socket, *server.tls);
    }

    template <class Handler>
    void readSome(Handler&& handler) {
        auto buffer = std::make_shared<std::array<char, 16384>>();
        auto done = [buffer, handler = std::forward<Handler>(handler)](ErrorCode ec, std::size_t n) mutable {
            handler(ec, std::string_view(buffer->data(), n));
        };
        if (tlsStream)
            tlsStream->async_read_some(net::buffer(*buffer), std::move(done));
        else
            socket.async_read_some(net::buffer(*buffer), std::move(done));
    }

    template <class Handler>
    void writeAll(const std::shared_ptr<std::string>& bytes, Handler&& handler) {
        if (tlsStream)
            net::async_write(*tlsStream, net::buffer(*bytes), std::forward<Handler>(handler));
        else
            net::async_write(socket, net::buffer(*bytes), std::forward<Handler>(handler));
    }

    void start() {
        if (!tlsStream) return readRequest();
        tlsStream->async_handshake(net::ssl::stream_base::server, [self = shared_from_this()](ErrorCode ec) {
            if (ec) return self->closeNow();
            self->readRequest();
        });
    }

    void closeNow() {
        if (closed) return;
        closed = true;
        for (auto& timer : timers) timer->cancel();
        ErrorCode ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
    }

    void readRequest() {
        readSome([self = shared_from_this()](ErrorCode ec, std::string_view bytes) {
            if (ec) {
                self->server.record(self->index, [](Connection& c) { c.clientClosedTcp = true; });
                return self->closeNow();
            }
            self->input.append(bytes);
            auto end = self->input.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (self->input.size() > requestLimit) return self->closeNow();
                return self->readRequest();
            }
            std::string head = self->input.substr(0, end);
            self->input.erase(0, end + 4);
            self->answerUpgrade(head);
        });
    }

    void answerUpgrade(const std::string& head) {
        HandshakeRequest request;
        request.connection = index + 1;
        std::size_t lineEnd = head.find("\r\n");
        std::string requestLine = head.substr(0, lineEnd);
        auto firstSpace = requestLine.find(' ');
        auto secondSpace = requestLine.find(' ', firstSpace + 1);
        request.method = requestLine.substr(0, firstSpace);
        request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        auto question = request.target.find('?');
        request.path = request.target.substr(0, question);
        if (question != std::string::npos) {
            request.query = request.target.substr(question + 1);
            std::size_t start = 0;
            while (start <= request.query.size()) {
                auto amp = request.query.find('&', start);
                if (amp == std::string::npos) amp = request.query.size();
                std::string item = request.query.substr(start, amp - start);
                auto equals = item.find('=');
                request.queryItems.emplace_back(decodeQueryPart(item.substr(0, equals)),
                                                equals == std::string::npos ? std::string() : decodeQueryPart(item.substr(equals + 1)));
                start = amp + 1;
            }
        }
        std::size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (position < head.size()) {
            auto next = head.find("\r\n", position);
            if (next == std::string::npos) next = head.size();
            std::string line = head.substr(position, next - position);
            auto colon = line.find(':');
            if (colon != std::string::npos) request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
            position = next + 2;
        }

        std::optional<std::pair<int, std::string>> refusal;
        bool unanswered;
        std::vector<Step> withAnswer, afterUpgrade;
        {
            std::lock_guard lock(server.mutex);
            server.records[index].handshake = request;
            refusal = server.refusal;
            unanswered = server.unanswered;
            withAnswer = server.withAnswer;
            afterUpgrade = server.afterUpgrade;
            stalled = server.readsStalled;
        }
        server.changed.notify_all();
        if (unanswered) return;

        auto key = request.header("Sec-WebSocket-Key");
        auto upgrade = request.header("Upgrade");
        if (!refusal && (!key || !upgrade || strcasecmp(upgrade->c_str(), "websocket") != 0))
            refusal = std::make_pair(400, std::string("not a WebSocket upgrade"));
        if (refusal) {
            std::string answer = "HTTP/1.1 " + std::to_string(refusal->first) + " " + standardReasonPhrase(refusal->first) +
                                 "\r\nContent-Length: " + std::to_string(refusal->second.size()) + "\r\nConnection: close\r\n\r\n" +
                                 refusal->second;
            return write(std::move(answer), true);
        }
        std::string answer =
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " + acceptKeyFor(*key) +
            "\r\n\r\n";
        for (const auto& step : withAnswer) answer += encodeStep(step);
        upgraded = true;
        server.record(index, [](Connection& c) { c.upgraded = true; });
        write(std::move(answer), false);
        runSteps(std::move(afterUpgrade));
        handleInput();
    }

    void write(std::string bytes, bool thenClose) {
        if (closed) return;
        output.emplace_back(std::move(bytes), thenClose);
        flush();
    }

    void flush() {
        if (writing || output.empty() || closed) return;
        auto [bytes, thenClose] = std::move(output.front());
        output.pop_front();
        writing = true;
        auto shared = std::make_shared<std::string>(std::move(bytes));
        writeAll(shared, [self = shared_from_this(), shared, thenClose = thenClose](ErrorCode ec, std::size_t) {
            self->writing = false;
            if (ec || thenClose) return self->closeNow();
            self->flush();
        });
    }

    void armRead() {
        if (reading || stalled || closed || !upgraded) return;
        reading = true;
        readSome([self = shared_from_this()](ErrorCode ec, std::string_view bytes) {
            self->reading = false;
            if (ec) {
                self->server.record(self->index, [](Connection& c) { c.clientClosedTcp = true; });
                return self->closeNow();
            }
            self->input.append(bytes);
            self->handleInput();
        });
    }

    void protocolError(const std::string& why) {
        server.record(index, [&](Connection& c) { c.protocolError = why; });
        write(encodeClose(1002, {}), true);
    }

    // Handles every whole frame in `input`, unless reads are stalled.
    void handleInput() {
        while (!stalled && !closed) {
            if (input.size() < 2) break;
            auto byte0 = static_cast<unsigned char>(input[0]);
            auto byte1 = static_cast<unsigned char>(input[1]);
            bool fin = byte0 & 0x80;
            unsigned opcode = byte0 & 0x0F;
            bool masked = byte1 & 0x80;
            std::uint64_t length = byte1 & 0x7F;
            std::size_t offset = 2;
            if (length == 126) {
                if (input.size() < 4) break;
                length = (static_cast<unsigned char>(input[2]) << 8) | static_cast<unsigned char>(input[3]);
                offset = 4;
            } else if (length == 127) {
                if (input.size() < 10) break;
                length = 0;
                for (int i = 0; i < 8; ++i) length = (length << 8) | static_cast<unsigned char>(input[2 + i]);
                offset = 10;
            }
            if (byte0 & 0x70) return protocolError("reserved bits set");
            if (!masked) return protocolError("a client frame without a mask");
            if (opcode >= 0x8 && (!fin || length > 125)) return protocolError("a fragmented or long control frame");
            if (input.size() < offset + 4 + length) break;
            const char* mask = input.data() + offset;
            std::string payload = input.substr(offset + 4, length);
            for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(payload[i] ^ mask[i % 4]);
            input.erase(0, offset + 4 + length);
            handleFrame(fin, opcode, std::move(payload));
        }
        armRead();
    }

    void handleFrame(bool fin, unsigned opcode, std::string payload) {
        Frame frame;
        switch (opcode) {
            case opText:
            case opBinary:
                if (fragmentOpcode) return protocolError("a new message inside a fragmented one");
                if (!fin) {
                    fragmentOpcode = opcode;
                    fragments = std::move(payload);
                    fragmentCount = 1;
                    return;
                }
                frame.kind = opcode == opText ? Frame::Kind::text : Frame::Kind::binary;
                frame.payload = std::move(payload);
                break;
            case continuation:
                if (!fragmentOpcode) return protocolError("a continuation without a message");
                fragments += payload;
                ++fragmentCount;
                if (!fin) return;
                frame.kind = *fragmentOpcode == opText ? Frame::Kind::text : Frame::Kind::binary;
                frame.payload = std::move(fragments);
                frame.fragments = fragmentCount;
                fragments.clear();
                fragmentOpcode.reset();
                break;
            case opClose:
                frame.kind = Frame::Kind::close;
                if (payload.size() >= 2) {
                    frame.closeCode =
                        static_cast<std::uint16_t>((static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]));
                    frame.payload = payload.substr(2);
                }
                break;
            case opPing:
                frame.kind = Frame::Kind::ping;
                frame.payload = payload;
                break;
            case opPong:
                frame.kind = Frame::Kind::pong;
                frame.payload = payload;
                break;
            default:
                return protocolError("an unknown opcode");
        }

        std::vector<Step> reply;
        {
            std::lock_guard lock(server.mutex);
            server.records[index].frames.push_back(frame);
            for (auto& rule : server.rules) {
                if (rule.used || !rule.predicate(frame)) continue;
                if (rule.once) rule.used = true;
                reply = rule.responder(frame);
                break;
            }
        }
        server.changed.notify_all();

        if (frame.kind == Frame::Kind::ping) write(encodeFrame(opPong, frame.payload), false);
        if (frame.kind == Frame::Kind::close) {
            // Answer the close (unless this ends our own), then end the connection.
            if (!closeSent) {
                closeSent = true;
                write(encodeClose(frame.closeCode, {}), true);
            } else {
                closeNow();
            }
            return;
        }
        runSteps(std::move(reply));
    }

    void runSteps(std::vector<Step> steps) {
        if (steps.empty()) return;
        auto chain = std::make_shared<std::vector<Step>>(std::move(steps));
        runStep(chain, 0);
    }

    void runStep(const std::shared_ptr<std::vector<Step>>& chain, std::size_t at) {
        if (at >= chain->size() || closed) return;
        const Step& step = (*chain)[at];
        if (step.delay.count() > 0) {
            auto timer = std::make_shared<net::steady_timer>(server.io);
            timers.push_back(timer);
            timer->expires_after(std::chrono::duration_cast<net::steady_timer::duration>(step.delay));
            timer->async_wait([self = shared_from_this(), chain, at, timer](ErrorCode ec) {
                std::erase(self->timers, timer);
                if (ec) return;
                self->perform((*chain)[at]);
                self->runStep(chain, at + 1);
            });
            return;
        }
        perform(step);
        runStep(chain, at + 1);
    }

    void perform(const Step& step) {
        if (closed) return;
        switch (step.kind) {
            case Step::Kind::text:
            case Step::Kind::binary:
                if (!closeSent) write(encodeStep(step), false);
                break;
            case Step::Kind::close:
                if (!closeSent) {
                    closeSent = true;
                    write(encodeClose(step.closeCode, step.payload), false);
                }
                break;
            case Step::Kind::drop:
                // After what earlier steps wrote, so their frames still go out first.
                if (writing || !output.empty())
                    output.emplace_back(std::string(), true);
                else
                    closeNow();
                break;
            case Step::Kind::stallReads:
                stalled = true;
                break;
            case Step::Kind::resumeReads:
                stalled = false;
                handleInput();
                break;
        }
    }
};

void LoopbackWebSocketServer::Impl::accept() {
    acceptor.async_accept([this](ErrorCode ec, tcp::socket socket) {
        if (ec) return;
        std::size_t index;
        {
            std::lock_guard lock(mutex);
            index = records.size();
            records.emplace_back();
        }
        changed.notify_all();
        ErrorCode ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        auto peer = std::make_shared<Peer>(*this, index, std::move(socket));
        peers.push_back(peer);
        peer->start();
        accept();
    });
}

LoopbackWebSocketServer::LoopbackWebSocketServer()
    : LoopbackWebSocketServer(Options{}) {}

LoopbackWebSocketServer::LoopbackWebSocketServer(Options options)
    : impl_(std::make_shared<Impl>()),
      tls_(options.tls) {
    if (tls_) {
        impl_->identity = std::make_unique<Identity>();
        certificatePEM_ = impl_->identity->pem;
        impl_->tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
        SSL_CTX_use_certificate(impl_->tls->native_handle(), impl_->identity->certificate);
        SSL_CTX_use_PrivateKey(impl_->tls->native_handle(), impl_->identity->key);
    }
    tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    port_ = impl_->acceptor.local_endpoint().port();
    impl_->accept();
    impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

LoopbackWebSocketServer::~LoopbackWebSocketServer() {
    net::post(impl_->io, [impl = impl_.get()] {
        ErrorCode ignored;
        impl->acceptor.close(ignored);
        for (auto& peer : impl->peers) peer->closeNow();
        impl->peers.clear();
        impl->io.stop();
    });
    impl_->thread.join();
}

std::string LoopbackWebSocketServer::origin() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void LoopbackWebSocketServer::setUpgradeRefusal(int status, std::string body) {
    std::lock_guard lock(impl_->mutex);
    impl_->refusal = std::make_pair(status, std::move(body));
}

void LoopbackWebSocketServer::setUpgradeUnanswered(bool unanswered) {
    std::lock_guard lock(impl_->mutex);
    impl_->unanswered = unanswered;
}

void LoopbackWebSocketServer::setFramesWithUpgradeAnswer(std::vector<Step> steps) {
    for (const auto& step : steps) {
        if (step.kind != Step::Kind::text && step.kind != Step::Kind::binary) {
            throw std::invalid_argument("only text and binary frames can go with the upgrade answer");
        }
    }
    std::lock_guard lock(impl_->mutex);
    impl_->withAnswer = std::move(steps);
}

void LoopbackWebSocketServer::setStepsAfterUpgrade(std::vector<Step> steps) {
    std::lock_guard lock(impl_->mutex);
    impl_->afterUpgrade = std::move(steps);
}

void LoopbackWebSocketServer::addReply(Predicate predicate, std::vector<Step> steps, bool once) {
    addReply(
        std::move(predicate), [steps = std::move(steps)](const Frame&) { return steps; }, once);
}

void LoopbackWebSocketServer::addReply(Predicate predicate, Responder responder, bool once) {
    std::lock_guard lock(impl_->mutex);
    impl_->rules.push_back({std::move(predicate), std::move(responder), once, false});
}

void LoopbackWebSocketServer::setReadsStalled(bool stalled) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->readsStalled = stalled;
    }
    net::post(impl_->io, [impl = impl_.get(), stalled] {
        for (auto& peer : impl->peers) {
            if (!peer->upgraded) continue;
            peer->perform(stalled ? Step::stallReads() : Step::resumeReads());
        }
    });
}

void LoopbackWebSocketServer::run(std::vector<Step> steps, std::optional<std::size_t> connectionIndex) {
    net::post(impl_->io, [impl = impl_.get(), steps = std::move(steps), connectionIndex]() mutable {
        if (impl->peers.empty()) return;
        std::size_t index = connectionIndex.value_or(impl->peers.size() - 1);
        if (index < impl->peers.size()) impl->peers[index]->runSteps(std::move(steps));
    });
}

std::vector<LoopbackWebSocketServer::Connection> LoopbackWebSocketServer::connections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->records;
}

std::size_t LoopbackWebSocketServer::connectionCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->records.size();
}

bool LoopbackWebSocketServer::waitUntil(const std::function<bool(const std::vector<Connection>&)>& predicate, Seconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return predicate(impl_->records); });
}

bool LoopbackWebSocketServer::waitForFrames(const Predicate& predicate, std::size_t count, std::size_t index, Seconds timeout) const {
    return waitUntil(
        [&](const std::vector<Connection>& connections) {
            if (index >= connections.size()) return false;
            std::size_t seen = 0;
            for (const auto& frame : connections[index].frames) {
                if (predicate(frame)) ++seen;
            }
            return seen >= count;
        },
        timeout);
}

LoopbackWebSocketServer::Predicate LoopbackWebSocketServer::anyText() {
    return [](const Frame& frame) { return frame.kind == Frame::Kind::text; };
}

LoopbackWebSocketServer::Predicate LoopbackWebSocketServer::anyBinary() {
    return [](const Frame& frame) { return frame.kind == Frame::Kind::binary; };
}

LoopbackWebSocketServer::Predicate LoopbackWebSocketServer::textEquals(std::string text) {
    return [text = std::move(text)](const Frame& frame) { return frame.kind == Frame::Kind::text && frame.payload == text; };
}

LoopbackWebSocketServer::Predicate LoopbackWebSocketServer::jsonType(std::string type) {
    return [type = std::move(type)](const Frame& frame) {
        if (frame.kind != Frame::Kind::text) return false;
        auto json = nlohmann::json::parse(frame.payload, nullptr, false);
        if (json.is_discarded() || !json.is_object()) return false;
        auto member = json.find("type");
        return member != json.end() && member->is_string() && member->get<std::string>() == type;
    };
}

LoopbackWebSocketServer::Predicate LoopbackWebSocketServer::closeFrame() {
    return [](const Frame& frame) { return frame.kind == Frame::Kind::close; };
}

}  // namespace velmo::test
