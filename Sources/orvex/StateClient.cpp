#include "orvex/StateClient.hpp"

#include "OrvexCore/Util/Async.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ServerConnection.hpp"

namespace Orvex {

using nlohmann::json;
using OrvexCore::AppState;
using OrvexCore::Session;
using OrvexCore::SessionStatus;
using OrvexCore::UUID;
using OrvexCore::Workspace;

namespace {

json optional(const std::optional<std::string>& value) {
    return value ? json(*value) : json(nullptr);
}

} // namespace

StateClient::StateClient(std::unique_ptr<OrvexServer::ServerConnection> connection,
                         std::string socketPath)
    : connection_(std::move(connection)), socketPath_(std::move(socketPath)) {}

StateClient::~StateClient() = default;

json StateClient::call(const std::string& method, json params) {
    return connection_->call(method, std::move(params));
}

json StateClient::change(const std::string& method, json params) {
    fresh_ = false;
    return call(method, std::move(params));
}

void StateClient::refresh() {
    if (fresh_) {
        return;
    }
    json state = call("state.get");
    workspaces_ = state.at("workspaces").get<std::vector<Workspace>>();
    sessions_ = state.at("sessions").get<std::vector<Session>>();
    selected_.reset();
    if (state.at("selectedWorkspaceID").is_string()) {
        selected_ = UUID::parse(state["selectedWorkspaceID"].get<std::string>());
    }
    sessionsRoot_ = state.at("sessionsRoot").get<std::string>();
    std::set<UUID> open;
    for (const auto& id : state.at("openGrids")) {
        if (auto parsed = UUID::parse(id.get<std::string>())) {
            open.insert(*parsed);
        }
    }
    live_.clear();
    for (const auto& [key, value] : state.at("liveStatuses").items()) {
        auto id = UUID::parse(key);
        if (id && open.contains(*id)) {
            live_[*id] = value.get<SessionStatus>();
        }
    }
    terminals_.clear();
    // Older servers send no terminal statuses.
    const json terminals = state.value("terminals", json::object());
    for (const auto& [key, list] : terminals.items()) {
        auto session = UUID::parse(key);
        if (!session || !list.is_array()) {
            continue;
        }
        auto& terminals = terminals_[*session];
        for (const auto& item : list) {
            auto id = UUID::parse(item.value("id", ""));
            if (id) {
                terminals.push_back({*id, item.value("title", ""), item.value("status", "idle"),
                                     item.value("reason", "")});
            }
        }
    }
    bells_.clear();
    for (const auto& id : state.at("bellPending")) {
        if (auto parsed = UUID::parse(id.get<std::string>())) {
            bells_.insert(*parsed);
        }
    }
    fresh_ = true;
}

const std::vector<Workspace>& StateClient::workspaces() {
    refresh();
    return workspaces_;
}

const std::vector<Session>& StateClient::sessions() {
    refresh();
    return sessions_;
}

std::vector<Session> StateClient::sessions(const UUID& workspaceID) {
    std::vector<Session> list;
    for (const auto& s : sessions()) {
        if (s.workspaceID == workspaceID) {
            list.push_back(s);
        }
    }
    return list;
}

std::optional<Session> StateClient::session(const UUID& id) {
    for (const auto& s : sessions()) {
        if (s.id == id) {
            return s;
        }
    }
    return std::nullopt;
}

std::optional<UUID> StateClient::selectedWorkspaceID() {
    refresh();
    return selected_;
}

std::optional<SessionStatus> StateClient::liveStatus(const UUID& sessionID) {
    refresh();
    auto it = live_.find(sessionID);
    return it == live_.end() ? std::nullopt : std::optional(it->second);
}

const std::filesystem::path& StateClient::sessionsRoot() {
    refresh();
    return sessionsRoot_;
}

bool StateClient::bellPending(const UUID& sessionID) {
    refresh();
    return bells_.contains(sessionID);
}

boost::asio::awaitable<AppState::OpenResult> StateClient::openWorkspace(std::string path) {
    json result = change("workspace.open", {{"path", path}});
    std::string kind = result.at("kind").get<std::string>();
    if (kind == "added") {
        co_return AppState::OpenResult::added(result.at("workspace").get<Workspace>());
    }
    if (kind == "alreadyOpen") {
        co_return AppState::OpenResult::alreadyOpen(result.at("workspace").get<Workspace>());
    }
    co_return AppState::OpenResult::notGitRepo();
}

boost::asio::awaitable<Workspace> StateClient::initAndOpenWorkspace(std::string path) {
    json result = change("workspace.init", {{"path", path}});
    co_return result.at("workspace").get<Workspace>();
}

void StateClient::renameWorkspace(const UUID& id, std::string name) {
    change("workspace.rename", {{"id", id.string()}, {"name", name}});
}

void StateClient::setWorkspaceColor(std::optional<std::string> color, const UUID& id) {
    change("workspace.setColor", {{"id", id.string()}, {"color", optional(color)}});
}

void StateClient::removeWorkspace(const UUID& id) {
    change("workspace.remove", {{"id", id.string()}});
}

void StateClient::focusSession(const UUID& id) {
    change("session.focus", {{"id", id.string()}});
}

boost::asio::awaitable<Session> StateClient::addBranch(UUID to, std::optional<std::string> title,
                                                       std::optional<std::string> branch,
                                                       bool useWorktree, int rows, int cols,
                                                       std::optional<std::string> command) {
    json result = change("session.add", {{"workspaceID", to.string()},
                                         {"title", optional(title)},
                                         {"branch", optional(branch)},
                                         {"useWorktree", useWorktree},
                                         {"rows", rows},
                                         {"cols", cols},
                                         {"command", optional(command)}});
    co_return result.at("session").get<Session>();
}

boost::asio::awaitable<void> StateClient::deleteSession(Session session, bool force) {
    change("session.delete", {{"id", session.id.string()}, {"force", force}});
    co_return;
}

void StateClient::renameSession(const UUID& id, std::string title) {
    change("session.rename", {{"id", id.string()}, {"title", title}});
}

boost::asio::awaitable<void> StateClient::renameSessionBranch(UUID id, std::string newName) {
    change("session.renameBranch", {{"id", id.string()}, {"name", newName}});
    co_return;
}

void StateClient::moveSessions(const UUID& inWorkspace, const std::set<int>& from, int to) {
    change("session.move", {{"workspaceID", inWorkspace.string()}, {"from", from}, {"to", to}});
}

void StateClient::saveGridLayout(const OrvexCore::TerminalLayout& layout, const UUID& sessionID) {
    json rows = json::array();
    for (const auto& row : layout) {
        json ids = json::array();
        for (const auto& id : row) {
            ids.push_back(id.string());
        }
        rows.push_back(std::move(ids));
    }
    change("session.saveGridLayout", {{"id", sessionID.string()}, {"layout", std::move(rows)}});
}

void StateClient::saveGridTitles(const std::vector<std::string>& titles, const UUID& sessionID) {
    change("session.saveGridTitles", {{"id", sessionID.string()}, {"titles", titles}});
}

std::vector<StateClient::TerminalStatus> StateClient::terminalStatuses(const UUID& sessionID) {
    refresh();
    auto it = terminals_.find(sessionID);
    return it == terminals_.end() ? std::vector<TerminalStatus>{} : it->second;
}

std::vector<StateClient::Terminal> StateClient::openGrid(const UUID& sessionID) {
    json result = change("grid.open", {{"id", sessionID.string()}});
    std::vector<Terminal> terminals;
    for (const auto& item : result.at("terminals")) {
        terminals.push_back({UUID::parse(item.at("id").get<std::string>()).value_or(UUID()),
                             item.at("title").get<std::string>(), item.value("exited", false)});
    }
    return terminals;
}

std::size_t StateClient::closeGrid(const UUID& sessionID) {
    std::size_t before = call("grid.list", {{"id", sessionID.string()}}).at("terminals").size();
    change("grid.close", {{"id", sessionID.string()}});
    return before;
}

boost::asio::awaitable<json> StateClient::callAside(std::string method, json params) {
    // A connection of its own per request: diffs of many sessions then run side by side in
    // the server's helper pool.
    auto work = [path = socketPath_, method, params] {
        auto connection = OrvexServer::ServerConnection::connect(path);
        return connection->call(method, params);
    };
    co_return co_await OrvexCore::inBackground(std::move(work));
}

boost::asio::awaitable<void> StateClient::listAside(Session session,
                                                    OrvexServer::ServerConnection::FileVisit visit,
                                                    std::function<void()> restart) {
    auto work = [path = socketPath_, session = std::move(session), visit = std::move(visit),
                 restart = std::move(restart)] {
        auto connection = OrvexServer::ServerConnection::connect(path);
        connection->callListing("session.diff", json{{"session", session}}, visit, restart);
    };
    co_await OrvexCore::inBackground(std::move(work));
}

boost::asio::awaitable<std::vector<OrvexCore::FileDiff>> StateClient::diff(Session session) {
    auto files = std::make_shared<std::vector<OrvexCore::FileDiff>>();
    auto task = listAside(
        std::move(session),
        [files](std::string_view path, std::int64_t added, std::int64_t removed, char status) {
            OrvexCore::FileDiff file{std::string(path), added, removed, {}};
            file.status = status;
            files->push_back(std::move(file));
        },
        [files] { files->clear(); });
    co_await std::move(task);
    co_return std::move(*files);
}

boost::asio::awaitable<ChangedFiles> StateClient::changedFiles(Session session) {
    auto files = std::make_shared<ChangedFiles>();
    auto task = listAside(
        std::move(session),
        [files](std::string_view path, std::int64_t added, std::int64_t removed, char status) {
            files->add(path, added, removed, status);
        },
        [files] { files->clear(); });
    co_await std::move(task);
    co_return std::move(*files);
}

boost::asio::awaitable<std::size_t> StateClient::changeCount(Session session) {
    auto count = std::make_shared<std::size_t>(0);
    auto task = listAside(
        std::move(session),
        [count](std::string_view, std::int64_t, std::int64_t, char) { ++*count; },
        [count] { *count = 0; });
    co_await std::move(task);
    co_return *count;
}

boost::asio::awaitable<std::string> StateClient::filePatch(Session session, std::string path) {
    json params{{"session", session}, {"path", path}};
    auto task = callAside("session.patch", std::move(params));
    json result = co_await std::move(task);
    co_return result.at("patch").get<std::string>();
}

void StateClient::toggleReviewed(const UUID& sessionID, const std::string& path,
                                 std::string_view patch) {
    change("session.toggleReviewed",
           {{"id", sessionID.string()}, {"path", path}, {"patch", std::string(patch)}});
}

void StateClient::pruneReviewed(const UUID& sessionID, const std::set<std::string>& keepingPaths) {
    change("session.pruneReviewed", {{"id", sessionID.string()}, {"keep", keepingPaths}});
}

void StateClient::setDiffCompareRef(std::optional<std::string> ref, const UUID& sessionID) {
    change("session.setCompareRef", {{"id", sessionID.string()}, {"ref", optional(ref)}});
}

boost::asio::awaitable<AppState::DiffCompareRefs>
StateClient::listDiffCompareRefs(Session session) {
    json params{{"session", session}};
    auto task = callAside("session.compareRefs", std::move(params));
    json result = co_await std::move(task);
    AppState::DiffCompareRefs refs;
    refs.local = result.at("local").get<std::vector<std::string>>();
    refs.remote = result.at("remote").get<std::vector<std::string>>();
    co_return refs;
}

} // namespace Orvex
