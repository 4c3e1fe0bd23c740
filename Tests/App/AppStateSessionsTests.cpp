#include "App/AppStateTestSupport.hpp"

#include <filesystem>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>

#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Models/AppError.hpp"
#include "OrvexCore/Models/PersistedState.hpp"
#include "OrvexCore/Util/Text.hpp"

using namespace OrvexCore;

namespace OrvexTest {
namespace {

bool branchExists(const TempGitRepo& repo, const std::string& branch) {
    return !repo.git({"branch", "--list", branch}).empty();
}

class AppStateSessionsTest : public AppStateTest {
protected:
    void SetUp() override {
        state = stateWith(repo);
        workspace = onlyWorkspace(*state);
    }

    Session add(std::optional<std::string> branch, bool useWorktree = true,
                std::optional<std::string> title = std::nullopt,
                std::optional<std::string> command = std::nullopt) {
        return run(state->addBranch(workspace.id, title, branch, useWorktree, 2, 3, command));
    }

    TempGitRepo repo;
    std::shared_ptr<AppState> state;
    Workspace workspace;
};

// MARK: Creating

TEST_F(AppStateSessionsTest, NewWorktreeOnAGeneratedNameUsesItForFolderBranchAndTitle) {
    const std::string head = repo.head();
    Session first = add(std::nullopt);
    EXPECT_EQ(first.worktreePath, sessionsRoot() + "/" + first.slug);
    EXPECT_EQ(first.branch, first.slug);
    EXPECT_EQ(first.title, first.slug);
    EXPECT_EQ(first.baseCommit, head);
    EXPECT_TRUE(first.isWorktree);
    EXPECT_EQ(first.gridRows, 2);
    EXPECT_EQ(first.gridCols, 3);
    EXPECT_EQ(Text::trimmed(OrvexTest::git(first.worktreePath, {"branch", "--show-current"})),
              first.slug);
    EXPECT_EQ(state->sessions().get(), std::vector<Session>{first});
    EXPECT_EQ(store->stored.sessions, state->sessions().get());
    expectIndexesConsistent(*state);
}

TEST_F(AppStateSessionsTest, GeneratedSlugsAvoidEveryWorkspacesSlugs) {
    // One word each: the second name must fall back to a numbered one.
    auto narrow = std::make_shared<AppState>(context.get_executor(), git, store,
                                             SlugGenerator{{"calm"}, {"fox"}}, sessionsRoot(),
                                             makeDiffHelper());
    run(narrow->loadPersisted());
    TempGitRepo other;
    auto a = *run(narrow->openWorkspace(repo.path())).workspace;
    auto b = *run(narrow->openWorkspace(other.path())).workspace;
    auto first = run(narrow->addBranch(a.id, std::nullopt, std::nullopt, true, 1, 1, {}));
    auto second = run(narrow->addBranch(b.id, std::nullopt, std::nullopt, false, 1, 1, {}));
    auto third = run(narrow->addBranch(b.id, std::nullopt, std::nullopt, true, 1, 1, {}));
    EXPECT_EQ(first.slug, "calm-fox");
    EXPECT_EQ(second.slug, "calm-fox-2");
    EXPECT_EQ(third.slug, "calm-fox-3");
}

TEST_F(AppStateSessionsTest, GivenBranchNamesAreTrimmedAndMayNestFolders) {
    Session session = add("  feature/login \n", true, "  ", "  assistant --resume  ");
    EXPECT_EQ(session.worktreePath, sessionsRoot() + "/feature/login");
    EXPECT_TRUE(std::filesystem::is_directory(sessionsRoot() + "/feature/login"));
    EXPECT_EQ(session.branch, "feature/login");
    EXPECT_EQ(session.slug, "feature/login");
    EXPECT_EQ(session.title, "feature/login");
    EXPECT_EQ(session.initialCommand, "assistant --resume");

    Session blank = add("other", true, " Named ", " \t ");
    EXPECT_EQ(blank.title, "Named");
    EXPECT_FALSE(blank.initialCommand);
}

TEST_F(AppStateSessionsTest, ExistingLocalAndRemoteOnlyBranchesAreAttached) {
    std::string existingTip = repo.commitFile("existing.txt", "x");
    repo.git({"branch", "existing"});
    repo.git({"reset", "-q", "--hard", "HEAD~1"});
    repo.git({"branch", "remote-only"});
    repo.addOrigin();
    repo.git({"branch", "-D", "remote-only"});

    Session local = add("existing");
    EXPECT_EQ(Text::trimmed(OrvexTest::git(local.worktreePath, {"rev-parse", "HEAD"})),
              existingTip);
    EXPECT_EQ(local.baseCommit, repo.head());

    Session tracking = add("remote-only");
    EXPECT_EQ(Text::trimmed(OrvexTest::git(
                  tracking.worktreePath, {"rev-parse", "--abbrev-ref", "remote-only@{upstream}"})),
              "origin/remote-only");
}

TEST_F(AppStateSessionsTest, MainCheckoutSessionUsesTheCheckedOutBranchAndIsDeletedAlone) {
    Session session = add("ignored", false);
    EXPECT_FALSE(session.isWorktree);
    EXPECT_EQ(session.worktreePath, repo.path());
    EXPECT_EQ(session.branch, "main");
    EXPECT_EQ(session.title, workspace.displayName);
    EXPECT_EQ(session.baseCommit, repo.head());
    EXPECT_FALSE(branchExists(repo, "ignored"));

    // Deleting it leaves the repository, its changes and its branch alone.
    writeFile(repo.file("dirty.txt"), "x");
    run(state->deleteSession(session, false));
    EXPECT_FALSE(state->session(session.id));
    EXPECT_TRUE(std::filesystem::exists(repo.file("dirty.txt")));
    EXPECT_TRUE(branchExists(repo, "main"));

    // A session whose workspace is gone is ignored.
    Session orphan = add(std::nullopt, false);
    orphan.workspaceID = UUID();
    const int saves = store->saveCount();
    run(state->deleteSession(orphan, true));
    EXPECT_TRUE(state->session(orphan.id));
    EXPECT_EQ(store->saveCount(), saves);
}

TEST_F(AppStateSessionsTest, FailedCreationChangesNothing) {
    const int saves = store->saveCount();
    auto unknown =
        thrownBy<AppError>([&] { run(state->addBranch(UUID(), {}, {}, true, 1, 1, {})); });
    EXPECT_EQ(unknown, AppError::notAGitRepository(""));

    add("taken");
    const auto before = state->sessions().get();
    EXPECT_THROW(add("taken"), GitError);
    EXPECT_THROW(add("bad name"), GitError);
    EXPECT_EQ(state->sessions().get(), before);
    EXPECT_EQ(store->saveCount(), saves + 1);
}

// MARK: Deleting

TEST_F(AppStateSessionsTest, DeletingRefusesToLoseUncommittedWorkWithoutForce) {
    Session session = add("dirty");
    writeFile(session.worktreePath + "/new.txt", "untracked");
    state->focusSession(session.id);
    state->bellPending().set({session.id});
    state->liveStatuses().set({{session.id, SessionStatus::running}});

    auto refused = thrownBy<AppError>([&] { run(state->deleteSession(session, false)); });
    EXPECT_EQ(refused, AppError::uncommittedChanges(session.id));
    EXPECT_TRUE(std::filesystem::exists(session.worktreePath + "/new.txt"));
    EXPECT_TRUE(state->session(session.id));

    run(state->deleteSession(session, true));
    EXPECT_FALSE(std::filesystem::exists(session.worktreePath));
    EXPECT_FALSE(branchExists(repo, "dirty"));
    EXPECT_FALSE(state->session(session.id));
    EXPECT_FALSE(state->activeTerminalSessionID().get());
    EXPECT_TRUE(state->bellPending()->empty());
    EXPECT_TRUE(state->liveStatuses()->empty());
    EXPECT_TRUE(store->stored.sessions.empty());
    EXPECT_TRUE(store->stored.lastActiveSessionByWorkspace.empty());
}

TEST_F(AppStateSessionsTest, DeletingRefusesToLoseCommitsFoundOnNoOtherRef) {
    Session session = add("committed");
    commitIn(session.worktreePath, "a.txt", "a");
    commitIn(session.worktreePath, "b.txt", "b");

    auto refused = thrownBy<AppError>([&] { run(state->deleteSession(session, false)); });
    EXPECT_EQ(refused, AppError::unmergedCommits(session.id, 2));
    EXPECT_TRUE(std::filesystem::is_directory(session.worktreePath));
    EXPECT_TRUE(branchExists(repo, "committed"));
    EXPECT_TRUE(state->session(session.id));

    // Once another branch holds the commits, a plain delete goes through.
    repo.git({"branch", "keep", "committed"});
    run(state->deleteSession(session, false));
    EXPECT_FALSE(std::filesystem::exists(session.worktreePath));
    EXPECT_FALSE(branchExists(repo, "committed"));

    // With force the commits are given up.
    Session forced = add("forced");
    commitIn(forced.worktreePath, "c.txt", "c");
    run(state->deleteSession(forced, true));
    EXPECT_FALSE(branchExists(repo, "forced"));
    EXPECT_TRUE(state->sessions()->empty());
}

TEST_F(AppStateSessionsTest, DeletingRefusesToLoseCommitsMadeOnADetachedHead) {
    auto commitDetached = [](const std::string& worktree, const std::string& name) {
        OrvexTest::git(worktree, {"checkout", "-q", "--detach"});
        commitIn(worktree, name, name);
    };
    // A session's own worktree, detached after it was made: its branch holds nothing new.
    Session session = add("detaching");
    commitDetached(session.worktreePath, "one.txt");
    auto refused = thrownBy<AppError>([&] { run(state->deleteSession(session, false)); });
    EXPECT_EQ(refused, AppError::unmergedCommits(session.id, 1));
    EXPECT_TRUE(std::filesystem::is_directory(session.worktreePath));
    EXPECT_TRUE(state->session(session.id));

    // A worktree found detached at start-up: its session names a branch that does not exist.
    const std::string loose = sessionsRoot() + "/loose";
    repo.git({"worktree", "add", "-q", "--detach", loose});
    commitDetached(loose, "two.txt");
    auto restarted = loadedState();
    std::optional<Session> found;
    for (const auto& candidate : restarted->sessions().get()) {
        if (candidate.worktreePath == loose) {
            found = candidate;
        }
    }
    ASSERT_TRUE(found);
    refused = thrownBy<AppError>([&] { run(restarted->deleteSession(*found, false)); });
    EXPECT_EQ(refused, AppError::unmergedCommits(found->id, 1));
    EXPECT_TRUE(std::filesystem::is_directory(loose));

    // Once a branch holds the commits, a plain delete goes through; force gives them up.
    OrvexTest::git(loose, {"branch", "kept-loose"});
    run(restarted->deleteSession(*found, false));
    EXPECT_FALSE(std::filesystem::exists(loose));
    EXPECT_TRUE(branchExists(repo, "kept-loose"));
    auto again = *restarted->session(session.id);
    run(restarted->deleteSession(again, true));
    EXPECT_FALSE(std::filesystem::exists(session.worktreePath));
    EXPECT_FALSE(branchExists(repo, "detaching"));
}

TEST_F(AppStateSessionsTest, AFailedCreationTakesBackTheBranchItMade) {
    // git makes the new branch, then fails to make the folder under a plain file.
    writeFile(sessionsRoot() + "/blocked", "a plain file where a folder is needed");
    EXPECT_TRUE(thrownBy<GitError>([&] { add("blocked/x"); }));
    EXPECT_FALSE(branchExists(repo, "blocked/x"));
    EXPECT_TRUE(state->sessions()->empty());
    EXPECT_EQ(repo.git({"worktree", "list", "--porcelain"}).find("blocked"), std::string::npos);

    // A branch that was there before the attempt is not the attempt's to remove.
    repo.git({"branch", "blocked/y"});
    EXPECT_TRUE(thrownBy<GitError>([&] { add("blocked/y"); }));
    EXPECT_TRUE(branchExists(repo, "blocked/y"));

    // With the obstacle gone, the same request succeeds.
    std::filesystem::remove(sessionsRoot() + "/blocked");
    Session made = add("blocked/x");
    EXPECT_EQ(made.worktreePath, sessionsRoot() + "/blocked/x");
    EXPECT_TRUE(branchExists(repo, "blocked/x"));
}

TEST_F(AppStateSessionsTest, ABranchNameAnotherRepositoryUsesGetsANumberedFolder) {
    Session first = add("feature");
    TempGitRepo other;
    auto otherWorkspace = *run(state->openWorkspace(other.path())).workspace;
    Session second =
        run(state->addBranch(otherWorkspace.id, std::nullopt, "feature", true, 1, 1, std::nullopt));
    EXPECT_EQ(first.worktreePath, sessionsRoot() + "/feature");
    EXPECT_EQ(second.worktreePath, sessionsRoot() + "/feature-2");
    EXPECT_EQ(second.slug, "feature-2");
    EXPECT_EQ(second.branch, "feature");
    EXPECT_EQ(second.title, "feature");
    EXPECT_EQ(Text::trimmed(OrvexTest::git(second.worktreePath, {"branch", "--show-current"})),
              "feature");

    // A folder left in the sessions root by something else is not taken over either.
    std::filesystem::create_directories(sessionsRoot() + "/leftover/keep");
    Session third = add("leftover");
    EXPECT_EQ(third.worktreePath, sessionsRoot() + "/leftover-2");
    EXPECT_TRUE(std::filesystem::exists(sessionsRoot() + "/leftover/keep"));

    // Each session is still recognised by its repository's listing at the next start.
    auto restarted = loadedState();
    EXPECT_EQ(restarted->sessions().get(), state->sessions().get());
}

// MARK: Renaming and moving

TEST_F(AppStateSessionsTest, RenamingTheBranchGoesThroughGitAndKeepsTheRest) {
    Session session = add("before");
    const int calls = git->calls();
    auto blank = thrownBy<AppError>([&] { run(state->renameSessionBranch(session.id, " \n ")); });
    EXPECT_EQ(blank, AppError::invalidBranchName());
    EXPECT_EQ(git->calls(), calls);

    run(state->renameSessionBranch(session.id, "after"));
    EXPECT_TRUE(branchExists(repo, "after"));
    EXPECT_FALSE(branchExists(repo, "before"));
    Session expected = session;
    expected.branch = "after";
    EXPECT_EQ(state->session(session.id), expected);
    EXPECT_EQ(store->stored.sessions, state->sessions().get());

    EXPECT_THROW(run(state->renameSessionBranch(session.id, "bad name")), GitError);
    EXPECT_EQ(state->session(session.id)->branch, "after");

    state->renameSession(session.id, "");
    EXPECT_EQ(state->session(session.id)->title, "");
    const int saves = store->saveCount();
    run(state->renameSessionBranch(UUID(), "x"));
    state->renameSession(UUID(), "x");
    EXPECT_EQ(store->saveCount(), saves);
}

TEST_F(AppStateSessionsTest, BranchRenameFindsItsSessionAgainAfterGit) {
    TempGitRepo otherRepo;
    auto other = *run(state->openWorkspace(otherRepo.path())).workspace;
    run(state->addBranch(other.id, {}, {}, false, 1, 1, {}));
    Session target = add("target");
    Session neighbour = add("neighbour");

    // While git renames, the other workspace goes and every position shifts.
    auto renameWhile = [&](std::string newName, std::function<void()> change) {
        git->duringRenameBranch = [&, change] {
            std::promise<void> changed;
            boost::asio::post(context, [&] {
                change();
                changed.set_value();
            });
            changed.get_future().wait();
        };
        run(state->renameSessionBranch(target.id, newName));
        git->duringRenameBranch = nullptr;
    };
    renameWhile("renamed", [&] { state->removeWorkspace(other.id); });
    EXPECT_EQ(state->session(target.id)->branch, "renamed");
    EXPECT_EQ(state->session(neighbour.id), neighbour);
    expectIndexesConsistent(*state);

    // A session deleted meanwhile gets nothing written.
    const int saves = store->saveCount();
    renameWhile("again", [&] { state->removeWorkspace(workspace.id); });
    EXPECT_TRUE(branchExists(repo, "again"));
    EXPECT_TRUE(state->sessions()->empty());
    EXPECT_EQ(store->saveCount(), saves + 1);
}

TEST_F(AppStateSessionsTest, MovingSessionsReordersOneWorkspaceInPlace) {
    TempGitRepo otherRepo;
    auto other = *run(state->openWorkspace(otherRepo.path())).workspace;
    // Sessions of the two workspaces interleaved: A x B C y D.
    for (const char* title : {"A", "x", "B", "C", "y", "D"}) {
        bool mine = std::isupper(static_cast<unsigned char>(title[0]));
        run(state->addBranch(mine ? workspace.id : other.id, title, {}, false, 1, 1, {}));
    }
    const auto original = state->sessions().get();

    struct Case {
        std::set<int> from;
        int to;
        const char* expected; // the whole list after the move
        bool saves;
    } cases[] = {
        {{0}, 3, "BxCAyD", true},    {{1, 2}, 0, "BxCAyD", true}, {{3}, 1, "AxDByC", true},
        {{0, 3}, 4, "BxCAyD", true}, {{0}, 0, "AxBCyD", true},    {{4}, 0, "AxBCyD", false},
        {{-1}, 0, "AxBCyD", false},  {{0}, 5, "AxBCyD", false},   {{0}, -1, "AxBCyD", false},
    };
    for (const auto& c : cases) {
        const int saves = store->saveCount();
        state->moveSessions(workspace.id, c.from, c.to);
        std::string order;
        for (const auto& session : state->sessions().get()) {
            order += session.title;
        }
        EXPECT_EQ(order, c.expected) << c.to;
        EXPECT_EQ(store->saveCount(), saves + (c.saves ? 1 : 0)) << c.to;
        expectIndexesConsistent(*state);

        // Back to A x B C y D for the next case, one single move per misplaced session.
        for (int position = 0; position < 4; ++position) {
            auto current = state->sessions(workspace.id);
            for (int from = position + 1; from < 4; ++from) {
                if (current[from].title == std::string(1, "ABCD"[position])) {
                    state->moveSessions(workspace.id, {from}, position);
                }
            }
        }
        ASSERT_EQ(state->sessions().get(), original);
    }
}

TEST_F(AppStateSessionsTest, GridLayoutAndTitlesSaveOnlyRealChangesDebounced) {
    Session session = add(std::nullopt, false);
    const UUID t1, t2, t3;
    const int saves = store->saveCount();

    state->saveGridLayout({{t1, t2}, {}, {t3}}, session.id);
    state->saveGridLayout({{t1, t2}, {t3}}, session.id);
    EXPECT_EQ(state->session(session.id)->gridLayout, (std::vector<int>{2, 1}));
    state->saveGridTitles({"one", "two"}, session.id);
    state->saveGridTitles({"one", "two"}, session.id);
    EXPECT_EQ(state->session(session.id)->gridTitles, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(store->saveCount(), saves);
    // Waits for the save rather than for its delay: a loaded machine runs the timer late.
    ASSERT_TRUE(runUntil(context, [&] { return store->saveCount() > saves; }));
    EXPECT_EQ(store->saveCount(), saves + 1);
    EXPECT_EQ(store->stored.sessions, state->sessions().get());

    for (const auto& empty :
         {std::vector<std::vector<UUID>>{}, std::vector<std::vector<UUID>>{{}}}) {
        state->saveGridLayout({{t1}}, session.id);
        state->saveGridLayout(empty, session.id);
        EXPECT_FALSE(state->session(session.id)->gridLayout);
    }
    state->saveGridTitles({}, session.id);
    EXPECT_FALSE(state->session(session.id)->gridTitles);
    expectIndexesConsistent(*state);
}

TEST_F(AppStateSessionsTest, ObserversOfTheListFindTheNewStateThroughTheLookups) {
    int notifications = 0;
    auto connection = state->sessions().observe([&](const std::vector<Session>& sessions) {
        ++notifications;
        for (const auto& session : sessions) {
            EXPECT_EQ(state->session(session.id), session);
        }
        EXPECT_EQ(state->sessions(workspace.id).size(), sessions.size());
    });
    Session first = add(std::nullopt, false);
    Session second = add(std::nullopt, false);
    state->renameSession(first.id, "renamed");
    state->renameSession(first.id, "renamed");
    run(state->deleteSession(first, false));
    EXPECT_EQ(state->sessions(workspace.id), std::vector<Session>{second});
    EXPECT_EQ(notifications, 4);
    connection.disconnect();
}

} // namespace
} // namespace OrvexTest
