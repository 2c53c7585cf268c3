#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo {

// One name/value pair of a URL's query, unencoded. An item without a value is written as its
// name alone.
struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;

    bool operator==(const URLQueryItem&) const = default;
};

// An absolute or relative URL taken apart into its components, and put together again.
// Components keep their percent-encoded form; query items are encoded when set and decoded
// when read.
class URLComponents {
public:
    URLComponents() = default;
    // Nothing when the text is not a well-formed URL: characters that must be encoded but are
    // not (spaces, controls, non-ASCII, quotes, angle brackets...), a bad percent escape, a bad
    // scheme or a port that is not a number.
    static std::optional<URLComponents> fromString(std::string_view text);

    std::string scheme;  // without ":"; empty for a relative URL
    std::optional<std::string> percentEncodedUserInfo;  // before "@" in the authority
    std::optional<std::string> host;  // present when the URL has an authority
    std::optional<int> port;
    std::string percentEncodedPath;
    std::optional<std::string> percentEncodedQuery;  // without "?"
    std::optional<std::string> percentEncodedFragment;  // without "#"

    // Replaces the query. Names and values are percent-encoded so that nothing in them but
    // letters, digits and "-._~" survives as itself: "&", "=", "+", "#" and the like cannot
    // change how the query splits or reads. An empty list removes the query.
    void setQueryItems(const std::vector<URLQueryItem>& items);
    // The query split at "&" and at the first "=" of each item, decoded.
    std::vector<URLQueryItem> queryItems() const;

    // The URL these components form; nothing when they form none (a path that does not start
    // with "/" after a host, a path starting with "//" without one, a port without a host).
    std::optional<std::string> url() const;

    // Percent-encodes every byte that is not a letter, a digit or one of "-._~".
    static std::string percentEncode(std::string_view text);
    // Decodes "%XX" escapes; nothing when an escape is malformed.
    static std::optional<std::string> percentDecode(std::string_view text);
};

}  // namespace velmo
