#include "OrvexCore/Git/WorktreePorcelain.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "Git/GitPrinters.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexCore::WorktreeInfo;
namespace WorktreePorcelain = OrvexCore::WorktreePorcelain;

namespace {

struct PorcelainCase {
    const char* name;
    std::string output;
    std::vector<WorktreeInfo> expected;
};

} // namespace

TEST(WorktreePorcelainTests, ReadsRecordsAndLeavesOutTheMainWorktree) {
    const std::string mainRecord =
        "worktree /nonexistent/main\nHEAD 1111\nbranch refs/heads/main\n";
    const std::vector<PorcelainCase> cases = {
        {"empty output", "", {}},
        {"main worktree only", mainRecord + "\n", {}},
        {"a linked worktree with a branch in a folder",
         mainRecord + "\nworktree /nonexistent/w1\nHEAD 2222\nbranch refs/heads/feature/x\n\n",
         {{"/nonexistent/w1", "feature/x"}}},
        {"detached, locked and prunable lines are ignored",
         mainRecord +
             "\nworktree /nonexistent/w1\nHEAD 2222\ndetached\nlocked reason\nprunable gone\n\n",
         {{"/nonexistent/w1", std::nullopt}}},
        {"the last record needs no empty line",
         mainRecord + "\nworktree /nonexistent/w1\nHEAD 2222\nbranch refs/heads/a",
         {{"/nonexistent/w1", "a"}}},
        {"a worktree line ends the record before it",
         mainRecord + "worktree /nonexistent/w1\nbranch refs/heads/a\nworktree /nonexistent/w2\n",
         {{"/nonexistent/w1", "a"}, {"/nonexistent/w2", std::nullopt}}},
        {"only the leading refs/heads/ is taken off",
         mainRecord + "\nworktree /nonexistent/w1\nbranch refs/heads/fix/refs/heads/x\n",
         {{"/nonexistent/w1", "fix/refs/heads/x"}}},
        {"a record with the main path is left out too",
         mainRecord + "\nworktree /nonexistent/w1\nbranch refs/heads/a\n\nworktree "
                      "/nonexistent/main/\nbranch refs/heads/b\n",
         {{"/nonexistent/w1", "a"}}},
        {"paths with spaces",
         mainRecord + "\nworktree /nonexistent/my work\n\n",
         {{"/nonexistent/my work", std::nullopt}}},
        {"lines outside any record are ignored", "branch refs/heads/x\n\n" + mainRecord, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WorktreePorcelain::parse(c.output), c.expected) << c.name;
    }
}

TEST(WorktreePorcelainTests, ResolvesSymbolicLinksInPaths) {
    OrvexTest::TempDir dir;
    std::filesystem::create_directories(dir / "real/wt");
    std::filesystem::create_directory_symlink(dir / "real", dir / "link");
    auto infos = WorktreePorcelain::parse("worktree " + (dir / "main") + "\n\nworktree " +
                                          (dir / "link/wt") + "\nbranch refs/heads/s\n");
    EXPECT_EQ(infos, (std::vector<WorktreeInfo>{{dir / "real/wt", "s"}}));
}
