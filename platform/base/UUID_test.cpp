#include "platform/base/UUID.h"

#include <gtest/gtest.h>

#include <set>

using namespace velmo;

TEST(UUID, TextFormIsUpperCaseHexInFiveGroups) {
    UUID fixed({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    EXPECT_EQ(fixed.uuidString(), "00112233-4455-6677-8899-AABBCCDDEEFF");
}

TEST(UUID, RandomOnesCarryVersionFourAndTheRFCVariantAndDiffer) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        UUID id = UUID::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] >> 6, 2);
        std::string text = id.uuidString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        for (std::size_t k = 0; k < text.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23)
                EXPECT_EQ(text[k], '-');
            else
                EXPECT_NE(std::string("0123456789ABCDEF").find(text[k]), std::string::npos) << text;
        }
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
}

namespace velmo {
namespace {

TEST(UUID, ParsesEitherCaseAndRefusesMalformedText) {
    const auto upper = UUID::fromString("E621E1F8-C36C-492A-93FC-0C247A3E6E5F");
    const auto lower = UUID::fromString("e621e1f8-c36c-492a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(upper && lower);
    EXPECT_EQ(*upper, *lower);
    EXPECT_EQ(lower->uuidString(), "E621E1F8-C36C-492A-93FC-0C247A3E6E5F");
    for (const char* bad :
         {"", "E621E1F8C36C492A93FC0C247A3E6E5F", "E621E1F8-C36C-492A-93FC-0C247A3E6E5", "G621E1F8-C36C-492A-93FC-0C247A3E6E5F",
          "E621E1F8-C36C-492A-93FC-0C247A3E6E5F0", "E621E1F8+C36C-492A-93FC-0C247A3E6E5F"})
        EXPECT_FALSE(UUID::fromString(bad)) << bad;
}

}  // namespace
}  // namespace velmo
