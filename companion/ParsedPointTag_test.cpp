#include <gtest/gtest.h>

#include <limits>

#include "companion/ParsedPointTag.h"

using namespace velmo;

TEST(ParsePointTag, Table) {
    struct Case {
        const char* reply;
        const char* spoken;
        std::optional<PixelPoint> coordinate;
        std::optional<std::string> label;
    } cases[] = {
        {"open the menu [POINT:12,7:file menu]", "open the menu", PixelPoint{12, 7}, "file menu"},
        {"see that? [POINT:285,11]", "see that?", PixelPoint{285, 11}, std::nullopt},
        {"html is the skeleton. [POINT:none]", "html is the skeleton.", std::nullopt, "none"},
        {"[POINT:none]", "", std::nullopt, "none"},
        {"  right here \n[POINT:1100,42:color inspector]  \n\t", "right here", PixelPoint{1100, 42}, "color inspector"},
        {"spaces around [POINT:3 , 4: \t save button \t]", "spaces around", PixelPoint{3, 4}, "save button"},
        // Only spaces and tabs are trimmed from the label, not line breaks.
        {"x [POINT:1,2:\nlabel\n]", "x", PixelPoint{1, 2}, "\nlabel\n"},
        // Forms that do not match: the whole reply is spoken, untrimmed.
        {"[POINT:12,7:file menu] and then more words", "[POINT:12,7:file menu] and then more words", std::nullopt, std::nullopt},
        {"a [POINT: 1,2]", "a [POINT: 1,2]", std::nullopt, std::nullopt},
        {"a [POINT:-1,2]", "a [POINT:-1,2]", std::nullopt, std::nullopt},
        {"a [POINT:1.5,2]", "a [POINT:1.5,2]", std::nullopt, std::nullopt},
        {"  no tag at all  ", "  no tag at all  ", std::nullopt, std::nullopt},
        {"", "", std::nullopt, std::nullopt},
        // Non-ASCII decimal digits match the pattern but are not numbers here.
        {"b [POINT:\u0661\u0662,3:x]", "b", std::nullopt, "none"},
        // Only the trailing tag counts; an earlier one stays in the spoken text.
        {"first [POINT:1,1:a] second [POINT:2,2:b]", "first [POINT:1,1:a] second", PixelPoint{2, 2}, "b"},
    };
    for (const auto& c : cases) {
        ParsedPointTag p = parsePointTag(c.reply);
        EXPECT_EQ(p.spokenText, c.spoken) << c.reply;
        EXPECT_EQ(p.coordinate, c.coordinate) << c.reply;
        EXPECT_EQ(p.elementLabel, c.label) << c.reply;
    }
}

TEST(ParsePointTag, AHugeCoordinateParsesAndSaturatesInTheLogForm) {
    ParsedPointTag p = parsePointTag("far away [POINT:1234567890123456789012345,7:x]");
    ASSERT_TRUE(p.coordinate.has_value());
    EXPECT_DOUBLE_EQ(p.coordinate->x, 1234567890123456789012345.0);
    EXPECT_EQ(saturatedWholeNumber(p.coordinate->x), std::numeric_limits<long long>::max());
    EXPECT_EQ(saturatedWholeNumber(7.0), 7);
    EXPECT_EQ(saturatedWholeNumber(-1e30), std::numeric_limits<long long>::min());
    EXPECT_EQ(saturatedWholeNumber(std::numeric_limits<double>::infinity()), std::numeric_limits<long long>::max());
}

TEST(MapScreenshotPointToScreen, ScalesFlipsAndClamps) {
    Rect primary{0, 0, 1440, 900};
    EXPECT_EQ(mapScreenshotPointToScreen({1100, 42}, 1280, 800, 1440, 900, primary), (Point{1237.5, 852.75}));
    // Beyond the screenshot: clamped to its bottom-right corner, the display's lower-right corner.
    EXPECT_EQ(mapScreenshotPointToScreen({5000, 5000}, 1280, 800, 1440, 900, primary), (Point{1440, 0}));
    EXPECT_EQ(mapScreenshotPointToScreen({std::numeric_limits<double>::infinity(), 0}, 1280, 800, 1440, 900, primary), (Point{1440, 900}));
    // A second display to the right of and above the primary one.
    Rect second{1440, 200, 1920, 1080};
    EXPECT_EQ(mapScreenshotPointToScreen({0, 0}, 1280, 720, 1920, 1080, second), (Point{1440, 1280}));
    EXPECT_EQ(mapScreenshotPointToScreen({640, 360}, 1280, 720, 1920, 1080, second), (Point{2400, 740}));
}
