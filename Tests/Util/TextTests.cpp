#include "OrvexCore/Util/Text.hpp"

#include <gtest/gtest.h>

namespace Text = OrvexCore::Text;

TEST(TextTests, TrimmedRemovesUnicodeWhiteSpaceAndLineEnds) {
    EXPECT_EQ(Text::trimmed("  main\r\n"), "main");
    EXPECT_EQ(Text::trimmed("\xC2\xA0x\xE2\x80\xA8"), "x"); // no-break space, line separator
    EXPECT_EQ(Text::trimmed(" \t\n"), "");
    EXPECT_EQ(Text::trimmed("caf\xC3\xA9 "), "caf\xC3\xA9");
    EXPECT_EQ(Text::trimmed("\xFF "), "\xFF"); // invalid bytes are kept
}

TEST(TextTests, SplitKeepsOrDropsEmptyPieces) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(Text::split("a\n\nb\n", '\n', false), (V{"a", "b"}));
    EXPECT_EQ(Text::split("a\n\nb\n", '\n', true), (V{"a", "", "b", ""}));
    EXPECT_EQ(Text::split("", '\n', false), V{});
}

TEST(TextTests, SanitizedUTF8ReplacesOnlyInvalidSequences) {
    EXPECT_EQ(Text::sanitizedUTF8("ok \xC3\xA9"), "ok \xC3\xA9");
    EXPECT_EQ(Text::sanitizedUTF8("a\xFF"
                                  "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(Text::sanitizedUTF8("\xEF\xBF\xBD"), "\xEF\xBF\xBD");
}

TEST(TextTests, GraphemesFollowExtendedClusters) {
    using V = std::vector<std::string_view>;
    const std::pair<std::string, V> cases[] = {
        {"e\xCC\x81x", {"e\xCC\x81", "x"}},
        {"a\r\nb\n\r", {"a", "\r\n", "b", "\n", "\r"}},
        {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",
         {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"}}, // two flags
        {"\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB"
         "a",
         {"\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB", "a"}},
        {"+\xCC\x81-", {"+\xCC\x81", "-"}},
        {"a\xFF\xCC\x81\xFE", {"a", "\xFF\xCC\x81", "\xFE"}}, // a bad byte counts as U+FFFD
        {"", {}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(Text::graphemes(text), expected) << text;
    }
    EXPECT_EQ(Text::firstGrapheme("e\xCC\x81x"), "e\xCC\x81");
    EXPECT_EQ(Text::firstGrapheme("ab"), "a");
    EXPECT_EQ(Text::firstGrapheme(""), "");
}

TEST(TextTests, WordCharactersAreLettersNumbersAndUnderscore) {
    const std::pair<char32_t, bool> cases[] = {
        {U'a', true},       {U'Z', true},       {U'7', true},       {U'_', true},
        {U' ', false},      {U'.', false},      {U'-', false},      {U'\u00E9', true},
        {U'\u65E5', true},  {U'\u0663', true},  {U'\u216B', true},  {U'\u00BD', true},
        {U'\u20AC', false}, {U'\u0301', false}, {U'\u00A0', false},
    };
    for (auto [scalar, expected] : cases) {
        EXPECT_EQ(Text::isWordCharacter(scalar), expected) << static_cast<unsigned>(scalar);
    }
    EXPECT_TRUE(Text::isWordCharacter(std::string_view("e\xCC\x81")));
    EXPECT_FALSE(Text::isWordCharacter(std::string_view("\xCC\x81")));
    EXPECT_FALSE(Text::isWordCharacter(std::string_view("")));
}

TEST(TextTests, LowercasedAndNormalised) {
    EXPECT_EQ(Text::lowercased("MixED 42"), "mixed 42");
    EXPECT_EQ(Text::lowercased("\xC3\x80\xC3\x89 \xCE\xA3\xCE\x91"),
              "\xC3\xA0\xC3\xA9 \xCF\x83\xCE\xB1");
    EXPECT_EQ(Text::lowercased("A\xFF"), "a\xFF");

    EXPECT_EQ(Text::nfc("plain"), "plain");
    EXPECT_EQ(Text::nfc("e\xCC\x81"), "\xC3\xA9");
    EXPECT_EQ(Text::nfc("\xE2\x84\xAB"), "\xC3\x85"); // angstrom sign
    EXPECT_EQ(Text::nfc("\xCD\xBE"), ";");            // Greek question mark
    EXPECT_EQ(Text::nfc("e\xCC\x81\xFF"
                        "e\xCC\x81"),
              "\xC3\xA9\xFF\xC3\xA9");
    EXPECT_NE(Text::nfc("\xFF"), Text::nfc("\xFE"));
    EXPECT_TRUE(Text::isASCII("abc\x7F"));
    EXPECT_FALSE(Text::isASCII("ab\xC3\xA9"));
}
