#include "OrvexCore/App/AppState.hpp"

#include "OrvexCore/Diff/DiffReview.hpp"
#include "OrvexCore/Git/GitService.hpp"
#include "OrvexCore/Models/AppError.hpp"
#include "OrvexCore/Util/Async.hpp"

namespace OrvexCore {

namespace asio = boost::asio;

asio::awaitable<std::string> AppState::resolveBase(Session session) {
    if (session.diffCompareRef) {
        co_return *session.diffCompareRef;
    }
    if (session.baseCommit) {
        co_return *session.baseCommit;
    }
    const Workspace* workspace = findWorkspace(session.workspaceID);
    if (!workspace) {
        throw AppError::notAGitRepository(session.worktreePath);
    }
    auto git = git_;
    const std::string repoPath = workspace->repoPath;
    const std::string branch = session.branch;
    auto work = [git, repoPath, branch] { return git->mergeBase(repoPath, branch, "HEAD"); };
    co_return co_await inBackground(std::move(work));
}

asio::awaitable<std::vector<FileDiff>> AppState::diff(Session session) {
    auto self = shared_from_this();
    const std::string base = co_await resolveBase(session);
    const std::string worktreePath = session.worktreePath;
    if (diffHelperEnabled_.get()) {
        co_return co_await helperList(worktreePath, base);
    }
    auto git = git_;
    auto work = [git, worktreePath, base] { return git->diff(worktreePath, base); };
    co_return co_await inBackground(std::move(work));
}

asio::awaitable<std::string> AppState::filePatch(Session session, std::string path) {
    auto self = shared_from_this();
    const std::string base = co_await resolveBase(session);
    const std::string worktreePath = session.worktreePath;
    if (diffHelperEnabled_.get()) {
        co_return co_await helperPatch(worktreePath, base, path);
    }
    auto git = git_;
    auto work = [git, worktreePath, path, base] {
        return git->filePatch(worktreePath, path, base);
    };
    co_return co_await inBackground(std::move(work));
}

void AppState::toggleReviewed(const UUID& sessionID, const std::string& path,
                              std::string_view patch) {
    auto index = sessionIndex(sessionID);
    if (!index) {
        return;
    }
    updateSession(
        *index, [&](Session& session) { DiffReview::toggle(path, patch, session.reviewedFiles); });
    persistNow();
}

void AppState::pruneReviewed(const UUID& sessionID, const std::set<std::string>& keepingPaths) {
    auto index = sessionIndex(sessionID);
    if (!index) {
        return;
    }
    auto pruned = DiffReview::prune(sessions_.get()[*index].reviewedFiles, keepingPaths);
    if (pruned == sessions_.get()[*index].reviewedFiles) {
        return;
    }
    updateSession(*index, [&](Session& session) { session.reviewedFiles = std::move(pruned); });
    persistNow();
}

void AppState::setDiffCompareRef(std::optional<std::string> ref, const UUID& sessionID) {
    auto index = sessionIndex(sessionID);
    if (!index) {
        return;
    }
    updateSession(*index, [&](Session& session) {
        session.diffCompareRef = std::move(ref);
        session.reviewedFiles.clear();
    });
    persistNow();
}

asio::awaitable<AppState::DiffCompareRefs> AppState::listDiffCompareRefs(Session session) {
    auto self = shared_from_this();
    const Workspace* workspace = findWorkspace(session.workspaceID);
    if (!workspace) {
        throw AppError::notAGitRepository(session.worktreePath);
    }
    auto git = git_;
    const std::string repoPath = workspace->repoPath;
    auto work = [git, repoPath] {
        DiffCompareRefs refs;
        refs.local = git->listLocalBranches(repoPath);
        refs.remote = git->listRemoteBranches(repoPath);
        return refs;
    };
    co_return co_await inBackground(std::move(work));
}

} // namespace OrvexCore
