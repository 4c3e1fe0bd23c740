#include <filesystem>

#include <gtest/gtest.h>

#include "OrvexCore/Lifecycle/RepoConfig.hpp"
#include "OrvexCore/Lifecycle/WorktreeSetup.hpp"
#include "OrvexCore/Models/DecodingError.hpp"
#include "Support/TempGitRepo.hpp"
#include "Support/ThrownBy.hpp"

namespace fs = std::filesystem;
using OrvexCore::RepoConfig;
using namespace OrvexCore::WorktreeSetup;
using OrvexTest::TempDir;
using OrvexTest::TempGitRepo;
using OrvexTest::thrownBy;

TEST(RepoConfig, ReadsKnownKeysIgnoresOthersAndNamesTheBadKey) {
    auto config = RepoConfig::decode(
        R"({"copy": [".env", "config/*.local"], "setup": "make deps", "command": "  ",
            "future": {"x": 1}})");
    EXPECT_EQ(config.copy, (std::vector<std::string>{".env", "config/*.local"}));
    EXPECT_EQ(config.setup, "make deps");
    EXPECT_FALSE(config.command) << "a blank command counts as none";

    struct Case {
        const char* text;
        const char* key;
    };
    for (auto c :
         {Case{R"({"copy": ".env"})", "copy"}, Case{R"({"copy": [".env", 3]})", "copy[1]"},
          Case{R"({"copy": ["../secrets"]})", "copy[0]"},
          Case{R"({"copy": ["/etc/passwd"]})", "copy[0]"}, Case{R"({"setup": ["make"]})", "setup"},
          Case{R"([1])", ""}, Case{R"({"copy": [)", ""}}) {
        auto e = thrownBy<OrvexCore::DecodingError>([&] { RepoConfig::decode(c.text); });
        ASSERT_TRUE(e) << c.text << " was accepted";
        EXPECT_EQ(e->codingPath(), c.key) << c.text << ": " << e->what();
    }

    TempGitRepo repo;
    EXPECT_FALSE(RepoConfig::load(repo.path()));
    repo.write(".orvex.json", R"({"copy": [true]})");
    auto bad = thrownBy<OrvexCore::DecodingError>([&] { RepoConfig::load(repo.path()); });
    ASSERT_TRUE(bad) << "a bad file was accepted";
    EXPECT_EQ(bad->file(), repo.file(".orvex.json"));
    EXPECT_NE(std::string(bad->what()).find("copy[0]"), std::string::npos) << bad->what();
}

TEST(WorktreeSetup, CopiesMatchingIgnoredFilesWithModesAndRefusesLinksOut) {
    TempGitRepo repo;
    TempDir outside;
    OrvexTest::writeFile(outside / "secret", "outside\n");
    repo.write(".gitignore", ".env\n*.local\nlinks/\nbuild/\n");
    repo.commitAll("ignore");
    repo.write(".env", "TOKEN=1\n");
    repo.write("api/.env", "TOKEN=2\n");
    repo.write("config/db.local", "db\n");
    repo.write("config/deep/x.local", "deep\n");
    repo.write("build/out.o", "object\n");
    fs::permissions(repo.file(".env"), fs::perms(0600), fs::perm_options::replace);
    fs::permissions(repo.file("config/db.local"), fs::perms(0750), fs::perm_options::replace);
    fs::create_directories(repo.file("links"));
    fs::create_symlink(outside / "secret", repo.file("links/out.local"));
    fs::create_symlink("../config/db.local", repo.file("links/in.local"));

    auto files = matchingIgnoredFiles(repo.path(), {".env", "config/*.local", "links"});
    EXPECT_EQ(files, (std::vector<std::string>{".env", "api/.env", "config/db.local",
                                               "links/in.local", "links/out.local"}))
        << "config/*.local does not reach config/deep; build/ is not asked for";

    std::string worktree = repo.addWorktree(repo.path() + "-wt", "session");
    std::vector<CopyOutcome::Kind> kinds;
    for (const auto& f : files) {
        kinds.push_back(copyFile(repo.path(), worktree, f).kind);
    }
    using K = CopyOutcome::Kind;
    EXPECT_EQ(kinds, (std::vector<K>{K::copied, K::copied, K::copied, K::linked, K::refused}));
    EXPECT_EQ(OrvexTest::readFile(worktree + "/api/.env"), "TOKEN=2\n");
    EXPECT_EQ(OrvexTest::permissions(worktree + "/.env"), 0600u);
    EXPECT_EQ(OrvexTest::permissions(worktree + "/config/db.local"), 0750u);
    EXPECT_EQ(fs::read_symlink(worktree + "/links/in.local"), "../config/db.local");
    EXPECT_FALSE(fs::exists(fs::symlink_status(worktree + "/links/out.local")));

    OrvexTest::writeFile(worktree + "/.env", "mine\n");
    EXPECT_EQ(copyFile(repo.path(), worktree, ".env").kind, K::existed);
    EXPECT_EQ(OrvexTest::readFile(worktree + "/.env"), "mine\n");
}

TEST(WorktreeSetup, SetupCommandShowsItsOutputAndAFailureMarksTheWorktree) {
    TempGitRepo repo;
    std::string worktree = repo.addWorktree(repo.path() + "-wt", "session");
    std::string seen;
    int status = runSetupCommand(worktree, "pwd; echo oops >&2; exit 3",
                                 [&](std::string_view bytes) { seen += bytes; });
    EXPECT_EQ(status, 3);
    EXPECT_EQ(seen, worktree + "\noops\n");
    EXPECT_FALSE(notSetUpReason(worktree));
    markNotSetUp(worktree, "setup failed");
    EXPECT_EQ(notSetUpReason(worktree), "setup failed");
    EXPECT_EQ(OrvexTest::git(worktree, {"status", "--porcelain"}), "")
        << "the mark never shows as a change";
}
