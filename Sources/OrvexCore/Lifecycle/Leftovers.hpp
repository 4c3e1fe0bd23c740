#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

/// What sessions leave behind when they end outside Orvex's hands: worktree folders under the
/// sessions root that no session owns, branches made for sessions that no longer exist, and
/// git's own records of worktrees whose folder is gone. Finding reads only; removing keeps
/// the rule that unmerged commits and uncommitted changes go only when forced. Blocking;
/// background threads only.
namespace OrvexCore::Leftovers {

/// A folder under the sessions root that holds a worktree no session owns.
struct Worktree {
    std::string path;
    std::uintmax_t bytes = 0;            ///< size on disk of its files (links not followed)
    std::optional<std::string> repoPath; ///< the main checkout; absent when git has lost it
    std::optional<std::string> branch;   ///< absent on a detached HEAD or when git has lost it
    bool uncommitted = false;            ///< changes or untracked files in it
    int unmergedCommits = 0;             ///< commits in it that no other branch holds
    friend bool operator==(const Worktree&, const Worktree&) = default;
};

/// A branch Orvex made for a session that no longer exists.
struct Branch {
    std::string repoPath;
    std::string name;
    std::string sessionID;
    int unmergedCommits = 0;
    friend bool operator==(const Branch&, const Branch&) = default;
};

/// A worktree git records whose folder is gone ("prunable" in its list).
struct PrunableEntry {
    std::string repoPath;
    std::string path;
    friend bool operator==(const PrunableEntry&, const PrunableEntry&) = default;
};

/// Records that `branch` was made for the session `sessionID` (in the repository's own
/// configuration, which git drops with the branch). Best effort.
void markSessionBranch(const std::string& repoPath, const std::string& branch,
                       const std::string& sessionID);

/// The bytes of every file under `path`, without following links.
std::uintmax_t diskSize(const std::string& path);

/// Worktree folders under `sessionsRoot` whose path is not in `owned` (paths as git reports
/// them, links resolved). A folder holding a ".git" entry is a worktree and is not searched
/// further.
std::vector<Worktree> unownedWorktrees(const std::string& sessionsRoot,
                                       const std::set<std::string>& owned);

/// The branches of `repoPath` marked with `markSessionBranch` whose session is not among
/// `liveSessionIDs` (canonical identifier strings), sorted by name.
std::vector<Branch> orphanBranches(const std::string& repoPath,
                                   const std::set<std::string>& liveSessionIDs);

/// git's prunable worktree records of `repoPath`.
std::vector<PrunableEntry> prunableEntries(const std::string& repoPath);

/// True when removing `worktree` would lose work: uncommitted changes, unmerged commits, or a
/// folder git no longer knows (whose contents cannot be checked).
bool holdsWork(const Worktree& worktree);

/// Removes the worktree (through git when git knows it, else the folder). Throws
/// LifecycleError (refused) when it holds work and `force` is false, GitError or
/// std::filesystem::filesystem_error when removing fails.
void remove(const Worktree& worktree, bool force);
/// Deletes the branch. Throws LifecycleError (refused) when it holds unmerged commits and
/// `force` is false, GitError when git refuses.
void remove(const Branch& branch, bool force);
/// Drops git's records of worktrees whose folder is gone ("git worktree prune").
void pruneEntries(const std::string& repoPath);

} // namespace OrvexCore::Leftovers
