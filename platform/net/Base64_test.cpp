#include "platform/net/Base64.h"

#include <gtest/gtest.h>

using velmo::Base64;

TEST(Base64, EncodesWithTheStandardAlphabetAndPadding) {
    struct Case {
        std::string in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xfb\xff\xfe", 3), "+//+"},
        {std::string("\x89PNG\r\n\x1a\n", 8), "iVBORw0KGgo="},
        {std::string(3, '\0'), "AAAA"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64::encode(c.in), c.out);
        EXPECT_EQ(Base64::encodedSize(c.in.size()), std::string(c.out).size());
        EXPECT_EQ(Base64::decode(c.out), c.in);
    }
    std::string appended = "prefix:";
    Base64::encodeAppending("foo", appended);
    EXPECT_EQ(appended, "prefix:Zm9v");
}

TEST(Base64, LongInputHasNoLineBreaksAndRoundTrips) {
    std::string bytes;
    for (int i = 0; i < 100000; ++i) bytes.push_back(static_cast<char>(i * 7 + (i >> 8)));
    std::string text = Base64::encode(bytes);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.size(), Base64::encodedSize(bytes.size()));
    EXPECT_EQ(Base64::decode(text), bytes);
}

TEST(Base64, DecodingRefusesWhatIsNotPaddedStandardBase64) {
    for (const char* bad : {"Zg", "Zg=", "Zm9v\n", "Zm-v", "Zm_v", "=Zm9", "Zm=v", "AB==", "Zh==", "Zm9=", "Zm9vYmF="})
        EXPECT_FALSE(Base64::decode(bad)) << bad;
    EXPECT_EQ(Base64::decode("AA=="), std::optional<std::string>(std::string(1, '\0')));
    EXPECT_EQ(Base64::decode("Zm8="), std::optional<std::string>("fo"));
}
