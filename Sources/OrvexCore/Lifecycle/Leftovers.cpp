#include "OrvexCore/Lifecycle/Leftovers.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Lifecycle/LifecycleError.hpp"
#include "OrvexCore/Lifecycle/LifecycleGit.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace fs = std::filesystem;

namespace OrvexCore::Leftovers {
namespace {

constexpr std::string_view markKey = "orvexsession";

std::string trimmed(const std::string& text) {
    return std::string(Text::trimmed(text));
}

int countOf(const std::string& text) {
    int count = 0;
    auto value = Text::trimmed(text);
    std::from_chars(value.data(), value.data() + value.size(), count);
    return count;
}

/// Commits reachable from HEAD of `worktree` that no other branch, remote branch or the main
/// checkout's HEAD holds.
int unmergedInWorktree(const std::string& worktree, const std::optional<std::string>& branch) {
    std::vector<std::string> arguments{"rev-list", "--count", "HEAD", "--not"};
    if (branch) {
        arguments.push_back("--exclude=" + *branch);
    }
    arguments.insert(arguments.end(), {"--branches", "--remotes"});
    auto result = LifecycleGit::attempt(worktree, arguments);
    return result.status == 0 ? countOf(result.output) : 0;
}

Worktree inspect(const std::string& path) {
    Worktree found;
    found.path = path;
    found.bytes = diskSize(path);
    auto common =
        LifecycleGit::attempt(path, {"rev-parse", "--path-format=absolute", "--git-common-dir"});
    if (common.status != 0) {
        return found;
    }
    std::string commonDir = trimmed(common.output);
    if (Paths::lastComponent(commonDir) == ".git") {
        found.repoPath = Paths::deletingLastComponent(commonDir);
    } else {
        found.repoPath = commonDir;
    }
    auto head = LifecycleGit::attempt(path, {"symbolic-ref", "--short", "-q", "HEAD"});
    if (head.status == 0) {
        found.branch = trimmed(head.output);
    }
    found.uncommitted =
        !trimmed(LifecycleGit::attempt(path, {"status", "--porcelain"}).output).empty();
    found.unmergedCommits = unmergedInWorktree(path, found.branch);
    return found;
}

void collect(const fs::path& folder, const std::set<std::string>& owned,
             std::vector<Worktree>& found) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (!entry.is_directory(ec) || entry.is_symlink(ec)) {
            continue;
        }
        std::string path = Paths::resolvingSymlinks(entry.path().string());
        bool isWorktree = fs::exists(fs::symlink_status(entry.path() / ".git", ec));
        if (owned.contains(path)) {
            continue;
        }
        if (isWorktree) {
            found.push_back(inspect(path));
        } else {
            // Branch names with slashes nest session folders ("feature/x").
            collect(entry.path(), owned, found);
        }
    }
}

} // namespace

void markSessionBranch(const std::string& repoPath, const std::string& branch,
                       const std::string& sessionID) {
    LifecycleGit::attempt(repoPath,
                          {"config", "branch." + branch + "." + std::string(markKey), sessionID});
}

std::uintmax_t diskSize(const std::string& path) {
    std::uintmax_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code statError;
        auto status = it->symlink_status(statError);
        if (!statError && status.type() == fs::file_type::regular) {
            total += it->file_size(statError);
        }
    }
    return total;
}

std::vector<Worktree> unownedWorktrees(const std::string& sessionsRoot,
                                       const std::set<std::string>& owned) {
    std::vector<Worktree> found;
    collect(fs::path(sessionsRoot), owned, found);
    std::sort(found.begin(), found.end(),
              [](const Worktree& a, const Worktree& b) { return a.path < b.path; });
    return found;
}

std::vector<Branch> orphanBranches(const std::string& repoPath,
                                   const std::set<std::string>& liveSessionIDs) {
    auto result = LifecycleGit::attempt(
        repoPath, {"config", "-z", "--get-regexp", "^branch\\..*\\." + std::string(markKey) + "$"});
    std::vector<Branch> found;
    // Each entry is "key\nvalue"; the key keeps the branch name's case between the dots.
    for (const auto& entry : LifecycleGit::nulFields(result.output)) {
        auto newline = entry.find('\n');
        if (newline == std::string::npos) {
            continue;
        }
        std::string key = entry.substr(0, newline);
        std::string id = entry.substr(newline + 1);
        std::string suffix = "." + std::string(markKey);
        if (!key.starts_with("branch.") || key.size() <= 7 + suffix.size()) {
            continue;
        }
        std::string name = key.substr(7, key.size() - 7 - suffix.size());
        if (liveSessionIDs.contains(id)) {
            continue;
        }
        if (LifecycleGit::attempt(repoPath, {"rev-parse", "--verify", "-q", "refs/heads/" + name})
                .status != 0) {
            continue;
        }
        Branch branch{repoPath, name, id, 0};
        try {
            branch.unmergedCommits = GitCLIService().unmergedCommitCount(repoPath, name);
        } catch (const GitError&) {
            branch.unmergedCommits = 0;
        }
        found.push_back(std::move(branch));
    }
    std::sort(found.begin(), found.end(),
              [](const Branch& a, const Branch& b) { return a.name < b.name; });
    return found;
}

std::vector<PrunableEntry> prunableEntries(const std::string& repoPath) {
    auto fields = LifecycleGit::nulFields(
        LifecycleGit::run(repoPath, {"worktree", "list", "--porcelain", "-z"}));
    std::vector<PrunableEntry> found;
    std::string path;
    for (const auto& field : fields) {
        if (field.starts_with("worktree ")) {
            path = field.substr(9);
        } else if (field.starts_with("prunable") && !path.empty()) {
            found.push_back({repoPath, path});
        }
    }
    return found;
}

bool holdsWork(const Worktree& worktree) {
    return !worktree.repoPath || worktree.uncommitted || worktree.unmergedCommits > 0;
}

void remove(const Worktree& worktree, bool force) {
    if (holdsWork(worktree) && !force) {
        throw LifecycleError(LifecycleError::Kind::refused,
                             fmt::format("{} holds work that would be lost", worktree.path));
    }
    if (!worktree.repoPath) {
        fs::remove_all(worktree.path);
        return;
    }
    std::vector<std::string> arguments{"worktree", "remove"};
    if (force) {
        arguments.emplace_back("--force");
    }
    arguments.push_back(worktree.path);
    LifecycleGit::run(*worktree.repoPath, arguments);
}

void remove(const Branch& branch, bool force) {
    if (branch.unmergedCommits > 0 && !force) {
        throw LifecycleError(LifecycleError::Kind::refused,
                             fmt::format("branch {} holds unmerged commits", branch.name));
    }
    GitCLIService::validateRef(branch.name, "branch");
    LifecycleGit::run(branch.repoPath, {"branch", force ? "-D" : "-d", branch.name});
}

void pruneEntries(const std::string& repoPath) {
    LifecycleGit::run(repoPath, {"worktree", "prune"});
}

} // namespace OrvexCore::Leftovers
