#include <filesystem>

#include <gtest/gtest.h>
#include <unistd.h>

#include "Cli/HomeWithRepo.hpp"
#include "Support/ReadAll.hpp"

namespace fs = std::filesystem;
using OrvexTest::CliHome;
using OrvexTest::sessionInStore;
using OrvexTest::TempDir;
using OrvexTest::TempGitRepo;

namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

/// Replaces `name`'s entry in a run's environment.
void setEnvironment(CliHome& home, const std::string& name, const std::string& value) {
    for (auto& entry : home.environment) {
        if (entry.starts_with(name + "=")) {
            entry = name + "=" + value;
        }
    }
}

class CliLifecycle : public OrvexTest::HomeWithRepo {
protected:
    /// Refs, HEADs and status of the main checkout: what a command that changes nothing keeps.
    std::string repoState() const {
        return repo.git({"for-each-ref", "--format=%(refname) %(objectname)"}) +
               repo.git({"status", "--porcelain"}) + repo.git({"rev-parse", "HEAD"});
    }

    /// A PATH holding only git, so that no editor, opener or gh can be found.
    std::string gitOnlyPath() {
        fs::create_symlink("/usr/bin/git", bin / "git");
        return bin.path();
    }

    TempDir bin;
};

} // namespace

TEST_F(CliLifecycle, WordsAndNamesItCannotUseAreExplained) {
    auto bogus = home.run({"bogus"});
    EXPECT_EQ(bogus.status, 2);
    EXPECT_TRUE(has(bogus.err, "'bogus' is not an orvex command")) << bogus.err;
    auto slip = home.run({"--no-pager", "fnish", "x"});
    EXPECT_TRUE(has(slip.err, "did you mean 'finish'?")) << slip.err;
    EXPECT_TRUE(has(home.run({"nwe"}).err, "did you mean 'new'?"));
    auto help = home.run({"help", "new"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(has(help.out, "Create a session")) << help.out;
    EXPECT_EQ(home.run({"help", "nwe"}).status, 2);
    EXPECT_FALSE(has(home.ok({"forget", "--help"}), "Without it"));

    TempDir bare;
    OrvexTest::git(bare.path(), {"init", "-q", "--bare"});
    auto opened = home.run({"open", bare.path()});
    EXPECT_EQ(opened.status, 1);
    EXPECT_TRUE(has(opened.err, "a bare repository (no working tree)")) << opened.err;

    EXPECT_EQ(home.run({"new", "--rows", "7"}).status, 2) << "the settings' limit, 1 to 6";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"new", "-t", "  "}, {"new", "-b", " "}, {"rename-workspace", "repo", " \t"}}) {
        auto blank = home.run(args);
        EXPECT_EQ(blank.status, 2) << args[0];
        EXPECT_TRUE(has(blank.err, "cannot be blank")) << blank.err;
    }
    EXPECT_EQ(home.store()["sessions"].size(), 0u);
    home.ok({"new", "-b", "s"});
    EXPECT_EQ(home.run({"rename", "s", ""}).status, 2);
}

TEST_F(CliLifecycle, FailuresNameTheProgramAndGitsOwnError) {
    home.ok({"settings", "sessionsRootPath", "~/my trees"});
    home.ok({"new", "-b", "s"});
    auto clash = home.run({"branch", "s", "main"});
    EXPECT_EQ(clash.status, 1);
    EXPECT_TRUE(has(clash.err, home.home() + "/my trees/s"))
        << "the path stays whole: " << clash.err;
    EXPECT_TRUE(has(clash.err, "branch -m s main")) << clash.err;
    EXPECT_TRUE(has(clash.err, "fatal: a branch named 'main' already exists")) << clash.err;

    CliHome noEditor;
    setEnvironment(noEditor, "PATH", gitOnlyPath());
    noEditor.ok({"open", repo.path()});
    noEditor.ok({"new", "-b", "e"});
    auto edit = noEditor.run({"edit", "e", "--editor", "cursor"});
    EXPECT_EQ(edit.status, 1);
    EXPECT_TRUE(has(edit.err, "neither 'cursor' nor 'xdg-open' was found")) << edit.err;

    // A server started from a copy of orvex with no helper beside it says where it belongs.
    TempDir alone;
    fs::copy_file(OrvexTest::orvexBinary(), alone / "orvex");
    fs::permissions(alone / "orvex", fs::perms(0755), fs::perm_options::replace);
    noEditor.ok({"server", "stop"});
    noEditor.binary = alone / "orvex";
    auto noHelper = noEditor.run({"diff", "e"});
    EXPECT_EQ(noHelper.status, 1);
    EXPECT_TRUE(has(noHelper.err, "OrvexDiffHelper must sit beside orvex, in " + alone.path()))
        << noHelper.err;
}

TEST_F(CliLifecycle, NewAppliesTheRepositoryFileAndKeepsASessionWhoseSetupFails) {
    repo.write(".gitignore", ".env\n");
    repo.write(".orvex.json", R"({"copy": [".env"], "setup": "echo preparing; exit 4",
                                  "command": "assistant --go", "later": true})");
    repo.commitAll("orvex file");
    repo.write(".env", "TOKEN=1\n");

    auto made = home.run({"new", "-b", "s1"});
    EXPECT_EQ(made.status, 1);
    EXPECT_TRUE(has(made.err, "preparing")) << made.err;
    EXPECT_TRUE(has(made.err, "s1 is not set up")) << made.err;
    EXPECT_TRUE(has(made.out, "created session s1")) << made.out;
    auto session = sessionInStore(home.store(), "s1");
    ASSERT_TRUE(session.is_object()) << "the session is kept";
    EXPECT_EQ(session["initialCommand"], "assistant --go");
    EXPECT_EQ(OrvexTest::readFile(worktree("s1") + "/.env"), "TOKEN=1\n");

    home.ok({"new", "-b", "s2", "--no-setup"});
    EXPECT_FALSE(fs::exists(worktree("s2") + "/.env"));

    repo.write(".orvex.json", R"({"copy": "all"})");
    auto broken = home.run({"new", "-b", "s3"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_TRUE(has(broken.err, ".orvex.json: copy: expected")) << broken.err;
    EXPECT_FALSE(sessionInStore(home.store(), "s3").is_object()) << "nothing was made";
}

TEST_F(CliLifecycle, FinishPlansWithoutChangingThenMergesAndRemoves) {
    repo.addOrigin();
    home.ok({"new", "-b", "s"});
    std::string tip = OrvexTest::commitIn(worktree("s"), "parser.c", "int parse;\n");

    std::string before = repoState();
    auto plan = home.run({"finish", "s", "--squash", "--push", "--remove", "--dry-run"});
    EXPECT_EQ(plan.status, 0) << plan.err;
    EXPECT_TRUE(has(plan.out, "dry run: nothing was changed")) << plan.out;
    EXPECT_TRUE(has(plan.out, "git -C")) << "each command is shown: " << plan.out;
    EXPECT_EQ(repoState(), before);

    auto done = home.run({"finish", "s", "--push", "--remove"});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_TRUE(has(done.out, "merge s into main")) << done.out;
    EXPECT_EQ(repo.git({"rev-parse", "main"}), tip + "\n") << "a fast-forward merge";
    EXPECT_FALSE(sessionInStore(home.store(), "s").is_object());
    EXPECT_FALSE(fs::exists(worktree("s")));
}

TEST_F(CliLifecycle, PruneListsLeftoversAndRemovesWorkOnlyWhenForced) {
    home.ok({"new", "-b", "gone"});
    OrvexTest::commitIn(worktree("gone"), "x.txt", "x\n");
    fs::remove_all(worktree("gone"));
    home.ok({"new", "-b", "orphan"});
    // Its worktree removed behind orvex's back: the session goes, its branch stays behind.
    repo.git({"worktree", "remove", worktree("orphan")});
    home.ok({"new", "-b", "live"});
    // A worktree of a repository orvex does not know (a forgotten workspace's, say).
    TempGitRepo other;
    other.git({"worktree", "add", "-q", worktree("stray"), "-b", "stray"});

    auto listed = home.run({"prune"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_TRUE(has(listed.out, "sessions whose worktree folder is gone:\n  gone")) << listed.out;
    EXPECT_TRUE(has(listed.out, worktree("stray"))) << listed.out;
    // The server read the state before the worktree went: the session is listed as gone.
    EXPECT_TRUE(has(listed.out, "  orphan  " + worktree("orphan") + "  branch orphan\n"))
        << listed.out;
    EXPECT_FALSE(has(listed.out, worktree("live"))) << "a live session is no leftover";
    EXPECT_TRUE(has(listed.out, "nothing was removed")) << listed.out;
    EXPECT_TRUE(sessionInStore(home.store(), "gone").is_object());

    auto kept = home.run({"prune", "--yes"});
    EXPECT_EQ(kept.status, 5) << kept.out << kept.err;
    EXPECT_TRUE(has(kept.out, "kept session gone: 1 unmerged commit")) << kept.out;
    EXPECT_TRUE(has(kept.out, "removed " + worktree("stray"))) << kept.out;
    EXPECT_TRUE(sessionInStore(home.store(), "gone").is_object());

    EXPECT_EQ(home.run({"prune", "--yes", "--force"}).status, 0);
    EXPECT_FALSE(sessionInStore(home.store(), "gone").is_object());
    EXPECT_EQ(repo.git({"branch", "--list", "gone"}), "");
    EXPECT_EQ(repo.git({"branch", "--list", "orphan"}), "");
    EXPECT_TRUE(sessionInStore(home.store(), "live").is_object());
    EXPECT_EQ(home.ok({"prune"}), "nothing left behind\n");
}

TEST_F(CliLifecycle, CompletionAndManualPageComeFromTheCommandTree) {
    home.ok({"new", "-b", "brave-fox"});
    home.ok({"new", "-b", "calm-owl"});
    EXPECT_EQ(home.ok({"__complete", "sessions"}), "brave-fox\ncalm-owl\n");
    EXPECT_EQ(home.ok({"__complete", "workspaces"}), "repo\n");

    TempDir scripts;
    for (std::string shell : {"bash", "zsh", "fish"}) {
        std::string script = home.ok({"completion", shell});
        EXPECT_TRUE(has(script, "finish")) << shell;
        EXPECT_TRUE(has(script, "--dry-run") || has(script, "-l dry-run")) << shell;
        EXPECT_TRUE(has(script, "__complete")) << "names are asked of orvex: " << shell;
        OrvexTest::writeFile(scripts / shell, script);
    }
    // The bash script is valid bash, and completing a session asks orvex for the names.
    std::string probe = "source " + (scripts / "bash") +
                        "; COMP_WORDS=(orvex rm b); COMP_CWORD=2; _orvex; echo \"${COMPREPLY[@]}\"";
    OrvexTest::writeFile(bin / "orvex",
                         "#!/bin/sh\nexec " + OrvexTest::orvexBinary() + " \"$@\"\n");
    fs::permissions(bin / "orvex", fs::perms(0755), fs::perm_options::replace);
    const char* path = std::getenv("PATH");
    setEnvironment(home, "PATH", bin.path() + ":" + (path ? path : "/usr/bin:/bin"));
    OrvexCore::Platform::SpawnOptions options;
    options.environment = home.environment;
    auto shell = OrvexCore::Platform::ChildProcess::spawn("/bin/bash", {"-c", probe}, options);
    EXPECT_EQ(OrvexTest::readAll(shell.outputFd()), "brave-fox\n");
    EXPECT_EQ(shell.wait(), 0);

    auto page = home.ok({"manpage"});
    EXPECT_TRUE(page.starts_with(".TH ORVEX 1")) << page.substr(0, 100);
    EXPECT_TRUE(has(page, ".SS \"orvex prune\"")) << page;
    EXPECT_EQ(home.run({"completion", "tcsh"}).status, 2);
}
