#include "OrvexCore/App/AppState.hpp"

#include <ctime>
#include <system_error>
#include <unordered_set>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "OrvexCore/App/RepositoryGitQueue.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Git/GitService.hpp"
#include "OrvexCore/Models/PersistedState.hpp"
#include "OrvexCore/Persistence/JSONSessionStore.hpp"
#include "OrvexCore/Persistence/SessionStore.hpp"
#include "OrvexCore/Platform/AtomicFile.hpp"
#include "OrvexCore/Util/Async.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore {

namespace asio = boost::asio;

/// The pending debounced save. `cancelled` is the token: a timer whose handler is already
/// queued is not stopped by cancel(), so the task checks the flag after its wait.
struct AppState::DebounceTask {
    explicit DebounceTask(const asio::any_io_executor& executor) : timer(executor) {}
    asio::steady_timer timer;
    bool cancelled = false;
};

namespace {

constexpr std::chrono::milliseconds debounceDelay{400};

using Listing = std::pair<Workspace, std::optional<std::vector<WorktreeInfo>>>;

/// `queue` belongs to the state, which outlives the listing (its caller holds it).
asio::awaitable<Listing> listWorktreesOf(std::shared_ptr<GitService> git, RepositoryGitQueue* queue,
                                         Workspace workspace) {
    std::string repoPath = workspace.repoPath;
    std::optional<std::vector<WorktreeInfo>> infos;
    try {
        auto work = [git, repoPath] { return git->listWorktrees(repoPath); };
        infos = co_await queue->run(repoPath, std::move(work));
    } catch (...) {
        // A workspace whose listing fails keeps its sessions as they are.
    }
    co_return Listing{std::move(workspace), std::move(infos)};
}

/// Lists the worktrees of every workspace at once, one background call each, and returns the
/// listings in the order they finish.
asio::awaitable<std::vector<Listing>> listAllWorktrees(std::shared_ptr<GitService> git,
                                                       RepositoryGitQueue* queue,
                                                       std::vector<Workspace> workspaces) {
    auto executor = co_await asio::this_coro::executor;
    struct Gather {
        explicit Gather(const asio::any_io_executor& executor)
            : allDone(executor, asio::steady_timer::time_point::max()) {}
        std::vector<Listing> finished;
        std::size_t remaining = 0;
        asio::steady_timer allDone;
    };
    auto gather = std::make_shared<Gather>(executor);
    gather->remaining = workspaces.size();
    for (auto& workspace : workspaces) {
        // The gather owns the children: each reports into it and the last one wakes the
        // waiting parent. A failed child still counts (listWorktreesOf does not throw).
        asio::co_spawn(executor, listWorktreesOf(git, queue, workspace),
                       [gather, workspace](std::exception_ptr failure, Listing listing) {
                           if (failure) {
                               listing = Listing{workspace, std::nullopt};
                           }
                           gather->finished.push_back(std::move(listing));
                           if (--gather->remaining == 0) {
                               gather->allDone.cancel();
                           }
                       });
    }
    if (gather->remaining > 0) {
        boost::system::error_code ignored;
        co_await gather->allDone.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    co_return std::move(gather->finished);
}

/// A session for a worktree that git lists and no session knows, named after its folder.
Session sessionForUnknownWorktree(const UUID& workspaceID, const WorktreeInfo& info) {
    std::string folder = Paths::lastComponent(info.path);
    Session session;
    session.workspaceID = workspaceID;
    session.slug = folder;
    session.worktreePath = info.path;
    session.branch = info.branch.value_or(folder);
    session.title = session.branch;
    session.lastKnownStatus = SessionStatus::unknown;
    session.gridRows = 1;
    session.gridCols = 1;
    session.isWorktree = true;
    return session;
}

std::optional<std::string> storeFileOf(const SessionStore& store) {
    if (const auto* json = dynamic_cast<const JSONSessionStore*>(&store)) {
        return json->fileURL().string();
    }
    return std::nullopt;
}

} // namespace

AppState::AppState(asio::any_io_executor mainExecutor, std::shared_ptr<GitService> git,
                   std::shared_ptr<SessionStore> store, SlugGenerator slugs,
                   std::filesystem::path sessionsRoot, std::shared_ptr<DiffHelperClient> diffHelper)
    : mainExecutor_(std::move(mainExecutor)), workspaces_(std::vector<Workspace>{}),
      sessions_(std::vector<Session>{}), selectedWorkspaceID_(std::nullopt),
      activeTerminalSessionID_(std::nullopt), liveStatuses_(std::map<UUID, SessionStatus>{}),
      bellPending_(std::set<UUID>{}), git_(std::move(git)),
      gitQueue_(std::make_unique<RepositoryGitQueue>()), store_(std::move(store)),
      slugs_(std::move(slugs)), diffHelper_(std::move(diffHelper)), diffHelperEnabled_(true),
      sessionsRoot_(std::move(sessionsRoot)) {}

AppState::~AppState() {
    cancelDebouncedPersist();
}

std::filesystem::path AppState::defaultSessionsRoot() {
    return Paths::appendingComponent(Paths::homeDirectory(), ".orvex-sessions");
}

// MARK: Start-up

asio::awaitable<void> AppState::loadPersisted() {
    auto self = shared_from_this();
    auto store = store_;
    std::string root = sessionsRoot_.get().string();
    std::optional<std::string> storeFile = storeFileOf(*store_);
    // Folder creation and decoding a large store are kept off the main executor.
    struct Loaded {
        PersistedState state;
        // Kept for adoption: a session that one workspace's reconciliation drops because its
        // worktree moved to another repository is found again, whole, by the workspace that
        // lists it, whichever listing finishes first.
        std::optional<std::vector<Session>> diskSessions;
        std::optional<std::string> setAside;
    };
    auto work = [store, root, storeFile]() -> Loaded {
        try {
            Platform::createDirectories(root, 0700);
        } catch (...) {
        }
        Loaded loaded;
        try {
            loaded.state = store->load();
        } catch (...) {
            // The next save would replace the file the user may still want back.
            if (storeFile) {
                loaded.setAside =
                    setAsideUnreadableStore(*storeFile, std::chrono::system_clock::now());
            }
        }
        loaded.diskSessions = loaded.state.sessions;
        return loaded;
    };
    Loaded result = co_await inBackground(std::move(work));
    PersistedState& loaded = result.state;
    setAsideStoreFile_ = result.setAside;
    const std::optional<std::vector<Session>>& diskSessions = result.diskSessions;

    workspaces_.set(std::move(loaded.workspaces));
    setSessions(std::move(loaded.sessions));
    loaded_ = true;

    std::unordered_set<UUID> workspaceIDs;
    for (const auto& workspace : workspaces_.get()) {
        workspaceIDs.insert(workspace.id);
    }
    std::unordered_set<UUID> sessionIDs;
    for (const auto& session : sessions_.get()) {
        sessionIDs.insert(session.id);
    }

    std::optional<UUID> selected;
    if (loaded.lastSelectedWorkspaceID && workspaceIDs.contains(*loaded.lastSelectedWorkspaceID)) {
        selected = loaded.lastSelectedWorkspaceID;
    } else if (!workspaces_.get().empty()) {
        selected = workspaces_.get().front().id;
    }
    selectedWorkspaceID_.set(selected);

    activeSessionByWorkspace_.clear();
    for (const auto& [workspaceID, sessionID] : loaded.lastActiveSessionByWorkspace) {
        if (workspaceIDs.contains(workspaceID) && sessionIDs.contains(sessionID)) {
            activeSessionByWorkspace_.emplace(workspaceID, sessionID);
        }
    }
    std::optional<UUID> active;
    if (selected) {
        if (auto entry = activeSessionByWorkspace_.find(*selected);
            entry != activeSessionByWorkspace_.end()) {
            active = entry->second;
        }
    }
    activeTerminalSessionID_.set(active);

    auto listings = co_await listAllWorktrees(git_, gitQueue_.get(), workspaces_.get());
    bool changed = false;
    for (const auto& [workspace, infos] : listings) {
        if (infos && findWorkspace(workspace.id) &&
            applyReconcile(workspace, *infos, diskSessions)) {
            changed = true;
        }
        // One workspace per turn of the main executor: a reconciliation that changes things
        // copies the session list, and twenty in a row would hold the main thread too long.
        co_await asio::post(mainExecutor_, asio::use_awaitable);
    }
    if (changed) {
        persistNow();
    }
}

asio::awaitable<bool>
AppState::reconcileWorkspace(Workspace workspace,
                             std::optional<std::vector<Session>> diskSessions) {
    auto self = shared_from_this();
    auto listing = co_await listWorktreesOf(git_, gitQueue_.get(), workspace);
    // A workspace removed while git listed it must not get sessions back.
    if (!listing.second || !findWorkspace(workspace.id)) {
        co_return false;
    }
    co_return applyReconcile(workspace, *listing.second, diskSessions);
}

bool AppState::applyReconcile(const Workspace& workspace, const std::vector<WorktreeInfo>& infos,
                              const std::optional<std::vector<Session>>& diskSessions) {
    std::unordered_set<std::string> livePaths;
    for (const auto& info : infos) {
        livePaths.insert(info.path);
    }

    if (reconcileChangesNothing(workspace.id, livePaths)) {
        return false;
    }

    std::vector<Session> list = sessions_.get();
    const std::size_t countBefore = list.size();
    std::erase_if(list, [&](const Session& session) {
        return session.workspaceID == workspace.id && session.isWorktree &&
               !livePaths.contains(session.worktreePath);
    });
    bool changed = list.size() != countBefore;

    if (infos.empty()) {
        if (changed) {
            setSessions(std::move(list));
        }
        return changed;
    }

    // When no disk sessions are given, the known sessions are the list as it is now, before
    // anything is appended. The reserve keeps views of its paths valid while it grows.
    list.reserve(list.size() + infos.size());
    std::unordered_map<std::string_view, std::size_t> knownByPath;
    const std::vector<Session>* knownList = diskSessions ? &*diskSessions : nullptr;
    const std::size_t knownCount = knownList ? knownList->size() : list.size();
    for (std::size_t index = 0; index < knownCount; ++index) {
        const Session& known = knownList ? (*knownList)[index] : list[index];
        knownByPath.try_emplace(known.worktreePath, index);
    }
    std::unordered_map<std::string, std::size_t> listByPath;
    std::unordered_set<UUID> listIDs;
    for (std::size_t index = 0; index < list.size(); ++index) {
        listByPath.try_emplace(list[index].worktreePath, index);
        listIDs.insert(list[index].id);
    }
    auto append = [&](Session session) {
        listByPath.try_emplace(session.worktreePath, list.size());
        listIDs.insert(session.id);
        list.push_back(std::move(session));
        changed = true;
    };

    for (const auto& info : infos) {
        if (auto existing = listByPath.find(info.path); existing != listByPath.end()) {
            Session& session = list[existing->second];
            if (session.workspaceID != workspace.id) {
                session.workspaceID = workspace.id;
                changed = true;
            }
            continue;
        }
        if (auto adoptable = knownByPath.find(info.path); adoptable != knownByPath.end()) {
            Session adopted = knownList ? (*knownList)[adoptable->second] : list[adoptable->second];
            if (!listIDs.contains(adopted.id)) {
                adopted.workspaceID = workspace.id;
                append(std::move(adopted));
                continue;
            }
        }
        append(sessionForUnknownWorktree(workspace.id, info));
    }

    if (changed) {
        setSessions(std::move(list));
    }
    return changed;
}

bool AppState::reconcileChangesNothing(const UUID& workspaceID,
                                       const std::unordered_set<std::string>& livePaths) const {
    // Start-up reconciles every workspace, and usually git agrees with the stored state; this
    // answers that case without copying the session list. Nothing changes when none of the
    // workspace's worktree sessions lost its worktree, every listed path is a session of this
    // workspace, and no other workspace's session claims a listed path.
    const auto& list = sessions_.get();
    std::unordered_set<std::string_view> ownPaths;
    if (auto own = sessionsByWorkspace_.find(workspaceID); own != sessionsByWorkspace_.end()) {
        for (std::size_t position : own->second) {
            const Session& session = list[position];
            if (session.isWorktree && !livePaths.contains(session.worktreePath)) {
                return false;
            }
            ownPaths.insert(session.worktreePath);
        }
    }
    for (const auto& path : livePaths) {
        if (!ownPaths.contains(path)) {
            return false;
        }
    }
    for (const auto& session : list) {
        if (session.workspaceID != workspaceID && livePaths.contains(session.worktreePath)) {
            return false;
        }
    }
    return true;
}

// MARK: Lookups and indexes

std::vector<Session> AppState::sessions(const UUID& workspaceID) const {
    std::vector<Session> found;
    if (auto entry = sessionsByWorkspace_.find(workspaceID); entry != sessionsByWorkspace_.end()) {
        found.reserve(entry->second.size());
        for (std::size_t position : entry->second) {
            found.push_back(sessions_.get()[position]);
        }
    }
    return found;
}

std::optional<Session> AppState::session(const UUID& id) const {
    if (auto entry = sessionByID_.find(id); entry != sessionByID_.end()) {
        return sessions_.get()[entry->second];
    }
    return std::nullopt;
}

// The indexes are brought up to date before `sessions_` notifies, so an observer that looks
// a session up from its callback finds the new state.

void AppState::rebuildSessionsByWorkspace(const std::vector<Session>& list) {
    sessionsByWorkspace_.clear();
    sessionByID_.clear();
    for (std::size_t position = 0; position < list.size(); ++position) {
        sessionsByWorkspace_[list[position].workspaceID].push_back(position);
        sessionByID_.insert_or_assign(list[position].id, position);
    }
}

void AppState::setSessions(std::vector<Session> list) {
    rebuildSessionsByWorkspace(list);
    sessions_.set(std::move(list));
}

void AppState::appendSession(Session session) {
    const std::size_t position = sessions_.get().size();
    sessionsByWorkspace_[session.workspaceID].push_back(position);
    sessionByID_.insert_or_assign(session.id, position);
    sessions_.modify([&](std::vector<Session>& list) { list.push_back(std::move(session)); });
}

void AppState::removeSessions(const std::function<bool(const Session&)>& matching) {
    const auto& list = sessions_.get();
    std::vector<bool> removed(list.size());
    bool any = false;
    for (std::size_t position = 0; position < list.size(); ++position) {
        removed[position] = matching(list[position]);
        any = any || removed[position];
    }
    if (!any) {
        return;
    }
    // Index the positions the survivors will have, then remove in place.
    sessionsByWorkspace_.clear();
    sessionByID_.clear();
    std::size_t next = 0;
    for (std::size_t position = 0; position < list.size(); ++position) {
        if (!removed[position]) {
            sessionsByWorkspace_[list[position].workspaceID].push_back(next);
            sessionByID_.insert_or_assign(list[position].id, next);
            ++next;
        }
    }
    sessions_.modify([&](std::vector<Session>& sessions) {
        std::size_t kept = 0;
        for (std::size_t position = 0; position < sessions.size(); ++position) {
            if (!removed[position]) {
                if (kept != position) {
                    sessions[kept] = std::move(sessions[position]);
                }
                ++kept;
            }
        }
        sessions.resize(kept);
    });
}

std::optional<std::size_t> AppState::sessionIndex(const UUID& id) const {
    const auto& list = sessions_.get();
    for (std::size_t index = 0; index < list.size(); ++index) {
        if (list[index].id == id) {
            return index;
        }
    }
    return std::nullopt;
}

void AppState::updateSession(std::size_t index, const std::function<void(Session&)>& change) {
    Session updated = sessions_.get().at(index);
    change(updated);
    if (updated == sessions_.get()[index]) {
        return;
    }
    // Positions do not move, and the identifier is never changed here: the indexes hold.
    sessions_.modify([&](std::vector<Session>& list) { list[index] = std::move(updated); });
}

const Workspace* AppState::findWorkspace(const UUID& id) const {
    for (const auto& workspace : workspaces_.get()) {
        if (workspace.id == id) {
            return &workspace;
        }
    }
    return nullptr;
}

// MARK: Saving

PersistedState AppState::persistSnapshot() const {
    PersistedState snapshot;
    snapshot.workspaces = workspaces_.get();
    snapshot.sessions = sessions_.get();
    const auto& statuses = liveStatuses_.get();
    if (!statuses.empty()) {
        for (auto& session : snapshot.sessions) {
            if (auto status = statuses.find(session.id); status != statuses.end()) {
                session.lastKnownStatus = status->second;
            }
        }
    }
    snapshot.lastSelectedWorkspaceID = selectedWorkspaceID_.get();
    snapshot.lastActiveSessionByWorkspace = activeSessionByWorkspace_;
    return snapshot;
}

void AppState::cancelDebouncedPersist() {
    if (debouncedPersistTask_) {
        debouncedPersistTask_->cancelled = true;
        debouncedPersistTask_->timer.cancel();
        debouncedPersistTask_.reset();
    }
}

void AppState::schedulePersist() {
    cancelDebouncedPersist();
    if (!loaded_) {
        return;
    }
    auto task = std::make_shared<DebounceTask>(mainExecutor_);
    debouncedPersistTask_ = task;
    // Owned through `debouncedPersistTask_` (cancellation) and the weak state pointer; the
    // task cannot fail in a way anyone could act on, so its completion is ignored.
    asio::co_spawn(mainExecutor_, runDebouncedPersist(weak_from_this(), std::move(task)),
                   [](std::exception_ptr) {});
}

asio::awaitable<void> AppState::runDebouncedPersist(std::weak_ptr<AppState> weakState,
                                                    std::shared_ptr<DebounceTask> task) {
    task->timer.expires_after(debounceDelay);
    boost::system::error_code ignored;
    co_await task->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    if (task->cancelled) {
        co_return;
    }
    auto state = weakState.lock();
    if (!state) {
        co_return;
    }
    if (state->debouncedPersistTask_ == task) {
        state->debouncedPersistTask_.reset();
    }
    try {
        state->store_->save(state->persistSnapshot());
    } catch (...) {
    }
}

void AppState::persistNow() {
    cancelDebouncedPersist();
    if (!loaded_) {
        return;
    }
    try {
        store_->save(persistSnapshot());
    } catch (...) {
    }
}

void AppState::flushPersist() {
    if (!loaded_) {
        // An interrupt during start-up: the user's file is still the truth.
        return;
    }
    persistNow();
    store_->flush();
}

std::optional<std::string>
AppState::setAsideUnreadableStore(const std::string& storeFile,
                                  std::chrono::system_clock::time_point now) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(storeFile, error)) {
        return std::nullopt;
    }
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    std::string base = storeFile + ".unreadable-" + stamp;
    // Never replace an earlier set-aside file: it may be the only copy of older data.
    std::string target = base;
    for (int suffix = 2; std::filesystem::exists(std::filesystem::symlink_status(target, error));
         ++suffix) {
        target = fmt::format("{}-{}", base, suffix);
    }
    std::filesystem::rename(storeFile, target, error);
    if (error) {
        return std::nullopt;
    }
    return target;
}

} // namespace OrvexCore
