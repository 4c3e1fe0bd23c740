#include "OrvexServer/Server.hpp"

#include <algorithm>
#include <set>

#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Appearance/ContrastColor.hpp"
#include "OrvexCore/Diff/DiffHelperClient.hpp"
#include "OrvexCore/OrvexCore.hpp"
#include "OrvexCore/Persistence/JSONSessionStore.hpp"
#include "OrvexCore/Settings/FileUserDefaults.hpp"
#include "OrvexServer/Attachments.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ProtocolError.hpp"
#include "OrvexServer/TerminalHost.hpp"
#include "OrvexServer/WebServer.hpp"

namespace OrvexServer {

namespace asio = boost::asio;
namespace P = Protocol;
using nlohmann::json;
using OrvexCore::Session;
using OrvexCore::SessionStatus;
using OrvexCore::UUID;

namespace {

json optionalID(const std::optional<UUID>& id) {
    return id ? json(id->string()) : json(nullptr);
}

[[noreturn]] void unknownMethod(const std::string& method) {
    throw ProtocolError("unknownMethod", fmt::format("no method named '{}'", method));
}

Session decodeSession(const json& params) {
    Session session;
    try {
        OrvexCore::from_json(P::object(params, "session"), session);
    } catch (const ProtocolError&) {
        throw;
    } catch (const std::exception& e) {
        throw ProtocolError("invalidParams", std::string("params.session: ") + e.what());
    }
    return session;
}

} // namespace

asio::awaitable<json> Server::handle(std::shared_ptr<Client> connection, std::string method,
                                     json params) {
    if (method == "hello") {
        co_return co_await hello(*connection, params);
    }
    if (!connection->greeted()) {
        throw ProtocolError("helloRequired", "send hello before anything else");
    }
    if (stopping_) {
        throw ProtocolError("stopping", "the server is stopping");
    }
    if (method == "subscribe") {
        auto events = P::strings(params, "events");
        static const std::set<std::string> known{"stateChanged", "statusChanged",
                                                 "bell",         "terminalExited",
                                                 "gridChanged",  "settingsChanged"};
        for (const auto& event : events) {
            if (!known.contains(event)) {
                throw ProtocolError("invalidParams", fmt::format("no event named '{}'", event));
            }
        }
        connection->subscriptions().insert(events.begin(), events.end());
        co_return json{{"events", connection->subscriptions()}};
    }
    if (method == "state.get") {
        co_return snapshot();
    }
    if (method.starts_with("settings.")) {
        co_return settingsMethod(method, params);
    }
    if (method.starts_with("grid.")) {
        co_return co_await gridMethod(method, params);
    }
    if (method.starts_with("terminal.")) {
        co_return co_await terminalMethod(method, params);
    }
    if (method == "web.address") {
        if (!web_ || web_->port() == 0) {
            throw std::runtime_error(webError_.empty() ? "the web page is not served" : webError_);
        }
        co_return json{{"address", web_->address()}, {"port", web_->port()}};
    }
    if (method.starts_with("workspace.")) {
        co_return co_await stateMethod(method, params);
    }
    if (method.starts_with("session.")) {
        co_return co_await sessionMethod(method, params);
    }
    if (method.starts_with("review.")) {
        co_return co_await reviewMethod(method, params);
    }
    if (method == "server.status") {
        std::size_t terminals = terminals_->controller().terminals().get().size();
        co_return json{{"pid", ::getpid()},
                       {"version", OrvexCore::version},
                       {"protocol", P::version},
                       {"socket", paths_.socketPath},
                       {"log", paths_.logPath},
                       {"store", store_->fileURL().string()},
                       {"settings", defaults_->path()},
                       {"workspaces", state_->workspaces().get().size()},
                       {"sessions", state_->sessions().get().size()},
                       {"openGrids", terminals_->openSessions().size()},
                       {"terminals", terminals},
                       {"clients", connections_.size()},
                       {"attached", attachments_->clientCount()},
                       {"diffHelperError", helperError_}};
    }
    if (method == "server.stop") {
        // Answer first: the stop closes this connection.
        asio::post(io_, [this] { requestStop(); });
        co_return json{{"stopping", true}};
    }
    unknownMethod(method);
}

asio::awaitable<json> Server::hello(Client& connection, const json& params) {
    long long version = P::integer(params, "version");
    if (version != P::version) {
        throw ProtocolError("versionMismatch",
                            fmt::format("the server speaks protocol {}, the client {}; stop the "
                                        "server with 'orvex server stop' and run the command again",
                                        P::version, version));
    }
    connection.setGreeted();
    // A notice is told once, to the first client that asks after it arose.
    json notices = notices_;
    notices_.clear();
    co_return json{{"version", P::version},
                   {"server", OrvexCore::version},
                   {"pid", ::getpid()},
                   {"notices", std::move(notices)}};
}

json Server::snapshot() {
    json workspaces = json::array();
    // The text colour each workspace's colour chip needs, by the one contrast rule.
    json darkText = json::object();
    for (const auto& w : state_->workspaces().get()) {
        workspaces.push_back(w);
        darkText[w.id.string()] = OrvexCore::ContrastColor::prefersDarkText(w.color.value_or(""));
    }
    json sessions = json::array();
    for (const auto& s : state_->sessions().get()) {
        sessions.push_back(s);
    }
    json live = json::object();
    for (const auto& [id, status] : state_->liveStatuses().get()) {
        live[id.string()] = OrvexCore::rawValue(status);
    }
    json bells = json::array();
    for (const auto& id : state_->bellPending().get()) {
        bells.push_back(id.string());
    }
    json grids = json::array();
    json terminals = json::object();
    for (const auto& id : terminals_->openSessions()) {
        grids.push_back(id.string());
        terminals[id.string()] = terminalsOf(id);
    }
    return json{{"workspaces", std::move(workspaces)},
                {"sessions", std::move(sessions)},
                {"selectedWorkspaceID", optionalID(state_->selectedWorkspaceID().get())},
                {"activeTerminalSessionID", optionalID(state_->activeTerminalSessionID().get())},
                {"liveStatuses", std::move(live)},
                {"bellPending", std::move(bells)},
                {"openGrids", std::move(grids)},
                {"terminals", std::move(terminals)},
                {"sessionsRoot", state_->sessionsRoot().get().string()},
                {"prefersDarkText", std::move(darkText)}};
}

asio::awaitable<json> Server::stateMethod(const std::string& method, const json& params) {
    if (method == "workspace.branches") {
        co_return co_await branches(P::uuid(params, "id"));
    }
    json result = json::object();
    if (method == "workspace.open" || method == "workspace.init") {
        std::string path = P::string(params, "path");
        if (path.empty() || path.front() != '/') {
            throw ProtocolError("invalidParams", "params.path must be an absolute path");
        }
        if (method == "workspace.open") {
            auto opened = co_await state_->openWorkspace(path);
            const char* kind = opened.kind == OrvexCore::AppState::OpenResult::Kind::added ? "added"
                               : opened.kind == OrvexCore::AppState::OpenResult::Kind::alreadyOpen
                                   ? "alreadyOpen"
                                   : "notGitRepo";
            result =
                json{{"kind", kind},
                     {"workspace", opened.workspace ? json(*opened.workspace) : json(nullptr)}};
        } else {
            auto workspace = co_await state_->initAndOpenWorkspace(path);
            result = json{{"workspace", workspace}};
        }
    } else if (method == "workspace.rename") {
        state_->renameWorkspace(P::uuid(params, "id"), P::string(params, "name"));
    } else if (method == "workspace.setColor") {
        state_->setWorkspaceColor(P::optionalString(params, "color"), P::uuid(params, "id"));
    } else if (method == "workspace.remove") {
        UUID id = P::uuid(params, "id");
        for (const auto& session : state_->sessions(id)) {
            closeGrid(session.id);
        }
        state_->removeWorkspace(id);
    } else if (method == "workspace.select") {
        state_->selectWorkspace(P::optionalUUID(params, "id"));
    } else {
        unknownMethod(method);
    }
    co_await durable();
    co_return result;
}

asio::awaitable<json> Server::branches(UUID workspaceID) {
    const auto& workspaces = state_->workspaces().get();
    if (std::none_of(workspaces.begin(), workspaces.end(),
                     [&](const auto& w) { return w.id == workspaceID; })) {
        throw ProtocolError("notFound", "no workspace has that identifier");
    }
    // Only the workspace matters to the listing; git runs on the background pool.
    Session probe;
    probe.workspaceID = workspaceID;
    auto task = state_->listDiffCompareRefs(std::move(probe));
    auto refs = co_await std::move(task);
    // "<remote>/HEAD" names the remote's default branch, not a branch of its own.
    std::erase_if(refs.remote, [](const std::string& name) { return name.ends_with("/HEAD"); });
    co_return json{{"local", std::move(refs.local)}, {"remote", std::move(refs.remote)}};
}

asio::awaitable<json> Server::sessionMethod(const std::string& method, const json& params) {
    json result = json::object();
    bool changes = true;
    if ((method == "session.diff" || method == "session.patch") && !helperError_.empty()) {
        // Without a helper every diff would fail with the pool's bare "not running".
        throw OrvexCore::DiffHelperClient::ClientError::spawnFailed(helperError_);
    }
    if (method == "session.add") {
        auto command = P::optionalString(params, "command");
        int rows = static_cast<int>(P::integer(params, "rows"));
        int cols = static_cast<int>(P::integer(params, "cols"));
        auto task =
            state_->addBranch(P::uuid(params, "workspaceID"), P::optionalString(params, "title"),
                              P::optionalString(params, "branch"),
                              P::boolean(params, "useWorktree", true), rows, cols, command);
        auto session = co_await std::move(task);
        result = json{{"session", session}};
    } else if (method == "session.delete") {
        UUID id = P::uuid(params, "id");
        bool force = P::boolean(params, "force", false);
        // Removed meanwhile by another client: already done.
        if (auto session = state_->session(id)) {
            closeGrid(id);
            auto task = state_->deleteSession(*session, force);
            co_await std::move(task);
        }
    } else if (method == "session.focus") {
        state_->focusSession(P::uuid(params, "id"));
    } else if (method == "session.rename") {
        state_->renameSession(P::uuid(params, "id"), P::string(params, "title"));
    } else if (method == "session.renameBranch") {
        auto task = state_->renameSessionBranch(P::uuid(params, "id"), P::string(params, "name"));
        co_await std::move(task);
    } else if (method == "session.move") {
        std::set<int> from;
        auto it = params.find("from");
        if (it == params.end() || !it->is_array()) {
            throw ProtocolError("invalidParams", "params.from must be a list of integers");
        }
        for (const auto& item : *it) {
            if (!item.is_number_integer()) {
                throw ProtocolError("invalidParams", "params.from must be a list of integers");
            }
            from.insert(item.get<int>());
        }
        state_->moveSessions(P::uuid(params, "workspaceID"), from,
                             static_cast<int>(P::integer(params, "to")));
    } else if (method == "session.saveGridLayout") {
        OrvexCore::TerminalLayout layout;
        auto it = params.find("layout");
        if (it == params.end() || !it->is_array()) {
            throw ProtocolError("invalidParams", "params.layout must be a list of rows");
        }
        for (const auto& row : *it) {
            std::vector<UUID> ids;
            for (const auto& item : row) {
                auto id = item.is_string() ? UUID::parse(item.get<std::string>()) : std::nullopt;
                if (!id) {
                    throw ProtocolError("invalidParams", "params.layout holds rows of UUIDs");
                }
                ids.push_back(*id);
            }
            layout.push_back(std::move(ids));
        }
        state_->saveGridLayout(layout, P::uuid(params, "id"));
    } else if (method == "session.saveGridTitles") {
        state_->saveGridTitles(P::strings(params, "titles"), P::uuid(params, "id"));
    } else if (method == "session.diff") {
        changes = false;
        auto task = state_->diff(decodeSession(params));
        auto files = co_await std::move(task);
        result = json{{"files", P::encode(files)}};
    } else if (method == "session.patch") {
        changes = false;
        auto task = state_->filePatch(decodeSession(params), P::string(params, "path"));
        auto patch = co_await std::move(task);
        result = json{{"patch", patch}};
    } else if (method == "session.compareRefs") {
        changes = false;
        auto task = state_->listDiffCompareRefs(decodeSession(params));
        auto refs = co_await std::move(task);
        result = json{{"local", refs.local}, {"remote", refs.remote}};
    } else if (method == "session.toggleReviewed") {
        state_->toggleReviewed(P::uuid(params, "id"), P::string(params, "path"),
                               P::string(params, "patch"));
    } else if (method == "session.pruneReviewed") {
        auto keep = P::strings(params, "keep");
        state_->pruneReviewed(P::uuid(params, "id"), {keep.begin(), keep.end()});
    } else if (method == "session.setCompareRef") {
        state_->setDiffCompareRef(P::optionalString(params, "ref"), P::uuid(params, "id"));
    } else {
        unknownMethod(method);
    }
    if (changes) {
        co_await durable();
    }
    co_return result;
}

asio::awaitable<json> Server::gridMethod(const std::string& method, const json& params) {
    UUID id = P::uuid(params, "id");
    auto session = state_->session(id);
    if (method == "grid.open") {
        if (!session) {
            throw ProtocolError("notFound", "no session has that identifier");
        }
        terminals_->openGrid(*session);
        broadcast("gridChanged", {{"sessionID", id.string()}});
    } else if (method == "grid.close") {
        closeGrid(id);
        co_await durable();
    } else if (method != "grid.list") {
        unknownMethod(method);
    }
    co_return gridAnswer(id);
}

} // namespace OrvexServer
