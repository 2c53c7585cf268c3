#include <gtest/gtest.h>

#include "platform/base/URLComponents.h"

using namespace velmo;

TEST(URLComponents, TakesApartAndRebuildsWellFormedURLs) {
    struct Case {
        const char* text;
        const char* scheme;
        const char* host;  // nullptr: no authority
        std::optional<int> port;
        const char* path;
        const char* query;  // nullptr: none
    } cases[] = {
        {"wss://streaming.example.com/v3/ws", "wss", "streaming.example.com", std::nullopt, "/v3/ws", nullptr},
        {"ws://127.0.0.1:4123/v3/ws?a=1&b", "ws", "127.0.0.1", 4123, "/v3/ws", "a=1&b"},
        {"wss://[::1]:8443/x", "wss", "[::1]", 8443, "/x", nullptr},
        {"https://example.com", "https", "example.com", std::nullopt, "", nullptr},
        {"https://example.com?", "https", "example.com", std::nullopt, "", ""},
        {"mailto:someone@example.com", "mailto", nullptr, std::nullopt, "someone@example.com", nullptr},
        {"/relative/path?q=%20", "", nullptr, std::nullopt, "/relative/path", "q=%20"},
    };
    for (const auto& c : cases) {
        auto components = URLComponents::fromString(c.text);
        ASSERT_TRUE(components.has_value()) << c.text;
        EXPECT_EQ(components->scheme, c.scheme) << c.text;
        EXPECT_EQ(components->host.has_value(), c.host != nullptr) << c.text;
        if (c.host) {
            EXPECT_EQ(*components->host, c.host) << c.text;
        }
        EXPECT_EQ(components->port, c.port) << c.text;
        EXPECT_EQ(components->percentEncodedPath, c.path) << c.text;
        EXPECT_EQ(components->percentEncodedQuery.has_value(), c.query != nullptr) << c.text;
        if (c.query) {
            EXPECT_EQ(*components->percentEncodedQuery, c.query) << c.text;
        }
        EXPECT_EQ(components->url(), std::optional<std::string>(c.text)) << c.text;
    }
}

TEST(URLComponents, RefusesTextThatIsNotAWellFormedURL) {
    const char* cases[] = {
        "wss://exa mple.com/",  // a space
        "wss://example.com/a b",  // a space in the path
        "wss://example.com/\r\nX: y",  // a line break
        "wss://example.com/?q=\"x\"",  // quotes must be encoded
        "wss://example.com/%zz",  // a bad escape
        "wss://example.com/%4",  // a cut escape
        "wss://example.com:port/",  // a port that is not a number
        "wss://example.com:99999/",  // a port out of range
        "1wss://example.com/",  // a scheme must start with a letter
        "wss://[::1/",  // an unclosed IPv6 literal
        "wss://example.com/caf\xc3\xa9",  // non-ASCII must be encoded
    };
    for (const char* text : cases) EXPECT_FALSE(URLComponents::fromString(text).has_value()) << text;
}

TEST(URLComponents, QueryItemsAreEncodedSoNoValueCanChangeTheQuery) {
    auto components = URLComponents::fromString("wss://streaming.example.com/v3/ws");
    ASSERT_TRUE(components);
    std::vector<URLQueryItem> items = {
        {"sample_rate", "16000"},
        {"keyterms_prompt", R"(["Xcode","C++ & co","caf\u00e9 #1"])"},
        {"token", "a+b=c&d=e"},
        {"flag", std::nullopt},
        {"empty", ""},
        {"spaced name", "line\r\nbreak"},
    };
    components->setQueryItems(items);
    auto url = components->url();
    ASSERT_TRUE(url);
    EXPECT_EQ(*url,
              "wss://streaming.example.com/v3/ws?sample_rate=16000"
              "&keyterms_prompt=%5B%22Xcode%22%2C%22C%2B%2B%20%26%20co%22%2C%22caf%5Cu00e9%20%231%22%5D"
              "&token=a%2Bb%3Dc%26d%3De&flag&empty=&spaced%20name=line%0D%0Abreak");
    EXPECT_EQ(components->queryItems(), items);
    // What it builds is itself a well-formed URL that reads back the same.
    auto reparsed = URLComponents::fromString(*url);
    ASSERT_TRUE(reparsed);
    EXPECT_EQ(reparsed->queryItems(), items);

    components->setQueryItems({});
    EXPECT_EQ(components->url(), std::optional<std::string>("wss://streaming.example.com/v3/ws"));

    // A leading item with an empty name and no value keeps its place.
    const std::vector<std::vector<URLQueryItem>> leading = {
        {{"", std::nullopt}, {"a", "1"}},
        {{"", std::nullopt}, {"", std::nullopt}},
        {{"", std::nullopt}},
    };
    for (const auto& list : leading) {
        components->setQueryItems(list);
        EXPECT_EQ(components->queryItems(), list) << components->url().value_or("?");
        EXPECT_EQ(URLComponents::fromString(*components->url())->queryItems(), list) << *components->url();
    }
}

TEST(URLComponents, NonASCIIValuesAreEncodedBytewise) {
    EXPECT_EQ(URLComponents::percentEncode("caf\xc3\xa9 ~-._"), "caf%C3%A9%20~-._");
    EXPECT_EQ(URLComponents::percentDecode("caf%C3%a9%20"), std::optional<std::string>("caf\xc3\xa9 "));
    EXPECT_FALSE(URLComponents::percentDecode("%G0").has_value());
    EXPECT_FALSE(URLComponents::percentDecode("abc%").has_value());
}

TEST(URLComponents, ComponentsThatFormNoURLGiveNothing) {
    URLComponents withHost;
    withHost.scheme = "wss";
    withHost.host = "example.com";
    withHost.percentEncodedPath = "v3/ws";  // must start with "/" after a host
    EXPECT_FALSE(withHost.url().has_value());

    URLComponents withoutHost;
    withoutHost.scheme = "wss";
    withoutHost.percentEncodedPath = "//v3/ws";  // would read as an authority
    EXPECT_FALSE(withoutHost.url().has_value());

    URLComponents portOnly;
    portOnly.port = 80;
    EXPECT_FALSE(portOnly.url().has_value());
}
