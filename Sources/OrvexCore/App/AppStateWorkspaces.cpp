#include "OrvexCore/App/AppState.hpp"

#include <algorithm>

#include "OrvexCore/Git/GitService.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore {

namespace asio = boost::asio;

namespace {

std::optional<Workspace> registeredAt(const std::vector<Workspace>& workspaces,
                                      const std::string& path) {
    auto found =
        std::find_if(workspaces.begin(), workspaces.end(),
                     [&](const Workspace& workspace) { return workspace.repoPath == path; });
    if (found == workspaces.end()) {
        return std::nullopt;
    }
    return *found;
}

} // namespace

Workspace AppState::makeWorkspace(const std::string& path) const {
    Workspace workspace;
    workspace.repoPath = path;
    workspace.displayName = Paths::lastComponent(path);
    return workspace;
}

asio::awaitable<AppState::OpenResult> AppState::openWorkspace(std::string path) {
    auto self = shared_from_this();
    if (auto existing = registeredAt(workspaces_.get(), path)) {
        selectWorkspace(existing->id);
        co_return OpenResult::alreadyOpen(*existing);
    }

    auto git = git_;
    auto work = [git, path] { return git->isGitRepo(path); };
    bool isRepository = co_await inBackground(std::move(work));
    if (!isRepository) {
        co_return OpenResult::notGitRepo();
    }
    // Another call for the same path may have registered it while git was asked.
    if (auto existing = registeredAt(workspaces_.get(), path)) {
        selectWorkspace(existing->id);
        co_return OpenResult::alreadyOpen(*existing);
    }

    Workspace workspace = makeWorkspace(path);
    auto list = workspaces_.get();
    list.push_back(workspace);
    workspaces_.set(std::move(list));

    co_await reconcileWorkspace(workspace, sessions_.get());
    // Removed while git listed its worktrees: it is not registered, so it was not added, and
    // selecting it would point the selection at nothing. The removal saved already.
    if (!findWorkspace(workspace.id)) {
        co_return OpenResult::removed();
    }
    selectWorkspace(workspace.id);
    persistNow();
    co_return OpenResult::added(std::move(workspace));
}

asio::awaitable<Workspace> AppState::initAndOpenWorkspace(std::string path) {
    auto self = shared_from_this();
    auto git = git_;
    auto work = [git, path] { git->initRepo(path); };
    co_await inBackground(std::move(work));

    Workspace workspace = makeWorkspace(path);
    auto list = workspaces_.get();
    list.push_back(workspace);
    workspaces_.set(std::move(list));
    selectedWorkspaceID_.set(workspace.id);
    persistNow();
    co_return workspace;
}

void AppState::renameWorkspace(const UUID& id, std::string name) {
    auto list = workspaces_.get();
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const Workspace& workspace) { return workspace.id == id; });
    if (found == list.end()) {
        return;
    }
    found->displayName = std::move(name);
    workspaces_.set(std::move(list));
    persistNow();
}

void AppState::setWorkspaceColor(std::optional<std::string> color, const UUID& id) {
    auto list = workspaces_.get();
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const Workspace& workspace) { return workspace.id == id; });
    if (found == list.end()) {
        return;
    }
    found->color = std::move(color);
    workspaces_.set(std::move(list));
    persistNow();
}

void AppState::removeWorkspace(const UUID& id) {
    std::set<UUID> removedSessions;
    for (const auto& session : sessions(id)) {
        removedSessions.insert(session.id);
    }

    auto list = workspaces_.get();
    std::erase_if(list, [&](const Workspace& workspace) { return workspace.id == id; });
    workspaces_.set(std::move(list));
    removeSessions([&](const Session& session) { return session.workspaceID == id; });

    if (selectedWorkspaceID_.get() == id) {
        const auto& remaining = workspaces_.get();
        selectWorkspace(remaining.empty() ? std::nullopt : std::optional(remaining.front().id));
    }
    activeSessionByWorkspace_.erase(id);
    if (auto active = activeTerminalSessionID_.get(); active && removedSessions.contains(*active)) {
        activeTerminalSessionID_.set(std::nullopt);
    }

    auto bells = bellPending_.get();
    auto statuses = liveStatuses_.get();
    for (const auto& sessionID : removedSessions) {
        bells.erase(sessionID);
        statuses.erase(sessionID);
    }
    bellPending_.set(std::move(bells));
    liveStatuses_.set(std::move(statuses));
    persistNow();
}

void AppState::selectWorkspace(std::optional<UUID> id) {
    if (auto current = selectedWorkspaceID_.get()) {
        if (auto active = activeTerminalSessionID_.get()) {
            activeSessionByWorkspace_.insert_or_assign(*current, *active);
        } else {
            activeSessionByWorkspace_.erase(*current);
        }
    }
    selectedWorkspaceID_.set(id);
    std::optional<UUID> restored;
    if (id) {
        if (auto entry = activeSessionByWorkspace_.find(*id);
            entry != activeSessionByWorkspace_.end()) {
            restored = entry->second;
        }
    }
    activeTerminalSessionID_.set(restored);
    schedulePersist();
}

void AppState::focusSession(const UUID& id) {
    auto found = session(id);
    if (!found) {
        return;
    }
    if (selectedWorkspaceID_.get() != found->workspaceID) {
        selectWorkspace(found->workspaceID);
    }
    activeTerminalSessionID_.set(id);
    activeSessionByWorkspace_.insert_or_assign(found->workspaceID, id);
    auto bells = bellPending_.get();
    if (bells.erase(id) > 0) {
        bellPending_.set(std::move(bells));
    }
    persistNow();
}

} // namespace OrvexCore
