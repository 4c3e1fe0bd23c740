#include "OrvexCore/App/AppState.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <unordered_set>

#include "OrvexCore/App/RepositoryGitQueue.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Git/GitService.hpp"
#include "OrvexCore/Models/AppError.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore {

namespace asio = boost::asio;

namespace {

/// The text trimmed of white space and line ends, or nothing when that leaves it empty.
std::optional<std::string> trimmedNonEmpty(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    std::string_view trimmed = Text::trimmed(*text);
    if (trimmed.empty()) {
        return std::nullopt;
    }
    return std::string(trimmed);
}

std::unordered_set<std::string> slugsOf(const std::vector<Session>& sessions) {
    std::unordered_set<std::string> slugs;
    for (const auto& session : sessions) {
        slugs.insert(session.slug);
    }
    return slugs;
}

struct CheckoutFacts {
    std::string branch;
    std::optional<std::string> headCommit;
};

struct NewWorktree {
    /// The folder under the sessions root: the name, or the name with a numbered suffix.
    std::string folder;
    std::string path;
    std::optional<std::string> baseCommit;
};

/// The first of `name`, `name`-2, `name`-3, ... that names nothing under `root` and no known
/// session's folder. The sessions root is shared by every repository: another repository's
/// session on a branch of the same name already has the folder `name`.
std::string freeFolderName(const std::string& root, const std::string& name,
                           const std::unordered_set<std::string>& takenPaths) {
    for (int suffix = 1; suffix < 1000; ++suffix) {
        std::string folder = suffix == 1 ? name : name + "-" + std::to_string(suffix);
        std::string path = Paths::appendingComponent(root, folder);
        std::error_code error;
        auto status = std::filesystem::symlink_status(path, error);
        if (!std::filesystem::exists(status) && !takenPaths.contains(path)) {
            return folder;
        }
    }
    return name; // git refuses the taken folder, naming it
}

/// Undoes what a failed `git worktree add` left: git creates a new branch before it makes
/// the worktree, and does not remove it when the worktree then fails (or the run is
/// interrupted), so a retry would find the branch taken. Only what this attempt created is
/// removed: a branch that existed before and a folder that was there before are kept.
void undoFailedWorktree(GitService& git, const std::string& repoPath, const std::string& path,
                        const std::string& branch, bool branchExisted) {
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        try {
            git.removeWorktree(repoPath, path, true);
        } catch (...) {
        }
        std::filesystem::remove_all(path, error);
    }
    if (!branchExisted) {
        try {
            if (git.localBranchExists(repoPath, branch)) {
                git.deleteBranch(repoPath, branch, true);
            }
        } catch (...) {
        }
    }
}

/// Background step of a worktree session: records the main checkout's commit, then makes the
/// worktree on the existing local branch, on a new branch tracking "origin/<name>", or on a
/// new branch from HEAD, in a free folder. Throws git's error when the worktree cannot be
/// made, after undoing what the attempt created.
NewWorktree makeWorktree(GitService& git, const std::string& repoPath,
                         const std::string& sessionsRoot, const std::string& name, bool userNamed,
                         const std::unordered_set<std::string>& takenPaths) {
    // git reports worktree paths with symbolic links resolved; the session's path must be
    // spelled the same way or the next start-up would not recognise its worktree.
    const std::string root = Paths::resolvingSymlinks(sessionsRoot);
    NewWorktree made;
    made.folder = freeFolderName(root, name, takenPaths);
    made.path = Paths::appendingComponent(root, made.folder);
    try {
        made.baseCommit = git.headCommit(repoPath);
    } catch (...) {
    }
    auto fetchBestEffort = [&] {
        try {
            git.fetch(repoPath, "origin", name);
        } catch (...) {
        }
    };
    const bool branchExisted = git.localBranchExists(repoPath, name);
    try {
        if (userNamed && branchExisted) {
            fetchBestEffort();
            git.addWorktreeExistingBranch(repoPath, made.path, name);
        } else if (userNamed && git.remoteBranchExists(repoPath, "origin/" + name)) {
            fetchBestEffort();
            git.addWorktreeTrackingRemote(repoPath, made.path, name, "origin");
        } else {
            git.addWorktree(repoPath, made.path, name);
        }
    } catch (...) {
        undoFailedWorktree(git, repoPath, made.path, name, branchExisted);
        throw;
    }
    return made;
}

} // namespace

asio::awaitable<Session> AppState::addBranch(UUID to, std::optional<std::string> title,
                                             std::optional<std::string> branch, bool useWorktree,
                                             int rows, int cols,
                                             std::optional<std::string> command) {
    auto self = shared_from_this();
    const Workspace* found = findWorkspace(to);
    if (!found) {
        throw AppError::notAGitRepository("");
    }
    const Workspace workspace = *found;
    auto git = git_;
    const std::string repoPath = workspace.repoPath;

    Session session;
    session.workspaceID = to;
    session.lastKnownStatus = SessionStatus::unknown;
    session.gridRows = rows;
    session.gridCols = cols;
    session.initialCommand = trimmedNonEmpty(command);

    if (!useWorktree) {
        const std::string fallbackBranch = workspace.displayName;
        auto work = [git, repoPath, fallbackBranch] {
            CheckoutFacts facts;
            try {
                facts.branch = git->currentBranch(repoPath);
            } catch (...) {
                facts.branch = fallbackBranch;
            }
            try {
                facts.headCommit = git->headCommit(repoPath);
            } catch (...) {
            }
            return facts;
        };
        CheckoutFacts facts = co_await gitQueue_->run(repoPath, std::move(work));
        session.title = trimmedNonEmpty(title).value_or(workspace.displayName);
        session.slug = slugs_.generate(slugsOf(sessions_.get()));
        session.worktreePath = repoPath;
        session.branch = std::move(facts.branch);
        session.baseCommit = std::move(facts.headCommit);
        session.isWorktree = false;
    } else {
        const std::optional<std::string> given = trimmedNonEmpty(branch);
        const bool userNamed = given.has_value();
        const std::string name = userNamed ? *given : slugs_.generate(slugsOf(sessions_.get()));
        const std::string root = sessionsRoot_.get().string();
        std::unordered_set<std::string> takenPaths;
        for (const auto& existing : sessions_.get()) {
            takenPaths.insert(existing.worktreePath);
        }
        auto work = [git, repoPath, root, name, userNamed, takenPaths] {
            return makeWorktree(*git, repoPath, root, name, userNamed, takenPaths);
        };
        NewWorktree made = co_await gitQueue_->run(repoPath, std::move(work));
        session.title = trimmedNonEmpty(title).value_or(name);
        // The folder's name, which differs from the branch when another repository's session
        // already took the folder.
        session.slug = std::move(made.folder);
        session.worktreePath = std::move(made.path);
        session.branch = name;
        session.baseCommit = std::move(made.baseCommit);
        session.isWorktree = true;
    }

    appendSession(session);
    persistNow();
    co_return session;
}

asio::awaitable<void> AppState::deleteSession(Session session, bool force) {
    auto self = shared_from_this();
    const Workspace* workspace = findWorkspace(session.workspaceID);
    if (!workspace) {
        co_return;
    }
    if (session.isWorktree) {
        auto git = git_;
        const std::string repoPath = workspace->repoPath;
        const std::string worktreePath = session.worktreePath;
        const std::string branch = session.branch;
        const UUID id = session.id;
        auto work = [git, repoPath, worktreePath, branch, id, force] {
            // A worktree found detached at start-up carries its folder's name as branch,
            // which need not exist: there is then no branch to check or delete.
            const bool hasBranch = git->localBranchExists(repoPath, branch);
            // A worktree folder the user already deleted holds no uncommitted changes and no
            // HEAD of its own to ask; git forgets it on removal, and the branch is checked as
            // usual.
            std::error_code ignored;
            const bool folderExists = std::filesystem::exists(worktreePath, ignored);
            if (!force) {
                if (folderExists && git->hasUncommittedChanges(worktreePath)) {
                    throw AppError::uncommittedChanges(id);
                }
                // The branch is deleted with force below; commits found on no other ref
                // would be lost with it, and so would commits made on a detached HEAD in the
                // worktree, which no branch holds at all.
                int unmerged = (hasBranch ? git->unmergedCommitCount(repoPath, branch) : 0) +
                               (folderExists ? git->detachedCommitCount(worktreePath) : 0);
                if (unmerged > 0) {
                    throw AppError::unmergedCommits(id, unmerged);
                }
            }
            if (folderExists) {
                git->removeWorktree(repoPath, worktreePath, force);
            } else {
                try {
                    git->removeWorktree(repoPath, worktreePath, false);
                } catch (const GitError&) {
                    // git had already forgotten it (removed with git itself): nothing to remove.
                }
            }
            if (hasBranch) {
                git->deleteBranch(repoPath, branch, true);
            }
        };
        co_await gitQueue_->run(repoPath, std::move(work));
    }

    const UUID id = session.id;
    removeSessions([&](const Session& candidate) { return candidate.id == id; });
    if (activeTerminalSessionID_.get() == id) {
        activeTerminalSessionID_.set(std::nullopt);
    }
    if (auto entry = activeSessionByWorkspace_.find(session.workspaceID);
        entry != activeSessionByWorkspace_.end() && entry->second == id) {
        activeSessionByWorkspace_.erase(entry);
    }
    auto bells = bellPending_.get();
    bells.erase(id);
    bellPending_.set(std::move(bells));
    auto statuses = liveStatuses_.get();
    statuses.erase(id);
    liveStatuses_.set(std::move(statuses));
    persistNow();
}

void AppState::renameSession(const UUID& id, std::string title) {
    auto index = sessionIndex(id);
    if (!index) {
        return;
    }
    updateSession(*index, [&](Session& session) { session.title = std::move(title); });
    persistNow();
}

asio::awaitable<void> AppState::renameSessionBranch(UUID id, std::string newName) {
    auto self = shared_from_this();
    if (Text::trimmed(newName).empty()) {
        throw AppError::invalidBranchName();
    }
    auto index = sessionIndex(id);
    if (!index) {
        co_return;
    }
    const Session current = sessions_.get()[*index];
    const Workspace* workspace = findWorkspace(current.workspaceID);
    if (!workspace) {
        co_return;
    }
    auto git = git_;
    const std::string repoPath = workspace->repoPath;
    const std::string worktreePath = current.worktreePath;
    const std::string oldName = current.branch;
    auto work = [git, repoPath, worktreePath, oldName, newName] {
        git->renameBranch(repoPath, worktreePath, oldName, newName);
    };
    co_await gitQueue_->run(repoPath, std::move(work));
    // The list may have changed while git worked: the position found before is not trusted.
    auto now = sessionIndex(id);
    if (!now) {
        co_return;
    }
    updateSession(*now, [&](Session& session) { session.branch = newName; });
    persistNow();
}

void AppState::moveSessions(const UUID& inWorkspace, const std::set<int>& from, int to) {
    std::vector<Session> all = sessions_.get();
    std::vector<std::size_t> positions;
    std::vector<Session> list;
    for (std::size_t index = 0; index < all.size(); ++index) {
        if (all[index].workspaceID == inWorkspace) {
            positions.push_back(index);
            list.push_back(all[index]);
        }
    }
    if (list.empty()) {
        return;
    }
    const int count = static_cast<int>(list.size());
    if (to < 0 || to > count ||
        std::any_of(from.begin(), from.end(), [&](int p) { return p < 0 || p >= count; })) {
        return;
    }

    std::vector<Session> block;
    for (int position : from) {
        block.push_back(list[position]);
    }
    for (auto position = from.rbegin(); position != from.rend(); ++position) {
        list.erase(list.begin() + *position);
    }
    const int before =
        static_cast<int>(std::count_if(from.begin(), from.end(), [&](int p) { return p < to; }));
    list.insert(list.begin() + (to - before), block.begin(), block.end());

    // The workspace keeps the same positions in `sessions`; only who sits where changes.
    for (std::size_t k = 0; k < list.size(); ++k) {
        sessionByID_.insert_or_assign(list[k].id, positions[k]);
        all[positions[k]] = std::move(list[k]);
    }
    sessions_.set(std::move(all));
    persistNow();
}

void AppState::saveGridLayout(const std::vector<std::vector<UUID>>& layout, const UUID& sessionID) {
    auto index = sessionIndex(sessionID);
    if (!index) {
        return;
    }
    std::vector<int> rowSizes;
    for (const auto& row : layout) {
        if (!row.empty()) {
            rowSizes.push_back(static_cast<int>(row.size()));
        }
    }
    std::optional<std::vector<int>> stored;
    if (!rowSizes.empty()) {
        stored = std::move(rowSizes);
    }
    if (sessions_.get()[*index].gridLayout == stored) {
        return;
    }
    updateSession(*index, [&](Session& session) { session.gridLayout = std::move(stored); });
    schedulePersist();
}

void AppState::saveGridTitles(const std::vector<std::string>& titles, const UUID& sessionID) {
    std::optional<std::vector<std::string>> stored;
    if (!titles.empty()) {
        stored = titles;
    }
    auto index = sessionIndex(sessionID);
    if (!index) {
        return;
    }
    if (sessions_.get()[*index].gridTitles == stored) {
        return;
    }
    updateSession(*index, [&](Session& session) { session.gridTitles = std::move(stored); });
    schedulePersist();
}

} // namespace OrvexCore
