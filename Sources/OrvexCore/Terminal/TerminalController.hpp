#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "OrvexCore/Models/Session.hpp"
#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Terminal/TerminalEngine.hpp"
#include "OrvexCore/Terminal/TerminalLayout.hpp"
#include "OrvexCore/Terminal/TerminalRef.hpp"
#include "OrvexCore/Util/Observable.hpp"

namespace OrvexCore {

/// Owns every terminal of every session: starts them through the engine, keeps one
/// `TerminalRef` per terminal in creation order, tracks keyboard focus and process exit,
/// restarts, renames and closes terminals, suspends the surfaces of background sessions, and
/// keeps each session's grid layout, opening a whole grid one terminal per turn of the main
/// executor.
///
/// Bound to the main executor given at construction: every operation, every engine callback and
/// every deferred step runs there, so nothing is locked. Make it with std::make_shared: deferred
/// work and engine callbacks hold it weakly and do nothing once it is gone. Releasing it
/// neither terminates its terminals nor waits for deferred work.
class TerminalController : public std::enable_shared_from_this<TerminalController> {
public:
    /// What `focusOrOpen` and `openOrFocusGrid` did.
    struct OpenOutcome {
        enum class Kind {
            /// A new terminal was started; `terminal` is the one to show first.
            opened,
            /// The session already had terminals; `terminal` is the one to focus.
            focus,
        };
        Kind kind;
        TerminalRef terminal;

        static OpenOutcome opened(TerminalRef ref) { return {Kind::opened, std::move(ref)}; }
        static OpenOutcome focus(TerminalRef ref) { return {Kind::focus, std::move(ref)}; }
        friend bool operator==(const OpenOutcome&, const OpenOutcome&) = default;
    };

    /// Picks a title not among the given titles (of the session's live terminals).
    using NameGenerator = std::function<std::string(const std::unordered_set<std::string>& taken)>;

    /// A controller on `mainExecutor` that starts terminals with `engine` and names them with
    /// the standard adjective-animal names.
    TerminalController(boost::asio::any_io_executor mainExecutor,
                       std::unique_ptr<TerminalEngine> engine);
    /// As above, naming terminals with `nameGenerator`.
    TerminalController(boost::asio::any_io_executor mainExecutor,
                       std::unique_ptr<TerminalEngine> engine, NameGenerator nameGenerator);
    TerminalController(const TerminalController&) = delete;
    TerminalController& operator=(const TerminalController&) = delete;

    /// Every terminal, in the order it was added; a restarted terminal keeps its place.
    /// Observers are told after every change.
    const Observable<std::vector<TerminalRef>>& terminals() const noexcept { return terminals_; }

    /// The terminal whose view has keyboard focus. Observers are told only of real changes.
    const Observable<std::optional<UUID>>& focusedTerminalID() const noexcept {
        return focusedTerminalID_;
    }

    /// Called when a terminal's process ends, with the updated record and the exit code.
    std::function<void(const TerminalRef&, std::optional<std::int32_t>)> onTerminalExit;

    /// Called with the session's id whenever the session's stored layout changes (grid opens,
    /// `setLayout`, restart, `closeAll`), so a view can redraw a growing grid.
    std::function<void(const UUID& sessionID)> onLayoutChange;

    /// The session's terminals, ascending by order (empty for a session without any). Answered
    /// from an index rebuilt only after a change; the reference is valid until the next
    /// operation that changes the terminals.
    const std::vector<TerminalRef>& terminals(const UUID& sessionID);

    /// Starts a terminal for the session in its worktree with `command`, appends it and returns
    /// its record. The session's other terminals are left alone.
    TerminalRef openPrimary(const Session& session, std::optional<std::string> command);

    /// `opened` with `openPrimary` when the session has no terminals; otherwise `focus` with its
    /// newest terminal (nothing is started and focus is not changed).
    OpenOutcome focusOrOpen(const Session& session, std::optional<std::string> command);

    /// Starts a plain shell for the session. Its saved layout is not changed: `layout` shows the
    /// new terminal in a row of its own at the bottom until a layout including it is saved.
    TerminalRef createAdditional(const Session& session);

    /// Sets the terminal's title exactly as given. Unknown ids are ignored.
    void rename(const UUID& terminalID, std::string title);

    /// Replaces the terminal with a fresh one for the same folder and command, keeping its
    /// title, order and place, and its place in the saved layout; the old process's end is not
    /// reported. Unknown ids are ignored.
    void restart(const UUID& terminalID);

    /// Tears the terminal down and removes it; stops a grid open running for its session.
    /// `onTerminalExit` is not called. Unknown ids are ignored.
    void close(const UUID& terminalID);

    /// Tears down and removes every terminal of the session, stops its grid open and forgets
    /// its saved layout.
    void closeAll(const UUID& sessionID);

    /// Tears down and removes every terminal and stops every grid open. Saved layouts are kept.
    void closeAllTerminals();

    /// Brings the session (or none) to the foreground: its surfaces are resumed at once; the
    /// previous session's are suspended in a later turn of the main executor unless it has
    /// become the foreground session again by then.
    void setActiveSession(std::optional<UUID> sessionID);

    /// The session's saved layout reconciled with its live terminals: ids of closed terminals
    /// are dropped (and rows left empty), and each terminal in no row gets a row of its own at
    /// the bottom, ascending by order. Stores nothing.
    TerminalLayout layout(const UUID& sessionID);

    /// Replaces the session's saved layout as given; reading it back reconciles it.
    void setLayout(TerminalLayout layout, const UUID& sessionID);

    /// The titles of the session's terminals in the reading order of `layout`.
    std::vector<std::string> orderedTitles(const UUID& sessionID);

    /// `focus` with the newest terminal when the session has some; otherwise opens its saved
    /// grid (its `gridLayout` if not empty, else `gridRows` x `gridCols`) with its initial
    /// command and saved titles, and returns `opened` with the first terminal.
    OpenOutcome openOrFocusGrid(const Session& session);

    /// Closes the session's terminals and opens a grid of max(rows, 1) x max(cols, 1) with
    /// `command`; returns the first terminal, started at once. The others follow one per turn.
    TerminalRef openGrid(const Session& session, int rows, int cols,
                         std::optional<std::string> command);

    /// Whether a grid open is still running for the session.
    bool isOpeningGrid(const UUID& sessionID) const;

    /// The rows of a grid of `shape` filled, row by row, with `ids`; a row is present as soon
    /// as its first terminal exists, and a reached size of 0 (or less) gives an empty row.
    static TerminalLayout buildPartialGridLayout(const std::vector<UUID>& ids,
                                                 const TerminalGridShape& shape);

    /// `environment` without the four dynamic-loader variables that must not leak into
    /// terminals ("DYLD_INSERT_LIBRARIES", "DYLD_LIBRARY_PATH", "DYLD_FRAMEWORK_PATH",
    /// "DYLD_FALLBACK_LIBRARY_PATH"); every other variable is kept. Pure; any thread.
    static std::map<std::string, std::string>
    filterEnvironment(std::map<std::string, std::string> environment);

private:
    struct GridOpenTask;
    struct GridOpenEntry {
        UUID token;
        std::shared_ptr<bool> cancelled;
    };

    TerminalRef launch(const UUID& sessionID, const std::string& cwd,
                       const std::optional<std::string>& command, std::int64_t order,
                       std::optional<std::string> title);
    void installCallbacks(TerminalHandle& handle, const UUID& terminalID);
    void handleExit(const UUID& terminalID, std::optional<std::int32_t> exitCode);
    void handleFocus(const UUID& terminalID, bool focused);
    TerminalRef appendLaunched(const UUID& sessionID, const std::string& cwd,
                               const std::optional<std::string>& command,
                               std::optional<std::string> title);
    void tearDown(const TerminalRef& ref);
    void cancelGridOpen(const UUID& sessionID);
    void rebuildSessionIndex();
    void invalidateIndex() { sessionIndexValid_ = false; }
    void suspendSurfaces(const UUID& sessionID);
    void resumeSurfaces(const UUID& sessionID);
    void storeLayout(const UUID& sessionID, TerminalLayout layout);
    TerminalRef beginIncrementalGridOpen(const Session& session, TerminalGridShape shape,
                                         std::optional<std::string> command,
                                         std::optional<std::vector<std::string>> titles);
    void openNextGridTerminal(GridOpenTask& task);
    void finishGridOpen(const UUID& sessionID, const UUID& token);
    static const std::map<std::string, std::string>& filteredEnvironment();

    boost::asio::any_io_executor executor_;
    Observable<std::vector<TerminalRef>> terminals_;
    Observable<std::optional<UUID>> focusedTerminalID_;
    std::unique_ptr<TerminalEngine> engine_;
    NameGenerator nameGenerator_;
    std::int64_t nextOrder_ = 0;
    std::optional<UUID> activeSessionID_;
    std::unordered_map<UUID, TerminalLayout> layouts_;
    std::unordered_map<UUID, GridOpenEntry> gridOpenTasks_;
    std::unordered_map<UUID, std::vector<TerminalRef>> sessionIndex_;
    bool sessionIndexValid_ = false;
};

} // namespace OrvexCore
