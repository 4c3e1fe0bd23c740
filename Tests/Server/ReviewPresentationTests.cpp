// What the review panel is given to draw, and which editor it may open: the pure parts
// behind the server's review methods.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvexCore/Settings/AppSettings.hpp"
#include "OrvexCore/Settings/MemoryUserDefaults.hpp"
#include "OrvexServer/GraphicalEditor.hpp"
#include "OrvexServer/PatchRows.hpp"

using nlohmann::json;
using OrvexServer::patchRows;

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
    ASSERT_TRUE(rows[2].is_object());
    EXPECT_EQ(rows[2]["fold"], 1);
    ASSERT_EQ(rows[2]["rows"].size(), 4u);
    EXPECT_EQ(rows[2]["rows"][0], json::parse(R"(["c",2,2,"same 2"])"));
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

TEST(AppSettingsFoldThreshold, ReadsAndWritesAreKeptBetweenOneAndAThousand) {
    auto store = std::make_shared<OrvexCore::MemoryUserDefaults>();
    EXPECT_EQ(OrvexCore::AppSettings(store).diffFoldThreshold(), 4);
    struct Row {
        json stored;
        int read;
    };
    for (const auto& row : std::vector<Row>{{3, 3}, {0, 1}, {-5, 1}, {5000, 1000}, {"12", 4}}) {
        store->set("diffFoldThreshold", row.stored);
        EXPECT_EQ(OrvexCore::AppSettings(store).diffFoldThreshold(), row.read) << row.stored;
    }
    OrvexCore::AppSettings settings(store);
    settings.setDiffFoldThreshold(0);
    EXPECT_EQ(store->object("diffFoldThreshold"), json(1));
}

TEST(PatchRows, BytesThatAreNotTextAreShownRepairedRatherThanFailingTheAnswer) {
    auto answer = patchRows("@@ -1 +1 @@\n-caf\xC3\n+caf\xC3\xA9\n", 8);
    EXPECT_EQ(answer["rows"][1][3], "caf\xEF\xBF\xBD");
    EXPECT_NO_THROW(answer.dump());
}
