#pragma once

#include <string>
#include <string_view>
#include <vector>

/// Test scaffolding: temporary folders and real git repositories in them.
namespace OrvexTest {

/// A fresh folder under the system's temporary folder, removed with everything in it when
/// this object goes. The path has symbolic links resolved, as git reports paths.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    /// `path()` joined with a relative name.
    std::string operator/(std::string_view relative) const;

private:
    std::string path_;
};

/// Runs git with `arguments` in `directory`; returns its standard output, throws
/// std::runtime_error with git's message when it fails.
std::string git(const std::string& directory, const std::vector<std::string>& arguments);

/// Writes `relative` in the checkout at `directory` (a worktree, a clone), stages everything
/// and commits; returns the new commit id.
std::string commitIn(const std::string& directory, std::string_view relative,
                     std::string_view contents, std::string_view message = "change");

/// Writes `contents` to `path`, creating parent folders.
void writeFile(const std::string& path, std::string_view contents);
std::string readFile(const std::string& path);
/// The permission bits of `path` (a failed stat is a test failure).
unsigned permissions(const std::string& path);
/// The names in `folder`, sorted.
std::vector<std::string> entries(const std::string& folder);

/// A real repository on branch "main" with one commit holding README.md, in its own temporary
/// folder (or at `path` when given, which must not exist). Commits take their author from the
/// test process's home, which QuietHome sets up.
class TempGitRepo {
public:
    TempGitRepo();
    explicit TempGitRepo(std::string path);

    /// The repository's top folder.
    const std::string& path() const { return path_; }
    std::string file(std::string_view relative) const;

    /// Runs git in the repository.
    std::string git(const std::vector<std::string>& arguments) const;
    void write(std::string_view relative, std::string_view contents) const;
    /// Stages everything and commits; returns the new commit id.
    std::string commitAll(std::string_view message) const;
    /// Writes one file and commits it; returns the new commit id.
    std::string commitFile(std::string_view relative, std::string_view contents,
                           std::string_view message = "change") const;
    std::string head() const;
    /// Adds a linked worktree at `worktreePath` on a new branch; returns the path.
    std::string addWorktree(const std::string& worktreePath, const std::string& branch) const;
    /// Makes a bare repository holding this one's branches and adds it as remote "origin"
    /// (fetched, so "origin/..." refs exist). Returns the bare repository's path.
    std::string addOrigin();

private:
    void initialise();

    TempDir scratch_;
    std::string path_;
};

} // namespace OrvexTest
