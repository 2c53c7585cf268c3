// Whatever bytes a server answers with (status line, headers, chunked or counted bodies, early
// ends) must end every kind of transfer with a response or an error, never a crash or a hang.
// The first byte picks the transfer: whole body, whole body within small bounds, or the body
// split into lines as it would stream.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/net/URLSession.h"
#include "platform/runtime/VirtualMainLoop.h"

namespace {

// Answers every connection with the current bytes once its request head has arrived, then
// closes it.
class RawAnswerServer {
public:
    RawAnswerServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 16);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        std::thread([this] { serve(); }).detach();  // lives as long as the process
    }
    int port() const { return port_; }
    void setAnswer(std::string bytes) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(bytes);
    }

private:
    void serve() {
        for (;;) {
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::read(connection, buffer, sizeof buffer);
                if (n <= 0) break;
                head.append(buffer, std::size_t(n));
            }
            std::string answer;
            {
                std::lock_guard lock(mutex_);
                answer = answer_;
            }
            std::string_view rest(answer);
            while (!rest.empty()) {
                const ssize_t n = ::send(connection, rest.data(), rest.size(), MSG_NOSIGNAL);
                if (n <= 0) break;
                rest.remove_prefix(std::size_t(n));
            }
            ::shutdown(connection, SHUT_RDWR);
            ::close(connection);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::string answer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static RawAnswerServer server;
    static velmo::VirtualMainLoopScope loop;
    static velmo::URLSession session;
    if (size == 0) return 0;
    const int mode = data[0] % 3;
    server.setAnswer(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));

    velmo::URLRequest request("http://127.0.0.1:" + std::to_string(server.port()) + "/answer", velmo::Seconds(2));
    if (mode == 1) {
        request.maximumBodyBytes = 256;
        request.maximumErrorBodyBytes = 16;
    }
    std::atomic<bool> done{false};
    auto task = session.dataTask(std::move(request), [&](std::string body, std::optional<velmo::URLResponse>, std::exception_ptr) {
        if (mode == 2) {
            velmo::LineBuffer lines;
            std::string line;
            for (std::size_t at = 0; at < body.size(); at += 7) {
                lines.append(std::string_view(body).substr(at, 7));
                while (lines.nextLine(line)) (void)line.size();
            }
            lines.finish();
            while (lines.nextLine(line)) (void)line.size();
        }
        done = true;
    });
    task->resume();
    // The server closes after its bytes, so a transfer can only wait for the idle time-out.
    if (!loop.loop().runUntil([&] { return done.load(); }, velmo::Seconds(5))) __builtin_trap();
    return 0;
}
