// Terminal statuses and notifications through the real server: the orvex binary, a throwaway
// home, real git and real shells.

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"
#include "Support/RunUntil.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexTest::CliHome;
using OrvexTest::eventually;
using OrvexTest::TempGitRepo;

namespace {

/// The first terminal of the session with this slug in `orvex ls --json`, or null.
nlohmann::json firstTerminal(const CliHome& home, const std::string& slug) {
    const auto listing = home.json({"ls"});
    for (const auto& workspace : listing["workspaces"]) {
        auto s = OrvexTest::sessionInStore(workspace, slug);
        if (s.is_object() && s.contains("terminals") && !s["terminals"].empty()) {
            return s["terminals"][0];
        }
    }
    return nullptr;
}

bool terminalIs(const CliHome& home, const std::string& slug, const std::string& status,
                const std::string& words) {
    auto terminal = firstTerminal(home, slug);
    return terminal.is_object() && terminal["status"] == status &&
           terminal["reason"].get<std::string>().find(words) != std::string::npos;
}

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) {
        all.push_back(line);
    }
    return all;
}

long count(const std::vector<std::string>& all, const std::string& words) {
    return std::count_if(all.begin(), all.end(), [&](const std::string& line) {
        return line.find(words) != std::string::npos;
    });
}

} // namespace

TEST(ServerActivity, TerminalsTellWhyInLsAndWatchAndNotifyOncePerChange) {
    CliHome home;
    TempGitRepo repo;
    home.ok({"open", repo.path()});
    const std::string notices = home.home() + "/notices";
    home.ok({"settings", "notifyCommand",
             "printf '%s|%s|%s|%s\\n' \"$ORVEX_WORKSPACE\" \"$ORVEX_SESSION\" \"$ORVEX_TERMINAL\" "
             "\"$ORVEX_STATUS\" >> " +
                 notices});

    home.ok({"new", "-b", "asker", "--run", "--command", "read -p 'Name: ' n"});
    home.ok({"new", "-b", "sleeper", "--run", "--command", "sleep 30"});
    ASSERT_TRUE(eventually([&] { return terminalIs(home, "asker", "needsInput", "Name:"); }))
        << firstTerminal(home, "asker").dump();
    ASSERT_TRUE(eventually([&] {
        return terminalIs(home, "sleeper", "working", "without output");
    })) << firstTerminal(home, "sleeper").dump();

    // Each running session's terminals sit under its line with their status and reason.
    auto ls = home.ok({"ls", "--why"});
    const auto asker = ls.find("asker");
    const auto sleeper = ls.find("sleeper");
    ASSERT_NE(asker, std::string::npos) << ls;
    ASSERT_NE(sleeper, std::string::npos) << ls;
    const auto asks = ls.find("needs input", asker);
    EXPECT_NE(asks, std::string::npos) << ls;
    EXPECT_NE(ls.find("Name:\"", asks), std::string::npos) << ls;
    EXPECT_NE(ls.find("sleep has been running for", sleeper), std::string::npos) << ls;
    EXPECT_EQ(ls.find("\x1b"), std::string::npos) << "no colour without a terminal";

    // One frame for scripts, plain text.
    auto frame = home.ok({"watch", "--once"});
    EXPECT_NE(frame.find("! asker"), std::string::npos) << frame;
    EXPECT_NE(frame.find("Name:"), std::string::npos) << frame;
    EXPECT_EQ(frame.find("\x1b"), std::string::npos) << frame;
    EXPECT_EQ(home.run({"watch"}).status, 2) << "the live view needs a terminal";

    // Nobody is attached: the question was told to the notify command, with names.
    ASSERT_TRUE(eventually([&] { return count(lines(notices), "|asker|") == 1; }));
    const std::string title = firstTerminal(home, "asker")["title"];
    const std::string workspace = home.json({"workspaces"})[0]["displayName"];
    EXPECT_EQ(lines(notices)[0], workspace + "|asker|" + title + "|needsInput");

    // Three bells in one burst are told once; the question above is not told again meanwhile.
    // They ring once the command has been working for a while: while the shell still echoes
    // the typed command its status is not settled, and a bell is told again after a change.
    const std::string rang = home.home() + "/rang";
    home.ok({"new", "-b", "ringer", "--run", "--command",
             "sleep 2; printf '\\a\\a\\a'; touch " + rang});
    ASSERT_TRUE(eventually([&] {
        return std::filesystem::exists(rang) && terminalIs(home, "ringer", "idle", "prompt");
    })) << firstTerminal(home, "ringer").dump();
    ASSERT_TRUE(eventually([&] { return count(lines(notices), "|bell") >= 1; }));
    auto told = lines(notices);
    EXPECT_EQ(count(told, "|asker|"), 1);
    EXPECT_EQ(count(told, "|sleeper|"), 0);
    std::vector<std::string> ringerBells;
    for (const auto& line : told) {
        if (line.find("|ringer|") != std::string::npos && line.ends_with("|bell")) {
            ringerBells.push_back(line);
        }
    }
    EXPECT_EQ(ringerBells.size(), 1u) << "three bells in one burst";
}
