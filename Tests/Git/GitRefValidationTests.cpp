#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "Git/FakeGitPath.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "Support/TempGitRepo.hpp"
#include "Support/ThrownBy.hpp"

using OrvexCore::GitCLIService;
using OrvexCore::GitError;

namespace {

/// Names an attacker (or a confused user) might hand over as a ref, branch or remote.
const std::vector<std::pair<const char*, std::string>> rejectedNames = {
    {"empty", ""},
    {"an option", "-b"},
    {"an option that runs a program", "--upload-pack=touch /tmp/orvex-pwned"},
    {"an option that writes a file", "--output=/tmp/orvex-pwned"},
    {"a lone dash", "-"},
    {"a range", "main..feature"},
    {"dot dot", ".."},
    {"a symmetric range", "main...feature"},
    {"a path climbing out", "refs/../../etc"},
    {"space", "feature login"},
    {"tilde", "HEAD~1"},
    {"caret", "HEAD^"},
    {"caret braces", "main^{tree}"},
    {"colon (a path in a commit)", "HEAD:README.md"},
    {"question mark", "feat?"},
    {"star", "feat*"},
    {"bracket", "feat[1]"},
    {"backslash", "feat\\x"},
    {"tab", "a\tb"},
    {"line feed", "main\n--force"},
    {"carriage return", "main\r"},
    {"escape sequence", "\x1b[31mred"},
    {"delete", "a\x7f"},
    {"NUL inside", std::string("main\0--force", 12)},
    {"next line U+0085", "a\xC2\x85"},
    {"soft hyphen U+00AD", "a\xC2\xAD"},
    {"zero width space U+200B", "ma\xE2\x80\x8Bin"},
    {"right-to-left override U+202E", "\xE2\x80\xAEniam"},
    {"byte order mark U+FEFF", "\xEF\xBB\xBFmain"},
    {"tag character U+E0041", "main\xF3\xA0\x81\x81"},
    {"invalid UTF-8", "main\xFF"},
    {"overlong slash", "a\xC0\xAF"},
    {"truncated sequence", "a\xE2\x80"},
};

} // namespace

TEST(GitRefValidationTests, AcceptsOrdinaryNames) {
    for (const char* name : {"main", "feature/login", "origin/main", "release-1.0", "v2.3.4", "a.b",
                             "HEAD", "user@host", "caf\xC3\xA9", "\xF0\x9F\x98\x80-work",
                             "0123456789abcdef0123456789abcdef01234567", "a-", "x/y/z"}) {
        EXPECT_NO_THROW(GitCLIService::validateRef(name, "ref")) << name;
    }
}

// Each operation taking a name is called with every rejected name while "git" on the search
// path is a script that records being run. The script must never run, and the error must be
// the validation error, not a failed git run: it names the operand and repeats the name (bytes
// that are not UTF-8 appear as U+FFFD, since the message is text).
TEST(GitRefValidationTests, GitNeverRunsForARejectedName) {
    OrvexTest::TempDir scratch;
    OrvexTest::FakeGitPath fakeGit("echo \"$@\" >> \"${0%/*}/ran\"; exit 1");
    const std::string repo = scratch / "no-such-repo";
    const std::string wt = scratch / "no-such-worktree";
    GitCLIService git;

    struct Operation {
        const char* name;
        const char* label;
        std::function<void(const std::string&)> call;
    };
    const std::vector<Operation> throwing = {
        {"diff", "ref", [&](const std::string& n) { git.diff(wt, n); }},
        {"filePatch", "ref", [&](const std::string& n) { git.filePatch(wt, "a.txt", n); }},
        {"mergeBase first", "ref", [&](const std::string& n) { git.mergeBase(repo, n, "main"); }},
        {"mergeBase second", "ref", [&](const std::string& n) { git.mergeBase(repo, "main", n); }},
        {"fetch remote", "remote", [&](const std::string& n) { git.fetch(repo, n, std::nullopt); }},
        {"fetch branch", "branch", [&](const std::string& n) { git.fetch(repo, "origin", n); }},
        {"addWorktree", "branch", [&](const std::string& n) { git.addWorktree(repo, wt, n); }},
        {"addWorktreeExistingBranch", "branch",
         [&](const std::string& n) { git.addWorktreeExistingBranch(repo, wt, n); }},
        {"addWorktreeTrackingRemote branch", "branch",
         [&](const std::string& n) { git.addWorktreeTrackingRemote(repo, wt, n, "origin"); }},
        {"addWorktreeTrackingRemote remote", "remote",
         [&](const std::string& n) { git.addWorktreeTrackingRemote(repo, wt, "main", n); }},
        {"deleteBranch", "branch", [&](const std::string& n) { git.deleteBranch(repo, n, true); }},
        {"renameBranch old", "branch",
         [&](const std::string& n) { git.renameBranch(repo, wt, n, "fine"); }},
        {"renameBranch new", "branch",
         [&](const std::string& n) { git.renameBranch(repo, wt, "fine", n); }},
        {"unmergedCommitCount", "branch",
         [&](const std::string& n) { git.unmergedCommitCount(repo, n); }},
    };
    for (const auto& op : throwing) {
        for (const auto& [what, name] : rejectedNames) {
            EXPECT_EQ(
                OrvexTest::thrownBy<GitError>([&] { op.call(name); }),
                GitError(op.label, -1, "Invalid ref name: " + OrvexCore::Text::sanitizedUTF8(name)))
                << op.name << ", " << what;
        }
    }
    for (const auto& [what, name] : rejectedNames) {
        EXPECT_FALSE(git.localBranchExists(repo, name)) << what;
        EXPECT_FALSE(git.remoteBranchExists(repo, name)) << what;
    }
    EXPECT_FALSE(std::filesystem::exists(fakeGit.file("ran")))
        << "git ran with: " << OrvexTest::readFile(fakeGit.file("ran"));

    // The script does run for an accepted name, so the check above can fail.
    EXPECT_FALSE(git.localBranchExists(repo, "main"));
    EXPECT_TRUE(std::filesystem::exists(fakeGit.file("ran")));
}
