#include "OrvexCore/External/CommandError.hpp"
#include "OrvexCore/External/ProcessCommandRunner.hpp"

#include <filesystem>
#include <system_error>

#include <unistd.h>

#include <gtest/gtest.h>

#include "Support/TempGitRepo.hpp"

using OrvexCore::CommandError;
using OrvexCore::ProcessCommandRunner;

namespace {

// Runs `executable` and returns the CommandError it threw; fails the test when it threw
// nothing or something else.
CommandError commandErrorOf(const std::string& executable,
                            const std::vector<std::string>& arguments = {}) {
    ProcessCommandRunner runner;
    try {
        runner.run(executable, arguments);
    } catch (const CommandError& error) {
        return error;
    }
    ADD_FAILURE() << executable << " did not throw a CommandError";
    return CommandError("", 0);
}

// Changes the current folder for the life of the object.
class CurrentFolder {
public:
    explicit CurrentFolder(const std::string& folder) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~CurrentFolder() { std::filesystem::current_path(saved_); }

private:
    std::filesystem::path saved_;
};

} // namespace

TEST(CommandRunnerTests, RefusesProgramsOutsideTheAllowedFoldersWithoutStartingThem) {
    OrvexTest::TempDir dir;
    // A program that would leave a mark if it ever ran.
    const std::string marker = dir / "ran";
    const std::string tool = dir / "tool";
    OrvexTest::writeFile(tool, "#!/bin/sh\ntouch '" + marker + "'\n");
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);

    const std::string relativeTool = std::filesystem::path(tool).lexically_relative("/").string();
    const std::vector<std::string> refused{
        tool,
        "/usr/bin/../.." + tool, // dot segments leave the folder
        "/usr/bin/./../" + relativeTool,
        "/usr/binx/tool", // the folder's name is only a prefix of this one
        "/usr/bin",       // the folder itself is no program inside it
        "/opt/homebrew/binaries/tool",
        "tool", // relative: resolved against the current folder
        "",
    };
    CurrentFolder inDir(dir.path());
    for (const auto& executable : refused) {
        SCOPED_TRACE(executable);
        EXPECT_EQ(commandErrorOf(executable), CommandError(executable, -1));
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(CommandRunnerTests, AcceptsPathsThatStandardiseIntoAnAllowedFolder) {
    ProcessCommandRunner runner;
    EXPECT_EQ(runner.run("/usr/bin/env", {"true"}), 0);
    EXPECT_EQ(runner.run("/usr/local/../bin/./true", {}), 0);
    CurrentFolder inUsr("/usr");
    EXPECT_EQ(runner.run("bin/true", {}), 0);
    EXPECT_EQ(commandErrorOf("bin/false"), CommandError("bin/false", 1));
}

TEST(CommandRunnerTests, PassesArgumentsUnchangedWithoutAShell) {
    ProcessCommandRunner runner;
    const std::string tricky = "a b; echo $HOME 'c'\n*";
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "test \"$1\" = \"$2\"", "sh", tricky, tricky}), 0);
    EXPECT_EQ(commandErrorOf("/bin/sh", {"-c", "test \"$1\" = \"$2\"", "sh", tricky, "a"}),
              CommandError("/bin/sh", 1));
}

TEST(CommandRunnerTests, ReportsNonZeroStatusesWithTheExecutableAsPassed) {
    struct Case {
        std::string executable;
        std::string script;
        int status;
    };
    const std::vector<Case> cases{
        {"/bin/sh", "exit 3", 3},
        {"/bin/./sh", "exit 255", 255},
        {"/usr/bin/../bin/sh", "kill -TERM $$", SIGTERM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.executable + " " + c.script);
        EXPECT_EQ(commandErrorOf(c.executable, {"-c", c.script}),
                  CommandError(c.executable, c.status));
    }
}

TEST(CommandRunnerTests, AMissingProgramInAnAllowedFolderFailsAtLaunchWithThePlatformError) {
    ProcessCommandRunner runner;
    const std::string missing = "/usr/local/bin/orvex-test-no-such-program-7f3a";
    ASSERT_FALSE(std::filesystem::exists(missing));
    try {
        runner.run(missing, {});
        FAIL() << "launching a missing program succeeded";
    } catch (const CommandError& error) {
        FAIL() << "a launch failure was reported as " << error.what();
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOENT);
    }
}
