// What the review panel is given to draw, and which editor it may open: the pure parts
// behind the server's review methods.

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexServer/GraphicalEditor.hpp"
#include "OrvexServer/PatchRows.hpp"

using nlohmann::json;
using OrvexServer::PatchRows;

namespace {

/// Every row with every fold closed, as review.patch answered before it cut windows.
json patchRows(const std::string& patch, std::int64_t threshold) {
    PatchRows rows(patch, threshold);
    auto answer = rows.window(0, 1'000'000, {});
    answer["notice"] = rows.notice();
    answer["lines"] = rows.lineCount();
    return answer;
}

} // namespace

TEST(PatchRows, LinesCarryTheirNumbersLongRunsFoldAndPairedLinesMarkChangedWords) {
    std::string patch = "diff --git a/f b/f\n--- a/f\n+++ b/f\n@@ -1,9 +1,9 @@ intro\n";
    for (int i = 1; i <= 6; ++i) {
        patch += " same " + std::to_string(i) + "\n";
    }
    patch += "-let x = 1\n+let y = 1\n+extra\n same 7\n same 8\n";
    auto answer = patchRows(patch, 3);
    const auto& rows = answer["rows"];
    ASSERT_EQ(rows.size(), 9u) << rows;
    EXPECT_EQ(rows[0], json::parse(R"(["h",null,null,"@@ -1,9 +1,9 @@ intro"])"));
    EXPECT_EQ(rows[1], json::parse(R"(["c",1,1,"same 1"])"));
    // Six unchanged lines over a threshold of 3: first and last shown, four folded.
    EXPECT_EQ(rows[2], json::parse(R"({"fold":1,"count":4})"));
    EXPECT_EQ(PatchRows(patch, 3).window(2, 1, {1})["rows"][0],
              json::parse(R"(["c",2,2,"same 2"])"));
    EXPECT_EQ(rows[3], json::parse(R"(["c",6,6,"same 6"])"));
    EXPECT_EQ(rows[4], json::parse(R"(["-",7,null,"let x = 1",["let ","x"," = 1"]])"));
    EXPECT_EQ(rows[5], json::parse(R"(["+",null,7,"let y = 1",["let ","y"," = 1"]])"));
    // An addition without a partner has nothing to compare its words with.
    EXPECT_EQ(rows[6], json::parse(R"(["+",null,8,"extra"])"));
    // The last run is within the threshold; the patch's final line feed adds no line.
    EXPECT_EQ(rows[7], json::parse(R"(["c",8,9,"same 7"])"));
    EXPECT_EQ(rows[8], json::parse(R"(["c",9,10,"same 8"])"));
    EXPECT_EQ(answer["lines"], 12);
    EXPECT_TRUE(answer["notice"].is_null());
}

TEST(PatchRows, PatchesWithoutLinesSayWhy) {
    struct Case {
        std::string patch;
        std::string notice;
    };
    for (const auto& c : std::vector<Case>{
             {"diff --git a/b b/b\nnew file mode 100644\nindex 0000000..1\nBinary files "
              "/dev/null and b/b differ\n",
              "Binary files /dev/null and b/b differ"},
             {"[diff truncated: file too large (600 KB)]",
              "[diff truncated: file too large (600 KB)]"},
         }) {
        auto answer = patchRows(c.patch, 8);
        EXPECT_TRUE(answer["rows"].empty());
        EXPECT_EQ(answer["notice"], c.notice);
    }
}

TEST(PatchRows, ALineWhollyRewrittenIsNotCutIntoPieces) {
    auto answer = patchRows("@@ -1 +1 @@\n-alpha\n+omega\n", 8);
    EXPECT_EQ(answer["rows"][1], json::parse(R"(["-",1,null,"alpha"])"));
    EXPECT_EQ(answer["rows"][2], json::parse(R"(["+",null,1,"omega"])"));
}

TEST(GraphicalEditor, OnlyEditorsThatOpenAWindowAreChosen) {
    struct Case {
        const char* command;
        bool graphical;
    };
    for (const auto& c : std::vector<Case>{{"code", true},
                                           {"/usr/bin/code --wait", true},
                                           {"gedit", true},
                                           {"emacsclient -c", true},
                                           {"emacsclient -t", false},
                                           {"vim", false},
                                           {"nano", false},
                                           {"", false},
                                           {"codex", false}}) {
        EXPECT_EQ(OrvexServer::GraphicalEditor::isGraphical(c.command), c.graphical) << c.command;
    }
    using OrvexServer::GraphicalEditor::chosen;
    EXPECT_EQ(chosen(std::string("vi"), std::string("kate")), "kate");
    EXPECT_EQ(chosen(std::string("subl -w"), std::string("kate")), "subl -w");
    EXPECT_EQ(chosen(std::nullopt, std::string("nano")), std::nullopt);
}

TEST(PatchRows, BytesThatAreNotTextAreShownRepairedRatherThanFailingTheAnswer) {
    auto answer = patchRows("@@ -1 +1 @@\n-caf\xC3\n+caf\xC3\xA9\n", 8);
    EXPECT_EQ(answer["rows"][1][3], "caf\xEF\xBF\xBD");
    EXPECT_NO_THROW(answer.dump());
}

namespace {

/// A window's rows in short: "h", "c<old line>", "-" or "+" (with "*" when the row carries
/// word pieces), "fold<hidden lines>".
std::string described(const json& window) {
    std::string out;
    for (const auto& row : window["rows"]) {
        out += out.empty() ? "" : " ";
        if (row.is_object()) {
            out += "fold" + std::to_string(row["count"].get<int>());
            continue;
        }
        std::string kind = row[0];
        out += kind;
        if (kind == "c") {
            out += std::to_string(row[1].get<int>());
        } else if (row.size() == 5) {
            out += "*";
        }
    }
    return out;
}

/// Ten unchanged lines (folded at a threshold of 3), three lines rewritten in part, two
/// unchanged lines: 12 rows with the fold closed, 19 with it open.
std::string windowedPatch() {
    std::string patch = "@@ -1,15 +1,15 @@\n";
    for (int i = 1; i <= 10; ++i) {
        patch += " same " + std::to_string(i) + "\n";
    }
    for (int i = 1; i <= 3; ++i) {
        patch += "-let v" + std::to_string(i) + " = 1\n";
    }
    for (int i = 1; i <= 3; ++i) {
        patch += "+let v" + std::to_string(i) + " = 2\n";
    }
    return patch + " tail 1\n tail 2\n";
}

} // namespace

TEST(PatchRowsWindow, AWindowHoldsTheRowsFromFirstForCountRowsWithFoldsOpenOrClosed) {
    PatchRows rows(windowedPatch(), 3);
    struct Case {
        std::int64_t first;
        std::int64_t count;
        std::set<std::int64_t> open;
        std::int64_t total;
        std::string shown;
    };
    const std::vector<Case> cases{
        {0, 0, {}, 12, ""},
        {0, 3, {}, 12, "h c1 fold8"},
        {2, 1, {}, 12, "fold8"},
        {3, 2, {}, 12, "c10 -*"},
        {10, 100, {}, 12, "c14 c15"},
        {12, 5, {}, 12, ""},
        {1'000'000'000'000, 5, {}, 12, ""},
        {0, 1'000'000, {}, 12, "h c1 fold8 c10 -* -* -* +* +* +* c14 c15"},
        // The open fold's lines take its place, also where they cross the window's edges.
        {5, 4, {1}, 19, "c5 c6 c7 c8"},
        {8, 6, {1}, 19, "c8 c9 c10 -* -* -*"},
        {0, 3, {1}, 19, "h c1 c2"},
        // A fold number no fold has changes nothing.
        {0, 4, {7}, 12, "h c1 fold8 c10"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "first " << c.first << " count " << c.count);
        auto window = rows.window(c.first, c.count, c.open);
        EXPECT_EQ(window["total"], c.total);
        EXPECT_EQ(window["first"], c.first);
        EXPECT_EQ(described(window), c.shown);
        EXPECT_EQ(rows.rowCount(c.open), c.total);
    }
    EXPECT_EQ(rows.lineCount(), 19);
}

TEST(PatchRowsWindow, AChangedLineInTheWindowIsComparedWithItsPartnerOutsideIt) {
    PatchRows rows(windowedPatch(), 3);
    // Row 6 is the last deletion; its partner, the last addition, is row 9.
    auto window = rows.window(6, 1, {});
    ASSERT_EQ(window["rows"].size(), 1u);
    EXPECT_EQ(window["rows"][0], json::parse(R"(["-",13,null,"let v3 = 1",["let v3 = ","1"]])"));
    // The same pair seen from the other side, and both sides in one window, agree.
    EXPECT_EQ(rows.window(9, 1, {})["rows"][0][4], json::parse(R"(["let v3 = ","2"])"));
    EXPECT_EQ(rows.window(4, 6, {})["rows"][5][4], json::parse(R"(["let v3 = ","2"])"));
}
