#pragma once

#include <string>
#include <vector>

#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Git/GitService.hpp"

namespace OrvexFuzz {

/// A git whose answers follow from the request, so a fuzz target knows what each answer
/// should carry without running git: a base starting with "!" makes git fail with the rest
/// as its message; otherwise `diff` lists one file named after the worktree and `filePatch`
/// echoes the path, with a byte that is not UTF-8 added when the path starts with "raw:" (an
/// answer that cannot be encoded). Every other operation fails.
class ScriptedGit final : public OrvexCore::GitService {
public:
    static std::vector<OrvexCore::FileDiff> filesFor(const std::string& worktreePath,
                                                     const std::string& base) {
        return {{worktreePath, static_cast<std::int64_t>(base.size()), 1, {}}};
    }
    static std::string patchFor(const std::string& path) {
        return "@@ -1 +1 @@\n+" + path + (path.starts_with("raw:") ? "\xff\n" : "\n");
    }

    std::vector<OrvexCore::FileDiff> diff(const std::string& worktreePath,
                                          const std::string& base) override {
        failIfAsked(base);
        return filesFor(worktreePath, base);
    }
    std::string filePatch(const std::string&, const std::string& path,
                          const std::string& base) override {
        failIfAsked(base);
        return patchFor(path);
    }

    bool isGitRepo(const std::string&) override { return false; }
    void initRepo(const std::string&) override { unsupported(); }
    void addWorktree(const std::string&, const std::string&, const std::string&) override {
        unsupported();
    }
    void removeWorktree(const std::string&, const std::string&, bool) override { unsupported(); }
    void deleteBranch(const std::string&, const std::string&, bool) override { unsupported(); }
    bool hasUncommittedChanges(const std::string&) override { return false; }
    int detachedCommitCount(const std::string&) override { return 0; }
    std::string headCommit(const std::string&) override { unsupported(); }
    std::string mergeBase(const std::string&, const std::string&, const std::string&) override {
        unsupported();
    }
    std::vector<OrvexCore::WorktreeInfo> listWorktrees(const std::string&) override {
        unsupported();
    }
    bool localBranchExists(const std::string&, const std::string&) override { return false; }
    bool remoteBranchExists(const std::string&, const std::string&) override { return false; }
    void fetch(const std::string&, const std::string&, const std::optional<std::string>&) override {
        unsupported();
    }
    void addWorktreeExistingBranch(const std::string&, const std::string&,
                                   const std::string&) override {
        unsupported();
    }
    void addWorktreeTrackingRemote(const std::string&, const std::string&, const std::string&,
                                   const std::string&) override {
        unsupported();
    }
    std::string currentBranch(const std::string&) override { unsupported(); }
    void renameBranch(const std::string&, const std::string&, const std::string&,
                      const std::string&) override {
        unsupported();
    }
    std::vector<std::string> listLocalBranches(const std::string&) override { unsupported(); }
    std::vector<std::string> listRemoteBranches(const std::string&) override { unsupported(); }
    int unmergedCommitCount(const std::string&, const std::string&) override { unsupported(); }

private:
    static void failIfAsked(const std::string& base) {
        if (base.starts_with("!")) {
            throw OrvexCore::GitError("git diff", 128, base.substr(1));
        }
    }
    [[noreturn]] static void unsupported() {
        throw OrvexCore::GitError("git", 1, "not part of the helper's work");
    }
};

} // namespace OrvexFuzz
