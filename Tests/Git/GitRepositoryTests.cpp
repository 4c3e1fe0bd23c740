#include <filesystem>

#include <gtest/gtest.h>

#include "Git/GitPrinters.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexCore::GitCLIService;
using OrvexCore::GitError;
using OrvexCore::WorktreeInfo;
using OrvexTest::gitErrorOf;

namespace fs = std::filesystem;

namespace {

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

/// A real repository, a scratch folder and the service under test; `addOrigin()` gives the
/// repository a remote "origin" and a second clone of it from which commits are pushed.
class GitRepositoryTests : public ::testing::Test {
protected:
    void addOrigin() {
        bare = repo.addOrigin();
        other = scratch / "other";
        OrvexTest::git(scratch.path(), {"clone", "-q", bare, other});
    }
    /// Commits on a new branch in the other clone and pushes it to origin.
    void pushBranch(const std::string& branch) {
        OrvexTest::git(other, {"checkout", "-q", "-b", branch});
        OrvexTest::commitIn(other, branch + ".txt", branch, branch);
        OrvexTest::git(other, {"push", "-q", "origin", branch});
    }

    OrvexTest::TempGitRepo repo;
    OrvexTest::TempDir scratch;
    GitCLIService git;
    std::string bare;
    std::string other;
};

} // namespace

TEST_F(GitRepositoryTests, IsGitRepoAnswersWithoutThrowing) {
    OrvexTest::TempDir plain;
    fs::create_directories(repo.file("sub/dir"));
    EXPECT_TRUE(git.isGitRepo(repo.path()));
    EXPECT_TRUE(git.isGitRepo(repo.file("sub/dir")));
    EXPECT_FALSE(git.isGitRepo(repo.file(".git"))); // git answers "false" there
    EXPECT_FALSE(git.isGitRepo(plain.path()));
    EXPECT_FALSE(git.isGitRepo(plain / "does-not-exist"));
}

TEST_F(GitRepositoryTests, InitRepoMakesARepository) {
    OrvexTest::TempDir dir;
    git.initRepo(dir.path());
    EXPECT_TRUE(git.isGitRepo(dir.path()));
    auto noCommit = gitErrorOf([&] { git.headCommit(dir.path()); });
    EXPECT_EQ(noCommit.exitCode, 128);
    EXPECT_TRUE(contains(noCommit.message, "HEAD")) << noCommit.message;
}

TEST_F(GitRepositoryTests, CurrentBranchAndHeadCommit) {
    EXPECT_EQ(git.currentBranch(repo.path()), "main");
    EXPECT_EQ(git.headCommit(repo.path()), repo.head());
    repo.git({"checkout", "-q", "-b", "feature/login"});
    EXPECT_EQ(git.currentBranch(repo.path()), "feature/login");

    repo.git({"checkout", "-q", "--detach"});
    auto error = gitErrorOf([&] { git.currentBranch(repo.path()); });
    EXPECT_EQ(error.command, "git -C " + repo.path() + " symbolic-ref --short HEAD");
    EXPECT_TRUE(contains(error.message, "not a symbolic ref")) << error.message;
    EXPECT_EQ(git.headCommit(repo.path()), repo.head());
}

TEST_F(GitRepositoryTests, AddWorktreeCreatesTheBranchFromHead) {
    const std::string wt = scratch / "sessions/feature/login";
    git.addWorktree(repo.path(), wt, "feature/login");
    EXPECT_EQ(git.currentBranch(wt), "feature/login");
    EXPECT_EQ(git.headCommit(wt), repo.head());
    EXPECT_EQ(git.listWorktrees(repo.path()), (std::vector<WorktreeInfo>{{wt, "feature/login"}}));

    auto sameBranch =
        gitErrorOf([&] { git.addWorktree(repo.path(), scratch / "x", "feature/login"); });
    EXPECT_EQ(sameBranch.command,
              "git -C " + repo.path() + " worktree add -b feature/login " + (scratch / "x"));
    EXPECT_TRUE(contains(sameBranch.message, "already exists")) << sameBranch.message;
    EXPECT_FALSE(fs::exists(scratch / "x"));

    auto samePath = gitErrorOf([&] { git.addWorktree(repo.path(), wt, "other"); });
    EXPECT_TRUE(contains(samePath.message, "already exists")) << samePath.message;
}

TEST_F(GitRepositoryTests, RemoveWorktreeRefusesLocalChangesUnlessForced) {
    auto clean = repo.addWorktree(scratch / "clean", "clean");
    git.removeWorktree(repo.path(), clean, false);
    EXPECT_FALSE(fs::exists(clean));
    EXPECT_TRUE(git.localBranchExists(repo.path(), "clean")); // the branch stays

    auto dirty = repo.addWorktree(scratch / "dirty", "dirty");
    OrvexTest::writeFile(dirty + "/new.txt", "x");
    auto refused = gitErrorOf([&] { git.removeWorktree(repo.path(), dirty, false); });
    EXPECT_EQ(refused.command, "git -C " + repo.path() + " worktree remove " + dirty);
    EXPECT_TRUE(contains(refused.message, "--force")) << refused.message;
    EXPECT_TRUE(fs::exists(dirty + "/new.txt"));

    git.removeWorktree(repo.path(), dirty, true);
    EXPECT_FALSE(fs::exists(dirty));
    EXPECT_TRUE(git.listWorktrees(repo.path()).empty());
}

TEST_F(GitRepositoryTests, DeleteBranchRefusesUnmergedWorkUnlessForced) {
    repo.git({"branch", "merged"});
    git.deleteBranch(repo.path(), "merged", false);
    EXPECT_FALSE(git.localBranchExists(repo.path(), "merged"));

    repo.git({"checkout", "-q", "-b", "feature/work"});
    repo.commitFile("w.txt", "w");
    repo.git({"checkout", "-q", "main"});
    auto refused = gitErrorOf([&] { git.deleteBranch(repo.path(), "feature/work", false); });
    EXPECT_EQ(refused,
              GitError("git -C " + repo.path() + " branch -d feature/work", 1, refused.message));
    EXPECT_TRUE(contains(refused.message, "not fully merged")) << refused.message;
    EXPECT_TRUE(git.localBranchExists(repo.path(), "feature/work"));

    git.deleteBranch(repo.path(), "feature/work", true);
    EXPECT_FALSE(git.localBranchExists(repo.path(), "feature/work"));
}

TEST_F(GitRepositoryTests, RenameBranchRunsInTheWorktree) {
    auto wt = repo.addWorktree(scratch / "wt", "old-name");
    repo.git({"branch", "taken"});
    git.renameBranch("/not/used", wt, "old-name", "team/new-name");
    EXPECT_EQ(git.currentBranch(wt), "team/new-name");
    EXPECT_EQ(git.listWorktrees(repo.path()), (std::vector<WorktreeInfo>{{wt, "team/new-name"}}));

    auto refused = gitErrorOf([&] { git.renameBranch(repo.path(), wt, "team/new-name", "taken"); });
    EXPECT_EQ(refused.command, "git -C " + wt + " branch -m team/new-name taken");
    EXPECT_TRUE(contains(refused.message, "already exists")) << refused.message;
    EXPECT_EQ(git.currentBranch(wt), "team/new-name");
}

TEST_F(GitRepositoryTests, HasUncommittedChanges) {
    OrvexTest::TempDir plain;
    EXPECT_FALSE(git.hasUncommittedChanges(repo.path()));
    repo.write("untracked.txt", "u");
    EXPECT_TRUE(git.hasUncommittedChanges(repo.path()));
    repo.commitAll("add");
    EXPECT_FALSE(git.hasUncommittedChanges(repo.path()));
    repo.write("README.md", "changed");
    EXPECT_TRUE(git.hasUncommittedChanges(repo.path()));
    EXPECT_FALSE(git.hasUncommittedChanges(plain.path()));
    EXPECT_FALSE(git.hasUncommittedChanges(plain / "missing"));
}

TEST_F(GitRepositoryTests, BranchExistenceQueries) {
    addOrigin();
    repo.git({"branch", "feature/x"});
    const auto& path = repo.path();
    EXPECT_TRUE(git.localBranchExists(path, "main"));
    EXPECT_TRUE(git.localBranchExists(path, "feature/x"));
    EXPECT_FALSE(git.localBranchExists(path, "feature"));
    EXPECT_FALSE(git.localBranchExists(path, "origin/main")); // not a local branch
    EXPECT_TRUE(git.remoteBranchExists(path, "origin/main"));
    EXPECT_FALSE(git.remoteBranchExists(path, "main"));
    EXPECT_FALSE(git.remoteBranchExists(path, "origin/feature/x"));
    EXPECT_FALSE(git.localBranchExists(scratch / "missing", "main"));
}

TEST_F(GitRepositoryTests, FetchWithAndWithoutABranch) {
    addOrigin();
    pushBranch("first");
    EXPECT_FALSE(git.remoteBranchExists(repo.path(), "origin/first"));
    git.fetch(repo.path(), "origin", std::nullopt);
    EXPECT_TRUE(git.remoteBranchExists(repo.path(), "origin/first"));

    pushBranch("second");
    git.fetch(repo.path(), "origin", std::string("second"));
    EXPECT_TRUE(git.remoteBranchExists(repo.path(), "origin/second"));

    auto unknownRemote = gitErrorOf([&] { git.fetch(repo.path(), "nowhere", std::nullopt); });
    EXPECT_EQ(unknownRemote.command, "git -C " + repo.path() + " fetch nowhere");
    EXPECT_EQ(unknownRemote.exitCode, 128);
    auto unknownBranch = gitErrorOf([&] { git.fetch(repo.path(), "origin", "nope"); });
    EXPECT_EQ(unknownBranch.command, "git -C " + repo.path() + " fetch origin nope");
    EXPECT_TRUE(contains(unknownBranch.message, "nope")) << unknownBranch.message;
}

TEST_F(GitRepositoryTests, ListsLocalAndRemoteBranches) {
    addOrigin();
    repo.git({"branch", "zeta"});
    repo.git({"branch", "feature/login"});
    repo.git({"remote", "add", "upstream", bare});
    repo.git({"fetch", "-q", "upstream"});
    repo.git({"remote", "set-head", "upstream", "main"});
    EXPECT_EQ(git.listLocalBranches(repo.path()),
              (std::vector<std::string>{"feature/login", "main", "zeta"}));
    // Only origin's HEAD is hidden; another remote's stays.
    EXPECT_EQ(git.listRemoteBranches(repo.path()),
              (std::vector<std::string>{"origin/main", "upstream/HEAD", "upstream/main"}));

    OrvexTest::TempGitRepo lonely;
    EXPECT_TRUE(git.listRemoteBranches(lonely.path()).empty());
    auto error = gitErrorOf([&] { git.listLocalBranches(scratch / "missing"); });
    EXPECT_EQ(error.exitCode, 128);
}

TEST_F(GitRepositoryTests, ListWorktreesReportsLinkedWorktreesOnly) {
    EXPECT_TRUE(git.listWorktrees(repo.path()).empty());

    // Names in ascending order: git lists linked worktrees sorted.
    auto named = repo.addWorktree(scratch / "a-named", "feature/x");
    repo.git({"worktree", "add", "-q", "--detach", scratch / "b-detached"});
    fs::create_directories(scratch / "c-real");
    fs::create_directory_symlink(scratch / "c-real", scratch / "link");
    repo.git({"worktree", "add", "-q", "-b", "via-link", scratch / "link/wt"});
    repo.git({"worktree", "add", "-q", "-b", "caf\xC3\xA9-branch", scratch / "d sp ace"});
    repo.git({"worktree", "add", "-q", "-b", "odd", scratch / "e line\nfeed"});

    auto expected = std::vector<WorktreeInfo>{{scratch / "a-named", "feature/x"},
                                              {scratch / "b-detached", std::nullopt},
                                              {scratch / "c-real/wt", "via-link"},
                                              {scratch / "d sp ace", "caf\xC3\xA9-branch"},
                                              {scratch / "e line\nfeed", "odd"}};
    EXPECT_EQ(git.listWorktrees(repo.path()), expected);
    // Asked from inside a linked worktree, the main worktree is still the one left out.
    EXPECT_EQ(git.listWorktrees(named), expected);
}

TEST_F(GitRepositoryTests, UnmergedCommitCountCountsWorkFoundNowhereElse) {
    addOrigin();
    auto wt = repo.addWorktree(scratch / "wt", "feature/x");
    EXPECT_EQ(git.unmergedCommitCount(repo.path(), "feature/x"), 0);

    OrvexTest::commitIn(wt, "one.txt", "1");
    OrvexTest::commitIn(wt, "two.txt", "2");
    EXPECT_EQ(git.unmergedCommitCount(repo.path(), "feature/x"), 2);

    // A branch whose name starts with this one's is a different branch and still counts as
    // elsewhere.
    repo.git({"branch", "feature/x2", "feature/x~1"});
    EXPECT_EQ(git.unmergedCommitCount(repo.path(), "feature/x"), 1);
    EXPECT_EQ(git.unmergedCommitCount(repo.path(), "feature/x2"), 0);
    repo.git({"branch", "-D", "feature/x2"});

    OrvexTest::git(wt, {"push", "-q", "origin", "feature/x"});
    EXPECT_EQ(git.unmergedCommitCount(repo.path(), "feature/x"), 0);
    repo.git({"branch", "-r", "-D", "origin/feature/x"});
    EXPECT_EQ(git.unmergedCommitCount(repo.path(), "feature/x"), 2);

    repo.git({"merge", "-q", "--ff-only", "feature/x"});
    EXPECT_EQ(git.unmergedCommitCount(repo.path(), "feature/x"), 0);

    auto missing = gitErrorOf([&] { git.unmergedCommitCount(repo.path(), "nope"); });
    EXPECT_EQ(missing.exitCode, 128);
}

TEST_F(GitRepositoryTests, UnmergedCommitCountSeesTheMainCheckoutsDetachedHead) {
    repo.git({"checkout", "-q", "-b", "session"});
    repo.commitFile("s.txt", "s");
    repo.git({"checkout", "-q", "--detach"});
    EXPECT_EQ(git.unmergedCommitCount(repo.path(), "session"), 0);
    repo.git({"checkout", "-q", "main"});
    EXPECT_EQ(git.unmergedCommitCount(repo.path(), "session"), 1);
}
