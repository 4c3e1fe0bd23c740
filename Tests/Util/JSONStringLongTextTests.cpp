#include "OrvexCore/Util/JSONString.hpp"

#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

// Long texts go through the block-wise copy: escapes and multi-byte characters at every offset
// of a block and across block ends, texts whose escapes outgrow the room first set aside, and
// text appended after what the buffer already holds.
TEST(JSONStringLongTextTests, BlockWiseWritingMatchesTheLibrary) {
    std::mt19937 random(11);
    const std::string pieces[] = {"a",
                                  "line of a patch that runs past one block",
                                  "0123456789abcde",
                                  "\n",
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
TEST(JSONStringLongTextTests, InvalidTextLeavesTheBufferUntouchedAtAnyOffset) {
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
