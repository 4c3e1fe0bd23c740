#include <filesystem>

#include <gtest/gtest.h>

#include "Git/FakeGitPath.hpp"
#include "Git/GitPrinters.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "Support/NumberedLines.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexCore::FileDiff;
using OrvexCore::GitCLIService;
using OrvexCore::GitError;
using OrvexTest::gitErrorOf;
using OrvexTest::numbered;

TEST(GitDiffTests, ListsCommittedStagedUnstagedAndUntrackedChanges) {
    OrvexTest::TempGitRepo repo;
    repo.write("keep.txt", numbered("k", 0, 9));
    repo.write("gone.txt", "a\nb\n");
    const std::string base = repo.commitAll("base");
    GitCLIService git;
    EXPECT_TRUE(git.diff(repo.path(), "main").empty());
    repo.commitFile("committed.txt", "one\ntwo\n");
    repo.write("keep.txt", numbered("k", 0, 7) + "changed\n");
    repo.write("staged.txt", "s\n");
    repo.git({"add", "staged.txt"});
    std::filesystem::remove(repo.file("gone.txt"));
    repo.write("untracked.txt", "u\n");

    EXPECT_EQ(git.diff(repo.path(), base), (std::vector<FileDiff>{
                                               {"committed.txt", 2, 0, ""},
                                               {"gone.txt", 0, 2, ""},
                                               {"keep.txt", 1, 2, ""},
                                               {"staged.txt", 1, 0, ""},
                                               {"untracked.txt", 1, 0, ""},
                                           }));
}

TEST(GitDiffTests, RenameIsADeletionAndAnAddition) {
    OrvexTest::TempGitRepo repo;
    repo.write("old/name.txt", numbered("line", 0, 19));
    const std::string base = repo.commitAll("base");
    repo.git({"mv", "old/name.txt", "new name.txt"});
    EXPECT_EQ(GitCLIService().diff(repo.path(), base),
              (std::vector<FileDiff>{{"new name.txt", 20, 0, ""}, {"old/name.txt", 0, 20, ""}}));
}

TEST(GitDiffTests, BinaryFilesCountNoLines) {
    OrvexTest::TempGitRepo repo;
    const std::string base = repo.head();
    repo.write("image.bin", std::string("\x89PNG\0\0\x01\x02", 8) + std::string(100, '\0'));
    repo.commitAll("binary");
    EXPECT_EQ(GitCLIService().diff(repo.path(), base),
              (std::vector<FileDiff>{{"image.bin", 0, 0, ""}}));
    EXPECT_NE(GitCLIService().filePatch(repo.path(), "image.bin", base).find("Binary files"),
              std::string::npos);
}

TEST(GitDiffTests, DiffAgainstAnotherBranchInALinkedWorktree) {
    OrvexTest::TempGitRepo repo;
    OrvexTest::TempDir scratch;
    auto wt = repo.addWorktree(scratch / "wt", "feature/login");
    OrvexTest::commitIn(wt, "login.txt", "user\n");
    OrvexTest::writeFile(wt + "/README.md", "# changed\n");
    EXPECT_EQ(GitCLIService().diff(wt, "main"),
              (std::vector<FileDiff>{{"README.md", 1, 1, ""}, {"login.txt", 1, 0, ""}}));
    EXPECT_EQ(GitCLIService().diff(repo.path(), "feature/login"),
              (std::vector<FileDiff>{{"login.txt", 0, 1, ""}}));
}

TEST(GitDiffTests, UnknownBaseSurfacesGitsMessageAndTheExactCommand) {
    OrvexTest::TempGitRepo repo;
    // The command's exact words are checked by AFailureCarriesWhatGitSaid.
    auto error = gitErrorOf([&] { GitCLIService().diff(repo.path(), "no-such-ref"); });
    EXPECT_EQ(error.exitCode, 128);
    EXPECT_NE(error.message.find("no-such-ref"), std::string::npos) << error.message;
    EXPECT_NE(std::string(error.what()).find(error.message.substr(0, 20)), std::string::npos);
    EXPECT_NE(std::string(error.what()).find("128"), std::string::npos);
    // Outside any repository the file patch fails the same way.
    OrvexTest::TempDir plain;
    EXPECT_GT(gitErrorOf([&] { GitCLIService().filePatch(plain.path(), "a", "main"); }).exitCode,
              0);
}

TEST(GitDiffTests, FilePatchIsTheUnifiedDiffOfOneFile) {
    OrvexTest::TempGitRepo repo;
    repo.write("a.txt", numbered("line", 0, 19));
    repo.write("b.txt", "other\n");
    const std::string base = repo.commitAll("base");
    repo.write("a.txt", numbered("line", 0, 9) + "inserted\n" + numbered("line", 10, 19));
    repo.write("b.txt", "changed\n");

    GitCLIService git;
    auto patch = git.filePatch(repo.path(), "a.txt", base);
    EXPECT_TRUE(patch.starts_with("diff --git a/a.txt b/a.txt\n")) << patch;
    EXPECT_NE(patch.find("@@ -8,6 +8,7 @@"), std::string::npos) << patch; // three lines context
    EXPECT_NE(patch.find("\n+inserted\n"), std::string::npos);
    EXPECT_EQ(patch.find("b.txt"), std::string::npos);

    EXPECT_EQ(git.filePatch(repo.path(), "README.md", base), "");
    EXPECT_EQ(git.filePatch(repo.path(), "no/such/file", base), "");
}

TEST(GitDiffTests, CapPatchSizeBoundary) {
    const std::string kb = "[diff truncated: file too large (";
    struct Case {
        size_t size;
        std::string expected; // empty: unchanged
    };
    for (const auto& c : std::vector<Case>{{0, ""},
                                           {524287, ""},
                                           {524288, ""},
                                           {524289, kb + "512 KB)]"},
                                           {525311, kb + "512 KB)]"},
                                           {525312, kb + "513 KB)]"},
                                           {1048576, kb + "1024 KB)]"}}) {
        std::string patch(c.size, 'x');
        auto capped = GitCLIService::capPatchSize(patch);
        EXPECT_EQ(capped, c.expected.empty() ? patch : c.expected) << c.size;
    }
    // The bound counts UTF-8 bytes, not characters.
    std::string wide;
    for (int i = 0; i < 262145; ++i) {
        wide += "\xC3\xA9";
    }
    EXPECT_EQ(GitCLIService::capPatchSize(wide), kb + "512 KB)]");
}

// The patch of a new file grows byte for byte with one of its lines, so padding that line
// puts a real patch exactly on either side of the bound.
TEST(GitDiffTests, RealPatchJustUnderAndJustOverTheBound) {
    OrvexTest::TempGitRepo repo;
    const std::string base = repo.head();
    const std::string body = numbered("some text on a line ", 0, 4999);
    repo.commitFile("big.txt", "pad\n" + body);
    GitCLIService git;
    const size_t unpadded = git.filePatch(repo.path(), "big.txt", base).size();
    ASSERT_LT(unpadded, 524288u);
    const size_t padding = 524288 - unpadded;

    repo.commitFile("big.txt", "pad" + std::string(padding, '.') + "\n" + body);
    auto atBound = git.filePatch(repo.path(), "big.txt", base);
    EXPECT_EQ(atBound.size(), 524288u);
    EXPECT_TRUE(atBound.starts_with("diff --git"));

    repo.commitFile("big.txt", "pad" + std::string(padding + 1, '.') + "\n" + body);
    EXPECT_EQ(git.filePatch(repo.path(), "big.txt", base),
              "[diff truncated: file too large (512 KB)]");
}

// git's own words are what it printed on standard error, or on standard output when it
// printed nothing on standard error.
TEST(GitDiffTests, AFailureCarriesWhatGitSaid) {
    {
        OrvexTest::FakeGitPath fakeGit("echo 'said on stdout'; exit 3");
        EXPECT_EQ(gitErrorOf([] { GitCLIService().diff("/repo", "main"); }),
                  GitError("git -C /repo -c core.quotePath=false diff --no-renames main "
                           "--numstat --summary -z",
                           3, "said on stdout\n"));
    }
    OrvexTest::FakeGitPath fakeGit("echo out; echo err >&2; exit 2");
    EXPECT_EQ(gitErrorOf([] { GitCLIService().headCommit("/repo"); }),
              GitError("git -C /repo rev-parse HEAD", 2, "err\n"));
}

TEST(GitDiffTests, MissingGitIsAGitErrorFromEnv) {
    OrvexTest::FakeGitPath emptyPath("exit 0");
    std::filesystem::remove(emptyPath.file("git"));
    auto error = gitErrorOf([] { GitCLIService().headCommit("/repo"); });
    EXPECT_EQ(error.exitCode, 127);
    EXPECT_NE(error.message.find("git"), std::string::npos) << error.message;
}
