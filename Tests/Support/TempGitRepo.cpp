#include "Support/TempGitRepo.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "OrvexCore/Platform/Process.hpp"

namespace fs = std::filesystem;

namespace OrvexTest {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "orvex-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = fs::canonical(pattern).string();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::operator/(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
}

std::string git(const std::string& directory, const std::vector<std::string>& arguments) {
    std::vector<std::string> args{"git", "-C", directory};
    args.insert(args.end(), arguments.begin(), arguments.end());
    auto result = OrvexCore::Platform::runToCompletion("/usr/bin/env", args);
    if (result.status != 0) {
        std::string command;
        for (const auto& a : arguments) {
            command += " " + a;
        }
        throw std::runtime_error("git" + command + " failed: " + result.error + result.output);
    }
    return result.output;
}

std::string commitIn(const std::string& directory, std::string_view relative,
                     std::string_view contents, std::string_view message) {
    writeFile(directory + "/" + std::string(relative), contents);
    git(directory, {"add", "-A"});
    git(directory, {"commit", "-q", "-m", std::string(message)});
    const std::string head = git(directory, {"rev-parse", "HEAD"});
    return head.substr(0, head.find('\n'));
}

void writeFile(const std::string& path, std::string_view contents) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

unsigned permissions(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TempGitRepo::TempGitRepo() : path_(scratch_ / "repo") {
    initialise();
}

TempGitRepo::TempGitRepo(std::string path) : path_(std::move(path)) {
    initialise();
}

void TempGitRepo::initialise() {
    fs::create_directories(path_);
    OrvexTest::git(path_, {"init", "-q", "-b", "main"});
    OrvexTest::git(path_, {"config", "commit.gpgsign", "false"});
    commitFile("README.md", "# scratch\n", "initial");
}

std::string TempGitRepo::file(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
}

std::string TempGitRepo::git(const std::vector<std::string>& arguments) const {
    return OrvexTest::git(path_, arguments);
}

void TempGitRepo::write(std::string_view relative, std::string_view contents) const {
    writeFile(file(relative), contents);
}

std::string TempGitRepo::commitAll(std::string_view message) const {
    git({"add", "-A"});
    git({"commit", "-q", "--allow-empty", "-m", std::string(message)});
    return head();
}

std::string TempGitRepo::commitFile(std::string_view relative, std::string_view contents,
                                    std::string_view message) const {
    write(relative, contents);
    return commitAll(message);
}

std::string TempGitRepo::head() const {
    std::string out = git({"rev-parse", "HEAD"});
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

std::string TempGitRepo::addWorktree(const std::string& worktreePath,
                                     const std::string& branch) const {
    git({"worktree", "add", "-q", "-b", branch, worktreePath});
    return fs::weakly_canonical(worktreePath).string();
}

std::string TempGitRepo::addOrigin() {
    std::string bare = scratch_ / "origin.git";
    OrvexTest::git(scratch_.path(), {"clone", "-q", "--bare", path_, bare});
    git({"remote", "add", "origin", bare});
    git({"fetch", "-q", "origin"});
    git({"remote", "set-head", "origin", "main"});
    return bare;
}

} // namespace OrvexTest
