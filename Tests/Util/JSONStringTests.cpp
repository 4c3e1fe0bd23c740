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

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

} // namespace

// The writers must produce exactly what the JSON library would, so a document written by
// hand reads back equal and compares byte for byte with the library's own output.
TEST(JSONStringTests, MatchesTheLibraryOnRandomValidText) {
    std::mt19937 random(7);
    const char32_t alphabet[] = {'a',  '/',  '"',  '\\', '\n',   '\t',
                                 0x01, 0x1F, 0x7F, 0xE9, 0x2028, 0x1F600};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        int length = static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) {
            text += utf8(alphabet[random() % std::size(alphabet)]);
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
