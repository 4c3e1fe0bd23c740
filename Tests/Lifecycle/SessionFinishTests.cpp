#include <filesystem>

#include <gtest/gtest.h>

#include "OrvexCore/Lifecycle/LifecycleError.hpp"
#include "OrvexCore/Lifecycle/SessionFinish.hpp"
#include "Support/ScopedEnvironment.hpp"
#include "Support/TempGitRepo.hpp"
#include "Support/ThrownBy.hpp"

namespace fs = std::filesystem;
namespace Finish = OrvexCore::SessionFinish;
using OrvexCore::LifecycleError;
using OrvexTest::TempGitRepo;
using OrvexTest::thrownBy;

namespace {

class SessionFinishTest : public ::testing::Test {
protected:
    void SetUp() override {
        origin = repo.addOrigin();
        worktree = repo.addWorktree(repo.path() + "-session", "session");
        request.repoPath = repo.path();
        request.worktreePath = worktree;
        request.branch = "session";
        request.title = "Add the parser";
    }

    void commitInSession(const std::string& file, const std::string& text) const {
        OrvexTest::commitIn(worktree, file, text, "session work");
    }

    /// Everything a failed finish must leave as it was.
    std::string snapshot() const {
        return repo.git({"for-each-ref", "--format=%(refname) %(objectname)"}) +
               repo.git({"rev-parse", "HEAD"}) + repo.git({"status", "--porcelain"}) +
               OrvexTest::git(worktree, {"rev-parse", "HEAD"}) +
               OrvexTest::git(worktree, {"status", "--porcelain"}) +
               OrvexTest::git(worktree, {"symbolic-ref", "HEAD"});
    }

    void finish() const {
        auto plan = Finish::plan(request);
        Finish::execute(plan, request, [](const std::string&) {});
    }

    TempGitRepo repo;
    std::string origin;
    std::string worktree;
    Finish::Request request;
};

std::string at(const std::string& dir, const std::string& ref) {
    auto out = OrvexTest::git(dir, {"rev-parse", ref});
    return out.substr(0, out.find('\n'));
}

bool isAncestor(const std::string& dir, const std::string& a, const std::string& b) {
    try {
        OrvexTest::git(dir, {"merge-base", "--is-ancestor", a, b});
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

TEST_F(SessionFinishTest, EachStrategyBringsTheWorkOntoTheBase) {
    int round = 0;
    for (auto strategy :
         {Finish::Strategy::merge, Finish::Strategy::rebase, Finish::Strategy::squash}) {
        SCOPED_TRACE(static_cast<int>(strategy));
        ++round;
        commitInSession("feature" + std::to_string(round) + ".txt", "work\n");
        repo.commitFile("main" + std::to_string(round) + ".txt", "main\n");
        std::string mainBefore = repo.head();
        request.strategy = strategy;
        finish();
        std::string tip = at(worktree, "HEAD");
        EXPECT_TRUE(isAncestor(repo.path(), mainBefore, "main"));
        EXPECT_TRUE(fs::exists(repo.file("feature" + std::to_string(round) + ".txt")));
        EXPECT_EQ(repo.git({"status", "--porcelain"}), "");
        switch (strategy) {
        case Finish::Strategy::merge:
            EXPECT_TRUE(isAncestor(repo.path(), tip, "main"));
            break;
        case Finish::Strategy::rebase:
            EXPECT_EQ(at(repo.path(), "main"), tip) << "rebased, then fast-forwarded";
            EXPECT_EQ(at(repo.path(), "main^"), mainBefore) << "history stays linear";
            break;
        case Finish::Strategy::squash:
            EXPECT_FALSE(isAncestor(repo.path(), tip, "main"));
            EXPECT_EQ(at(repo.path(), "main^"), mainBefore) << "one new commit";
            EXPECT_EQ(repo.git({"log", "-1", "--format=%s"}), "Add the parser\n");
            // Let the next round start from a branch that holds main.
            OrvexTest::git(worktree, {"merge", "-q", "main"});
            break;
        }
    }
}

TEST_F(SessionFinishTest, AConflictLeavesBranchWorktreeAndBaseExactlyAsTheyWere) {
    commitInSession("README.md", "session's readme\n");
    repo.commitFile("README.md", "main's readme\n");
    repo.write("untracked.txt", "kept\n");
    std::string before = snapshot();
    for (auto strategy :
         {Finish::Strategy::merge, Finish::Strategy::rebase, Finish::Strategy::squash}) {
        request.strategy = strategy;
        auto e = thrownBy<LifecycleError>([&] { finish(); });
        ASSERT_TRUE(e) << "finished despite the conflict";
        EXPECT_EQ(e->kind, LifecycleError::Kind::conflict);
        EXPECT_EQ(e->files, std::vector<std::string>{"README.md"});
        EXPECT_NE(std::string(e->what()).find("README.md"), std::string::npos);
        EXPECT_EQ(snapshot(), before) << static_cast<int>(strategy);
    }
}

TEST_F(SessionFinishTest, RefusesDirtyCheckoutsAndPlansWithoutChanging) {
    commitInSession("a.txt", "a\n");
    OrvexTest::writeFile(worktree + "/scratch.txt", "not committed\n");
    std::string refs = repo.git({"for-each-ref", "--format=%(refname) %(objectname)"});
    auto refused = thrownBy<LifecycleError>([&] { Finish::plan(request); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind, LifecycleError::Kind::refused);
    fs::remove(worktree + "/scratch.txt");
    repo.write("README.md", "edited, not committed\n");
    EXPECT_THROW(Finish::plan(request), LifecycleError);
    repo.git({"checkout", "README.md"});

    request.strategy = Finish::Strategy::squash;
    request.push = true;
    auto plan = Finish::plan(request);
    EXPECT_EQ(plan.base, "main");
    EXPECT_EQ(plan.commitsToBring, 1);
    ASSERT_EQ(plan.steps.size(), 3u);
    EXPECT_EQ(plan.steps[2].role, Finish::Step::Role::push);
    EXPECT_EQ(repo.git({"for-each-ref", "--format=%(refname) %(objectname)"}), refs);
    EXPECT_EQ(repo.git({"status", "--porcelain"}), "");
}

TEST_F(SessionFinishTest, PushReachesTheOriginAndAPullRequestWithoutTheToolSaysWhy) {
    commitInSession("a.txt", "a\n");
    request.push = true;
    finish();
    EXPECT_EQ(at(origin, "refs/heads/session"), at(worktree, "HEAD"));
    EXPECT_EQ(at(origin, "refs/heads/main"), at(repo.path(), "refs/remotes/origin/main"))
        << "only the session's branch is pushed";

    // A PATH with git and without gh.
    OrvexTest::TempDir bin;
    fs::create_symlink("/usr/bin/git", bin / "git");
    OrvexTest::ScopedEnvironment onlyGit("PATH", bin.path());
    request.push = false;
    request.pullRequest = true;
    auto impossible = thrownBy<LifecycleError>([&] { Finish::plan(request); });
    ASSERT_TRUE(impossible) << "a local origin has no pull request page";
    EXPECT_EQ(impossible->kind, LifecycleError::Kind::impossible);
    EXPECT_NE(std::string(impossible->what()).find("not installed"), std::string::npos);
    repo.git({"remote", "set-url", "origin", "git@github.com:acme/widgets.git"});
    auto plan = Finish::plan(request);
    ASSERT_EQ(plan.steps.size(), 2u) << "push, then the address; nothing merged here";
    EXPECT_EQ(plan.steps[1].role, Finish::Step::Role::print);
    EXPECT_NE(plan.steps[1].description.find(
                  "https://github.com/acme/widgets/compare/main...session?expand=1"),
              std::string::npos)
        << plan.steps[1].description;

    EXPECT_EQ(Finish::compareAddress("https://gitlab.com/a/b.git", "main", "f/x"),
              "https://gitlab.com/a/b/-/merge_requests/new?merge_request%5Bsource_branch%5D=f/"
              "x&merge_request%5Btarget_branch%5D=main");
    EXPECT_EQ(Finish::compareAddress("ssh://git@bitbucket.org/a/b.git", "main", "x"),
              "https://bitbucket.org/a/b/pull-requests/new?source=x&dest=main");
    EXPECT_EQ(Finish::compareAddress("/srv/git/b.git", "main", "x"), std::nullopt);
    EXPECT_EQ(Finish::compareAddress("https://example.com/a/b", "main", "x"), std::nullopt);
}
