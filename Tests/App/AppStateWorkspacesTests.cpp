#include "App/AppStateTestSupport.hpp"

#include <filesystem>

#include <boost/asio/co_spawn.hpp>

#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Models/PersistedState.hpp"
#include "OrvexCore/Util/Paths.hpp"

using namespace OrvexCore;
using Kind = AppState::OpenResult::Kind;

namespace OrvexTest {
namespace {

TEST_F(AppStateTest, OpenWorkspaceRegistersSelectsAndSaves) {
    TempGitRepo repo;
    auto state = loadedState();

    auto opened = run(state->openWorkspace(repo.path()));
    ASSERT_EQ(opened.kind, Kind::added);
    EXPECT_EQ(opened.workspace->repoPath, repo.path());
    EXPECT_EQ(opened.workspace->displayName, Paths::lastComponent(repo.path()));
    EXPECT_EQ(state->workspaces().get(), std::vector<Workspace>{*opened.workspace});
    EXPECT_EQ(state->selectedWorkspaceID().get(), opened.workspace->id);
    EXPECT_EQ(store->saveCount(), 1);
    EXPECT_EQ(store->stored.workspaces, state->workspaces().get());

    auto again = run(state->openWorkspace(repo.path()));
    EXPECT_EQ(again, AppState::OpenResult::alreadyOpen(*opened.workspace));
    EXPECT_EQ(state->workspaces()->size(), 1u);
}

TEST_F(AppStateTest, OpenWorkspaceRefusesAFolderOutsideAnyRepository) {
    auto state = loadedState();
    auto opened = run(state->openWorkspace(scratch.path()));
    EXPECT_EQ(opened, AppState::OpenResult::notGitRepo());
    EXPECT_TRUE(state->workspaces()->empty());
    EXPECT_FALSE(state->selectedWorkspaceID().get());
    context.restart();
    context.run_for(std::chrono::milliseconds(500));
    EXPECT_EQ(store->saveCount(), 0);
}

TEST_F(AppStateTest, OpenWorkspaceTakesPathsAsGiven) {
    TempGitRepo repo;
    std::string worktree = repo.addWorktree(sessionsRoot() + "/known", "known");
    auto state = stateWith(repo);
    const UUID firstID = state->workspaces()->front().id;
    ASSERT_EQ(state->sessions()->size(), 1u);
    EXPECT_EQ(state->sessions()->front().workspaceID, firstID);
    EXPECT_EQ(state->sessions()->front().slug, "known");

    // Another spelling of the same repository is another workspace; the worktree session
    // moves to it because its path matches the listing.
    auto second = run(state->openWorkspace(repo.path() + "/"));
    ASSERT_EQ(second.kind, Kind::added);
    ASSERT_EQ(state->sessions()->size(), 1u);
    EXPECT_EQ(state->sessions()->front().workspaceID, second.workspace->id);

    // A subfolder of a work tree passes the check and is registered as it is.
    std::filesystem::create_directories(repo.file("sub/dir"));
    auto sub = run(state->openWorkspace(repo.file("sub/dir")));
    ASSERT_EQ(sub.kind, Kind::added);
    EXPECT_EQ(sub.workspace->repoPath, repo.file("sub/dir"));
    EXPECT_EQ(sub.workspace->displayName, "dir");
    expectIndexesConsistent(*state);
}

TEST_F(AppStateTest, OverlappingOpensOfOnePathRegisterItOnce) {
    TempGitRepo repo;
    auto state = loadedState();

    std::vector<AppState::OpenResult> results;
    for (int i = 0; i < 2; ++i) {
        boost::asio::co_spawn(context, state->openWorkspace(repo.path()),
                              [&](std::exception_ptr failure, AppState::OpenResult result) {
                                  ASSERT_FALSE(failure);
                                  results.push_back(result);
                              });
    }
    context.restart();
    while (results.size() < 2 && context.run_one() > 0) {
    }
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(state->workspaces()->size(), 1u);
    int added = 0;
    for (const auto& result : results) {
        added += result.kind == Kind::added;
        EXPECT_EQ(result.workspace, state->workspaces()->front());
    }
    EXPECT_EQ(added, 1);
}

TEST_F(AppStateTest, InitAndOpenWorkspaceSelectsWithoutTouchingTheActiveSession) {
    TempGitRepo repo;
    auto state = stateWith(repo);
    auto session = run(state->addBranch(onlyWorkspace(*state).id, std::nullopt, std::nullopt, false,
                                        1, 1, std::nullopt));
    state->focusSession(session.id);

    std::string fresh = scratch / "fresh";
    std::filesystem::create_directories(fresh);
    auto created = run(state->initAndOpenWorkspace(fresh));
    EXPECT_TRUE(std::filesystem::is_directory(fresh + "/.git"));
    EXPECT_EQ(created.displayName, "fresh");
    EXPECT_EQ(state->selectedWorkspaceID().get(), created.id);
    EXPECT_EQ(state->activeTerminalSessionID().get(), session.id);
    EXPECT_EQ(store->stored.workspaces, state->workspaces().get());

    // A plain file where the folder should go: git fails and nothing changes.
    writeFile(scratch / "file", "x");
    const auto before = state->workspaces().get();
    EXPECT_THROW(run(state->initAndOpenWorkspace(scratch / "file")), GitError);
    EXPECT_EQ(state->workspaces().get(), before);
}

TEST_F(AppStateTest, RenameAndColourStoreValuesAsGivenAndIgnoreUnknownWorkspaces) {
    TempGitRepo repo;
    auto state = stateWith(repo);
    const UUID id = onlyWorkspace(*state).id;
    const int saves = store->saveCount();

    state->renameWorkspace(UUID(), "x");
    state->setWorkspaceColor("red", UUID());
    EXPECT_EQ(store->saveCount(), saves);

    state->renameWorkspace(id, "");
    state->setWorkspaceColor("#ff0000", id);
    EXPECT_EQ(onlyWorkspace(*state).displayName, "");
    EXPECT_EQ(onlyWorkspace(*state).color, "#ff0000");
    state->setWorkspaceColor(std::nullopt, id);
    EXPECT_FALSE(onlyWorkspace(*state).color);
    EXPECT_EQ(store->saveCount(), saves + 3);
    EXPECT_EQ(store->stored.workspaces, state->workspaces().get());
}

TEST_F(AppStateTest, SelectionRemembersEachWorkspacesActiveSession) {
    TempGitRepo repoA;
    TempGitRepo repoB;
    auto state = loadedState();
    auto a = *run(state->openWorkspace(repoA.path())).workspace;
    auto b = *run(state->openWorkspace(repoB.path())).workspace;
    auto s1 = run(state->addBranch(a.id, "one", std::nullopt, false, 1, 1, std::nullopt));
    auto s2 = run(state->addBranch(b.id, "two", std::nullopt, false, 1, 1, std::nullopt));

    // A new workspace selected through openWorkspace has no active session.
    EXPECT_EQ(state->selectedWorkspaceID().get(), b.id);
    EXPECT_FALSE(state->activeTerminalSessionID().get());

    state->focusSession(s1.id);
    EXPECT_EQ(state->selectedWorkspaceID().get(), a.id);
    EXPECT_EQ(state->activeTerminalSessionID().get(), s1.id);
    state->selectWorkspace(b.id);
    EXPECT_FALSE(state->activeTerminalSessionID().get());
    state->selectWorkspace(a.id);
    EXPECT_EQ(state->activeTerminalSessionID().get(), s1.id);
    state->selectWorkspace(std::nullopt);
    EXPECT_FALSE(state->selectedWorkspaceID().get());
    EXPECT_FALSE(state->activeTerminalSessionID().get());

    // Focusing a session of an unselected workspace selects it and acknowledges its bell.
    state->bellPending().set({s2.id, s1.id});
    const int saves = store->saveCount();
    state->focusSession(s2.id);
    EXPECT_EQ(state->selectedWorkspaceID().get(), b.id);
    EXPECT_EQ(state->activeTerminalSessionID().get(), s2.id);
    EXPECT_EQ(state->bellPending().get(), std::set<UUID>{s1.id});
    EXPECT_EQ(store->saveCount(), saves + 1);
    EXPECT_EQ(store->stored.lastActiveSessionByWorkspace,
              (std::map<UUID, UUID>{{a.id, s1.id}, {b.id, s2.id}}));

    state->focusSession(UUID());
    EXPECT_EQ(state->activeTerminalSessionID().get(), s2.id);
}

TEST_F(AppStateTest, RemovingWorkspacesForgetsTheirSessionsButNotTheirFiles) {
    TempGitRepo repoA;
    TempGitRepo repoB;
    auto state = loadedState();
    auto a = *run(state->openWorkspace(repoA.path())).workspace;
    auto b = *run(state->openWorkspace(repoB.path())).workspace;
    auto inA = run(state->addBranch(a.id, std::nullopt, "work", true, 1, 1, std::nullopt));
    auto inB = run(state->addBranch(b.id, std::nullopt, std::nullopt, false, 1, 1, std::nullopt));
    state->focusSession(inA.id);
    state->focusSession(inB.id);
    state->bellPending().set({inA.id, inB.id});
    state->liveStatuses().set({{inA.id, SessionStatus::running}, {inB.id, SessionStatus::idle}});

    // Removing the selected workspace selects the first remaining one and restores its
    // remembered session.
    state->removeWorkspace(b.id);
    EXPECT_EQ(state->selectedWorkspaceID().get(), a.id);
    EXPECT_EQ(state->activeTerminalSessionID().get(), inA.id);
    EXPECT_EQ(state->bellPending().get(), std::set<UUID>{inA.id});
    EXPECT_EQ(state->liveStatuses()->count(inB.id), 0u);
    ASSERT_EQ(store->stored.sessions.size(), 1u);
    EXPECT_EQ(store->stored.sessions[0].id, inA.id);

    state->removeWorkspace(a.id);
    EXPECT_FALSE(state->selectedWorkspaceID().get());
    EXPECT_FALSE(state->activeTerminalSessionID().get());
    EXPECT_TRUE(state->sessions()->empty());
    EXPECT_TRUE(state->bellPending()->empty());
    EXPECT_TRUE(state->liveStatuses()->empty());
    EXPECT_TRUE(std::filesystem::is_directory(inA.worktreePath));
    EXPECT_NE(repoA.git({"branch", "--list", "work"}), "");
    EXPECT_TRUE(store->stored.workspaces.empty());
    expectIndexesConsistent(*state);

    const int saves = store->saveCount();
    state->removeWorkspace(UUID());
    EXPECT_EQ(store->saveCount(), saves + 1);
}

} // namespace
} // namespace OrvexTest
