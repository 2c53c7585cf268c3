#include "platform/foundation/OriginOverride.h"

#include <map>
#include <mutex>

namespace velmo {
namespace {
std::mutex& tableMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, std::string>& table() {
    static std::map<std::string, std::string> t;
    return t;
}

struct SplitUrl {
    std::string scheme, host, rest;  // rest: ":port/path?query" or "/path..."
};

std::optional<SplitUrl> split(const std::string& url) {
    auto schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos) return std::nullopt;
    SplitUrl s;
    s.scheme = url.substr(0, schemeEnd);
    std::size_t hostStart = schemeEnd + 3;
    std::size_t hostEnd = url.find_first_of(":/?#", hostStart);
    if (hostEnd == std::string::npos) hostEnd = url.size();
    s.host = url.substr(hostStart, hostEnd - hostStart);
    std::size_t restStart = hostEnd;
    if (restStart < url.size() && url[restStart] == ':') {  // drop the original port
        restStart = url.find_first_of("/?#", restStart);
        if (restStart == std::string::npos) restStart = url.size();
    }
    s.rest = url.substr(restStart);
    return s;
}
}  // namespace

void OriginOverride::set(const std::string& host, const std::string& origin) {
    std::lock_guard lock(tableMutex());
    std::string o = origin;
    while (!o.empty() && o.back() == '/') o.pop_back();
    table()[host] = o;
}

void OriginOverride::remove(const std::string& host) {
    std::lock_guard lock(tableMutex());
    table().erase(host);
}

void OriginOverride::clear() {
    std::lock_guard lock(tableMutex());
    table().clear();
}

std::optional<std::string> OriginOverride::lookup(const std::string& host) {
    std::lock_guard lock(tableMutex());
    auto it = table().find(host);
    if (it == table().end()) return std::nullopt;
    return it->second;
}

std::string OriginOverride::apply(const std::string& url) {
    auto parts = split(url);
    if (!parts) return url;
    auto origin = lookup(parts->host);
    if (!origin) return url;
    std::string target = *origin;
    bool webSocket = parts->scheme == "ws" || parts->scheme == "wss";
    if (webSocket) {
        if (target.rfind("https://", 0) == 0) target = "wss://" + target.substr(8);
        else if (target.rfind("http://", 0) == 0) target = "ws://" + target.substr(7);
    }
    return target + parts->rest;
}

}  // namespace velmo
