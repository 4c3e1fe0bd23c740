#include "App/AppStateTestSupport.hpp"

#include <filesystem>
#include <regex>

#include "OrvexCore/Models/PersistedState.hpp"
#include "OrvexCore/Persistence/JSONSessionStore.hpp"
#include "OrvexCore/Util/Paths.hpp"

using namespace OrvexCore;
using namespace std::chrono_literals;

namespace OrvexTest {
namespace {

Session storedSession(const UUID& workspaceID, const std::string& path, const std::string& branch,
                      bool isWorktree = true) {
    Session session;
    session.workspaceID = workspaceID;
    session.slug = Paths::lastComponent(path);
    session.worktreePath = path;
    session.branch = branch;
    session.title = "Title of " + branch;
    session.isWorktree = isWorktree;
    session.gridRows = 2;
    session.reviewedFiles = {{"a.txt", "1234"}};
    return session;
}

Workspace storedWorkspace(const std::string& path) {
    Workspace workspace;
    workspace.repoPath = path;
    workspace.displayName = Paths::lastComponent(path);
    return workspace;
}

const Session* findByPath(const std::vector<Session>& sessions, const std::string& path) {
    for (const auto& session : sessions) {
        if (session.worktreePath == path) {
            return &session;
        }
    }
    return nullptr;
}

// MARK: Start-up reconciliation

TEST_F(AppStateTest, StartUpDropsVanishedWorktreesAndAdoptsUnknownOnes) {
    TempGitRepo repo;
    std::string kept = repo.addWorktree(sessionsRoot() + "/kept", "kept");
    std::string nested = repo.addWorktree(sessionsRoot() + "/feature/x", "feature/x");
    std::string loose = sessionsRoot() + "/loose";
    repo.git({"worktree", "add", "-q", "--detach", loose});

    Workspace workspace = storedWorkspace(repo.path());
    Session keptSession = storedSession(workspace.id, kept, "kept");
    Session goneSession = storedSession(workspace.id, sessionsRoot() + "/gone", "gone");
    Session mainSession = storedSession(workspace.id, repo.path(), "main", false);
    store->stored.workspaces = {workspace};
    store->stored.sessions = {keptSession, goneSession, mainSession};

    auto state = loadedState();

    const auto& sessions = state->sessions().get();
    ASSERT_EQ(sessions.size(), 4u);
    EXPECT_EQ(sessions[0], keptSession);
    // A session without its own worktree is never dropped, although git does not list it.
    EXPECT_EQ(sessions[1], mainSession);
    EXPECT_EQ(findByPath(sessions, goneSession.worktreePath), nullptr);

    struct Expected {
        std::string path;
        std::string slug;
        std::string branch;
    } adopted[] = {{nested, "x", "feature/x"}, {loose, "loose", "loose"}};
    for (const auto& expected : adopted) {
        const Session* session = findByPath(sessions, expected.path);
        ASSERT_NE(session, nullptr) << expected.path;
        // Everything else keeps a new record's defaults: one terminal, no base, no review.
        Session fresh;
        fresh.id = session->id;
        fresh.workspaceID = workspace.id;
        fresh.slug = expected.slug;
        fresh.worktreePath = expected.path;
        fresh.branch = fresh.title = expected.branch;
        EXPECT_EQ(*session, fresh);
    }

    EXPECT_EQ(store->saveCount(), 1);
    EXPECT_EQ(store->stored.sessions, sessions);
    expectIndexesConsistent(*state);
}

TEST_F(AppStateTest, StartUpWritesNothingWhenGitAgreesOrCannotBeAsked) {
    TempGitRepo repo;
    std::string kept = repo.addWorktree(sessionsRoot() + "/kept", "kept");
    Workspace listed = storedWorkspace(repo.path());
    // Its listing fails: its sessions stay as they are, even one whose folder is missing.
    Workspace unlisted = storedWorkspace(scratch / "elsewhere");
    git->failListing(unlisted.repoPath);
    store->stored.workspaces = {listed, unlisted};
    store->stored.sessions = {storedSession(listed.id, kept, "kept"),
                              storedSession(unlisted.id, scratch / "elsewhere/gone", "gone")};
    const auto before = store->stored;

    auto state = loadedState();

    EXPECT_EQ(store->saveCount(), 0);
    EXPECT_EQ(state->sessions().get(), before.sessions);
    EXPECT_EQ(state->workspaces().get(), before.workspaces);
}

TEST_F(AppStateTest, StartUpMovesASessionToTheWorkspaceThatListsItsWorktree) {
    TempGitRepo first;
    TempGitRepo second;
    std::string worktree = first.addWorktree(sessionsRoot() + "/moved", "moved");
    Workspace owner = storedWorkspace(first.path());
    Workspace other = storedWorkspace(second.path());
    // Recorded under the wrong workspace, whose own listing (empty) drops it: whichever
    // listing finishes first, the session must survive whole under the right workspace.
    Session moved = storedSession(other.id, worktree, "moved");
    store->stored.workspaces = {other, owner};
    store->stored.sessions = {moved};

    auto state = loadedState();

    ASSERT_EQ(state->sessions()->size(), 1u);
    Session expected = moved;
    expected.workspaceID = owner.id;
    EXPECT_EQ(state->sessions()->front(), expected);
    EXPECT_EQ(store->saveCount(), 1);
    expectIndexesConsistent(*state);
}

TEST_F(AppStateTest, StartUpRestoresTheSelectionFromWhatStillExists) {
    // Workspaces whose listing fails keep their sessions, so no git repository is needed.
    Workspace a = storedWorkspace(scratch / "a");
    Workspace b = storedWorkspace(scratch / "b");
    git->failListing(a.repoPath);
    git->failListing(b.repoPath);
    Session inA = storedSession(a.id, scratch / "a", "main", false);
    Session inB = storedSession(b.id, scratch / "b", "main", false);
    const UUID vanished;

    struct Case {
        const char* name;
        std::vector<Workspace> workspaces;
        std::optional<UUID> lastSelected;
        std::map<UUID, UUID> lastActive;
        std::optional<UUID> expectedSelected;
        std::optional<UUID> expectedActive;
        std::map<UUID, UUID> expectedRemembered;
    } cases[] = {
        {"selected kept", {a, b}, b.id, {{b.id, inB.id}}, b.id, inB.id, {{b.id, inB.id}}},
        {"selected gone", {a, b}, vanished, {{a.id, inA.id}}, a.id, inA.id, {{a.id, inA.id}}},
        {"stale entries dropped",
         {a, b},
         a.id,
         {{a.id, vanished}, {vanished, inB.id}, {b.id, inB.id}},
         a.id,
         std::nullopt,
         {{b.id, inB.id}}},
        {"no workspaces", {}, a.id, {{a.id, inA.id}}, std::nullopt, std::nullopt, {}},
    };
    for (const auto& c : cases) {
        auto caseStore = std::make_shared<FakeStore>();
        caseStore->stored.workspaces = c.workspaces;
        caseStore->stored.sessions =
            c.workspaces.empty() ? std::vector<Session>{} : std::vector<Session>{inA, inB};
        caseStore->stored.lastSelectedWorkspaceID = c.lastSelected;
        caseStore->stored.lastActiveSessionByWorkspace = c.lastActive;
        auto state = loadedState(caseStore);
        EXPECT_EQ(state->selectedWorkspaceID().get(), c.expectedSelected) << c.name;
        EXPECT_EQ(state->activeTerminalSessionID().get(), c.expectedActive) << c.name;
        state->flushPersist();
        EXPECT_EQ(caseStore->stored.lastActiveSessionByWorkspace, c.expectedRemembered) << c.name;
        EXPECT_EQ(caseStore->flushCount, 1) << c.name;
    }
}

TEST_F(AppStateTest, StartUpCreatesAPrivateSessionsRoot) {
    auto state = loadedState();
    EXPECT_EQ(std::filesystem::status(sessionsRoot()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    EXPECT_EQ(store->loadCount, 1);
    EXPECT_EQ(store->saveCount(), 0);
    EXPECT_TRUE(state->sessions(UUID()).empty());
    EXPECT_FALSE(state->session(UUID()));

    // A store that cannot be read gives the empty state.
    auto failing = std::make_shared<FakeStore>();
    failing->failLoad = true;
    failing->stored.workspaces = {storedWorkspace(scratch / "x")};
    auto fresh = loadedState(failing);
    EXPECT_TRUE(fresh->workspaces()->empty());
    EXPECT_EQ(failing->saveCount(), 0);
}

// MARK: Unreadable store

TEST_F(AppStateTest, UnreadableStoreIsSetAsideAndNeverOverwritten) {
    TempGitRepo repo;
    const char* contents[] = {"{not json", R"({"workspaces": 3, "sessions": []})", ""};
    for (const char* content : contents) {
        TempDir support;
        std::string file = support / "Orvex/store.json";
        writeFile(file, content);
        auto jsonStore = std::make_shared<JSONSessionStore>(file);
        auto state = loadedState(jsonStore);
        EXPECT_TRUE(state->workspaces()->empty()) << content;

        std::vector<std::string> setAside = entries(support / "Orvex");
        ASSERT_EQ(setAside.size(), 1u) << content;
        EXPECT_TRUE(
            std::regex_match(setAside[0], std::regex(R"(store\.json\.unreadable-\d{8}-\d{6})")))
            << setAside[0];
        std::string asidePath = support / ("Orvex/" + setAside[0]);

        run(state->openWorkspace(repo.path()));
        state->flushPersist();
        EXPECT_EQ(readFile(asidePath), content);
        EXPECT_EQ(decodePersistedState(readFile(file)).workspaces, state->workspaces().get());
    }
}

TEST(AppStateSetAsideTests, NamesTheFileByUTCTimeAndKeepsEarlierOnes) {
    TempDir folder;
    std::string file = folder / "store.json";
    // 2026-03-04 05:06:07 UTC.
    auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1772600767));
    EXPECT_EQ(AppState::setAsideUnreadableStore(file, when), std::nullopt);

    writeFile(file, "first");
    EXPECT_EQ(AppState::setAsideUnreadableStore(file, when), file + ".unreadable-20260304-050607");
    writeFile(file, "second");
    EXPECT_EQ(AppState::setAsideUnreadableStore(file, when),
              file + ".unreadable-20260304-050607-2");
    EXPECT_EQ(readFile(file + ".unreadable-20260304-050607"), "first");
    EXPECT_EQ(readFile(file + ".unreadable-20260304-050607-2"), "second");
    EXPECT_FALSE(std::filesystem::exists(file));
}

// MARK: Saving

// A timer never fires early, so the save's distance from the last change has a firm lower
// bound; how late it comes depends on the machine and is not checked.
TEST_F(AppStateTest, DebouncedChangesSaveOnceAfterTheLastOne) {
    auto state = loadedState();
    ASSERT_EQ(store->saveCount(), 0);

    for (int change = 0; change < 5; ++change) {
        state->selectWorkspace(UUID());
    }
    const auto lastChange = std::chrono::steady_clock::now();
    ASSERT_TRUE(runUntil(context, [&] { return store->saveCount() > 0; }));
    runFor(context, 100ms);
    ASSERT_EQ(store->saveCount(), 1);
    EXPECT_GE(store->saveTimes[0] - lastChange, 400ms); // the debounce delay
    EXPECT_EQ(store->stored.lastSelectedWorkspaceID, state->selectedWorkspaceID().get());
}

TEST_F(AppStateTest, AnImmediateSaveCancelsThePendingDebouncedOne) {
    for (bool timerExpired : {false, true}) {
        SCOPED_TRACE(timerExpired ? "timer expired, handler not yet run" : "timer pending");
        auto state = loadedState();
        const int before = store->saveCount();
        const UUID chosen;
        state->selectWorkspace(chosen);
        if (timerExpired) {
            // The executor is not running, so the expired timer's handler waits for it.
            std::this_thread::sleep_for(600ms);
        }
        state->flushPersist();
        EXPECT_EQ(store->saveCount(), before + 1);
        runFor(context, 700ms);
        EXPECT_EQ(store->saveCount(), before + 1);
        EXPECT_EQ(store->stored.lastSelectedWorkspaceID, chosen);
    }
}

TEST_F(AppStateTest, DestroyedStateWithPendingDebounceNeitherSavesNorCrashes) {
    auto state = loadedState();
    state->selectWorkspace(UUID());
    state.reset();
    runFor(context, 700ms);
    EXPECT_EQ(store->saveCount(), 0);
}

TEST_F(AppStateTest, SnapshotCarriesLiveStatusesWithoutWritingThemBack) {
    Workspace workspace = storedWorkspace(scratch / "repo");
    git->failListing(workspace.repoPath);
    Session first = storedSession(workspace.id, workspace.repoPath, "main", false);
    Session second = storedSession(workspace.id, workspace.repoPath, "other", false);
    second.lastKnownStatus = SessionStatus::idle;
    store->stored.workspaces = {workspace};
    store->stored.sessions = {first, second};
    auto state = loadedState();

    state->liveStatuses().set({{first.id, SessionStatus::needsInput}});
    state->flushPersist();
    EXPECT_EQ(store->stored.sessions[0].lastKnownStatus, SessionStatus::needsInput);
    EXPECT_EQ(store->stored.sessions[1].lastKnownStatus, SessionStatus::idle);
    EXPECT_EQ(state->sessions()->at(0).lastKnownStatus, SessionStatus::unknown);
}

} // namespace
} // namespace OrvexTest
