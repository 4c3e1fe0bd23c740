#include "OrvexCore/Util/JSONString.hpp"

#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/Util/Text.hpp"

namespace JSONString = OrvexCore::JSONString;

namespace {

std::string libraryForm(const std::string& text, JSONString::Slashes slashes) {
    std::string plain = nlohmann::json(text).dump();
    if (slashes == JSONString::Slashes::plain) {
        return plain;
    }
    std::string slashed;
    for (char c : plain) {
        slashed += c == '/' ? std::string("\\/") : std::string(1, c);
    }
    return slashed;
}

} // namespace

// The writer must produce exactly what the JSON library would, so a document written by hand
// reads back equal. Short and long texts alike: escapes and multi-byte characters at every
// offset of a block and across block ends, texts whose escapes outgrow the room first set
// aside, and text appended after what the buffer already holds.
TEST(JSONStringTests, BlockWiseWritingMatchesTheLibrary) {
    std::mt19937 random(11);
    const std::string pieces[] = {"a",
                                  "line of a patch that runs past one block",
                                  "0123456789abcde",
                                  "\n",
                                  "\t",
                                  "\"",
                                  "\\",
                                  "/",
                                  "\x01",
                                  "\x1f",
                                  "\x7f",
                                  "\xc3\xa9",
                                  "\xe2\x80\xa8",
                                  "\xf0\x9f\x98\x80"};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (int n = static_cast<int>(random() % 40); n > 0; --n) {
            text += pieces[random() % std::size(pieces)];
        }
        for (auto slashes : {JSONString::Slashes::plain, JSONString::Slashes::escaped}) {
            std::string out = "prefix";
            ASSERT_TRUE(JSONString::append(out, text, slashes)) << testing::PrintToString(text);
            EXPECT_EQ(out, "prefix" + libraryForm(text, slashes)) << testing::PrintToString(text);
        }
    }
    // Six bytes out for every byte in: far past the room reserved for a few escapes.
    const std::string controls(5000, '\x02');
    std::string out = "[";
    ASSERT_TRUE(JSONString::append(out, controls, JSONString::Slashes::plain));
    EXPECT_EQ(out, "[" + libraryForm(controls, JSONString::Slashes::plain));
}

// A bad byte anywhere in a long text, after any number of escapes and block copies, leaves the
// buffer exactly as it was.
TEST(JSONStringTests, InvalidTextLeavesTheBufferUntouchedAtAnyOffset) {
    const std::string valid = "text\n with \"quotes\" and \xc3\xa9 and more plain bytes/to copy";
    for (const std::string bad : {"\xff", "\xc3", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        for (size_t at = 0; at <= valid.size(); ++at) {
            std::string text = valid.substr(0, at) + bad + valid.substr(at) + valid;
            std::string out = "kept";
            EXPECT_FALSE(JSONString::append(out, text, JSONString::Slashes::escaped)) << at;
            EXPECT_EQ(out, "kept");
            EXPECT_EQ(out.size(), 4u);
        }
    }
}

// The word-at-a-time checks must agree with a scalar-by-scalar decoder on every text: valid
// exactly when repairing it changes nothing, and escaping accepts exactly the valid ones.
TEST(JSONStringTests, AgreesWithTheScalarDecoderOnRandomText) {
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
