#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "Git/ForwardingGit.hpp"
#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Models/SlugGenerator.hpp"
#include "OrvexCore/Persistence/SessionStore.hpp"
#include "Support/RunAwaitable.hpp"
#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"
#include "Support/ThrownBy.hpp"

namespace OrvexTest {

/// A store that keeps the last snapshot in memory and counts what it was asked to do.
class FakeStore : public OrvexCore::SessionStore {
public:
    OrvexCore::PersistedState load() override {
        ++loadCount;
        if (failLoad) {
            throw std::runtime_error("unreadable");
        }
        return stored;
    }
    void save(OrvexCore::PersistedState state) override {
        stored = std::move(state);
        saveTimes.push_back(std::chrono::steady_clock::now());
    }
    void flush() override { ++flushCount; }

    int saveCount() const { return static_cast<int>(saveTimes.size()); }

    OrvexCore::PersistedState stored;
    bool failLoad = false;
    int loadCount = 0;
    int flushCount = 0;
    std::vector<std::chrono::steady_clock::time_point> saveTimes;
};

/// The real git service, wrapped: counts its calls, fails the test that calls it on the thread
/// that made it (the main executor's thread, which git must never block), and can fail the
/// worktree listing of chosen repositories.
class RecordingGit : public ForwardingGit {
public:
    std::vector<OrvexCore::WorktreeInfo> listWorktrees(const std::string& repoPath) override {
        {
            std::lock_guard lock(mutex_);
            if (failingListings_.contains(repoPath)) {
                auto operation = scope();
                throw std::runtime_error("listing failed");
            }
        }
        return ForwardingGit::listWorktrees(repoPath);
    }
    void renameBranch(const std::string& repoPath, const std::string& worktreePath,
                      const std::string& oldName, const std::string& newName) override {
        if (duringRenameBranch) {
            duringRenameBranch();
        }
        ForwardingGit::renameBranch(repoPath, worktreePath, oldName, newName);
    }

    int calls() const { return calls_; }
    void failListing(const std::string& repoPath) {
        std::lock_guard lock(mutex_);
        failingListings_.insert(repoPath);
    }

    /// Runs on the background thread inside `renameBranch`, before git does.
    std::function<void()> duringRenameBranch;

protected:
    void before() override {
        ++calls_;
        if (std::this_thread::get_id() == mainThread_) {
            ADD_FAILURE() << "git ran on the main executor's thread";
        }
    }

private:
    OrvexCore::GitService& target() override { return real_; }

    const std::thread::id mainThread_ = std::this_thread::get_id();
    std::atomic<int> calls_ = 0;
    mutable std::mutex mutex_;
    std::set<std::string> failingListings_;
    OrvexCore::GitCLIService real_;
};

/// Runs `context` for `duration` of wall time, whether or not it has work.
inline void runFor(boost::asio::io_context& context, std::chrono::milliseconds duration) {
    auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        context.restart();
        context.run_until(end);
        if (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

/// A main executor (the test's io_context), a real repository, a sessions root, the
/// recording git service and a fake store.
class AppStateTest : public ::testing::Test {
protected:
    std::shared_ptr<OrvexCore::AppState>
    makeState(std::shared_ptr<OrvexCore::SessionStore> withStore = nullptr) {
        if (!withStore) {
            withStore = store;
        }
        return std::make_shared<OrvexCore::AppState>(context.get_executor(), git, withStore,
                                                     OrvexCore::SlugGenerator::standard(),
                                                     sessionsRoot(), makeDiffHelper());
    }

    /// The helper pool over the built helper program.
    static std::shared_ptr<OrvexCore::DiffHelperClient> makeDiffHelper() {
        return OrvexCore::DiffHelperClient::create(ORVEX_HELPER_PATH);
    }

    std::string sessionsRoot() const { return scratch / "sessions"; }

    template <class T> T run(boost::asio::awaitable<T> task) {
        return runAwaitable(context, std::move(task));
    }

    /// A state made by `makeState` that has finished loading.
    std::shared_ptr<OrvexCore::AppState>
    loadedState(std::shared_ptr<OrvexCore::SessionStore> withStore = nullptr) {
        auto state = makeState(std::move(withStore));
        run(state->loadPersisted());
        return state;
    }

    /// A workspace over `repo` and a fresh state with it registered.
    std::shared_ptr<OrvexCore::AppState> stateWith(const TempGitRepo& repo) {
        auto state = loadedState();
        auto opened = run(state->openWorkspace(repo.path()));
        EXPECT_EQ(opened.kind, OrvexCore::AppState::OpenResult::Kind::added);
        return state;
    }

    const OrvexCore::Workspace& onlyWorkspace(const OrvexCore::AppState& state) {
        EXPECT_EQ(state.workspaces()->size(), 1u);
        return state.workspaces()->front();
    }

    /// The index invariant: each workspace's list is the sub-list of `sessions` in order,
    /// and every session is found by identifier.
    static void expectIndexesConsistent(const OrvexCore::AppState& state) {
        std::set<OrvexCore::UUID> workspaceIDs;
        for (const auto& session : state.sessions().get()) {
            workspaceIDs.insert(session.workspaceID);
            EXPECT_EQ(state.session(session.id), session);
        }
        for (const auto& workspace : state.workspaces().get()) {
            workspaceIDs.insert(workspace.id);
        }
        for (const auto& id : workspaceIDs) {
            std::vector<OrvexCore::Session> expected;
            for (const auto& session : state.sessions().get()) {
                if (session.workspaceID == id) {
                    expected.push_back(session);
                }
            }
            EXPECT_EQ(state.sessions(id), expected);
        }
    }

    boost::asio::io_context context;
    TempDir scratch;
    std::shared_ptr<RecordingGit> git = std::make_shared<RecordingGit>();
    std::shared_ptr<FakeStore> store = std::make_shared<FakeStore>();
};

} // namespace OrvexTest
