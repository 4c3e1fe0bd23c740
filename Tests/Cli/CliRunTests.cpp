#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Cli/CliHarness.hpp"
#include "Support/RunUntil.hpp"

namespace fs = std::filesystem;
using OrvexTest::CliHome;
using OrvexTest::TempGitRepo;

namespace {

/// `orvex ARGS` running on a pseudo-terminal that the test types into and reads.
class PtyRun {
public:
    PtyRun(const CliHome& home, const std::vector<std::string>& args) {
        std::vector<std::string> argv{"orvex"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argp;
        for (auto& a : argv) {
            argp.push_back(a.data());
        }
        argp.push_back(nullptr);
        std::vector<std::string> env = home.environment;
        env.push_back("SHELL=/bin/sh");
        env.push_back("TERM=xterm");
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        std::string binary = OrvexTest::orvexBinary();
        std::string cwd = home.home();
        winsize size{};
        size.ws_row = 30;
        size.ws_col = 100;
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            if (chdir(cwd.c_str()) == 0) {
                execve(binary.c_str(), argp.data(), envp.data());
            }
            _exit(127);
        }
    }

    ~PtyRun() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }

    void type(std::string_view text) {
        ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    /// Reads until `needle` has appeared in the output since the last call; false after 30 s.
    bool waitFor(const std::string& needle) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            auto found = seen_.find(needle, cursor_);
            if (found != std::string::npos) {
                cursor_ = found + needle.size();
                return true;
            }
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 200) > 0) {
                char buffer[4096];
                ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    seen_.append(buffer, static_cast<std::size_t>(n));
                } else if (n < 0 && errno != EINTR) {
                    return false;
                }
            }
        }
        return false;
    }

    /// Waits for the process to end (draining its output) and returns its exit status.
    int wait() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return *status_;
            }
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buffer[4096];
                ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    seen_.append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        return -1;
    }

    const std::string& output() const { return seen_; }
    void signal(int number) { kill(pid_, number); }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string seen_;
    std::size_t cursor_ = 0;
};

bool processGone(pid_t pid) {
    return OrvexTest::eventually([&] { return kill(pid, 0) != 0 && errno == ESRCH; });
}

pid_t readPid(const std::string& path) {
    OrvexTest::eventually([&] { return fs::exists(path); });
    std::string text = OrvexTest::readFile(path);
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

} // namespace

TEST(CliRun, AttachesSwitchesAndDetachesLeavingTheProgramsRunning) {
    CliHome home;
    TempGitRepo repo;
    home.ok({"open", repo.path()});
    home.ok({"new", "-b", "live", "--rows", "1", "--cols", "2"});
    std::string tree = home.sessionsRoot() + "/live";

    pid_t first = -1;
    pid_t second = -1;
    {
        PtyRun run(home, {"run", "live"});
        // The status row lists both terminals.
        ASSERT_TRUE(run.waitFor(" 2:")) << run.output();
        // The first terminal's shell runs in the worktree.
        run.type("pwd > first.txt; echo $$ > first.pid; echo ready-$((6*7))\r");
        ASSERT_TRUE(run.waitFor("ready-42")) << run.output();
        first = readPid(tree + "/first.pid");
        EXPECT_EQ(OrvexTest::readFile(tree + "/first.txt"), tree + "\n");

        // Ctrl-] moves to the second terminal.
        run.type("\x1d");
        run.type("echo $$ > second.pid; echo second-$((5*5))\r");
        ASSERT_TRUE(run.waitFor("second-25")) << run.output();
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
    PtyRun again(home, {"run", "live"});
    ASSERT_TRUE(again.waitFor("ready-42")) << again.output();
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

TEST(CliRun, RefusesWithoutATerminal) {
    CliHome home;
    TempGitRepo repo;
    home.ok({"open", repo.path()});
    home.ok({"new", "-b", "headless"});
    auto result = home.run({"run", "headless"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("terminal"), std::string::npos) << result.err;
}
