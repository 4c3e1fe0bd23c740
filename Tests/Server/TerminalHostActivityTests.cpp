// The server's terminals with real shells: each terminal's status and reason come from its
// activity detector, are told as they change, and fold into the session's status.

#include "OrvexServer/TerminalHost.hpp"

#include <algorithm>
#include <map>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexCore::Session;
using OrvexCore::SessionStatus;
using OrvexCore::TerminalActivity;
using OrvexCore::TerminalRef;
using OrvexCore::UUID;
using OrvexServer::TerminalHost;

namespace {

class TerminalHostActivity : public ::testing::Test {
protected:
    TerminalHostActivity() : host(io.get_executor(), TerminalHost::monitorConfig()) {
        host.onStatus = [this](const TerminalHost::StatusChange& change) {
            changes.push_back(change);
            if (change.terminalID && change.terminal) {
                latest[*change.terminalID] = *change.terminal;
            }
            sessionStatus = change.status;
        };
    }

    ~TerminalHostActivity() override { host.closeAll(); }

    template <class Done> bool run(Done done) { return OrvexTest::runUntil(io, done); }

    /// Waits until the terminal was last told to be `status` with `words` in its reason.
    bool told(const UUID& terminal, const std::string& status, const std::string& words) {
        return run([&] {
            auto it = latest.find(terminal);
            return it != latest.end() && it->second.name() == status &&
                   it->second.report.reason.find(words) != std::string::npos;
        });
    }

    std::string describe(const UUID& terminal) {
        auto it = latest.find(terminal);
        return it == latest.end() ? "nothing told"
                                  : it->second.name() + ": " + it->second.report.reason;
    }

    OrvexTest::TempDir folder;
    boost::asio::io_context io;
    TerminalHost host;
    std::vector<TerminalHost::StatusChange> changes;
    std::map<UUID, TerminalHost::TerminalStatus> latest;
    std::optional<SessionStatus> sessionStatus;
};

} // namespace

TEST_F(TerminalHostActivity, SilentJobsPromptsAndExitsAreToldWithTheirReasons) {
    Session session;
    session.worktreePath = folder.path();
    session.gridRows = 1;
    session.gridCols = 2;
    session.initialCommand = "unset HISTFILE";
    host.openGrid(session);
    ASSERT_TRUE(run([&] { return host.controller().terminals(session.id).size() == 2; }));
    const std::vector<TerminalRef> refs = host.controller().terminals(session.id);
    const UUID sleeping = refs[0].id, resting = refs[1].id;

    // A shell at its prompt is idle. (A question and its reason are checked through the whole
    // server, the fold of statuses by the status monitor's tests.)
    ASSERT_TRUE(told(resting, "idle", "prompt")) << describe(resting);

    // A silent job stays working long after its output stopped, and says what runs.
    refs[0].handle->send("sleep 30\n");
    ASSERT_TRUE(told(sleeping, "working", "without output")) << describe(sleeping);
    EXPECT_NE(latest[sleeping].report.reason.find("sleep"), std::string::npos)
        << describe(sleeping);
    EXPECT_TRUE(run([&] { return sessionStatus == SessionStatus::running; }));
    EXPECT_EQ(host.status(session.id), SessionStatus::running);

    // The seconds in the reason count up in what a client asks for, but a change of the
    // number alone is not told.
    const auto toldSleeping = [&] {
        return std::count_if(changes.begin(), changes.end(),
                             [&](const auto& c) { return c.terminalID == sleeping; });
    };
    const auto toldSoFar = toldSleeping();
    const std::string toldReason = latest[sleeping].report.reason;
    ASSERT_TRUE(run([&] {
        auto now = host.terminalStatus(sleeping);
        return now && now->name() == "working" && now->report.reason != toldReason;
    })) << toldReason;
    EXPECT_EQ(toldSleeping(), toldSoFar);

    // A terminal whose program ends is told as exited, with its code, and leaves the fold.
    refs[0].handle->send("\x03");
    refs[1].handle->send("exit 3\n");
    ASSERT_TRUE(told(resting, "exited", "exit code 3")) << describe(resting);
    ASSERT_TRUE(told(sleeping, "idle", "prompt")) << describe(sleeping);
    EXPECT_TRUE(run([&] { return sessionStatus == SessionStatus::idle; }));
}
