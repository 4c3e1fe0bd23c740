// Listing changes through a copy of the index: the road taken when git cannot hold every
// changed file mapped at once. It must list what the ordinary road lists and leave the
// user's index as it was.

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "Git/FakeGitPath.hpp"
#include "Git/GitPrinters.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexCore::FileDiff;
using OrvexCore::GitCLIService;

TEST(GitTemporaryIndexTests, ListsWhatDiffListsAndLeavesTheIndexAlone) {
    OrvexTest::TempGitRepo repo;
    OrvexTest::TempDir scratch;
    repo.write("same-size.txt", "line two\n");
    repo.write("grows.txt", "a\n");
    repo.write("touched.txt", "unchanged\n");
    repo.write("gone.txt", "bye\n");
    repo.write("tab\tname.txt", "x\n");
    const std::string base = repo.commitAll("base");
    auto linked = repo.addWorktree(scratch / "linked", "feature");

    for (const std::string& tree : {repo.path(), linked}) {
        OrvexTest::writeFile(tree + "/same-size.txt", "line TWO\n");
        OrvexTest::writeFile(tree + "/grows.txt", "a\nb\n");
        OrvexTest::writeFile(tree + "/touched.txt", "unchanged\n");
        // Stale stat data with unchanged content: git reads the file and must not list it.
        std::filesystem::last_write_time(tree + "/touched.txt",
                                         std::filesystem::file_time_type::clock::now() +
                                             std::chrono::hours(1));
        std::filesystem::remove(tree + "/gone.txt");
        OrvexTest::writeFile(tree + "/staged.txt", "new\n");
        OrvexTest::git(tree, {"add", "staged.txt"});
        OrvexTest::writeFile(tree + "/tab\tname.txt", "x\ny\n");

        std::string index =
            OrvexTest::git(tree, {"rev-parse", "--path-format=absolute", "--git-path", "index"});
        index.pop_back();
        const std::string bytesBefore = OrvexTest::readFile(index);
        const auto timeBefore = std::filesystem::last_write_time(index);

        GitCLIService git;
        auto throughCopy = git.changedFilesThroughTemporaryIndex(tree, base).fileDiffs();
        EXPECT_EQ(OrvexTest::readFile(index), bytesBefore) << tree;
        EXPECT_EQ(std::filesystem::last_write_time(index), timeBefore) << tree;
        EXPECT_FALSE(std::filesystem::exists(index + ".lock")) << tree;

        EXPECT_EQ(throughCopy, (std::vector<FileDiff>{{"gone.txt", 0, 1, ""},
                                                      {"grows.txt", 1, 0, ""},
                                                      {"same-size.txt", 1, 1, ""},
                                                      {"staged.txt", 1, 0, ""},
                                                      {"tab\tname.txt", 1, 0, ""}}))
            << tree;
        EXPECT_EQ(throughCopy, git.diff(tree, base)) << tree;
    }
}

// git stopping at the system's limit on memory maps sends the listing through the copy; any
// other failure is the caller's to see.
TEST(GitTemporaryIndexTests, DiffFallsBackToTheCopyOnlyWhenGitRunsOutOfMemoryMaps) {
    OrvexTest::TempGitRepo repo;
    const std::string base = repo.head();
    repo.write("a.txt", "x\n");
    repo.git({"add", "a.txt"});
    std::string realGit = OrvexTest::git(repo.path(), {"--exec-path"});
    realGit = realGit.substr(0, realGit.find('\n')) + "/git";

    {
        OrvexTest::FakeGitPath fakeGit(
            "if [ -z \"$GIT_INDEX_FILE\" ]; then case \"$*\" in *--numstat*)"
            " echo 'fatal: mmap failed: check sys.vm.max_map_count' >&2;"
            " exit 128;; esac; fi; exec '" +
            realGit + "' \"$@\"");
        EXPECT_EQ(GitCLIService().diff(repo.path(), base),
                  (std::vector<FileDiff>{{"a.txt", 1, 0, ""}}));
    }
    {
        OrvexTest::FakeGitPath fakeGit("case \"$*\" in *--numstat*) echo 'fatal: bad object' >&2;"
                                       " exit 128;; esac; exec '" +
                                       realGit + "' \"$@\"");
        EXPECT_THROW(GitCLIService().diff(repo.path(), base), OrvexCore::GitError);
    }
}
