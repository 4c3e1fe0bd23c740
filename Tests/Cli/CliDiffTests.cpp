#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "Cli/HomeWithRepo.hpp"
#include "Support/NumberedLines.hpp"

namespace fs = std::filesystem;
using nlohmann::json;
using OrvexTest::numberedLines;
using OrvexTest::sessionInStore;

namespace {

/// The listed files as "path status +added -removed[ reviewed]" lines.
std::string listed(const nlohmann::json& diff) {
    std::string out;
    for (const auto& file : diff["files"]) {
        out += fmt::format("{} {} +{} -{}{}\n", file["path"].get<std::string>(),
                           file["status"].get<std::string>(), file["added"].get<int>(),
                           file["removed"].get<int>(),
                           file["reviewed"].get<bool>() ? " reviewed" : "");
    }
    return out;
}

class CliReview : public OrvexTest::HomeWithRepo {
protected:
    void SetUp() override {
        repo.commitFile("story.txt", numberedLines(30));
        HomeWithRepo::SetUp();
        home.ok({"new", "-b", "work"});
    }

    void edit(const std::string& file, const std::string& text) {
        OrvexTest::writeFile(tree + "/" + file, text);
    }

    const std::string tree = worktree("work");
};

} // namespace

TEST_F(CliReview, DiffListsFilesCountsTotalsAndTheBase) {
    edit("story.txt", numberedLines(30, {{5, "line five"}, {6, "line six"}}));
    edit("added.txt", "a\nb\nc\n");
    OrvexTest::git(tree, {"add", "added.txt"});
    OrvexTest::git(tree, {"commit", "-q", "-m", "add a file"});
    edit("untracked.txt", "listed as a new file\n");

    auto diff = home.json({"diff", "work"});
    // A file committed on the branch and one git does not track are both new to the base.
    EXPECT_EQ(listed(diff), "added.txt A +3 -0\nstory.txt M +2 -2\nuntracked.txt A +1 -0\n");
    EXPECT_EQ(diff["totals"], json::parse(R"({"files":3,"added":6,"removed":2,"reviewed":0})"));
    EXPECT_EQ(diff["base"]["kind"], "baseCommit");
    EXPECT_EQ(diff["base"]["ref"], repo.head());

    auto table = home.ok({"diff", "work"});
    EXPECT_NE(table.find("base commit " + repo.head().substr(0, 10)), std::string::npos) << table;
}

TEST_F(CliReview, DiffTableAlignsColumnsAndMarksReviewedFiles) {
    edit("story.txt", numberedLines(30, {{5, "line five"}, {6, "line six"}}));
    std::string added;
    for (int i = 0; i < 12; ++i) {
        added += "x\n";
    }
    edit("a-much-longer-name.txt", added);
    OrvexTest::git(tree, {"add", "a-much-longer-name.txt"});
    home.ok({"review", "work", "story.txt"});

    auto table = home.ok({"diff", "work"});
    auto from = table.find("\n") + 1;
    EXPECT_EQ(table.substr(from), "  R  S  FILE                    ADDED  REMOVED\n"
                                  "     A  a-much-longer-name.txt  +12    -0\n"
                                  "  R  M  story.txt               +2     -2\n"
                                  "2 files changed, 14 insertions(+), 2 deletions(-); 1 of 2 "
                                  "reviewed\n")
        << table;
}

TEST_F(CliReview, ShowNumbersLinesAndFoldsLongContext) {
    edit("story.txt", numberedLines(30, {{5, "line FIVE"}}));
    // git gives three lines of context: lines 2 to 4 before the change, 6 to 8 after.
    auto folded = home.ok({"show", "work", "story.txt", "--context", "2"});
    for (const char* part :
         {"diff story.txt", "@@ -2,7 +2,7 @@", "   2    2 |  line 2\n",
          "... 1 unchanged line folded (fold 1: --expand 1)", "   4    4 |  line 4\n",
          "   5      | -line 5\n", "        5 | +line FIVE\n", "(fold 2: --expand 2)"}) {
        EXPECT_NE(folded.find(part), std::string::npos) << part << " in\n" << folded;
    }
    EXPECT_EQ(folded.find("line 3\n"), std::string::npos) << folded;
    EXPECT_EQ(folded.find("\x1b["), std::string::npos) << "no colour off a terminal";

    auto opened = home.ok({"show", "work", "story.txt", "--context", "2", "--expand", "1"});
    EXPECT_NE(opened.find("   3    3 |  line 3\n"), std::string::npos) << opened;
    EXPECT_EQ(opened.find("(fold 1:"), std::string::npos) << opened;
    EXPECT_NE(opened.find("(fold 2: --expand 2)"), std::string::npos) << opened;

    auto whole = home.ok({"show", "work"});
    EXPECT_EQ(whole.find("folded"), std::string::npos) << "runs of 3 stay under the default 8";
    EXPECT_NE(whole.find("   3    3 |  line 3\n"), std::string::npos) << whole;

    auto noSuchFold = home.run({"show", "work", "--context", "2", "--expand", "9"});
    EXPECT_EQ(noSuchFold.status, 2);
    auto notChanged = home.run({"show", "work", "README.md"});
    EXPECT_EQ(notChanged.status, 3);
    EXPECT_NE(notChanged.err.find("README.md"), std::string::npos);
}

TEST_F(CliReview, ShowColoursChangedWordsOnlyWhenAsked) {
    edit("story.txt", numberedLines(30, {{5, "line five"}}));
    auto coloured = home.ok({"--color", "always", "show", "work"});
    // The deleted "5" and the added "five" are the changed words of the pair.
    for (const char* part :
         {"\x1b[31;7m5\x1b[0m", "\x1b[32;7mfive\x1b[0m", "\x1b[31mline \x1b[0m"}) {
        EXPECT_NE(coloured.find(part), std::string::npos) << coloured;
    }
}

TEST_F(CliReview, ShowNeverPassesEscapeSequencesThrough) {
    edit("story.txt", numberedLines(30, {{5, "evil \x1b]0;pwned\x07 title"}}));
    auto out = home.ok({"show", "work"});
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_NE(out.find("evil ^[]0;pwned^G title"), std::string::npos) << out;
}

TEST_F(CliReview, ReviewMarksLapseWhenTheFileChangesAgain) {
    edit("story.txt", numberedLines(30, {{5, "line five"}}));
    edit("other.txt", "other\n");
    OrvexTest::git(tree, {"add", "other.txt"});
    auto out = home.ok({"review", "work", "story.txt"});
    EXPECT_NE(out.find("reviewed   story.txt"), std::string::npos) << out;
    auto marks = sessionInStore(home.store(), "work")["reviewedFiles"];
    ASSERT_TRUE(marks.contains("story.txt"));

    auto diff = home.json({"diff", "work"});
    EXPECT_EQ(listed(diff), "other.txt A +1 -0\nstory.txt M +1 -1 reviewed\n");
    EXPECT_EQ(diff["totals"]["reviewed"], 1);
    EXPECT_NE(home.ok({"show", "work", "story.txt"}).find("[reviewed]"), std::string::npos);

    // Another edit: the mark stays stored but no longer holds.
    edit("story.txt", numberedLines(30, {{5, "line five"}, {20, "twenty"}}));
    diff = home.json({"diff", "work"});
    EXPECT_EQ(diff["files"][1]["reviewed"], false);
    EXPECT_TRUE(sessionInStore(home.store(), "work")["reviewedFiles"].contains("story.txt"));

    // Marking again takes the new patch; toggling twice unmarks.
    home.ok({"review", "work", tree + "/story.txt"});
    EXPECT_EQ(home.json({"diff", "work"})["files"][1]["reviewed"], true);
    out = home.ok({"review", "work", "story.txt"});
    EXPECT_NE(out.find("unreviewed story.txt"), std::string::npos) << out;
    EXPECT_FALSE(sessionInStore(home.store(), "work")["reviewedFiles"].contains("story.txt"));

    // A mark on a file that is no longer changed is pruned.
    home.ok({"review", "work", "other.txt"});
    OrvexTest::git(tree, {"rm", "-q", "--cached", "other.txt"});
    fs::remove(tree + "/other.txt");
    out = home.ok({"review", "work", "--prune"});
    EXPECT_NE(out.find("dropped 1 mark"), std::string::npos) << out;
    EXPECT_TRUE(sessionInStore(home.store(), "work")["reviewedFiles"].empty());

    EXPECT_EQ(home.run({"review", "work"}).status, 2);
    EXPECT_EQ(home.run({"review", "work", "README.md"}).status, 3);
}

TEST_F(CliReview, CompareAgainstARefAndBack) {
    repo.git({"branch", "older", "HEAD~1"});
    edit("story.txt", numberedLines(30, {{1, "first"}}));
    home.ok({"review", "work", "story.txt"});

    auto out = home.ok({"compare", "work", "older"});
    EXPECT_NE(out.find("compare ref older"), std::string::npos) << out;
    EXPECT_NE(out.find("dropped 1 reviewed mark"), std::string::npos) << out;
    auto session = sessionInStore(home.store(), "work");
    EXPECT_EQ(session["diffCompareRef"], "older");
    EXPECT_TRUE(session["reviewedFiles"].empty());
    auto diff = home.json({"diff", "work"});
    EXPECT_EQ(diff["base"]["kind"], "compareRef");
    EXPECT_EQ(diff["files"].size(), 1u);
    EXPECT_EQ(diff["files"][0]["added"], 30);

    auto unknown = home.run({"compare", "work", "no-such-branch"});
    EXPECT_EQ(unknown.status, 3);
    auto unsafe = home.run({"compare", "work", "HEAD~1"});
    EXPECT_EQ(unsafe.status, 2);
    EXPECT_NE(unsafe.err.find("Invalid ref name"), std::string::npos) << unsafe.err;
    EXPECT_EQ(sessionInStore(home.store(), "work")["diffCompareRef"], "older");

    home.ok({"compare", "work", "--clear"});
    EXPECT_FALSE(sessionInStore(home.store(), "work").contains("diffCompareRef"));
    EXPECT_EQ(home.json({"diff", "work"})["base"]["kind"], "baseCommit");

    auto refs = home.json({"refs", "work"});
    auto local = refs["local"].get<std::vector<std::string>>();
    EXPECT_EQ(local, (std::vector<std::string>{"main", "older", "work"}));
    EXPECT_TRUE(refs["remote"].empty());
}
