#include "OrvexCore/Util/Text.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include <utf8proc.h>

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

    // Composition and invalid bytes: see NfcAgreesWithTheReferenceNormaliser.
    EXPECT_EQ(Text::nfc("\xCD\xBE"), ";"); // Greek question mark: a singleton
    EXPECT_NE(Text::nfc("\xFF"), Text::nfc("\xFE"));
    EXPECT_TRUE(Text::isASCII("abc\x7F"));
    EXPECT_FALSE(Text::isASCII("ab\xC3\xA9"));
}

namespace {

/// utf8proc's own NFC of valid UTF-8, the reference the normaliser must agree with.
std::string referenceNFC(const std::string& text) {
    utf8proc_uint8_t* out = nullptr;
    auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                               static_cast<utf8proc_ssize_t>(text.size()), &out,
                               static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::string result =
        length < 0 ? "<error>"
                   : std::string(reinterpret_cast<char*>(out), static_cast<size_t>(length));
    std::free(out);
    return result;
}

} // namespace

// Random texts built from the pieces normalisation cares about: marks of several classes in
// every order, letters that take them, precomposed and singleton characters, Hangul jamo and
// syllables, and plain text. The normaliser orders marks itself, so it is checked against
// utf8proc's own normaliser, and the quick check must never call a text normalised that is not.
TEST(TextTests, NfcAgreesWithTheReferenceNormaliser) {
    const char* pieces[] = {
        "a",
        "e",
        "o",
        " ",
        "x",
        "\xCC\x81",     // U+0301 acute, class 230
        "\xCC\x96",     // U+0316 grave below, class 220
        "\xCC\xA7",     // U+0327 cedilla, class 202
        "\xCD\x85",     // U+0345 ypogegrammeni, class 240
        "\xE0\xA4\xBC", // U+093C nukta, class 7
        "\xCD\x84",     // U+0344, decomposes into two marks
        "\xC3\xA9",     // U+00E9 precomposed
        "\xE1\xBD\xB1", // U+1F71, a singleton decomposition
        "\xE2\x84\xAB", // U+212B angstrom sign
        "\xCE\xB1",     // U+03B1 alpha
        "\xE1\x84\x80", // U+1100 Hangul leading consonant
        "\xE1\x85\xA1", // U+1161 Hangul vowel
        "\xE1\x86\xA8", // U+11A8 Hangul trailing consonant
        "\xE1\x86\xA7", // U+11A7, absorbed by the composer
        "\xEA\xB0\x80", // U+AC00 Hangul syllable
        "\xE0\xAD\x87", // U+0B47 Oriya vowel sign E
        "\xE0\xAC\xBE", // U+0B3E, composes with U+0B47 though of class 0
        "\xE3\x82\x99", // U+3099 voiced sound mark
        "\xE3\x81\x8B", // U+304B hiragana KA
        "\xE6\x97\xA5", // U+65E5, no decomposition
    };
    std::mt19937 random(5);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const size_t count = random() % 24;
        for (size_t i = 0; i < count; ++i) {
            text += pieces[random() % std::size(pieces)];
        }
        SCOPED_TRACE(text);
        const std::string expected = referenceNFC(text);
        EXPECT_EQ(Text::nfc(text), expected);
        std::string buffer = "stale";
        EXPECT_EQ(Text::nfc(text, buffer), expected);
        if (Text::isCertainlyNFC(text)) {
            EXPECT_EQ(expected, text);
        }
    }
    // Invalid bytes are kept and split the text; what lies between is still normalised.
    EXPECT_EQ(Text::nfc("a\xCC\x96\xCC\x81\xFF"
                        "e\xCC\x81\xCC\x96"),
              "\xC3\xA1\xCC\x96\xFF\xC3\xA9\xCC\x96");
    // Text already in normal form is given back as it is, without a copy.
    const std::string_view normalised = "caf\xC3\xA9 \xE6\x97\xA5";
    std::string buffer;
    EXPECT_EQ(Text::nfc(normalised, buffer).data(), normalised.data());
    EXPECT_TRUE(buffer.empty());
}

// A letter carrying a long run of marks of two classes in alternation: canonical ordering
// moves every other mark. The result is the letter composed with the first acute and then
// every mark below before the remaining acutes.
TEST(TextTests, NfcOfLongMixedMarkRuns) {
    const int pairs = 8192; // 32 KB
    std::string text = "a";
    for (int i = 0; i < pairs; ++i) {
        text += "\xCC\x81\xCC\x96"; // U+0301 (230), U+0316 (220)
    }
    std::string expected = "\xC3\xA1";
    for (int i = 0; i < pairs; ++i) {
        expected += "\xCC\x96";
    }
    for (int i = 1; i < pairs; ++i) {
        expected += "\xCC\x81";
    }
    EXPECT_FALSE(Text::isCertainlyNFC(text));
    EXPECT_EQ(Text::nfc(text), expected);
}
