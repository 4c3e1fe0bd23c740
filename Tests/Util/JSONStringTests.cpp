#include "OrvexCore/Util/JSONString.hpp"

#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace JSONString = OrvexCore::JSONString;

namespace {

std::string written(std::string_view text, JSONString::Slashes slashes) {
    std::string out = "[";
    EXPECT_TRUE(JSONString::append(out, text, slashes)) << text;
    return out.substr(1);
}

} // namespace

// The writers must produce exactly what the JSON library would, so a document written by
// hand reads back equal and compares byte for byte with the library's own output.
TEST(JSONStringTests, MatchesTheLibraryOnRandomValidText) {
    std::mt19937 random(7);
    // a / " \ LF TAB U+0001 U+001F U+007F U+00E9 U+2028 U+1F600
    const std::string alphabet[] = {"a",    "/",        "\"",           "\\",
                                    "\n",   "\t",       "\x01",         "\x1f",
                                    "\x7f", "\xc3\xa9", "\xe2\x80\xa8", "\xf0\x9f\x98\x80"};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        int length = static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) {
            text += alphabet[random() % std::size(alphabet)];
        }
        std::string expected = nlohmann::json(text).dump();
        EXPECT_EQ(written(text, JSONString::Slashes::plain), expected);
        std::string slashed;
        for (char c : expected) {
            slashed += c == '/' ? std::string("\\/") : std::string(1, c);
        }
        EXPECT_EQ(written(text, JSONString::Slashes::escaped), slashed);
    }
}
