#include <filesystem>

#include <gtest/gtest.h>

#include "Cli/CliHarness.hpp"

namespace fs = std::filesystem;
using OrvexTest::CliHome;
using OrvexTest::TempDir;
using OrvexTest::TempGitRepo;

namespace {

bool oneLine(const std::string& text) {
    return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

} // namespace

TEST(CliCommandLine, HelpNamesEveryCommandAndTheExitStatuses) {
    CliHome home;
    auto help = home.run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command :
         {"open",     "init", "workspaces", "rename-workspace", "color",  "forget",
          "ls",       "new",  "rm",         "rename",           "branch", "move",
          "diff",     "show", "review",     "compare",          "refs",   "edit",
          "settings", "run"}) {
        EXPECT_NE(help.out.find(std::string("  ") + command), std::string::npos) << command;
    }
    EXPECT_NE(help.out.find("130"), std::string::npos);
    auto rm = home.run({"rm", "--help"});
    EXPECT_EQ(rm.status, 0);
    EXPECT_NE(rm.out.find("--force"), std::string::npos);
    EXPECT_NE(rm.out.find("Exit status"), std::string::npos);

    auto unknown = home.run({"frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(oneLine(unknown.err)) << unknown.err;
    EXPECT_TRUE(unknown.out.empty());
    EXPECT_FALSE(fs::exists(home.storePath()));
}

TEST(CliWorkspaces, OpenRegistersOnceWhateverTheSpelling) {
    CliHome home;
    TempGitRepo repo;
    fs::create_directories(repo.file("src/deep"));
    auto out = home.ok({"open", repo.path()});
    EXPECT_NE(out.find("opened repo"), std::string::npos) << out;
    auto store = home.store();
    ASSERT_EQ(store["workspaces"].size(), 1u);
    EXPECT_EQ(store["workspaces"][0]["repoPath"], repo.path());
    EXPECT_EQ(store["workspaces"][0]["displayName"], "repo");
    EXPECT_EQ(store["lastSelectedWorkspaceID"], store["workspaces"][0]["id"]);

    // A trailing slash, a subfolder and a symbolic link all name the same repository.
    TempDir links;
    fs::create_directory_symlink(repo.path(), links / "alias");
    for (const std::string& spelling :
         {repo.path() + "/", repo.file("src/deep"), links / "alias"}) {
        auto again = home.run({"open", spelling});
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_NE(again.out.find("already open"), std::string::npos) << again.out;
    }
    EXPECT_EQ(home.store()["workspaces"].size(), 1u);
}

TEST(CliWorkspaces, OpenRefusesWhatIsNoRepository) {
    CliHome home;
    TempDir plain;
    auto notRepo = home.run({"open", plain.path()});
    EXPECT_EQ(notRepo.status, 1);
    EXPECT_NE(notRepo.err.find("not a git repository"), std::string::npos) << notRepo.err;
    EXPECT_TRUE(oneLine(notRepo.err)) << notRepo.err;

    auto missing = home.run({"open", plain / "nowhere"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.err.find("no such folder"), std::string::npos) << missing.err;

    // Nothing was registered; whatever was written holds no workspace.
    if (fs::exists(home.storePath())) {
        EXPECT_TRUE(home.store()["workspaces"].empty());
    }
}

TEST(CliWorkspaces, InitMakesARepositoryAndOpensExistingOnesInstead) {
    CliHome home;
    TempDir dir;
    auto out = home.ok({"init", dir / "fresh/project"});
    EXPECT_TRUE(fs::exists(dir / "fresh/project/.git"));
    auto store = home.store();
    ASSERT_EQ(store["workspaces"].size(), 1u);
    EXPECT_EQ(store["workspaces"][0]["displayName"], "project");
    EXPECT_EQ(store["lastSelectedWorkspaceID"], store["workspaces"][0]["id"]);

    auto again = home.ok({"init", dir / "fresh/project"});
    EXPECT_NE(again.find("already open"), std::string::npos) << again;
    EXPECT_EQ(home.store()["workspaces"].size(), 1u);
}

TEST(CliWorkspaces, RenameColourAndForget) {
    CliHome home;
    TempGitRepo repo;
    home.ok({"open", repo.path()});
    home.ok({"new", "-b", "keep-me"});
    std::string worktree = home.sessionsRoot() + "/keep-me";
    ASSERT_TRUE(fs::exists(worktree));

    home.ok({"rename-workspace", "repo", "Main Project"});
    EXPECT_EQ(home.store()["workspaces"][0]["displayName"], "Main Project");

    home.ok({"color", "Main Project", "3366cc"});
    EXPECT_EQ(home.store()["workspaces"][0]["color"], "#3366CC");
    EXPECT_EQ(home.ok({"color", "Main Project"}), "#3366CC\n");
    auto bad = home.run({"color", "Main Project", "blue-ish"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(home.store()["workspaces"][0]["color"], "#3366CC");
    home.ok({"color", "Main Project", "--clear"});
    EXPECT_FALSE(home.store()["workspaces"][0].contains("color"));

    auto list = home.json({"workspaces"});
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["displayName"], "Main Project");
    EXPECT_EQ(list[0]["sessions"], 1);
    EXPECT_EQ(list[0]["selected"], true);

    auto forgot = home.ok({"forget", repo.path()});
    EXPECT_NE(forgot.find("nothing on disk was touched"), std::string::npos) << forgot;
    auto store = home.store();
    EXPECT_TRUE(store["workspaces"].empty());
    EXPECT_TRUE(store["sessions"].empty());
    EXPECT_TRUE(fs::exists(worktree));
    EXPECT_NE(repo.git({"branch", "--list", "keep-me"}).find("keep-me"), std::string::npos);
}

TEST(CliWorkspaces, NamesThatFitTwoWorkspacesAreAmbiguous) {
    CliHome home;
    TempDir one;
    TempDir two;
    TempGitRepo first(one / "app");
    TempGitRepo second(two / "app");
    home.ok({"open", first.path()});
    home.ok({"open", second.path()});
    auto ambiguous = home.run({"ls", "app"});
    EXPECT_EQ(ambiguous.status, 4);
    EXPECT_NE(ambiguous.err.find(first.path()), std::string::npos) << ambiguous.err;
    EXPECT_NE(ambiguous.err.find(second.path()), std::string::npos) << ambiguous.err;
    EXPECT_TRUE(oneLine(ambiguous.err));

    // The path and an identifier prefix pick one.
    EXPECT_EQ(home.json({"ls", first.path()})["workspaces"][0]["repoPath"], first.path());
    std::string id = home.store()["workspaces"][1]["id"];
    auto byPrefix = home.json({"ls", id.substr(0, 6)});
    EXPECT_EQ(byPrefix["workspaces"][0]["id"], id);

    auto unknown = home.run({"ls", "nothing-like-it"});
    EXPECT_EQ(unknown.status, 3);
}
