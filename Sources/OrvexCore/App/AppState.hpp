#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "OrvexCore/Git/FileDiff.hpp"
#include "OrvexCore/Git/WorktreeInfo.hpp"
#include "OrvexCore/Models/Session.hpp"
#include "OrvexCore/Models/SessionStatus.hpp"
#include "OrvexCore/Models/SlugGenerator.hpp"
#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Models/Workspace.hpp"
#include "OrvexCore/Util/Observable.hpp"

namespace OrvexCore {

class DiffHelperClient;
class GitService;
class RepositoryGitQueue;
class SessionStore;
struct PersistedState;

/// The object the front end binds to: the workspaces and sessions, the selection, the live
/// statuses, and every operation on them. Bound to the main executor given at construction:
/// every member must be called there, every asynchronous operation must be co_spawned there
/// and resumes there after each suspension. It uses no locks. Git calls run on the background
/// pool with a copy of the `GitService` pointer and only their results come back; the store
/// writes on its own thread.
///
/// Create it with std::make_shared (asynchronous operations keep the object alive while they
/// run; the debounced save holds it weakly). Observable fields notify their observers on the
/// main executor, and only when a new value differs from the old one.
class AppState final : public std::enable_shared_from_this<AppState> {
public:
    /// The result of `openWorkspace`.
    struct OpenResult {
        /// `removed`: the workspace was removed (`removeWorkspace`) while it was being
        /// opened; nothing is registered and the selection was left alone.
        enum class Kind { added, alreadyOpen, notGitRepo, removed };
        Kind kind = Kind::notGitRepo;
        /// The new workspace (`added`) or the registered one (`alreadyOpen`).
        std::optional<Workspace> workspace;

        static OpenResult added(Workspace workspace) { return {Kind::added, std::move(workspace)}; }
        static OpenResult alreadyOpen(Workspace workspace) {
            return {Kind::alreadyOpen, std::move(workspace)};
        }
        static OpenResult notGitRepo() { return {Kind::notGitRepo, std::nullopt}; }
        static OpenResult removed() { return {Kind::removed, std::nullopt}; }

        friend bool operator==(const OpenResult&, const OpenResult&) = default;
    };

    /// The refs a session's diff may be compared against.
    struct DiffCompareRefs {
        std::vector<std::string> local;
        std::vector<std::string> remote;

        friend bool operator==(const DiffCompareRefs&, const DiffCompareRefs&) = default;
    };

    /// Stores the services and gives every field its initial value; touches neither the disk
    /// nor git (call `loadPersisted()` next). `mainExecutor` must be single-threaded.
    AppState(boost::asio::any_io_executor mainExecutor, std::shared_ptr<GitService> git,
             std::shared_ptr<SessionStore> store, SlugGenerator slugs,
             std::filesystem::path sessionsRoot, std::shared_ptr<DiffHelperClient> diffHelper);
    ~AppState();

    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    /// The standard object: git over the command line, the JSON store at its default place,
    /// the standard slug words, `defaultSessionsRoot()` and the helper beside the executable.
    static std::shared_ptr<AppState> live(boost::asio::any_io_executor mainExecutor);

    /// "<home>/.orvex-sessions".
    static std::filesystem::path defaultSessionsRoot();

    // Observable fields. Read-only ones are changed by the operations below; the front end
    // writes `liveStatuses`, `bellPending`, `diffHelperEnabled` and `sessionsRoot`.

    /// Registered repositories, in the user's order.
    const Observable<std::vector<Workspace>>& workspaces() const { return workspaces_; }
    /// All sessions of all workspaces, in the user's order.
    const Observable<std::vector<Session>>& sessions() const { return sessions_; }
    /// The workspace shown in the main window.
    const Observable<std::optional<UUID>>& selectedWorkspaceID() const {
        return selectedWorkspaceID_;
    }
    /// The session whose terminals are shown.
    const Observable<std::optional<UUID>>& activeTerminalSessionID() const {
        return activeTerminalSessionID_;
    }
    /// Each session's current status, copied in by the front end; saved as the sessions'
    /// `lastKnownStatus`.
    Observable<std::map<UUID, SessionStatus>>& liveStatuses() { return liveStatuses_; }
    const Observable<std::map<UUID, SessionStatus>>& liveStatuses() const { return liveStatuses_; }
    /// Sessions whose terminal rang the bell since the user last focused them.
    Observable<std::set<UUID>>& bellPending() { return bellPending_; }
    const Observable<std::set<UUID>>& bellPending() const { return bellPending_; }
    /// Whether diffs go through the helper processes (initially true).
    Observable<bool>& diffHelperEnabled() { return diffHelperEnabled_; }
    const Observable<bool>& diffHelperEnabled() const { return diffHelperEnabled_; }
    /// The folder under which new session worktrees are created.
    Observable<std::filesystem::path>& sessionsRoot() { return sessionsRoot_; }
    const Observable<std::filesystem::path>& sessionsRoot() const { return sessionsRoot_; }
    /// The pool of diff helper processes.
    const std::shared_ptr<DiffHelperClient>& diffHelper() const { return diffHelper_; }
    /// Where `loadPersisted()` moved an unreadable state file, so the owner can tell the user.
    const std::optional<std::string>& setAsideStoreFile() const { return setAsideStoreFile_; }

    // Start-up, lookups and saving.

    /// Creates the sessions root (mode 0700), loads the store (an unreadable store file is
    /// moved aside to "store.json.unreadable-<UTC yyyyMMdd-HHmmss>" and the state starts
    /// empty), restores the selection, lists every workspace's worktrees in parallel and
    /// reconciles the sessions with them; saves only when the reconciliation changed
    /// something. Never throws. Run once, before any other operation.
    boost::asio::awaitable<void> loadPersisted();

    /// Saves the current state at once and blocks until the store has written it; throws the
    /// store's error when it cannot be written. Before the load has completed it does nothing.
    void flushPersist();

    /// True once `loadPersisted()` has put the stored state (or the empty state, for an
    /// unreadable file) in place. Until then every save is a no-op: what the state holds is
    /// not yet the user's, and writing it would replace the user's file.
    bool hasLoaded() const { return loaded_; }

    /// The sessions of a workspace in their order; empty for an unknown workspace.
    std::vector<Session> sessions(const UUID& workspaceID) const;
    /// The session with this identifier, if any.
    std::optional<Session> session(const UUID& id) const;

    // Workspaces and selection.

    /// Registers the repository at `path` (compared exactly with registered paths), lists
    /// its worktrees (known ones move to it, unknown ones become sessions), selects it and
    /// saves. A registered path is selected and answered `alreadyOpen`; a folder that is not
    /// in a git work tree is answered `notGitRepo` and changes nothing; a workspace removed
    /// before the open completes is answered `removed` and not selected. Never throws.
    boost::asio::awaitable<OpenResult> openWorkspace(std::string path);
    /// Runs `git init` at `path`, registers it, selects it directly (the active session is
    /// left alone) and saves. Throws the git error and changes nothing when init fails.
    boost::asio::awaitable<Workspace> initAndOpenWorkspace(std::string path);
    /// Sets the display name as given; an unknown workspace changes nothing.
    void renameWorkspace(const UUID& id, std::string name);
    /// Sets (absent clears) the colour as given; an unknown workspace changes nothing.
    void setWorkspaceColor(std::optional<std::string> color, const UUID& id);
    /// Forgets the workspace and its sessions (nothing on disk is touched), fixes the
    /// selection and saves, even when no workspace has that identifier.
    void removeWorkspace(const UUID& id);
    /// Remembers the current workspace's active session, selects `id` (absent: nothing) and
    /// restores its remembered session. Debounced save.
    void selectWorkspace(std::optional<UUID> id);
    /// Makes the session active (selecting its workspace when needed) and clears its bell.
    /// An unknown session changes nothing.
    void focusSession(const UUID& id);

    // Session lifecycle.

    /// Creates a session. With `useWorktree`: in a new worktree "<sessionsRoot>/<name>" on the
    /// trimmed `branch` (attached to an existing local branch, tracking "origin/<name>", or
    /// new), or on a fresh slug when no name is given. Without: in the repository's main
    /// checkout on its current branch (`branch` is ignored). Blank titles and commands count
    /// as absent. Saves. Throws `AppError::notAGitRepository("")` for an unknown workspace
    /// and the git error when the worktree cannot be made; the state is then unchanged.
    boost::asio::awaitable<Session> addBranch(UUID to, std::optional<std::string> title,
                                              std::optional<std::string> branch, bool useWorktree,
                                              int rows, int cols,
                                              std::optional<std::string> command);
    /// Removes the session; for a worktree session also its worktree and branch. Without
    /// `force` throws `AppError::uncommittedChanges` when the worktree has changes and
    /// `AppError::unmergedCommits` when the branch holds commits no other branch, remote
    /// branch or HEAD contains; nothing is removed then. Git errors are rethrown and leave
    /// the session in place. A session whose workspace is gone is ignored.
    boost::asio::awaitable<void> deleteSession(Session session, bool force);
    /// Sets the title as given; an unknown session changes nothing.
    void renameSession(const UUID& id, std::string title);
    /// Renames the session's branch with git, then records the name (found again by
    /// identifier: a session deleted meanwhile gets nothing written). Throws
    /// `AppError::invalidBranchName` for a blank name (before git runs) and git's error.
    boost::asio::awaitable<void> renameSessionBranch(UUID id, std::string newName);
    /// Moves the sessions at positions `from` (within the workspace's own list) as one block
    /// to position `to`, as a drag in a list does; other workspaces' sessions keep their
    /// places. A position outside the list, or `to` outside 0...count, changes nothing.
    void moveSessions(const UUID& inWorkspace, const std::set<int>& from, int to);
    /// Records the number of terminals per non-empty row (none for an empty grid).
    /// Debounced save, only on a change.
    void saveGridLayout(const std::vector<std::vector<UUID>>& layout, const UUID& sessionID);
    /// Records the terminal titles (none for an empty list). Debounced save, only on a change.
    void saveGridTitles(const std::vector<std::string>& titles, const UUID& sessionID);

    // Diffs and review state.

    /// Starts the helper pool (checks the executable); throws the client's error.
    boost::asio::awaitable<void> ensureDiffHelperRunning();
    /// Stops the helper pool. Never throws.
    boost::asio::awaitable<void> shutdownDiffHelper();
    /// The session's changed files against its base (compare ref, else base commit, else
    /// the merge base of its branch and HEAD), through the helper pool or in a background
    /// task as `diffHelperEnabled` says. Throws the client's or git's error, or
    /// `AppError::notAGitRepository` when the merge base is needed and the workspace is gone.
    boost::asio::awaitable<std::vector<FileDiff>> diff(Session session);
    /// The patch of one file against the same base, by the same route.
    boost::asio::awaitable<std::string> filePatch(Session session, std::string path);
    /// Marks or unmarks the file as reviewed for this patch; saves at once.
    void toggleReviewed(const UUID& sessionID, const std::string& path, std::string_view patch);
    /// Drops the marks of files not in `keepingPaths`; saves only when one was dropped.
    void pruneReviewed(const UUID& sessionID, const std::set<std::string>& keepingPaths);
    /// Sets (absent clears) the ref diffs compare against and clears the review marks.
    void setDiffCompareRef(std::optional<std::string> ref, const UUID& sessionID);
    /// The local and remote branch names of the session's repository. Throws
    /// `AppError::notAGitRepository` when its workspace is gone, and git's error.
    boost::asio::awaitable<DiffCompareRefs> listDiffCompareRefs(Session session);

    /// Moves an unreadable store file aside to "<name>.unreadable-<UTC yyyyMMdd-HHmmss>" in its
    /// folder ("-2", "-3", ... appended if that name is taken) and returns the new path;
    /// nothing when there is no file or it cannot be moved. Any thread.
    static std::optional<std::string>
    setAsideUnreadableStore(const std::string& storeFile,
                            std::chrono::system_clock::time_point now);

private:
    struct DebounceTask;

    static boost::asio::awaitable<void> runDebouncedPersist(std::weak_ptr<AppState> weakState,
                                                            std::shared_ptr<DebounceTask> task);

    void schedulePersist();
    void persistNow();
    void cancelDebouncedPersist();
    PersistedState persistSnapshot() const;

    /// Both indexes from scratch, for `list` (the value `sessions_` is about to take).
    void rebuildSessionsByWorkspace(const std::vector<Session>& list);
    /// Replaces the whole list, indexes first.
    void setSessions(std::vector<Session> list);
    void appendSession(Session session);
    void removeSessions(const std::function<bool(const Session&)>& matching);
    std::optional<std::size_t> sessionIndex(const UUID& id) const;
    /// Applies `change` to the session at `index`; observers hear of it only if it changed.
    void updateSession(std::size_t index, const std::function<void(Session&)>& change);
    /// True when reconciling `workspace` with a listing of `livePaths` would change nothing.
    bool reconcileChangesNothing(const UUID& workspaceID,
                                 const std::unordered_set<std::string>& livePaths) const;
    const Workspace* findWorkspace(const UUID& id) const;

    boost::asio::awaitable<bool>
    reconcileWorkspace(Workspace workspace, std::optional<std::vector<Session>> diskSessions);
    bool applyReconcile(const Workspace& workspace, const std::vector<WorktreeInfo>& infos,
                        const std::optional<std::vector<Session>>& diskSessions);

    boost::asio::awaitable<std::string> resolveBase(Session session);
    /// The two requests of the helper route.
    boost::asio::awaitable<std::vector<FileDiff>> helperList(std::string worktreePath,
                                                             std::string base);
    boost::asio::awaitable<std::string> helperPatch(std::string worktreePath, std::string base,
                                                    std::string path);
    Workspace makeWorkspace(const std::string& path) const;

    boost::asio::any_io_executor mainExecutor_;

    Observable<std::vector<Workspace>> workspaces_;
    Observable<std::vector<Session>> sessions_;
    /// Positions in `sessions_`: each workspace's sessions in order, and each session by
    /// identifier. Positions rather than copies, so that rebuilding after a removal or a
    /// reconciliation copies no session.
    std::unordered_map<UUID, std::vector<std::size_t>> sessionsByWorkspace_;
    std::unordered_map<UUID, std::size_t> sessionByID_;
    Observable<std::optional<UUID>> selectedWorkspaceID_;
    Observable<std::optional<UUID>> activeTerminalSessionID_;
    Observable<std::map<UUID, SessionStatus>> liveStatuses_;
    Observable<std::set<UUID>> bellPending_;
    std::map<UUID, UUID> activeSessionByWorkspace_;
    std::shared_ptr<DebounceTask> debouncedPersistTask_;
    bool loaded_ = false;

    std::shared_ptr<GitService> git_;
    /// Every git call on a repository goes through its lane, one after another.
    std::unique_ptr<RepositoryGitQueue> gitQueue_;
    std::shared_ptr<SessionStore> store_;
    SlugGenerator slugs_;
    std::shared_ptr<DiffHelperClient> diffHelper_;
    Observable<bool> diffHelperEnabled_;
    Observable<std::filesystem::path> sessionsRoot_;
    std::optional<std::string> setAsideStoreFile_;
};

} // namespace OrvexCore
