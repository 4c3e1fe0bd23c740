// The state before its load completes: nothing it holds is the user's yet, so nothing may be
// written over the user's file, whatever the front end does meanwhile (an interrupt that
// flushes, an early operation).

#include "App/AppStateTestSupport.hpp"

#include <future>

#include <boost/asio/co_spawn.hpp>

using namespace OrvexCore;

namespace OrvexTest {
namespace {

/// A store whose load waits, on the background thread, until the test lets it go.
class SlowLoadingStore : public FakeStore {
public:
    PersistedState load() override {
        entered.set_value();
        proceed.get_future().wait();
        return FakeStore::load();
    }

    std::promise<void> entered;
    std::promise<void> proceed;
};

TEST_F(AppStateTest, SavingBeforeTheLoadCompletesWritesNothing) {
    auto slow = std::make_shared<SlowLoadingStore>();
    Workspace workspace;
    workspace.repoPath = scratch / "repo";
    workspace.displayName = "repo";
    slow->stored.workspaces = {workspace};
    auto state = makeState(slow);
    EXPECT_FALSE(state->hasLoaded());

    bool loaded = false;
    boost::asio::co_spawn(context, state->loadPersisted(),
                          [&](std::exception_ptr) { loaded = true; });
    context.restart();
    context.poll();
    slow->entered.get_future().wait();

    // What an interrupt during start-up does, and operations that save at once or later.
    state->flushPersist();
    state->removeWorkspace(workspace.id);
    state->selectWorkspace(std::nullopt);
    EXPECT_EQ(slow->saveCount(), 0);
    EXPECT_EQ(slow->flushCount, 0);

    slow->proceed.set_value();
    context.restart();
    while (!loaded && context.run_one() > 0) {
    }
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(state->hasLoaded());
    EXPECT_EQ(slow->saveCount(), 0);
    EXPECT_EQ(slow->stored.workspaces, std::vector<Workspace>{workspace});

    state->flushPersist();
    EXPECT_EQ(slow->saveCount(), 1);
    EXPECT_EQ(slow->flushCount, 1);
}

} // namespace
} // namespace OrvexTest
