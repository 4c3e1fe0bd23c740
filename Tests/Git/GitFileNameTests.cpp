// File names that git would read as patterns, quote in its line output, or that are not text:
// every listed file's patch must come back by the name the listing gave.

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include <gtest/gtest.h>

#include "Git/GitPrinters.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "Support/TempGitRepo.hpp"

using OrvexCore::FileDiff;
using OrvexCore::GitCLIService;
using OrvexCore::GitError;

namespace {

size_t countOf(const std::string& text, std::string_view needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

/// A file's content names the file in hexadecimal, so that it reads as one line whatever the
/// name holds.
std::string contentFor(const std::string& name) {
    std::string text = "content of";
    for (unsigned char c : name) {
        text += fmt::format(" {:02x}", c);
    }
    return text + "\n";
}

/// Asks for the patch of every listed file and checks it holds exactly one file's diff
/// carrying that file's own added line.
void expectEachPatchIsItsOwn(const std::string& worktree, const std::string& base,
                             const std::vector<std::string>& expectedPaths) {
    GitCLIService git;
    auto files = git.diff(worktree, base);
    std::vector<std::string> listed;
    for (const auto& f : files) {
        listed.push_back(f.path);
    }
    EXPECT_EQ(listed, expectedPaths);
    for (const auto& path : listed) {
        std::string patch = git.filePatch(worktree, path, base);
        EXPECT_EQ(countOf(patch, "diff --git "), 1u) << path << "\n" << patch;
        EXPECT_NE(patch.find("+" + contentFor(path)), std::string::npos) << path << "\n" << patch;
    }
}

} // namespace

TEST(GitFileNameTests, PatchNamesAreTakenLiterallyNotAsPatterns) {
    OrvexTest::TempGitRepo repo;
    repo.write("dir", contentFor("dir"));
    const std::string base = repo.commitAll("base");
    std::vector<std::string> names{"*.txt",      "[ab].txt", ":(exclude)a.txt", "a.txt",
                                   "b.txt",      "x?.txt",   "xy.txt",          ":!b.txt",
                                   "dir/inside", "\\*.txt",  "--output=x"};
    std::filesystem::remove(repo.file("dir"));
    for (const auto& name : names) {
        repo.write(name, contentFor(name));
    }
    // "dir" was a file and is now a folder: the file's patch must not bring the folder's.
    repo.git({"add", "-A"});
    GitCLIService git;
    for (const auto& name : names) {
        std::string patch = git.filePatch(repo.path(), name, base);
        EXPECT_EQ(countOf(patch, "diff --git "), 1u) << name << "\n" << patch;
        EXPECT_NE(patch.find("+" + contentFor(name)), std::string::npos) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(repo.file("x"))) << "a name was read as an option";
    std::string removed = git.filePatch(repo.path(), "dir", base);
    EXPECT_EQ(countOf(removed, "diff --git "), 1u) << removed;
    EXPECT_NE(removed.find("-" + contentFor("dir")), std::string::npos) << removed;
}

TEST(GitFileNameTests, NamesGitQuotesAreListedAsTheyAreAndTheirPatchesFound) {
    OrvexTest::TempGitRepo repo;
    const std::string base = repo.head();
    std::vector<std::string> names{"back\\slash.txt", "caf\xC3\xA9.txt", "new\nline.txt",
                                   "quote\"d.txt",    "tab\there.txt",   "trailing space .txt"};
    for (const auto& name : names) {
        repo.write(name, contentFor(name));
    }
    repo.commitAll("names");
    // Committed for some, unstaged for others: both roads through git name the files.
    repo.write("unstaged\tname.txt", "old\n");
    repo.commitAll("more");
    repo.write("unstaged\tname.txt", contentFor("unstaged\tname.txt"));
    std::vector<std::string> sorted = names;
    sorted.push_back("unstaged\tname.txt");
    std::sort(sorted.begin(), sorted.end());
    expectEachPatchIsItsOwn(repo.path(), base, sorted);
}

TEST(GitFileNameTests, ANameThatIsNotUTF8IsListedButItsPatchFailsClearly) {
    OrvexTest::TempGitRepo repo;
    const std::string base = repo.head();
    repo.write("bad\xFF.txt", "x\n");
    repo.write("good.txt", "y\n");
    repo.commitAll("names");
    GitCLIService git;
    auto files = git.diff(repo.path(), base);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].path, "bad\xEF\xBF\xBD.txt");
    auto error = OrvexTest::gitErrorOf([&] { git.filePatch(repo.path(), files[0].path, base); });
    EXPECT_EQ(error.exitCode, -1);
    EXPECT_NE(error.message.find("not valid UTF-8"), std::string::npos) << error.message;
    EXPECT_FALSE(git.filePatch(repo.path(), "good.txt", base).empty());
    // A real name holding U+FFFD is text and has its patch.
    repo.write("real\xEF\xBF\xBD.txt", contentFor("real"));
    repo.commitAll("real");
    EXPECT_NE(git.filePatch(repo.path(), "real\xEF\xBF\xBD.txt", base).find(contentFor("real")),
              std::string::npos);
}

TEST(GitFileNameTests, PathsThatNameNoSingleFileAndArgumentsWithANulAreRefused) {
    OrvexTest::TempGitRepo repo;
    const std::string base = repo.head();
    repo.write("a.txt", "x\n");
    repo.write("ab.txt", "y\n");
    repo.write("b/c.txt", "z\n");
    repo.commitAll("files");
    GitCLIService git;
    for (std::string bad :
         {"", ".", "b/", "/a.txt", "b//c.txt", "b/./c.txt", "b/../a.txt", "..", "./a.txt"}) {
        auto error = OrvexTest::gitErrorOf([&] { git.filePatch(repo.path(), bad, base); });
        EXPECT_EQ(error, GitError("path", -1, error.message)) << bad;
    }
    // Cut at the NUL, "a.txt\0b" would be "a.txt" and answer that file's patch; the NUL is
    // refused before git runs.
    EXPECT_THROW(git.filePatch(repo.path(), std::string("a.txt\0b", 7), base), GitError);
    EXPECT_THROW(git.diff(repo.path() + std::string("\0/elsewhere", 11), base), GitError);
    EXPECT_THROW(git.filePatch(repo.path() + std::string("\0x", 2), "a.txt", base), GitError);
}
