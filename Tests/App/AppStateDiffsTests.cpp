#include "App/AppStateTestSupport.hpp"

#include <algorithm>

#include "OrvexCore/Diff/DiffReview.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Models/AppError.hpp"
#include "OrvexCore/Models/PersistedState.hpp"

using namespace OrvexCore;

namespace OrvexTest {
namespace {

std::vector<std::string> pathsOf(const std::vector<FileDiff>& files) {
    std::vector<std::string> paths;
    for (const auto& file : files) {
        paths.push_back(file.path);
    }
    return paths;
}

class AppStateDiffsTest : public AppStateTest {
protected:
    void SetUp() override {
        state = stateWith(repo);
        workspace = onlyWorkspace(*state);
        // The session changes one file and adds one; main then moves on by itself.
        session = run(state->addBranch(workspace.id, {}, "work", true, 1, 1, {}));
        writeFile(session.worktreePath + "/README.md", "changed in the session\n");
        commitIn(session.worktreePath, "added.txt", "new\n", "session work");
        repo.commitFile("main-only.txt", "main\n");
    }

    void TearDown() override { run(state->shutdownDiffHelper()); }

    std::vector<std::string> listedPaths() {
        return pathsOf(run(state->diff(*state->session(session.id))));
    }

    TempGitRepo repo;
    std::shared_ptr<AppState> state;
    Workspace workspace;
    Session session;
};

TEST_F(AppStateDiffsTest, BaseIsTheCompareRefThenTheBaseCommitThenTheMergeBase) {
    run(state->ensureDiffHelperRunning());
    const std::vector<std::string> sinceBase{"README.md", "added.txt"};
    EXPECT_EQ(listedPaths(), sinceBase);

    // Against main's tip, main's own new file shows up as removed in the session.
    state->setDiffCompareRef("main", session.id);
    EXPECT_EQ(listedPaths(), (std::vector<std::string>{"README.md", "added.txt", "main-only.txt"}));
    state->setDiffCompareRef(std::nullopt, session.id);
    EXPECT_EQ(listedPaths(), sinceBase);

    // A session found at start-up has no base commit: the merge base with HEAD is used, so
    // main's later commit does not show.
    Session adopted = *state->session(session.id);
    adopted.baseCommit.reset();
    EXPECT_EQ(pathsOf(run(state->diff(adopted))), sinceBase);

    auto patch = run(state->filePatch(adopted, "README.md"));
    EXPECT_NE(patch.find("+changed in the session"), std::string::npos);

    // The merge base needs the workspace; a session given with a stored base does not.
    state->removeWorkspace(workspace.id);
    auto orphaned = thrownBy<AppError>([&] { run(state->diff(adopted)); });
    EXPECT_EQ(orphaned, AppError::notAGitRepository(session.worktreePath));
    EXPECT_EQ(pathsOf(run(state->diff(session))), sinceBase);
}

TEST_F(AppStateDiffsTest, ReviewMarksLapseWhenThePatchChangesAndClearWithACompareRef) {
    run(state->ensureDiffHelperRunning());
    auto patch = run(state->filePatch(session, "README.md"));
    const int saves = store->saveCount();
    state->toggleReviewed(session.id, "README.md", patch);
    state->toggleReviewed(session.id, "added.txt", "some patch");
    EXPECT_EQ(store->saveCount(), saves + 2);
    EXPECT_TRUE(
        DiffReview::isReviewed("README.md", patch, state->session(session.id)->reviewedFiles));
    EXPECT_EQ(store->stored.sessions, state->sessions().get());

    writeFile(session.worktreePath + "/README.md", "changed again\n");
    auto newer = run(state->filePatch(session, "README.md"));
    EXPECT_FALSE(
        DiffReview::isReviewed("README.md", newer, state->session(session.id)->reviewedFiles));

    // Pruning with the current listing drops vanished files once, and saves once.
    state->pruneReviewed(session.id, {"README.md"});
    EXPECT_EQ(state->session(session.id)->reviewedFiles.count("added.txt"), 0u);
    EXPECT_EQ(store->saveCount(), saves + 3);
    state->pruneReviewed(session.id, {"README.md"});
    EXPECT_EQ(store->saveCount(), saves + 3);

    state->setDiffCompareRef("main", session.id);
    EXPECT_TRUE(state->session(session.id)->reviewedFiles.empty());
    EXPECT_EQ(state->session(session.id)->diffCompareRef, "main");
    EXPECT_EQ(store->stored.sessions, state->sessions().get());

    const int settled = store->saveCount();
    state->toggleReviewed(UUID(), "a", "b");
    state->pruneReviewed(UUID(), {});
    state->setDiffCompareRef("main", UUID());
    EXPECT_EQ(store->saveCount(), settled);
    expectIndexesConsistent(*state);
}

TEST_F(AppStateDiffsTest, CompareRefsListLocalAndRemoteBranches) {
    repo.addOrigin();
    auto refs = run(state->listDiffCompareRefs(session));
    EXPECT_EQ(refs.local, (std::vector<std::string>{"main", "work"}));
    EXPECT_NE(std::find(refs.remote.begin(), refs.remote.end(), "origin/main"), refs.remote.end());
    EXPECT_EQ(std::find(refs.remote.begin(), refs.remote.end(), "origin/HEAD"), refs.remote.end());

    state->removeWorkspace(workspace.id);
    auto orphaned = thrownBy<AppError>([&] { run(state->listDiffCompareRefs(session)); });
    EXPECT_EQ(orphaned, AppError::notAGitRepository(session.worktreePath));
}

TEST_F(AppStateDiffsTest, HelperAndInProcessRoutesGiveTheSameResults) {
    run(state->ensureDiffHelperRunning());
    writeFile(session.worktreePath + "/uncommitted.txt", "tracked later\n");
    OrvexTest::git(session.worktreePath, {"add", "uncommitted.txt"});

    auto throughHelper = run(state->diff(session));
    auto patchThroughHelper = run(state->filePatch(session, "README.md"));
    state->diffHelperEnabled().set(false);
    auto inProcess = run(state->diff(session));
    auto patchInProcess = run(state->filePatch(session, "README.md"));

    EXPECT_EQ(throughHelper, inProcess);
    EXPECT_EQ(patchThroughHelper, patchInProcess);
    EXPECT_EQ(pathsOf(inProcess),
              (std::vector<std::string>{"README.md", "added.txt", "uncommitted.txt"}));

    // A bad compare ref fails in the diff layer on both routes.
    state->setDiffCompareRef("no-such-branch", session.id);
    EXPECT_THROW(run(state->diff(*state->session(session.id))), GitError);
}

TEST_F(AppStateDiffsTest, HelperRouteFailsUntilStartedWithoutFallingBack) {
    auto refused = thrownBy<DiffHelperClient::ClientError>([&] { run(state->diff(session)); });
    EXPECT_EQ(refused, DiffHelperClient::ClientError::notRunning());
    // Switching the route starts nothing; the in-process route needs no helper.
    state->diffHelperEnabled().set(false);
    EXPECT_EQ(pathsOf(run(state->diff(session))),
              (std::vector<std::string>{"README.md", "added.txt"}));
}

} // namespace
} // namespace OrvexTest
