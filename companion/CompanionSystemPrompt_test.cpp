#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "companion/CompanionSystemPrompt.h"

using namespace velmo;

namespace {
std::uint64_t fnv1a(std::string_view s) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}
}  // namespace

// Pins the prompt byte for byte: 31 lines, no final line feed, em dashes, ASCII apostrophes.
TEST(CompanionSystemPrompt, IsPinnedByteForByte) {
    const std::string_view p = companionSystemPrompt;
    EXPECT_EQ(p.size(), 3815u);
    EXPECT_EQ(fnv1a(p), 0xc5ecd37b481b1c09ull);
    std::vector<std::string> lines;
    std::stringstream in{std::string(p)};
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 31u);
    EXPECT_NE(p.back(), '\n');
    EXPECT_EQ(lines[2], "rules:");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[16], "element pointing:");
    EXPECT_EQ(lines[25], "if pointing wouldn't help, append [POINT:none].");
    EXPECT_EQ(lines[30].substr(0, 36), "- user asks how to commit in xcode: ");
    EXPECT_EQ(p.find("\xE2\x80\x99"), std::string_view::npos);  // no typographic apostrophe
    std::size_t dashes = 0;
    for (std::size_t at = p.find("\xE2\x80\x94"); at != std::string_view::npos; at = p.find("\xE2\x80\x94", at + 1)) ++dashes;
    EXPECT_EQ(dashes, 9u);
}
