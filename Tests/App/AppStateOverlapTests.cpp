// Overlapping operations on the state: git work on one repository never overlaps, and an
// operation that finishes after the user changed things underneath it does not undo them.

#include "App/AppStateTestSupport.hpp"

#include <atomic>

#include <boost/asio/co_spawn.hpp>

#include "OrvexCore/Models/PersistedState.hpp"

using namespace OrvexCore;

namespace OrvexTest {
namespace {

/// The real git service, counting how many of its calls run at the same moment.
class OverlapCountingGit : public RecordingGit {
public:
    int mostAtOnce() const { return most_; }

protected:
    void before() override {
        RecordingGit::before();
        int now = ++running_;
        int seen = most_;
        while (now > seen && !most_.compare_exchange_weak(seen, now)) {
        }
    }
    void after() override { --running_; }

private:
    std::atomic<int> running_ = 0;
    std::atomic<int> most_ = 0;
};

/// Operations started at once on the test's executor, and waited for together.
class Together {
public:
    explicit Together(boost::asio::io_context& context) : context_(context) {}

    template <class T> void start(boost::asio::awaitable<T> task) {
        ++remaining_;
        boost::asio::co_spawn(context_, std::move(task), [this](std::exception_ptr error, auto...) {
            failures_ += error != nullptr;
            --remaining_;
        });
    }
    /// Runs until every started operation has finished; returns how many failed.
    int wait() {
        context_.restart();
        while (remaining_ > 0 && context_.run_one() > 0) {
        }
        return failures_;
    }

private:
    boost::asio::io_context& context_;
    int remaining_ = 0;
    int failures_ = 0;
};

TEST_F(AppStateTest, GitWorkOnOneRepositoryRunsOneCallAtATime) {
    auto counting = std::make_shared<OverlapCountingGit>();
    git = counting;
    TempGitRepo repo;
    auto state = stateWith(repo);
    const UUID workspace = onlyWorkspace(*state).id;
    auto create = [&](int n) {
        return state->addBranch(workspace, std::nullopt, "s" + std::to_string(n), true, 1, 1,
                                std::nullopt);
    };

    Together creations(context);
    for (int n = 0; n < 6; ++n) {
        creations.start(create(n));
    }
    EXPECT_EQ(creations.wait(), 0);
    ASSERT_EQ(state->sessions()->size(), 6u);

    // Deletions and creations interleaved: the mix git itself does not keep apart.
    Together mixed(context);
    int n = 6;
    for (const Session& session : state->sessions().get()) {
        mixed.start(state->deleteSession(session, false));
        if (n < 9) {
            mixed.start(create(n++));
        }
    }
    EXPECT_EQ(mixed.wait(), 0);
    EXPECT_EQ(state->sessions()->size(), 3u);
    EXPECT_EQ(counting->mostAtOnce(), 1);
    expectIndexesConsistent(*state);
}

TEST_F(AppStateTest, RemovingAWorkspaceWhileItOpensLeavesItUnaddedAndUnselected) {
    TempGitRepo first;
    TempGitRepo second;
    auto state = loadedState();
    const Workspace kept = *run(state->openWorkspace(first.path())).workspace;

    std::optional<AppState::OpenResult> result;
    boost::asio::co_spawn(context, state->openWorkspace(second.path()),
                          [&](std::exception_ptr, AppState::OpenResult r) { result = r; });
    context.restart();
    // Registered, and now waiting for git to list its worktrees.
    while (state->workspaces()->size() < 2 && context.run_one() > 0) {
    }
    ASSERT_EQ(state->workspaces()->size(), 2u);
    const UUID opening = state->workspaces()->back().id;
    state->removeWorkspace(opening);
    while (!result && context.run_one() > 0) {
    }

    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, AppState::OpenResult::Kind::removed);
    EXPECT_EQ(state->workspaces().get(), std::vector<Workspace>{kept});
    EXPECT_EQ(state->selectedWorkspaceID().get(), kept.id);
    EXPECT_EQ(store->stored.workspaces, std::vector<Workspace>{kept});
    EXPECT_EQ(store->stored.lastSelectedWorkspaceID, kept.id);
}

} // namespace
} // namespace OrvexTest
