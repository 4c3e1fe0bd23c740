#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// Making a new session's worktree ready to work in: copying the main checkout's ignored
/// files that the repository file names (RepoConfig) and running its setup command. Blocking;
/// background threads only.
namespace OrvexCore::WorktreeSetup {

/// What happened to one file the patterns matched.
struct CopyOutcome {
    enum class Kind {
        copied,  ///< a regular file, copied with its permission bits
        linked,  ///< a symbolic link to a place inside the repository, recreated as it was
        refused, ///< a link (or a folder on the way) leading out of the repository
        existed, ///< the worktree already has something there; left alone
        failed,  ///< the file system refused; `detail` says why
    };
    std::string path; ///< relative to the checkout's top
    Kind kind = Kind::copied;
    std::string detail;

    friend bool operator==(const CopyOutcome&, const CopyOutcome&) = default;
};

/// True when `relative` (a path inside the checkout) matches `pattern`. Patterns are shell
/// globs matched with "/" only by "/"; a pattern without "/" matches a name in any folder
/// (".env" matches "api/.env"); a pattern matching a folder matches everything inside it.
bool matches(std::string_view pattern, std::string_view relative);

/// The main checkout's ignored files (git's own list, "ls-files --others --ignored") that
/// match any of `patterns`, sorted. Throws GitError.
std::vector<std::string> matchingIgnoredFiles(const std::string& repoPath,
                                              const std::vector<std::string>& patterns);

/// Copies `relative` from the main checkout at `repoPath` into `worktreePath`. Never follows
/// a link out of the repository and never writes outside the worktree; never replaces what
/// is there.
CopyOutcome copyFile(const std::string& repoPath, const std::string& worktreePath,
                     const std::string& relative);

/// Runs `command` with "/bin/sh -c" in `worktreePath`, handing each piece of its output
/// (standard output and error together, in the order written) to `onOutput` as it comes.
/// Returns the command's exit status (the signal number when a signal ended it).
int runSetupCommand(const std::string& worktreePath, const std::string& command,
                    const std::function<void(std::string_view)>& onOutput);

/// Marks the worktree as not set up, keeping `reason`, in the worktree's own git folder (so
/// the mark goes with the worktree and never shows as a change). Best effort.
void markNotSetUp(const std::string& worktreePath, const std::string& reason);

/// The reason a worktree was marked as not set up, or nothing when it is not marked.
std::optional<std::string> notSetUpReason(const std::string& worktreePath);

} // namespace OrvexCore::WorktreeSetup
