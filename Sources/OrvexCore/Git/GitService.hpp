#pragma once

#include <optional>
#include <string>
#include <vector>

#include "OrvexCore/Git/ChangedFileList.hpp"
#include "OrvexCore/Git/FileDiff.hpp"
#include "OrvexCore/Git/WorktreeInfo.hpp"

namespace OrvexCore {

/// Every git operation the system needs. Paths are absolute. All operations block the
/// calling thread until git exits and may be called from any thread, in parallel; they throw
/// `GitError` unless noted. Implementations hold no state between calls.
class GitService {
public:
    virtual ~GitService() = default;

    /// True when `path` is inside a work tree; never throws.
    virtual bool isGitRepo(const std::string& path) = 0;
    virtual void initRepo(const std::string& path) = 0;
    /// Creates `branch` from the current HEAD, checked out in a new worktree.
    virtual void addWorktree(const std::string& repoPath, const std::string& worktreePath,
                             const std::string& branch) = 0;
    virtual void removeWorktree(const std::string& repoPath, const std::string& worktreePath,
                                bool force) = 0;
    virtual void deleteBranch(const std::string& repoPath, const std::string& branch,
                              bool force) = 0;
    /// True when `git status --porcelain` lists anything (untracked files count); false when
    /// git fails. Never throws.
    virtual bool hasUncommittedChanges(const std::string& worktreePath) = 0;
    virtual std::string headCommit(const std::string& repoPath) = 0;
    virtual std::string mergeBase(const std::string& repoPath, const std::string& first,
                                  const std::string& second) = 0;
    /// Changed files of the worktree against `base`, sorted by path, with empty patches. Files
    /// git does not track and does not ignore are listed too, as added files.
    virtual std::vector<FileDiff> diff(const std::string& worktreePath,
                                       const std::string& base) = 0;
    /// What `diff` lists, held compactly (for listings of many files). By default it is
    /// built from `diff`.
    virtual ChangedFileList changedFiles(const std::string& worktreePath, const std::string& base) {
        return ChangedFileList::of(diff(worktreePath, base));
    }
    /// The unified patch of one file against `base`, bounded by `capPatchSize`. The path is
    /// taken literally, as `diff` lists it; a path that is not a plain relative file path
    /// throws, and so does the listed form of a name that is not valid UTF-8. An untracked file
    /// gets the patch that adds it whole.
    virtual std::string filePatch(const std::string& worktreePath, const std::string& path,
                                  const std::string& base) = 0;
    /// Linked worktrees only (never the main one), in git's order.
    virtual std::vector<WorktreeInfo> listWorktrees(const std::string& repoPath) = 0;
    /// Never throw; false for a rejected name.
    virtual bool localBranchExists(const std::string& repoPath, const std::string& branch) = 0;
    virtual bool remoteBranchExists(const std::string& repoPath, const std::string& branch) = 0;
    virtual void fetch(const std::string& repoPath, const std::string& remote,
                       const std::optional<std::string>& branch) = 0;
    virtual void addWorktreeExistingBranch(const std::string& repoPath,
                                           const std::string& worktreePath,
                                           const std::string& branch) = 0;
    virtual void addWorktreeTrackingRemote(const std::string& repoPath,
                                           const std::string& worktreePath,
                                           const std::string& branch,
                                           const std::string& remote) = 0;
    virtual std::string currentBranch(const std::string& repoPath) = 0;
    virtual void renameBranch(const std::string& repoPath, const std::string& worktreePath,
                              const std::string& oldName, const std::string& newName) = 0;
    virtual std::vector<std::string> listLocalBranches(const std::string& repoPath) = 0;
    /// Remote-tracking branches without "origin/HEAD".
    virtual std::vector<std::string> listRemoteBranches(const std::string& repoPath) = 0;
    /// The number of commits on `branch` that no other local branch, remote-tracking branch
    /// or HEAD contains: the work that deleting the branch would lose.
    virtual int unmergedCommitCount(const std::string& repoPath, const std::string& branch) = 0;
    /// When the worktree's HEAD is detached, the number of commits it reaches that no local
    /// branch, remote-tracking branch or tag contains: the work that removing the worktree
    /// would make unreachable. 0 when HEAD is on a branch.
    virtual int detachedCommitCount(const std::string& worktreePath) = 0;
};

} // namespace OrvexCore
