#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>
#include <unistd.h>

#include "Cli/HomeWithRepo.hpp"
#include "Support/ReadAll.hpp"
#include "Support/RunUntil.hpp"

namespace fs = std::filesystem;
using OrvexTest::CliHome;
using OrvexTest::TempDir;

namespace {

/// A folder of stand-in programs put first on the search path of every orvex run.
class FakePrograms {
public:
    explicit FakePrograms(CliHome& home) {
        for (auto& entry : home.environment) {
            if (entry.starts_with("PATH=")) {
                entry = "PATH=" + dir_.path() + ":" + entry.substr(5);
            }
        }
    }
    void add(const std::string& name, const std::string& script) {
        std::string path = dir_ / name;
        OrvexTest::writeFile(path, "#!/bin/sh\n" + script);
        fs::permissions(path, fs::perms::owner_all);
    }
    std::string operator/(const std::string& name) const { return dir_ / name; }

private:
    TempDir dir_;
};

/// A home with the repository open whose runs find the stand-in programs first.
class WithFakePrograms : public OrvexTest::HomeWithRepo {
protected:
    FakePrograms fakes{home};
};

} // namespace

class CliEdit : public WithFakePrograms {};
class CliInterrupt : public WithFakePrograms {};

TEST_F(CliEdit, OpensTheWorktreeWithTheChosenEditor) {
    fakes.add("code", "echo \"code $*\" > \"" + fakes / "called" + "\"\n");
    fakes.add("xdg-open", "exit 1\n");
    home.ok({"new", "-b", "edited"});

    auto out = home.ok({"edit", "edited"});
    EXPECT_NE(out.find("VS Code"), std::string::npos) << out;
    EXPECT_EQ(OrvexTest::readFile(fakes / "called"), "code " + worktree("edited") + "\n");

    // Neither the tool nor the system's opener works: one line, status 1.
    auto failed = home.run({"edit", "edited", "--editor", "cursor"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("could not open"), std::string::npos) << failed.err;
    auto unknown = home.run({"edit", "edited", "--editor", "notepad"});
    EXPECT_EQ(unknown.status, 2);
}

TEST_F(CliInterrupt, AnInterruptSavesAndEndsWithStatus130) {
    // An editor that never returns on its own keeps orvex waiting.
    fakes.add("code", "echo $$ > \"" + fakes / "editor.pid" + "\"\nexec sleep 60\n");
    home.ok({"new", "-b", "waiting"});
    auto before = home.store();

    auto child = home.start({"edit", "waiting"});
    ASSERT_TRUE(OrvexTest::eventually([&] { return fs::exists(fakes / "editor.pid"); }));
    child.sendSignal(SIGINT);
    EXPECT_EQ(child.wait(), 130);
    EXPECT_EQ(OrvexTest::readAll(child.errorFd()), "orvex: interrupted\n");
    EXPECT_EQ(home.store(), before);

    pid_t editor = static_cast<pid_t>(std::stol(OrvexTest::readFile(fakes / "editor.pid")));
    kill(editor, SIGKILL);
}
