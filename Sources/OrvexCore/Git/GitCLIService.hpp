#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "OrvexCore/Git/GitService.hpp"

namespace OrvexCore {

/// `GitService` over the git command line: each operation runs "/usr/bin/env git -C DIR ..."
/// as a child process (no working directory, inherited environment) and parses its output.
/// Stateless; one instance may be shared by any number of threads.
class GitCLIService final : public GitService {
public:
    GitCLIService() = default;

    bool isGitRepo(const std::string& path) override;
    void initRepo(const std::string& path) override;
    void addWorktree(const std::string& repoPath, const std::string& worktreePath,
                     const std::string& branch) override;
    void removeWorktree(const std::string& repoPath, const std::string& worktreePath,
                        bool force) override;
    void deleteBranch(const std::string& repoPath, const std::string& branch, bool force) override;
    bool hasUncommittedChanges(const std::string& worktreePath) override;
    std::string headCommit(const std::string& repoPath) override;
    std::string mergeBase(const std::string& repoPath, const std::string& first,
                          const std::string& second) override;
    std::vector<FileDiff> diff(const std::string& worktreePath, const std::string& base) override;
    ChangedFileList changedFiles(const std::string& worktreePath, const std::string& base) override;
    std::string filePatch(const std::string& worktreePath, const std::string& path,
                          const std::string& base) override;
    std::vector<WorktreeInfo> listWorktrees(const std::string& repoPath) override;
    bool localBranchExists(const std::string& repoPath, const std::string& branch) override;
    bool remoteBranchExists(const std::string& repoPath, const std::string& branch) override;
    void fetch(const std::string& repoPath, const std::string& remote,
               const std::optional<std::string>& branch) override;
    void addWorktreeExistingBranch(const std::string& repoPath, const std::string& worktreePath,
                                   const std::string& branch) override;
    void addWorktreeTrackingRemote(const std::string& repoPath, const std::string& worktreePath,
                                   const std::string& branch, const std::string& remote) override;
    std::string currentBranch(const std::string& repoPath) override;
    void renameBranch(const std::string& repoPath, const std::string& worktreePath,
                      const std::string& oldName, const std::string& newName) override;
    std::vector<std::string> listLocalBranches(const std::string& repoPath) override;
    std::vector<std::string> listRemoteBranches(const std::string& repoPath) override;
    int unmergedCommitCount(const std::string& repoPath, const std::string& branch) override;
    int detachedCommitCount(const std::string& worktreePath) override;

    /// The same listing as `changedFiles`, taken through a refreshed copy of the worktree's
    /// index in the temporary folder, so that git never holds every changed file mapped at
    /// once (it fails past the system's mapping limit, about 65,000 files, otherwise).
    /// `changedFiles` falls back to it when git fails that way. The user's index is neither
    /// read while locked nor written. Throws `GitError`, or std::system_error when no
    /// temporary file can be made.
    ChangedFileList changedFilesThroughTemporaryIndex(const std::string& worktreePath,
                                                      const std::string& base);

    /// The longest patch returned as it is.
    static constexpr std::size_t maxPatchBytes = 512 * 1024;

    /// A patch longer than `maxPatchBytes` (524,288 UTF-8 bytes) becomes the single line
    /// "[diff truncated: file too large (N KB)]"; shorter ones are returned unchanged.
    static std::string capPatchSize(std::string patch);

    /// Throws `GitError(label, -1, "Invalid ref name: " + value)` unless `value` is a safe ref:
    /// not empty, not starting with "-", no "..", no space ~ ^ : ? * [ \, no control or
    /// format character (Unicode Cc, Cf) and nothing that is not valid UTF-8. Labels: "ref",
    /// "branch", "remote". Public so callers can check a name before any work.
    static void validateRef(std::string_view value, std::string_view label);

private:
    /// Runs git with `arguments` and returns its standard output with bytes that are not
    /// UTF-8 replaced by U+FFFD; throws `GitError`.
    std::string run(const std::vector<std::string>& arguments);
    /// `run` returning the output's bytes as git wrote them. An argument holding a NUL
    /// throws `GitError` (exit status -1) without running git.
    /// `environment` holds "NAME=value" settings for git alone.
    /// A status of `alsoSuccess` (when not 0) counts as success too. `input`, when not
    /// empty, is git's standard input.
    std::string runKeepingBytes(const std::vector<std::string>& arguments,
                                const std::vector<std::string>& environment = {},
                                int alsoSuccess = 0, std::string_view input = {});
    /// The worktree's untracked, not ignored files, as "ls-files --others -z" prints them, and
    /// what "check-attr -z diff" answers for them.
    struct Untracked {
        std::string names;
        std::string diffAttributes;
    };
    Untracked listUntracked(const std::string& worktreePath);
    /// The files of git's "--numstat --summary -z" `numstat` with the `untracked` files added
    /// as new ones.
    ChangedFileList withUntrackedFiles(const std::string& worktreePath, std::string numstat,
                                       const Untracked& untracked);
    /// Whether git lists `path` as untracked (and not ignored) in the worktree.
    bool isUntracked(const std::string& worktreePath, const std::string& path);
    /// Throws `GitError` when `path` is how the listing shows a changed file whose real name
    /// is not valid UTF-8.
    void throwIfNameIsNotText(const std::string& worktreePath, const std::string& path,
                              const std::string& base);
};

} // namespace OrvexCore
