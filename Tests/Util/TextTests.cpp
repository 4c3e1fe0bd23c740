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
