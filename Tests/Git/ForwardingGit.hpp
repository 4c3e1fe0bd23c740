#pragma once

#include <optional>
#include <string>
#include <vector>

#include "OrvexCore/Git/GitService.hpp"

namespace OrvexTest {

/// A git service that hands every operation to `target()`, calling `before()` as it starts
/// and `after()` once it has ended, however it ended: test doubles override the hooks, the
/// target or single operations, and leave the rest alone.
class ForwardingGit : public OrvexCore::GitService {
public:
    bool isGitRepo(const std::string& path) override { return scope(), target().isGitRepo(path); }
    void initRepo(const std::string& path) override { scope(), target().initRepo(path); }
    void addWorktree(const std::string& repoPath, const std::string& worktreePath,
                     const std::string& branch) override {
        scope(), target().addWorktree(repoPath, worktreePath, branch);
    }
    void removeWorktree(const std::string& repoPath, const std::string& worktreePath,
                        bool force) override {
        scope(), target().removeWorktree(repoPath, worktreePath, force);
    }
    void deleteBranch(const std::string& repoPath, const std::string& branch, bool force) override {
        scope(), target().deleteBranch(repoPath, branch, force);
    }
    bool hasUncommittedChanges(const std::string& worktreePath) override {
        return scope(), target().hasUncommittedChanges(worktreePath);
    }
    std::string headCommit(const std::string& repoPath) override {
        return scope(), target().headCommit(repoPath);
    }
    std::string mergeBase(const std::string& repoPath, const std::string& first,
                          const std::string& second) override {
        return scope(), target().mergeBase(repoPath, first, second);
    }
    std::vector<OrvexCore::FileDiff> diff(const std::string& worktreePath,
                                          const std::string& base) override {
        return scope(), target().diff(worktreePath, base);
    }
    std::string filePatch(const std::string& worktreePath, const std::string& path,
                          const std::string& base) override {
        return scope(), target().filePatch(worktreePath, path, base);
    }
    std::vector<OrvexCore::WorktreeInfo> listWorktrees(const std::string& repoPath) override {
        return scope(), target().listWorktrees(repoPath);
    }
    bool localBranchExists(const std::string& repoPath, const std::string& branch) override {
        return scope(), target().localBranchExists(repoPath, branch);
    }
    bool remoteBranchExists(const std::string& repoPath, const std::string& branch) override {
        return scope(), target().remoteBranchExists(repoPath, branch);
    }
    void fetch(const std::string& repoPath, const std::string& remote,
               const std::optional<std::string>& branch) override {
        scope(), target().fetch(repoPath, remote, branch);
    }
    void addWorktreeExistingBranch(const std::string& repoPath, const std::string& worktreePath,
                                   const std::string& branch) override {
        scope(), target().addWorktreeExistingBranch(repoPath, worktreePath, branch);
    }
    void addWorktreeTrackingRemote(const std::string& repoPath, const std::string& worktreePath,
                                   const std::string& branch, const std::string& remote) override {
        scope(), target().addWorktreeTrackingRemote(repoPath, worktreePath, branch, remote);
    }
    std::string currentBranch(const std::string& repoPath) override {
        return scope(), target().currentBranch(repoPath);
    }
    void renameBranch(const std::string& repoPath, const std::string& worktreePath,
                      const std::string& oldName, const std::string& newName) override {
        scope(), target().renameBranch(repoPath, worktreePath, oldName, newName);
    }
    std::vector<std::string> listLocalBranches(const std::string& repoPath) override {
        return scope(), target().listLocalBranches(repoPath);
    }
    std::vector<std::string> listRemoteBranches(const std::string& repoPath) override {
        return scope(), target().listRemoteBranches(repoPath);
    }
    int unmergedCommitCount(const std::string& repoPath, const std::string& branch) override {
        return scope(), target().unmergedCommitCount(repoPath, branch);
    }
    int detachedCommitCount(const std::string& worktreePath) override {
        return scope(), target().detachedCommitCount(worktreePath);
    }

protected:
    /// One operation under way, from `before()` to `after()`.
    class Scope {
    public:
        explicit Scope(ForwardingGit& git) : git_(git) { git_.before(); }
        Scope(const Scope&) = delete;
        ~Scope() { git_.after(); }

    private:
        ForwardingGit& git_;
    };
    /// Held for the whole of a forwarded call: `scope(), target().call(...)`.
    Scope scope() { return Scope(*this); }

    /// Run on the calling thread around every operation.
    virtual void before() {}
    virtual void after() {}
    /// Where the operations go.
    virtual OrvexCore::GitService& target() = 0;
};

} // namespace OrvexTest
