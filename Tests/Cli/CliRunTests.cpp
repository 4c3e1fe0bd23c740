#include <cerrno>
#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>
#include <unistd.h>

#include "Cli/CliHarness.hpp"
#include "Cli/HomeWithRepo.hpp"
#include "Support/PtyProcess.hpp"
#include "Support/RunUntil.hpp"

namespace fs = std::filesystem;
using OrvexTest::CliHome;
using OrvexTest::TempGitRepo;

namespace {

/// `orvex ARGS` on a pseudo-terminal, run in the home folder with the home's environment.
OrvexTest::PtyProcess runOnTerminal(const CliHome& home, const std::vector<std::string>& args) {
    std::vector<std::string> argv{OrvexTest::orvexBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> environment = home.environment;
    environment.insert(environment.end(), {"SHELL=/bin/sh", "TERM=xterm"});
    return OrvexTest::PtyProcess(argv, 30, 100, environment, home.home());
}

bool processGone(pid_t pid) {
    return OrvexTest::eventually([&] { return kill(pid, 0) != 0 && errno == ESRCH; });
}

pid_t readPid(const std::string& path) {
    OrvexTest::eventually([&] { return fs::exists(path); });
    std::string text = OrvexTest::readFile(path);
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

} // namespace

class CliRun : public OrvexTest::HomeWithRepo {};

TEST_F(CliRun, AttachesSwitchesAndDetachesLeavingTheProgramsRunning) {
    home.ok({"new", "-b", "live", "--rows", "1", "--cols", "2"});
    std::string tree = home.sessionsRoot() + "/live";

    pid_t first = -1;
    pid_t second = -1;
    {
        auto run = runOnTerminal(home, {"run", "live"});
        // The status row lists both terminals.
        ASSERT_TRUE(run.readUntilText(" 2:")) << run.output();
        // The first terminal's shell runs in the worktree.
        run.type("pwd > first.txt; echo $$ > first.pid; echo ready-$((6*7))\r");
        ASSERT_TRUE(run.readUntilText("ready-42")) << run.output();
        first = readPid(tree + "/first.pid");
        EXPECT_EQ(OrvexTest::readFile(tree + "/first.txt"), tree + "\n");

        // Ctrl-] moves to the second terminal.
        run.type("\x1d");
        run.type("echo $$ > second.pid; echo second-$((5*5))\r");
        ASSERT_TRUE(run.readUntilText("second-25")) << run.output();
        second = readPid(tree + "/second.pid");
        ASSERT_GT(first, 0);
        ASSERT_GT(second, 0);
        EXPECT_NE(first, second);

        // Ctrl-\ detaches; the programs stay with the server.
        run.type("\x1c");
        EXPECT_EQ(run.wait(), 0) << run.output();
        EXPECT_NE(run.output().find("detached from live"), std::string::npos) << run.output();
    }
    EXPECT_EQ(kill(first, 0), 0);
    EXPECT_EQ(kill(second, 0), 0);

    // Attaching again shows the first terminal's screen as it was, and its shell still
    // answers; a hang-up ends only the client.
    auto again = runOnTerminal(home, {"run", "live"});
    ASSERT_TRUE(again.readUntilText("ready-42")) << again.output();
    again.type("echo $$ > again.pid\r");
    EXPECT_EQ(readPid(tree + "/again.pid"), first);
    again.signal(SIGHUP);
    EXPECT_EQ(again.wait(), 130) << again.output();
    EXPECT_EQ(kill(first, 0), 0);

    // Closing the grid ends them.
    home.ok({"stop", "live"});
    EXPECT_TRUE(processGone(first));
    EXPECT_TRUE(processGone(second));
}

TEST_F(CliRun, RefusesWithoutATerminal) {
    home.ok({"new", "-b", "headless"});
    auto result = home.run({"run", "headless"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("terminal"), std::string::npos) << result.err;
}
