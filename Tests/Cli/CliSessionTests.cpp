#include <filesystem>

#include <gtest/gtest.h>

#include "Cli/HomeWithRepo.hpp"

namespace fs = std::filesystem;
using OrvexTest::sessionInStore;

class CliSessions : public OrvexTest::HomeWithRepo {};

TEST_F(CliSessions, NewMakesAWorktreeSessionWithTheGivenShape) {
    auto out = home.ok({"new", "-b", "feature/login", "-t", "Login form", "--rows", "2", "--cols",
                        "3", "-c", "  make watch  "});
    EXPECT_NE(out.find(worktree("feature/login")), std::string::npos) << out;
    auto session = sessionInStore(home.store(), "feature/login");
    ASSERT_TRUE(session.is_object());
    // What the options become; the worktree, branch and base a new session gets are
    // AppStateSessionsTest's.
    EXPECT_EQ(session["title"], "Login form");
    EXPECT_EQ(session["gridRows"], 2);
    EXPECT_EQ(session["gridCols"], 3);
    EXPECT_EQ(session["initialCommand"], "make watch");

    home.ok({"new"});
    auto store = home.store();
    ASSERT_EQ(store["sessions"].size(), 2u);
    std::string slug = store["sessions"][1]["slug"];
    EXPECT_NE(slug.find('-'), std::string::npos);
    EXPECT_EQ(store["sessions"][1]["title"], slug);
    EXPECT_TRUE(fs::is_directory(worktree(slug)));

    auto badRows = home.run({"new", "--rows", "0"});
    EXPECT_EQ(badRows.status, 2);
    EXPECT_EQ(home.store()["sessions"].size(), 2u);
}

TEST_F(CliSessions, NewTakesItsDefaultsFromTheSettings) {
    home.ok({"settings", "newBranchRows", "3"});
    home.ok({"settings", "newBranchCols", "2"});
    home.ok({"settings", "newBranchCommand", "my-assistant --fast"});
    home.ok({"settings", "sessionsRootPath", "~/work/trees"});
    home.ok({"new", "-b", "tuned"});
    auto session = sessionInStore(home.store(), "tuned");
    EXPECT_EQ(session["gridRows"], 3);
    EXPECT_EQ(session["gridCols"], 2);
    EXPECT_EQ(session["initialCommand"], "my-assistant --fast");
    EXPECT_EQ(session["worktreePath"], home.home() + "/work/trees/tuned");
    EXPECT_TRUE(fs::is_directory(home.home() + "/work/trees/tuned"));
}

TEST_F(CliSessions, NewInTheMainCheckout) {
    home.ok({"new", "--no-worktree", "-t", "in place"});
    auto store = home.store();
    ASSERT_EQ(store["sessions"].size(), 1u);
    EXPECT_EQ(store["sessions"][0]["isWorktree"], false);
    EXPECT_EQ(store["sessions"][0]["worktreePath"], repo.path());
    EXPECT_EQ(store["sessions"][0]["branch"], "main");

    auto both = home.run({"new", "--no-worktree", "-b", "x"});
    EXPECT_EQ(both.status, 2);

    std::string slug = store["sessions"][0]["slug"];
    auto out = home.ok({"rm", slug});
    EXPECT_NE(out.find("left as they are"), std::string::npos) << out;
    EXPECT_TRUE(home.store()["sessions"].empty());
    EXPECT_TRUE(fs::exists(repo.file("README.md")));
}

TEST_F(CliSessions, RemovingRefusesToLoseWorkUnlessForced) {
    home.ok({"new", "-b", "dirty"});
    OrvexTest::writeFile(worktree("dirty") + "/notes.txt", "draft\n");
    auto refused = home.run({"rm", "dirty"});
    EXPECT_EQ(refused.status, 5);
    EXPECT_NE(refused.err.find("uncommitted changes"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
    EXPECT_TRUE(fs::exists(worktree("dirty") + "/notes.txt"));
    EXPECT_TRUE(sessionInStore(home.store(), "dirty").is_object());

    // Committed but on no other branch: still work that removal would lose.
    OrvexTest::git(worktree("dirty"), {"add", "."});
    OrvexTest::git(worktree("dirty"), {"commit", "-q", "-m", "notes"});
    refused = home.run({"rm", "dirty"});
    EXPECT_EQ(refused.status, 5);
    EXPECT_NE(refused.err.find("1 commit on branch dirty"), std::string::npos) << refused.err;
    EXPECT_TRUE(sessionInStore(home.store(), "dirty").is_object());

    home.ok({"rm", "dirty", "--force"});
    EXPECT_FALSE(fs::exists(worktree("dirty")));
    EXPECT_TRUE(repo.git({"branch", "--list", "dirty"}).empty());
    EXPECT_TRUE(sessionInStore(home.store(), "dirty").is_null());
}

TEST_F(CliSessions, RenameBranchAndMove) {
    for (const char* name : {"alpha", "beta", "gamma"}) {
        home.ok({"new", "-b", name});
    }
    home.ok({"rename", "beta", "The second one"});
    EXPECT_EQ(sessionInStore(home.store(), "beta")["title"], "The second one");

    home.ok({"branch", "The second one", "beta-renamed"});
    EXPECT_EQ(sessionInStore(home.store(), "beta")["branch"], "beta-renamed");
    EXPECT_EQ(OrvexTest::git(worktree("beta"), {"branch", "--show-current"}), "beta-renamed\n");
    auto blank = home.run({"branch", "beta", "   "});
    EXPECT_EQ(blank.status, 2);

    // Positions count from 1; how moves reorder is AppStateSessionsTest's.
    home.ok({"move", "alpha", "3"});
    EXPECT_EQ(home.run({"move", "alpha", "4"}).status, 2);
    auto sessions = home.json({"ls"})["workspaces"][0]["sessions"];
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_EQ(sessions[2]["slug"], "alpha");
    EXPECT_EQ(sessions[0]["slug"], "beta");
    EXPECT_EQ(sessions[0]["position"], 1);
    EXPECT_EQ(sessions[0]["title"], "The second one");
}

TEST_F(CliSessions, UnknownAndAmbiguousSessionNames) {
    home.ok({"new", "-b", "one", "-t", "same title"});
    home.ok({"new", "-b", "two", "-t", "same title"});
    auto ambiguous = home.run({"rename", "same title", "x"});
    EXPECT_EQ(ambiguous.status, 4);
    EXPECT_NE(ambiguous.err.find("one"), std::string::npos);
    EXPECT_NE(ambiguous.err.find("two"), std::string::npos);

    auto unknown = home.run({"diff", "three"});
    EXPECT_EQ(unknown.status, 3);
    EXPECT_NE(unknown.err.find("no session named 'three'"), std::string::npos) << unknown.err;

    std::string id = sessionInStore(home.store(), "two")["id"];
    home.ok({"rename", id.substr(0, 8), "renamed by prefix"});
    EXPECT_EQ(sessionInStore(home.store(), "two")["title"], "renamed by prefix");
}

TEST_F(CliSessions, ListCountsChangesThroughTheHelper) {
    home.ok({"new", "-b", "busy"});
    home.ok({"new", "-b", "quiet"});
    OrvexTest::writeFile(worktree("busy") + "/README.md", "# changed\n");
    OrvexTest::writeFile(worktree("busy") + "/new.txt", "new\n");
    OrvexTest::git(worktree("busy"), {"add", "new.txt"});
    auto listing = home.json({"ls", "--changes"});
    auto sessions = listing["workspaces"][0]["sessions"];
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0]["changes"], 2);
    EXPECT_EQ(sessions[1]["changes"], 0);

    auto table = home.ok({"ls"});
    EXPECT_NE(table.find("busy"), std::string::npos);
    EXPECT_NE(table.find("~/.orvex-sessions/quiet"), std::string::npos) << table;
}
