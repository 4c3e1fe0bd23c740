#include <filesystem>

#include <gtest/gtest.h>

#include "OrvexCore/Lifecycle/Leftovers.hpp"
#include "OrvexCore/Lifecycle/LifecycleError.hpp"
#include "Support/TempGitRepo.hpp"

namespace fs = std::filesystem;
namespace Leftovers = OrvexCore::Leftovers;
using OrvexTest::TempDir;
using OrvexTest::TempGitRepo;

TEST(Leftovers, FindsExactlyThePlantedOrphansAndKeepsWorkUnlessForced) {
    TempGitRepo repo;
    TempDir root;
    const std::string live = "11111111-1111-1111-1111-111111111111";
    const std::string dead = "22222222-2222-2222-2222-222222222222";

    std::string owned = repo.addWorktree(root / "owned", "owned");
    Leftovers::markSessionBranch(repo.path(), "owned", live);
    std::string clean = repo.addWorktree(root / "feature/clean", "feature/clean");
    Leftovers::markSessionBranch(repo.path(), "feature/clean", dead);
    std::string busy = repo.addWorktree(root / "busy", "busy");
    OrvexTest::commitIn(busy, "new.txt", "work\n");
    Leftovers::markSessionBranch(repo.path(), "busy", dead);
    OrvexTest::writeFile(root / "stale/.git", "gitdir: /nowhere/at/all\n");
    OrvexTest::writeFile(root / "stale/notes.txt", "12345");
    OrvexTest::writeFile(root / "plain/file.txt", "not a worktree\n");
    repo.git({"branch", "users-own"});
    std::string gone = repo.addWorktree(repo.path() + "-gone", "gone");
    fs::remove_all(gone);

    auto worktrees = Leftovers::unownedWorktrees(root.path(), {owned});
    ASSERT_EQ(worktrees.size(), 3u);
    EXPECT_EQ(worktrees[0].path, busy);
    EXPECT_EQ(worktrees[0].unmergedCommits, 1);
    EXPECT_EQ(worktrees[1].path, clean);
    EXPECT_EQ(worktrees[1].branch, "feature/clean");
    EXPECT_EQ(worktrees[1].repoPath, repo.path());
    EXPECT_FALSE(Leftovers::holdsWork(worktrees[1]));
    EXPECT_EQ(worktrees[2].path, root / "stale");
    EXPECT_FALSE(worktrees[2].repoPath);
    EXPECT_EQ(worktrees[2].bytes, 5u + std::string("gitdir: /nowhere/at/all\n").size());
    EXPECT_TRUE(Leftovers::holdsWork(worktrees[2])) << "unknown contents count as work";

    auto branches = Leftovers::orphanBranches(repo.path(), {live});
    ASSERT_EQ(branches.size(), 2u) << "neither the live session's nor the user's own branch";
    EXPECT_EQ(branches[0].name, "busy");
    EXPECT_EQ(branches[0].unmergedCommits, 1);
    EXPECT_EQ(branches[1].name, "feature/clean");
    EXPECT_EQ(branches[1].unmergedCommits, 0);

    auto entries = Leftovers::prunableEntries(repo.path());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, gone);

    EXPECT_THROW(Leftovers::remove(worktrees[0], false), OrvexCore::LifecycleError);
    EXPECT_THROW(Leftovers::remove(worktrees[2], false), OrvexCore::LifecycleError);
    EXPECT_TRUE(fs::exists(busy));
    EXPECT_TRUE(fs::exists(root / "stale"));
    Leftovers::remove(worktrees[1], false);
    Leftovers::remove(branches[1], false);
    EXPECT_THROW(Leftovers::remove(branches[0], false), OrvexCore::LifecycleError);
    Leftovers::remove(worktrees[0], true);
    Leftovers::remove(branches[0], true);
    Leftovers::remove(worktrees[2], true);
    Leftovers::pruneEntries(repo.path());

    EXPECT_TRUE(Leftovers::unownedWorktrees(root.path(), {owned}).empty());
    EXPECT_TRUE(Leftovers::orphanBranches(repo.path(), {live}).empty());
    EXPECT_TRUE(Leftovers::prunableEntries(repo.path()).empty());
    EXPECT_NE(repo.git({"branch", "--list", "users-own"}), "");
    EXPECT_TRUE(fs::exists(owned));
}
