#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "OrvexCore/Git/ChangeSummary.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexCore::FileDiff;
using OrvexCore::GitCLIService;

// Files the session made and never added: each case is a file written into a fresh repository
// and what the listing and the patch must say of it.
TEST(GitUntrackedTests, NewFilesAreListedAsAddedWithTheirPatch) {
    struct Case {
        const char* label;
        std::string name;
        std::string contents;
        char status;
        std::int64_t added;
        const char* patchHolds; // nullptr: no patch text is checked
    };
    const std::vector<Case> cases{
        {"text", "notes.txt", "one\ntwo\nthree\n", 'A', 3, "+three\n"},
        {"no final line feed", "tail.txt", "a\nb", 'A', 2, "\\ No newline at end of file"},
        {"empty", "empty.txt", "", 'A', 0, nullptr},
        {"binary", "blob.bin", std::string("\0\1\2text", 7), 'B', 0, "Binary files"},
        {"in a new folder", "deep/er/new.txt", "x\n", 'A', 1, "+++ b/deep/er/new.txt"},
        {"space and odd bytes", "odd name \xC3\xA9\t\"q\".txt", "y\n", 'A', 1, "+y\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        OrvexTest::TempGitRepo repo;
        repo.write(c.name, c.contents);
        GitCLIService git;
        auto files = git.diff(repo.path(), repo.head());
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].path, c.name);
        EXPECT_EQ(files[0].status, c.status);
        EXPECT_EQ(files[0].added, c.added);
        EXPECT_EQ(files[0].removed, 0);
        auto patch = git.filePatch(repo.path(), c.name, repo.head());
        if (c.patchHolds) {
            EXPECT_NE(patch.find(c.patchHolds), std::string::npos) << patch;
            EXPECT_NE(patch.find("new file mode"), std::string::npos) << patch;
        }
    }
}

TEST(GitUntrackedTests, IgnoredDeletedAndNestedRepositoriesAreNotListed) {
    OrvexTest::TempGitRepo repo;
    repo.commitFile(".gitignore", "*.log\nbuild/\n");
    repo.write("run.log", "ignored\n");
    repo.write("build/out.o", "ignored\n");
    repo.write("kept.txt", "k\n");
    repo.write("brief.txt", "gone soon\n");
    std::filesystem::remove(repo.file("brief.txt"));
    OrvexTest::TempGitRepo nested(repo.file("vendor"));

    GitCLIService git;
    auto files = git.diff(repo.path(), repo.head());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].path, "kept.txt");
    // An ignored file has no patch either: it is not part of the session's changes.
    EXPECT_EQ(git.filePatch(repo.path(), "run.log", repo.head()), "");
}

// ".gitattributes" decides for files git does not track as it does for tracked ones: the
// listing agrees, file by file, with git's own numstat once the same files are added with
// intent to add. Binary by "binary" or "-diff", text by "diff" despite a NUL byte, rules of a
// folder's own (new) attributes file, and enough long names that asking git about them all
// fills the pipes both ways.
TEST(GitUntrackedTests, AttributesDecideBinaryAsForTrackedFiles) {
    OrvexTest::TempGitRepo repo;
    repo.commitFile(".gitattributes", "*.dat binary\n*.raw -diff\n*.txt diff\n");
    repo.write("lines.dat", "a\nb\n");
    repo.write("lines.raw", "a\nb\n");
    repo.write("nul.txt", std::string("a\0b\nc\n", 6));
    repo.write("plain.md", "a\nb\n");
    repo.write("nul.md", std::string("\0x\n", 3));
    repo.write("sub/.gitattributes", "*.md -diff\n");
    repo.write("sub/deep.md", "x\n");
    for (int i = 0; i < 1500; ++i) {
        repo.write(fmt::format("many/a-folder-name-long-enough-to-fill-pipes/file-{:04}.{}", i,
                               i % 2 ? "dat" : "md"),
                   "x\n");
    }
    GitCLIService git;
    auto files = git.diff(repo.path(), repo.head());
    EXPECT_NE(git.filePatch(repo.path(), "lines.raw", repo.head()).find("Binary files"),
              std::string::npos);

    std::map<std::string, std::string> listed;
    for (const auto& f : files) {
        listed[f.path] = f.status == 'B' ? "-\t-" : fmt::format("{}\t{}", f.added, f.removed);
    }
    repo.git({"add", "-N", "."});
    std::map<std::string, std::string> gits;
    const auto numstat = repo.git({"diff", "--numstat", "-z"});
    for (auto record : OrvexCore::Text::split(numstat, '\0', false)) {
        auto name = record.rfind('\t');
        gits[std::string(record.substr(name + 1))] = std::string(record.substr(0, name));
    }
    ASSERT_EQ(listed.size(), 1507u);
    EXPECT_EQ(listed, gits);
    EXPECT_EQ(listed["lines.dat"], "-\t-");
    EXPECT_EQ(listed["nul.txt"], "2\t0");
}

TEST(GitUntrackedTests, StatusesOfTrackedFilesComeFromGitsSummary) {
    OrvexTest::TempGitRepo repo;
    repo.write("old.txt", "o\n");
    repo.write("pic.png", std::string("\0png", 4));
    const auto base = repo.commitAll("base");
    std::filesystem::remove(repo.file("old.txt"));
    repo.write("README.md", "changed\n");
    repo.write("staged new.txt", "n\n");
    repo.git({"add", "staged new.txt"});
    repo.write("pic.png", std::string("\0png2", 5));

    auto files = GitCLIService().diff(repo.path(), base);
    std::string statuses;
    for (const auto& f : files) {
        statuses += f.path + "=" + f.status + " ";
    }
    EXPECT_EQ(statuses, "README.md=M old.txt=D pic.png=B staged new.txt=A ");
}

TEST(GitUntrackedTests, SummaryNamesAreUnquotedAsGitQuotesThem) {
    struct Case {
        std::string quoted;
        std::string name;
    };
    for (const auto& c : std::vector<Case>{{"plain name", "plain name"},
                                           {"\"tab\\there\"", "tab\there"},
                                           {"\"q\\\"uote\\\\\"", "q\"uote\\"},
                                           {"\"line\\nfeed\"", "line\nfeed"},
                                           {"\"\\303\\251\"", "\xC3\xA9"}}) {
        EXPECT_EQ(OrvexCore::ChangeSummary::unquoted(c.quoted), c.name) << c.quoted;
    }
}
