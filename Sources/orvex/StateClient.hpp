#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Git/FileDiff.hpp"
#include "OrvexCore/Models/Session.hpp"
#include "OrvexCore/Models/SessionStatus.hpp"
#include "OrvexCore/Models/Workspace.hpp"
#include "OrvexCore/Terminal/TerminalLayout.hpp"
#include "OrvexServer/ServerConnection.hpp"
#include "orvex/ChangedFiles.hpp"

namespace OrvexServer {
class ServerConnection;
}

namespace Orvex {

/// The command line's view of the application state, which the server owns. Its operations
/// mirror `AppState`'s (same names, same arguments, the same errors raised again from the
/// server's answer), so a command reads as it did when it held the state itself; each one is a
/// request to the server, answered once the change is saved. Reads come from a copy of the
/// state fetched on first use and again after any change. Main thread only, except `diff`,
/// `filePatch` and `listDiffCompareRefs`, which run on the background pool over connections of
/// their own, so several can run at once.
class StateClient {
public:
    /// One terminal of a session's grid in the server.
    struct Terminal {
        OrvexCore::UUID id;
        std::string title;
        bool exited = false;
    };

    /// One terminal of an open grid with its status ("working", "idle", "needsInput",
    /// "exited") and the reason for it in words.
    struct TerminalStatus {
        OrvexCore::UUID id;
        std::string title;
        std::string status;
        std::string reason;
    };

    StateClient(std::unique_ptr<OrvexServer::ServerConnection> connection, std::string socketPath);
    ~StateClient();
    StateClient(const StateClient&) = delete;
    StateClient& operator=(const StateClient&) = delete;

    // The state as the server holds it.
    const std::vector<OrvexCore::Workspace>& workspaces();
    const std::vector<OrvexCore::Session>& sessions();
    std::vector<OrvexCore::Session> sessions(const OrvexCore::UUID& workspaceID);
    std::optional<OrvexCore::Session> session(const OrvexCore::UUID& id);
    std::optional<OrvexCore::UUID> selectedWorkspaceID();
    /// The folder new worktrees go into, from the user's settings.
    const std::filesystem::path& sessionsRoot();
    /// The status of the session's programs; none when its grid is not open in the server.
    std::optional<OrvexCore::SessionStatus> liveStatus(const OrvexCore::UUID& sessionID);
    bool bellPending(const OrvexCore::UUID& sessionID);
    /// The terminals of the session's open grid with their statuses; empty when not open.
    std::vector<TerminalStatus> terminalStatuses(const OrvexCore::UUID& sessionID);
    /// Reads the state again on the next read (after an event said it changed).
    void invalidate() { fresh_ = false; }

    // Workspaces and selection.
    boost::asio::awaitable<OrvexCore::AppState::OpenResult> openWorkspace(std::string path);
    boost::asio::awaitable<OrvexCore::Workspace> initAndOpenWorkspace(std::string path);
    void renameWorkspace(const OrvexCore::UUID& id, std::string name);
    void setWorkspaceColor(std::optional<std::string> color, const OrvexCore::UUID& id);
    void removeWorkspace(const OrvexCore::UUID& id);
    void focusSession(const OrvexCore::UUID& id);

    // Session lifecycle.
    boost::asio::awaitable<OrvexCore::Session> addBranch(OrvexCore::UUID to,
                                                         std::optional<std::string> title,
                                                         std::optional<std::string> branch,
                                                         bool useWorktree, int rows, int cols,
                                                         std::optional<std::string> command);
    /// Closes the session's grid first when it is open.
    boost::asio::awaitable<void> deleteSession(OrvexCore::Session session, bool force);
    void renameSession(const OrvexCore::UUID& id, std::string title);
    boost::asio::awaitable<void> renameSessionBranch(OrvexCore::UUID id, std::string newName);
    void moveSessions(const OrvexCore::UUID& inWorkspace, const std::set<int>& from, int to);
    void saveGridLayout(const OrvexCore::TerminalLayout& layout, const OrvexCore::UUID& sessionID);
    void saveGridTitles(const std::vector<std::string>& titles, const OrvexCore::UUID& sessionID);

    // Terminals kept by the server.
    /// Opens the session's grid in the server (or finds it open) and lists its terminals.
    std::vector<Terminal> openGrid(const OrvexCore::UUID& sessionID);
    /// Ends the programs of the session's grid; returns how many terminals it had.
    std::size_t closeGrid(const OrvexCore::UUID& sessionID);

    // Diffs and review state.
    boost::asio::awaitable<std::vector<OrvexCore::FileDiff>> diff(OrvexCore::Session session);
    /// The session's changed files, held compactly (see ChangedFiles): for listings of any
    /// size.
    boost::asio::awaitable<ChangedFiles> changedFiles(OrvexCore::Session session);
    /// How many files the session changed, without keeping the list.
    boost::asio::awaitable<std::size_t> changeCount(OrvexCore::Session session);
    boost::asio::awaitable<std::string> filePatch(OrvexCore::Session session, std::string path);
    void toggleReviewed(const OrvexCore::UUID& sessionID, const std::string& path,
                        std::string_view patch);
    void pruneReviewed(const OrvexCore::UUID& sessionID, const std::set<std::string>& keepingPaths);
    void setDiffCompareRef(std::optional<std::string> ref, const OrvexCore::UUID& sessionID);
    boost::asio::awaitable<OrvexCore::AppState::DiffCompareRefs>
    listDiffCompareRefs(OrvexCore::Session session);

    /// Where the server listens, for a second connection of one's own.
    const std::string& socketPath() const { return socketPath_; }

    /// Sends any request on the main connection and returns its result.
    nlohmann::json call(const std::string& method,
                        nlohmann::json params = nlohmann::json::object());

private:
    /// A request that changes the state: the copy is fetched again before the next read.
    nlohmann::json change(const std::string& method, nlohmann::json params);
    void refresh();
    boost::asio::awaitable<nlohmann::json> callAside(std::string method, nlohmann::json params);
    /// The session's diff, asked over a connection of its own; each file goes to `visit` as
    /// it arrives (see ServerConnection::callListing).
    boost::asio::awaitable<void> listAside(OrvexCore::Session session,
                                           OrvexServer::ServerConnection::FileVisit visit,
                                           std::function<void()> restart);

    std::unique_ptr<OrvexServer::ServerConnection> connection_;
    std::string socketPath_;
    bool fresh_ = false;
    std::vector<OrvexCore::Workspace> workspaces_;
    std::vector<OrvexCore::Session> sessions_;
    std::optional<OrvexCore::UUID> selected_;
    std::filesystem::path sessionsRoot_;
    std::map<OrvexCore::UUID, OrvexCore::SessionStatus> live_;
    std::set<OrvexCore::UUID> bells_;
    std::map<OrvexCore::UUID, std::vector<TerminalStatus>> terminals_;
};

} // namespace Orvex
