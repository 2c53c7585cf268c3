#include "platform/foundation/Unicode.h"

#include <gtest/gtest.h>

namespace velmo {
namespace {

struct Case {
    std::string input;
    std::string expected;
};

TEST(UnicodeTest, TrimWhitespaceAndNewlines) {
    const std::vector<Case> cases = {
        {"  hello \n", "hello"},
        {"\u00A0x\u00A0", "x"},  // no-break space
        {"\u2028x\u2029", "x"},  // line and paragraph separators
        {"\u0085x\u0085", "x"},  // next line
        {"\t\v\f\r\nx\r\n", "x"},
        {"\u3000x\u2003", "x"},  // ideographic and em spaces
        {"a b \u00A0 c", "a b \u00A0 c"},  // inner white space kept
        {"\u200Bx\u200B", "\u200Bx\u200B"},  // zero-width space is a format character
        {" \n\u00A0 ", ""},
        {"", ""},
        {"\xFF x \xC3 ", "\xFF x \xC3"},  // malformed bytes kept as they are
    };
    for (const auto& c : cases) EXPECT_EQ(trimWhitespaceAndNewlines(c.input), c.expected) << c.input;
}

TEST(UnicodeTest, TrimWhitespaceLeavesLineBreaks) {
    const std::vector<Case> cases = {
        {"\t x \t", "x"}, {"\u00A0x\u202F", "x"}, {"\n x \n", "\n x \n"}, {"\u2028x ", "\u2028x"}, {"\u0085 x", "\u0085 x"},
    };
    for (const auto& c : cases) EXPECT_EQ(trimWhitespace(c.input), c.expected) << c.input;
}

TEST(UnicodeTest, TrimCharactersTakesOnlyTheGivenASCII) {
    EXPECT_EQ(trimCharacters(" \t x y\u00A0\t ", " \t"), "x y\u00A0");
    EXPECT_EQ(trimCharacters("\n x \n", " \t"), "\n x \n");
    EXPECT_EQ(trimCharacters("   ", " "), "");
    // Bytes of a multi-byte character in the set never cut characters apart.
    EXPECT_EQ(trimCharacters("éaé", "é"), "éaé");
}

TEST(UnicodeTest, GraphemeClusterCount) {
    const std::vector<std::pair<std::string, size_t>> cases = {
        {"", 0},
        {"hello", 5},
        {"👨‍👩‍👧‍👦", 1},  // family joined by zero-width joiners
        {"🇫🇷", 1},  // flag
        {"🇫🇷🇩🇪", 2},
        {"e\u0301", 1},  // combining accent
        {"👍🏽 ok", 4},  // skin-tone modifier
        {"a\r\nb", 3},
        {"\xFF\xFE", 2},  // each malformed byte reads as one replacement character
    };
    for (const auto& [text, count] : cases) EXPECT_EQ(graphemeClusterCount(text), count) << text;
}

TEST(UnicodeTest, GraphemeClustersCutTextIntoWholeCharacters) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"", {}},
        {"ok!", {"o", "k", "!"}},
        {"caf\u00e9", {"c", "a", "f", "\u00e9"}},
        {"e\u0301t\u00e9", {"e\u0301", "t", "\u00e9"}},
        {"👨‍👩‍👧‍👦 🇫🇷", {"👨‍👩‍👧‍👦", " ", "🇫🇷"}},
        {"👍🏽", {"👍🏽"}},
        {"a\r\nb", {"a", "\r\n", "b"}},
        {"\xFFx", {"\uFFFD", "x"}},
    };
    for (const auto& [text, clusters] : cases) {
        EXPECT_EQ(graphemeClusters(text), clusters) << text;
        EXPECT_EQ(graphemeClusters(text).size(), graphemeClusterCount(text)) << text;
    }
}

TEST(UnicodeTest, IsValidUTF8) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"", true},
        {"abc", true},
        {"é🎯", true},
        {"\xFF", false},
        {"\xC3", false},  // truncated
        {"\xC0\xAF", false},  // overlong
        {"\xED\xA0\x80", false},  // surrogate
        {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
        {std::string("a\0b", 3), true},
    };
    for (const auto& [text, valid] : cases) EXPECT_EQ(isValidUTF8(text), valid) << text;
}

TEST(UnicodeTest, ToLowerCase) {
    const std::vector<Case> cases = {
        {"HeLLo", "hello"}, {"ÄÖÜ", "äöü"}, {"ΣΑΣ", "σας"}, {"ABC\xFF", "abc\uFFFD"}, {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(toLowerCase(c.input), c.expected) << c.input;
}

}  // namespace
}  // namespace velmo
