// The server end to end: the real orvex binary, a throwaway home, real git, real shells.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "Cli/CliHarness.hpp"
#include "Cli/HomeWithRepo.hpp"
#include "OrvexCore/Models/PersistedState.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"

namespace fs = std::filesystem;
using OrvexTest::CliHome;
using OrvexTest::CliResult;
using OrvexTest::TempGitRepo;

namespace {

/// Runs several orvex commands at once and collects what each left.
std::vector<CliResult> runTogether(const CliHome& home,
                                   const std::vector<std::vector<std::string>>& commands) {
    std::vector<CliResult> results(commands.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = home.run(commands[i]); });
    }
    for (auto& t : threads) {
        t.join();
    }
    return results;
}

/// Waits (polling the server through ls) until `predicate` holds for the session's ls entry.
template <class Predicate>
bool waitForSession(const CliHome& home, const std::string& slug, Predicate predicate) {
    return OrvexTest::eventually([&] {
        const auto listing = home.json({"ls"});
        for (const auto& workspace : listing["workspaces"]) {
            auto s = OrvexTest::sessionInStore(workspace, slug);
            if (s.is_object() && predicate(s)) {
                return true;
            }
        }
        return false;
    });
}

} // namespace

class ServerConcurrency : public OrvexTest::HomeWithRepo {};
class ServerLifecycle : public OrvexTest::HomeWithRepo {};

TEST_F(ServerConcurrency, TwentyNewAtOnceKeepEveryRecordWithTitleAndBase) {
    std::string head = repo.head();
    std::vector<std::vector<std::string>> commands;
    for (int i = 0; i < 20; ++i) {
        commands.push_back({"new", "-b", "b" + std::to_string(i), "--title",
                            "T" + std::to_string(i), "--command", "echo " + std::to_string(i)});
    }
    for (const auto& result : runTogether(home, commands)) {
        EXPECT_EQ(result.status, 0) << result.err;
    }
    auto store = home.store();
    ASSERT_EQ(store["sessions"].size(), 20u) << store.dump();
    for (int i = 0; i < 20; ++i) {
        auto session = OrvexTest::sessionInStore(store, "b" + std::to_string(i));
        ASSERT_FALSE(session.is_null()) << i;
        EXPECT_EQ(session["title"], "T" + std::to_string(i));
        EXPECT_EQ(session["baseCommit"], head);
        EXPECT_EQ(session["initialCommand"], "echo " + std::to_string(i));
    }
}

TEST_F(ServerConcurrency, ListingBesideReviewsAndTwoSettingsWritersLoseNothing) {
    home.ok({"new", "-b", "marks"});
    std::string tree = home.sessionsRoot() + "/marks";
    std::vector<std::vector<std::string>> commands;
    for (int i = 0; i < 12; ++i) {
        std::string name = "f" + std::to_string(i) + ".txt";
        OrvexTest::writeFile(tree + "/" + name, "x\n");
        commands.push_back({"review", "marks", name});
        commands.push_back({"ls"});
    }
    // Untracked files are not among a session's changes: the files are committed.
    OrvexTest::git(tree, {"add", "."});
    OrvexTest::git(tree, {"commit", "-q", "-m", "files to review"});
    commands.push_back({"settings", "newBranchRows", "3"});
    commands.push_back({"settings", "theme", "dark"});
    for (const auto& result : runTogether(home, commands)) {
        EXPECT_EQ(result.status, 0) << result.err;
    }
    auto session = OrvexTest::sessionInStore(home.store(), "marks");
    EXPECT_EQ(session["reviewedFiles"].size(), 12u) << session.dump();
    auto defaults =
        nlohmann::json::parse(OrvexTest::readFile(home.home() + "/config/orvex/defaults.json"));
    EXPECT_EQ(defaults["newBranchRows"], 3);
    EXPECT_EQ(defaults["theme"], "dark");
}

TEST_F(ServerLifecycle, InterruptedCommandsNeverWriteTheStore) {
    for (int i = 0; i < 5; ++i) {
        home.ok({"new", "-b", "s" + std::to_string(i)});
    }
    std::string before = OrvexTest::readFile(home.storePath());
    std::mt19937 random(7);
    for (int round = 0; round < 10; ++round) {
        auto child = home.start({"ls"});
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        child.sendSignal(SIGINT);
        child.wait();
        EXPECT_EQ(OrvexTest::readFile(home.storePath()), before) << "round " << round;
    }
}

TEST(ServerStartUp, UnreadableFilesAreSetAsideWithANoticeToldOnce) {
    CliHome home;
    OrvexTest::writeFile(home.storePath(), "{\"workspaces\": [tru");
    OrvexTest::writeFile(home.home() + "/config/orvex/defaults.json", "not json");
    auto first = home.run({"ls"});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("orvex: notice: the state file " + home.storePath() +
                             " could not be read; it was moved to"),
              std::string::npos)
        << first.err;
    EXPECT_NE(first.err.find("the settings file"), std::string::npos) << first.err;
    EXPECT_EQ(home.run({"ls"}).err, "");
    const auto names = OrvexTest::entries(home.home() + "/data/Orvex");
    EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const std::string& name) {
        return name.starts_with("store.json.unreadable");
    }));
}

TEST_F(ServerLifecycle, GridsRunWithoutAClientAndStopEndsThem) {
    std::string marker = home.home() + "/ticks";
    home.ok({"new", "-b", "busy", "--command",
             "while true; do echo tick >> " + marker + "; sleep 0.1; done"});
    EXPECT_TRUE(
        waitForSession(home, "busy", [](const nlohmann::json& s) { return !s["running"]; }));
    auto started = home.ok({"start", "busy"});
    EXPECT_NE(started.find("busy runs in the Orvex server"), std::string::npos) << started;
    // The program keeps writing although no client is attached.
    EXPECT_TRUE(waitForSession(home, "busy", [](const nlohmann::json& s) {
        return s["running"] == true && s["liveStatus"] == "running";
    }));
    auto ls = home.ok({"ls"});
    EXPECT_NE(ls.find("running"), std::string::npos) << ls;
    EXPECT_NE(home.ok({"stop", "busy"}).find("stopped busy"), std::string::npos);
    auto size = fs::file_size(marker);
    EXPECT_TRUE(
        waitForSession(home, "busy", [](const nlohmann::json& s) { return !s["running"]; }));
    // Removing a session whose grid is open closes it first.
    home.ok({"start", "busy"});
    home.ok({"rm", "--force", "busy"});
    EXPECT_TRUE(home.store()["sessions"].empty());
    // A session can start its programs as it is made.
    auto made = home.ok({"new", "-b", "quick", "--run", "--command", "sleep 60"});
    EXPECT_NE(made.find("started: 1 terminal in the Orvex server"), std::string::npos) << made;
    EXPECT_TRUE(waitForSession(home, "quick",
                               [](const nlohmann::json& s) { return s["running"] == true; }));
    EXPECT_GE(fs::file_size(marker), size);
    // Nothing is left running once the server stops.
    home.ok({"server", "stop"});
    EXPECT_EQ(home.serverPID(), -1);
    EXPECT_FALSE(fs::exists(home.socketPath()));
    EXPECT_EQ(home.run({"server", "status"}).status, 3);
}

TEST_F(ServerLifecycle, SigkillAtRandomMomentsKeepsEveryAcknowledgedChange) {
    home.ok({"new", "-b", "victim", "--command", "while true; do echo busy; sleep 0.2; done"});
    home.ok({"start", "victim"});
    ASSERT_TRUE(waitForSession(
        home, "victim", [](const nlohmann::json& s) { return s["liveStatus"] == "running"; }));
    std::mt19937 random(12);
    // The last acknowledged title, then the titles tried after it: a server killed after its
    // write but before its answer leaves a change the client never heard of.
    std::vector<std::string> possible;
    for (int round = 0; round < 30; ++round) {
        std::string title = "title-" + std::to_string(round);
        auto child = home.start({"rename", "victim", title});
        int pid = -1;
        for (int i = 0; i < 200 && pid < 0; ++i) {
            pid = home.serverPID();
            if (pid < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
        if (pid > 0) {
            ::kill(pid, SIGKILL);
        }
        if (child.wait() == 0) {
            possible = {title};
        } else if (!possible.empty()) {
            possible.push_back(title);
        }
        // Whatever the moment, the store loads and holds the last acknowledged change or one
        // tried after it, never an older one.
        auto text = OrvexTest::readFile(home.storePath());
        ASSERT_NO_THROW(OrvexCore::decodePersistedState(text)) << "round " << round;
        if (!possible.empty()) {
            const std::string stored = OrvexTest::sessionInStore(home.store(), "victim")["title"];
            EXPECT_NE(std::find(possible.begin(), possible.end(), stored), possible.end())
                << "round " << round << ": " << stored << " stored, " << possible.front()
                << " acknowledged";
        }
    }
    // The next command starts a new server, which knows the programs are gone.
    auto doc = home.json({"ls"});
    auto session = doc["workspaces"][0]["sessions"][0];
    EXPECT_EQ(session["running"], false) << session.dump();
    EXPECT_NE(session["status"], "running");
    EXPECT_NE(session["status"], "needsInput");
    EXPECT_NE(home.ok({"ls"}).find("not running"), std::string::npos);
}

TEST(ServerSecurity, UnsafeFoldersAreRefused) {
    CliHome home;
    fs::create_directories(home.home() + "/run/orvex");
    ::chmod((home.home() + "/run/orvex").c_str(), 0755);
    auto result = home.run({"ls"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("open to other users"), std::string::npos) << result.err;
}

TEST(ServerSecurity, AnotherUserIsRefused) {
    if (::getuid() != 0) {
        GTEST_SKIP() << "changing to another user needs root";
    }
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    uid_t uid = nobody->pw_uid;
    gid_t gid = nobody->pw_gid;
    CliHome home;
    home.ok({"server", "start"});
    // Let the other user reach the socket, so the server's own check is what refuses it.
    std::string top = fs::path(home.home()).parent_path().string();
    for (const auto& folder :
         {top, home.home(), home.home() + "/run", home.home() + "/run/orvex"}) {
        ::chmod(folder.c_str(), 0711);
    }
    ::chmod(home.socketPath().c_str(), 0666);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, home.socketPath().c_str(), sizeof(address.sun_path) - 1);
    const std::string hello = fmt::format(R"({{"id":1,"method":"hello","params":{{"version":{}}}}})"
                                          "\n",
                                          OrvexServer::Protocol::version);
    // The test process has threads: the child makes system calls only, and its wait for an
    // answer is bounded, so it cannot hang on a lock held at the fork or on a silent server.
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(uid, uid, uid) != 0) {
            ::_exit(10);
        }
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::_exit(11);
        }
        [[maybe_unused]] auto sent = ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 30000) != 1) {
            ::_exit(30);
        }
        char byte = 0;
        ::_exit(::read(fd, &byte, 1) > 0 ? 0 : 20);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod((home.home() + "/run/orvex").c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 20) << "10: could not become nobody, 11: could not connect, "
                                          "0: answered, 30: neither answered nor closed";
    EXPECT_NE(OrvexTest::readFile(home.home() + "/data/Orvex/server.log")
                  .find(fmt::format("refused a client of uid {}", uid)),
              std::string::npos);
    EXPECT_EQ(home.run({"ls"}).status, 0);
}
