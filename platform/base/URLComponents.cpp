#include "platform/base/URLComponents.h"

#include <charconv>

namespace velmo {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) {
    switch (c) {
        case '!':
        case '$':
        case '&':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '+':
        case ',':
        case ';':
        case '=':
            return true;
        default:
            return false;
    }
}

// Characters a component may hold as they are (besides "%XX" escapes).
bool allowedIn(char c, std::string_view extra) { return isUnreserved(c) || isSubDelim(c) || extra.find(c) != std::string_view::npos; }

bool validComponent(std::string_view text, std::string_view extra) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
            i += 2;
        } else if (!allowedIn(c, extra)) {
            return false;
        }
    }
    return true;
}

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

}  // namespace

std::string URLComponents::percentEncode(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (isUnreserved(static_cast<char>(c))) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0xF]);
        }
    }
    return out;
}

std::optional<std::string> URLComponents::percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
        out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
        i += 2;
    }
    return out;
}

std::optional<URLComponents> URLComponents::fromString(std::string_view text) {
    URLComponents c;
    std::string_view rest = text;

    // scheme: a letter, then letters, digits, "+", "-", "." up to the first ":" (if that ":"
    // comes before any "/", "?" or "#"; otherwise the text is a relative reference).
    auto colon = rest.find(':');
    auto firstDelimiter = rest.find_first_of("/?#");
    if (colon != std::string_view::npos && (firstDelimiter == std::string_view::npos || colon < firstDelimiter)) {
        std::string_view scheme = rest.substr(0, colon);
        if (scheme.empty() || !isAlpha(scheme.front())) return std::nullopt;
        for (char ch : scheme) {
            if (!isAlpha(ch) && !isDigit(ch) && ch != '+' && ch != '-' && ch != '.') return std::nullopt;
        }
        c.scheme = std::string(scheme);
        rest.remove_prefix(colon + 1);
    }

    auto hash = rest.find('#');
    if (hash != std::string_view::npos) {
        std::string_view fragment = rest.substr(hash + 1);
        if (!validComponent(fragment, ":@/?")) return std::nullopt;
        c.percentEncodedFragment = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    auto question = rest.find('?');
    if (question != std::string_view::npos) {
        std::string_view query = rest.substr(question + 1);
        if (!validComponent(query, ":@/?")) return std::nullopt;
        c.percentEncodedQuery = std::string(query);
        rest = rest.substr(0, question);
    }

    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        auto at = authority.rfind('@');
        if (at != std::string_view::npos) {
            std::string_view userInfo = authority.substr(0, at);
            if (!validComponent(userInfo, ":")) return std::nullopt;
            c.percentEncodedUserInfo = std::string(userInfo);
            authority.remove_prefix(at + 1);
        }
        std::string_view host = authority;
        std::string_view port;
        if (!authority.empty() && authority.front() == '[') {  // an IPv6 literal
            auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            host = authority.substr(0, close + 1);
            for (char ch : host.substr(1, host.size() - 2)) {
                if (!isHex(ch) && ch != ':' && ch != '.') return std::nullopt;
            }
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                port = after.substr(1);
            }
        } else {
            auto portColon = authority.rfind(':');
            if (portColon != std::string_view::npos) {
                host = authority.substr(0, portColon);
                port = authority.substr(portColon + 1);
            }
            if (!validComponent(host, "")) return std::nullopt;
        }
        if (!port.empty()) {
            int value = 0;
            auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
            if (ec != std::errc() || end != port.data() + port.size() || value < 0 || value > 65535) return std::nullopt;
            for (char ch : port) {
                if (!isDigit(ch)) return std::nullopt;
            }
            c.port = value;
        }
        c.host = std::string(host);
    }

    if (!validComponent(rest, ":@/")) return std::nullopt;
    c.percentEncodedPath = std::string(rest);
    return c;
}

void URLComponents::setQueryItems(const std::vector<URLQueryItem>& items) {
    if (items.empty()) {
        percentEncodedQuery.reset();
        return;
    }
    std::string query;
    for (const auto& item : items) {
        // By position: a leading item with an empty name and no value adds nothing to the text.
        if (&item != &items.front()) query.push_back('&');
        query += percentEncode(item.name);
        if (item.value) {
            query.push_back('=');
            query += percentEncode(*item.value);
        }
    }
    percentEncodedQuery = std::move(query);
}

std::vector<URLQueryItem> URLComponents::queryItems() const {
    std::vector<URLQueryItem> items;
    if (!percentEncodedQuery) return items;
    std::string_view query = *percentEncodedQuery;
    std::size_t start = 0;
    while (start <= query.size()) {
        auto end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        std::string_view piece = query.substr(start, end - start);
        URLQueryItem item;
        auto equals = piece.find('=');
        std::string_view name = piece.substr(0, equals);
        item.name = percentDecode(name).value_or(std::string(name));
        if (equals != std::string_view::npos) {
            std::string_view value = piece.substr(equals + 1);
            item.value = percentDecode(value).value_or(std::string(value));
        }
        items.push_back(std::move(item));
        start = end + 1;
    }
    return items;
}

std::optional<std::string> URLComponents::url() const {
    bool hasAuthority = host.has_value();
    if (hasAuthority && !percentEncodedPath.empty() && percentEncodedPath.front() != '/') return std::nullopt;
    if (!hasAuthority && percentEncodedPath.rfind("//", 0) == 0) return std::nullopt;
    if (!hasAuthority && (port || percentEncodedUserInfo)) return std::nullopt;
    std::string out;
    if (!scheme.empty()) out += scheme + ":";
    if (hasAuthority) {
        out += "//";
        if (percentEncodedUserInfo) out += *percentEncodedUserInfo + "@";
        out += *host;
        if (port) out += ":" + std::to_string(*port);
    }
    out += percentEncodedPath;
    if (percentEncodedQuery) out += "?" + *percentEncodedQuery;
    if (percentEncodedFragment) out += "#" + *percentEncodedFragment;
    return out;
}

}  // namespace velmo
