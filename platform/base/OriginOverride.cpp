#include "platform/base/OriginOverride.h"

#include "platform/base/URLComponents.h"

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
    auto parts = URLComponents::fromString(url);
    if (!parts || parts->scheme.empty() || !parts->host) return url;
    auto origin = lookup(*parts->host);
    if (!origin) return url;
    auto target = URLComponents::fromString(*origin);
    if (!target || !target->host) return url;
    if (parts->scheme == "ws" || parts->scheme == "wss") {
        if (target->scheme == "https")
            target->scheme = "wss";
        else if (target->scheme == "http")
            target->scheme = "ws";
    }
    // The original port goes with its host; path, query and fragment stay.
    target->percentEncodedPath += parts->percentEncodedPath;
    target->percentEncodedQuery = parts->percentEncodedQuery;
    target->percentEncodedFragment = parts->percentEncodedFragment;
    return target->url().value_or(url);
}

}  // namespace velmo
