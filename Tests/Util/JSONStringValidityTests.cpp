#include "OrvexCore/Util/JSONString.hpp"

#include <random>

#include <gtest/gtest.h>

#include "OrvexCore/Util/Text.hpp"

namespace JSONString = OrvexCore::JSONString;

// The word-at-a-time checks must agree with a scalar-by-scalar decoder on every text: valid
// exactly when repairing it changes nothing, and escaping accepts exactly the valid ones.
TEST(JSONStringValidityTests, AgreesWithTheScalarDecoderOnRandomText) {
    std::mt19937 random(7);
    // Separated by '|': ASCII, escaped characters, valid sequences of each length, overlong,
    // surrogate and out-of-range forms, the sequences at their edges, truncated and stray bytes.
    static const auto pieces = OrvexCore::Text::split(
        "a|/|\"|\\|\n|\x01|\x7f|\xc3\xa4|\xe2\x82\xac|\xf0\x9f\x98\x80|\xc0\x80|\xed\xa0\x80|"
        "\xf4\x90\x80\x80|\xf4\x8f\xbf\xbf|\xe0\x9f\xbf|\xe0\xa0\x80|\xf0\x8f\xbf\xbf|"
        "\xf0\x90\x80\x80|\xe2\x82|\x80|\xff|abcdefgh|0123456789abcdef",
        '|', false);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (int n = static_cast<int>(random() % 24); n > 0; --n) {
            text += pieces[random() % pieces.size()];
        }
        const bool valid = OrvexCore::Text::sanitizedUTF8(text) == text;
        EXPECT_EQ(JSONString::isValidUTF8(text), valid) << testing::PrintToString(text);
        std::string out = "x";
        EXPECT_EQ(JSONString::append(out, text, JSONString::Slashes::escaped), valid);
        if (!valid) {
            EXPECT_EQ(out, "x");
        }
    }
}
