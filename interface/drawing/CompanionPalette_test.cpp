#include "interface/drawing/CompanionPalette.h"

#include <gtest/gtest.h>

namespace velmo {
namespace {

struct HexCase {
    const char* text;
    int red, green, blue;  // 0...255
};

TEST(ColorFromHex, ReadsTheLowTwentyFourBitsOfAnUnsignedHexNumber) {
    const HexCase cases[] = {
        {"#3380FF", 0x33, 0x80, 0xFF},
        {"3380FF", 0x33, 0x80, 0xFF},
        {" #3380ff\n", 0x33, 0x80, 0xFF},
        {"", 0, 0, 0},
        {"#", 0, 0, 0},
        {"zz", 0, 0, 0},
        {"#FF3380FF", 0x33, 0x80, 0xFF},  // eight digits: no alpha, low 24 bits
        {"FFF", 0x00, 0x0F, 0xFF},  // no shorthand expansion
        {"0x3380FF", 0x33, 0x80, 0xFF},
        {"#0x12", 0x00, 0x00, 0x12},
        {"12#34#56", 0x12, 0x34, 0x56},  // every "#" removed
        {"# 33", 0x00, 0x00, 0x33},  // the scanner skips the space left behind
        {"1234zz56", 0x00, 0x12, 0x34},  // stops at the first non-digit
        {"FFFFFFFFFFFFFFFFFFFFFF", 0xFF, 0xFF, 0xFF},  // saturates at 2^64 - 1
        {"10000000000000000123456", 0xFF, 0xFF, 0xFF},
        {"#60a5fa", 0x60, 0xA5, 0xFA},
    };
    for (const auto& c : cases) {
        Color color = colorFromHex(c.text);
        EXPECT_DOUBLE_EQ(color.red, c.red / 255.0) << '"' << c.text << '"';
        EXPECT_DOUBLE_EQ(color.green, c.green / 255.0) << '"' << c.text << '"';
        EXPECT_DOUBLE_EQ(color.blue, c.blue / 255.0) << '"' << c.text << '"';
        EXPECT_EQ(color.opacity, 1.0) << '"' << c.text << '"';
    }
}

TEST(CompanionPalette, NamedColours) {
    EXPECT_EQ(CompanionPalette::cursorBlue(), (Color{0.2, 128 / 255.0, 1.0, 1.0}));
    EXPECT_EQ(CompanionPalette::background(), colorFromHex("101211"));
    EXPECT_EQ(CompanionPalette::primaryButton(), CompanionPalette::accent());
    EXPECT_EQ(CompanionPalette::textOnAccent(), Color::white());
    EXPECT_EQ(CompanionPalette::warning(), colorFromHex("#FFB224"));
}

}  // namespace
}  // namespace velmo
