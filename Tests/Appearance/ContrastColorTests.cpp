#include "OrvexCore/Appearance/ContrastColor.hpp"

#include <gtest/gtest.h>

using OrvexCore::ContrastColor::prefersDarkText;
using OrvexCore::ContrastColor::rgb;
using OrvexCore::ContrastColor::RGB;

TEST(ContrastColorTests, ReadsSixHexDigitsWithOrWithoutTheNumberSignAndPicksTheText) {
    struct Case {
        const char* text;
        RGB colour;
        bool dark;
    };
    const std::vector<Case> cases{
        {"#FFFFFF", {1, 1, 1}, true},
        {"FFFFFF", {1, 1, 1}, true},
        {"#000000", {0, 0, 0}, false},
        {"000000", {0, 0, 0}, false},
        {"  #ff8000\n", {1, 128 / 255.0, 0}, true},
        {"\t0000fF ", {0, 0, 1}, false},
        {"#+000FF", {0, 0, 1}, false}, // the sign is one of the six characters
        // A luma of exactly one half (0.587 * 204/255 + 0.114 * 68/255) prefers light text.
        {"#00CC44", {0, 204 / 255.0, 68 / 255.0}, false},
        {"#00CC45", {0, 204 / 255.0, 69 / 255.0}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(rgb(c.text), c.colour);
        EXPECT_EQ(prefersDarkText(c.text), c.dark);
    }
}

TEST(ContrastColorTests, TextThatIsNoColourGivesNothingAndPrefersDarkText) {
    for (const char* text :
         {"", "#", "#FFF", "FFF", "#FFFFFFFF", "#FFFFF", "##FFFFF", "#GGGGGG", "#12 456", "0x1234",
          "#-00001", "+FFFFFF", "# FFFFFF", "#ＦＦＦＦＦＦ"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(rgb(text), std::nullopt);
        EXPECT_TRUE(prefersDarkText(text));
    }
}
