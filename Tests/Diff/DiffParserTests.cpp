#include "OrvexCore/Diff/DiffParser.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "OrvexCore/Util/Text.hpp"
#include "Support/NumberedLines.hpp"
#include "Support/TempGitRepo.hpp"

using namespace OrvexCore;
using OrvexTest::numbered;

namespace OrvexCore {
// Readable failure messages.
void PrintTo(const DiffLine& line, std::ostream* out) {
    const char* kinds[] = {"context", "addition", "deletion", "hunkHeader"};
    *out << kinds[static_cast<int>(line.kind)] << "("
         << (line.oldLine ? std::to_string(*line.oldLine) : "-") << ","
         << (line.newLine ? std::to_string(*line.newLine) : "-") << ",\"" << line.text << "\")";
}
void PrintTo(const DiffHunk& hunk, std::ostream* out) {
    *out << "\n  hunk";
    for (const auto& line : hunk.lines) {
        *out << "\n    ";
        PrintTo(line, out);
    }
}
} // namespace OrvexCore

namespace {

DiffLine header(std::string_view text) {
    return {DiffLineKind::hunkHeader, std::nullopt, std::nullopt, text};
}
DiffLine addition(std::int64_t new_, std::string_view text) {
    return {DiffLineKind::addition, std::nullopt, new_, text};
}
DiffLine deletion(std::int64_t old, std::string_view text) {
    return {DiffLineKind::deletion, old, std::nullopt, text};
}

// Every shape of patch (no final line feed, empty lines, text before the first header, line
// numbers past the largest) is the diff parser fuzz target's: over its seeds it checks each
// line's kind, bytes and numbers against the hunk headers as read here. Real patches are
// checked against the files by DiffParserRealPatches.
struct HeaderCase {
    const char* line;
    std::int64_t old;
    std::int64_t new_;
};

TEST(DiffParserTests, ParseHunkHeaderReadsEveryRangePiece) {
    const HeaderCase cases[] = {
        {"@@ -10,3 +12,4 @@", 10, 12},
        {"@@ -0,0 +1,2 @@", 0, 1},
        {"@@ -5 +7 @@", 5, 7},
        {"@@ - + @@", 1, 1},
        {"@@ -x,3 +y @@", 1, 1},
        {"@@ -,7 +,,8 @@", 7, 8},    // empty comma pieces are dropped
        {"@@ -1 -2 +3 +4 @@", 2, 4}, // a later piece overrides
        {"@@ -2 +3", 2, 3},          // no closing marker
        {"@@ --5 ++6 @@", -5, 6},    // signed
        {"@@ -+5 +-6 @@", 5, -6},
        {"@@ -+-5 +9 @@", 1, 9},
        {"@@ -99999999999999999999 +3 @@", 1, 3}, // out of range reads as no number
        {"@@ --9223372036854775808 +1 @@", std::numeric_limits<std::int64_t>::min(), 1},
        {"@@  -4,1   +6,1  @@", 4, 6},
        {"", 1, 1},
        {"@@", 1, 1},
        // Section text is copied from the file by git; its words never renumber the hunk.
        {"@@ -10,3 +12,4 @@ it fell to -5 and rose to +7", 10, 12},
        {"@@ -10,3 +12,4 @@@ -5", 10, 12},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DiffParser::parseHunkHeader(c.line), std::make_pair(c.old, c.new_)) << c.line;
    }
}

TEST(DiffParserTests, SizeGuardAppliesAboveFiftyMebibytes) {
    std::string patch = "@@ -1 +1 @@\n+";
    patch.resize(DiffParser::maximumPatchBytes, 'x');
    auto hunks = DiffParser::parse(patch);
    ASSERT_EQ(hunks.size(), 1u);
    EXPECT_EQ(hunks[0].lines.size(), 2u);
    patch.push_back('x');
    EXPECT_TRUE(DiffParser::parse(patch).empty());
}

// A line far longer than any buffer the parser might size by guess keeps every byte.
TEST(DiffParserTests, AVeryLongLineIsKeptWhole) {
    std::string longLine = "@@ -1 +1 @@\n+" + std::string(100'000, '\xE9') + "\n";
    auto hunks = DiffParser::parse(longLine);
    ASSERT_EQ(hunks.size(), 1u);
    EXPECT_EQ(hunks[0].lines[1].text.size(), 100'000u);
}

// Lines view one copy of the patch that their hunks keep alive: the caller's text may go at
// once, and a hunk copied out of the result keeps working after the rest is gone.
TEST(DiffParserTests, HunksKeepTheTextTheirLinesView) {
    DiffHunk kept;
    {
        std::string patch = "diff --git a/f b/f\n@@ -1,2 +1,2 @@\n-old line\n+new line\n same\n"
                            "@@ -9 +9 @@\n-nine\n+NINE\n";
        auto hunks = DiffParser::parse(patch);
        patch.assign(patch.size(), '#');
        ASSERT_EQ(hunks.size(), 2u);
        ASSERT_TRUE(hunks[0].storage);
        EXPECT_EQ(hunks[0].storage, hunks[1].storage);
        for (const auto& hunk : hunks) {
            for (const auto& line : hunk.lines) {
                const char* begin = hunk.storage->data();
                EXPECT_TRUE(line.text.data() >= begin &&
                            line.text.data() + line.text.size() <= begin + hunk.storage->size());
            }
        }
        kept = hunks[1];
    }
    EXPECT_EQ(kept, (DiffHunk{{header("@@ -9 +9 @@"), deletion(9, "nine"), addition(9, "NINE")}}));
}

// A header may announce far more lines than follow; room is kept for what the text can hold.
TEST(DiffParserTests, AnnouncedCountsDoNotReserveBeyondTheText) {
    auto hunks = DiffParser::parse("@@ -1,999999999 +1,999999999 @@\n-a\n+b\n");
    ASSERT_EQ(hunks.size(), 1u);
    EXPECT_EQ(hunks[0].lines.size(), 3u);
    EXPECT_LE(hunks[0].lines.capacity(), 64u);
}

// Real patches from git: every number must point at the very text of its line in the file
// as git stores it, and the changed lines must add up to git's own count.
class DiffParserRealPatches : public ::testing::Test {
protected:
    struct Change {
        std::string path;
        std::optional<std::string> before;
        std::optional<std::string> after;
    };

    static std::vector<std::string_view> fileLines(const std::string& contents) {
        auto lines = Text::split(contents, '\n', true);
        if (!lines.empty() && lines.back().empty()) {
            lines.pop_back(); // what follows the last line feed is no line
        }
        return lines;
    }

    void check(const std::vector<Change>& changes) {
        OrvexTest::TempGitRepo repo;
        for (const auto& change : changes) {
            if (change.before) {
                repo.write(change.path, *change.before);
            }
        }
        std::string base = repo.commitAll("before");
        for (const auto& change : changes) {
            if (change.after) {
                repo.write(change.path, *change.after);
            } else if (change.before) {
                repo.git({"rm", "-q", change.path});
            }
        }
        std::string head = repo.commitAll("after");

        for (const auto& change : changes) {
            SCOPED_TRACE(change.path);
            std::string patch = repo.git({"diff", "--no-renames", base, head, "--", change.path});
            std::string oldText =
                change.before ? repo.git({"show", base + ":" + change.path}) : std::string();
            std::string newText =
                change.after ? repo.git({"show", head + ":" + change.path}) : std::string();
            auto oldLines = fileLines(oldText);
            auto newLines = fileLines(newText);

            std::int64_t additions = 0;
            std::int64_t deletions = 0;
            auto hunks = DiffParser::parse(patch);
            for (const auto& hunk : hunks) {
                for (const auto& line : hunk.lines) {
                    if (line.kind == DiffLineKind::hunkHeader) {
                        continue;
                    }
                    if (line.kind == DiffLineKind::context && !line.oldLine && !line.newLine) {
                        EXPECT_TRUE(line.text.starts_with("\\")) << line.text;
                        continue;
                    }
                    if (line.kind != DiffLineKind::addition) {
                        ASSERT_TRUE(line.oldLine) << line.text;
                        ASSERT_GE(*line.oldLine, 1);
                        ASSERT_LE(*line.oldLine, static_cast<std::int64_t>(oldLines.size()));
                        EXPECT_EQ(oldLines[*line.oldLine - 1], line.text);
                    }
                    if (line.kind != DiffLineKind::deletion) {
                        ASSERT_TRUE(line.newLine) << line.text;
                        ASSERT_GE(*line.newLine, 1);
                        ASSERT_LE(*line.newLine, static_cast<std::int64_t>(newLines.size()));
                        EXPECT_EQ(newLines[*line.newLine - 1], line.text);
                    }
                    additions += line.kind == DiffLineKind::addition;
                    deletions += line.kind == DiffLineKind::deletion;
                }
            }
            std::istringstream numstat(
                repo.git({"diff", "--no-renames", "--numstat", base, head, "--", change.path}));
            std::string added;
            std::string removed;
            numstat >> added >> removed;
            if (added == "-") {
                EXPECT_TRUE(hunks.empty()); // binary
            } else {
                EXPECT_EQ(std::to_string(additions), added);
                EXPECT_EQ(std::to_string(deletions), removed);
            }
        }
    }
};

TEST_F(DiffParserRealPatches, NumbersPointAtTheSameTextInBothFiles) {
    std::string many = numbered("row ", 1, 300);
    std::string manyChanged = numbered("row ", 1, 9) + "row ten changed\n" +
                              numbered("row ", 11, 149) + numbered("inserted ", 1, 4) +
                              numbered("row ", 155, 289) + numbered("row ", 291, 300) + "tail\n";
    std::string prose =
        "Temperature fell to -5 and rose to +7 overnight\n" + numbered("  note ", 1, 20);
    std::string proseChanged = "Temperature fell to -5 and rose to +7 overnight\n" +
                               numbered("  note ", 1, 11) + "  changed note\n" +
                               numbered("  note ", 13, 20);
    check({
        {"additions.txt", numbered("line ", 1, 30),
         numbered("line ", 1, 5) + "new a\nnew b\n" + numbered("line ", 6, 30) + "end\n"},
        {"deletions.txt", numbered("line ", 1, 30),
         numbered("line ", 1, 2) + numbered("line ", 8, 19) + numbered("line ", 21, 30)},
        {"hunks.txt", many, manyChanged},
        {"new.txt", std::nullopt, numbered("fresh ", 1, 5)},
        {"gone.txt", numbered("old ", 1, 5), std::nullopt},
        {"nofinal.txt", "a\nb\nc", "a\nB\nc"},
        {"gainsfinal.txt", "a\nb", "a\nb\nc\n"},
        {"losesfinal.txt", "a\nb\nc\n", "a\nb\nc"},
        {"crlf.txt", "one\r\ntwo\r\nthree\r\nfour\r\n", "one\r\nTWO\r\nthree\r\nfour\r\nfive\r\n"},
        {"unicode.txt",
         "caf\xC3\xA9\nna\xC3\xAFve e\xCC\x81\n\xCC\x81 mark first\nkeep\n\xE2\x80\x8D joiner\n",
         "caf\xC3\xA9!\nna\xC3\xAFve e\xCC\x81\n\xCC\x81 mark first, changed\nkeep\n\xE2\x80\x8D "
         "joiner\n\xEF\xB8\x8F selector\n"},
        {"markers.txt", "-- sql\n++ counter\n\\ slash\n@@ at\n \n\nplain\n",
         "-- sql!\n++ counter\n\\ slash!\n@@ at\n \n\nplain\n+++ more\n"},
        {"latin1.txt", "caf\xE9\nna\xEFve\n", "caf\xE9s\nna\xEFve\n"},
        {"section.md", prose, proseChanged},
        {"binary.bin", std::string("\x00\x01\x02 old", 7), std::string("\x00\x01\x03 new", 7)},
    });
}

} // namespace
