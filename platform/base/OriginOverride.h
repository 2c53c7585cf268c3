#pragma once

#include <optional>
#include <string>

namespace velmo {

// Redirects every connection to a host towards another origin (tests: a loopback server at
// "http://127.0.0.1:PORT"). The clients keep building their real URLs; the transport layers (URL
// session, WebSocket) consult this table when they connect. Thread-safe.
class OriginOverride {
public:
    // `origin` is scheme://host[:port] with no path, for example "http://127.0.0.1:41234".
    static void set(const std::string& host, const std::string& origin);
    static void remove(const std::string& host);
    static void clear();
    static std::optional<std::string> lookup(const std::string& host);
    // Rewrites an absolute URL whose host is overridden: "https://api.example.com/v1/x?y" becomes
    // "http://127.0.0.1:41234/v1/x?y". Other URLs come back unchanged. WebSocket URLs keep their
    // kind: an "http" origin turns "wss://" into "ws://".
    static std::string apply(const std::string& url);

    // Sets one override for the life of the object (tests).
    class Scope {
    public:
        Scope(std::string host, const std::string& origin)
            : host_(std::move(host)) {
            set(host_, origin);
        }
        ~Scope() { remove(host_); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        std::string host_;
    };
};

}  // namespace velmo
