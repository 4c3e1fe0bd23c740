// The server's side of the web page: its listener, the terminal methods the page uses, and
// the grid changes it makes.
#include "OrvexServer/Server.hpp"

#include <map>

#include <fmt/format.h>

#include "OrvexCore/App/AppState.hpp"
#include "OrvexCore/Terminal/LayoutReorder.hpp"
#include "OrvexServer/Protocol.hpp"
#include "OrvexServer/ProtocolError.hpp"
#include "OrvexServer/TerminalHost.hpp"
#include "OrvexServer/TerminalScreens.hpp"
#include "OrvexServer/WebServer.hpp"

namespace OrvexServer {

namespace asio = boost::asio;
namespace P = Protocol;
using nlohmann::json;
using OrvexCore::TerminalRef;
using OrvexCore::UUID;

namespace {

std::optional<TerminalRef> findTerminal(OrvexCore::TerminalController& controller,
                                        const UUID& terminalID) {
    for (const auto& ref : controller.terminals().get()) {
        if (ref.id == terminalID) {
            return ref;
        }
    }
    return std::nullopt;
}

OrvexCore::DropEdge dropEdge(const std::string& name) {
    using OrvexCore::DropEdge;
    static const std::map<std::string, DropEdge> edges{{"left", DropEdge::left},
                                                       {"right", DropEdge::right},
                                                       {"top", DropEdge::top},
                                                       {"bottom", DropEdge::bottom},
                                                       {"center", DropEdge::center}};
    auto found = edges.find(name);
    if (found == edges.end()) {
        throw ProtocolError("invalidParams",
                            "params.edge must be left, right, top, bottom or center");
    }
    return found->second;
}

} // namespace

void Server::startWeb() {
    WebTerminals access;
    access.screen = [this](const UUID& id) -> std::optional<std::string> {
        if (!screens_->screen(id)) {
            return std::nullopt;
        }
        return screens_->redraw(id);
    };
    access.input = [this](const UUID& id, std::string_view bytes) {
        auto ref = findTerminal(terminals_->controller(), id);
        if (!ref || ref->isExited) {
            return false;
        }
        ref->handle->send(bytes);
        return true;
    };
    access.resize = [this](const UUID& id, int rows, int cols) {
        if (!screens_->screen(id)) {
            return false;
        }
        // The program and the screen model take the size together, so a later redraw matches.
        screens_->resize(id, rows, cols);
        return true;
    };
    access.hold = [this](const void* holder, std::set<UUID> terminals) {
        terminals_->holdOutput(holder, std::move(terminals));
    };
    web_ = std::make_unique<WebServer>(
        io_.get_executor(),
        [this](std::shared_ptr<Client> client, std::string method, json params) {
            return handle(std::move(client), std::move(method), std::move(params));
        },
        std::move(access), WebServer::Limits{});
    // Grids open terminal by terminal: the pages hear of each one as it arrives.
    terminals_->controller().onLayoutChange = [this](const UUID& sessionID) {
        broadcast("gridChanged", {{"sessionID", sessionID.string()}});
    };
    terminals_->addOutputHook(
        TerminalHost::Stage::clients,
        [this](const UUID& id, std::string_view bytes) { web_->terminalOutput(id, bytes); });
}

json Server::gridAnswer(const UUID& sessionID) {
    auto& controller = terminals_->controller();
    json terminals = terminalsOf(sessionID);
    json layout = json::array();
    if (terminals_->hasGrid(sessionID)) {
        for (const auto& row : controller.layout(sessionID)) {
            json ids = json::array();
            for (const auto& id : row) {
                ids.push_back(id.string());
            }
            layout.push_back(std::move(ids));
        }
    }
    auto focused = controller.focusedTerminalID().get();
    return json{{"terminals", std::move(terminals)},
                {"layout", std::move(layout)},
                {"focusedTerminalID", focused ? json(focused->string()) : json(nullptr)},
                {"status", OrvexCore::rawValue(terminals_->status(sessionID))}};
}

void Server::gridChanged(const UUID& sessionID) {
    auto& controller = terminals_->controller();
    auto layout = controller.layout(sessionID);
    if (!layout.empty()) {
        state_->saveGridLayout(layout, sessionID);
        state_->saveGridTitles(controller.orderedTitles(sessionID), sessionID);
    }
    broadcast("gridChanged", {{"sessionID", sessionID.string()}});
}

asio::awaitable<json> Server::addTerminal(UUID sessionID) {
    auto session = state_->session(sessionID);
    if (!session) {
        throw ProtocolError("notFound", "no session has that identifier");
    }
    // A closed grid opens as saved, not as one lone shell that would then stand for it.
    if (!terminals_->hasGrid(sessionID)) {
        throw ProtocolError("notFound", "the session's grid is not open");
    }
    // The controller shows a terminal that is in no saved row in a row of its own at the
    // bottom; setting the layout makes that place its own.
    auto& controller = terminals_->controller();
    auto added = controller.createAdditional(*session);
    controller.setLayout(controller.layout(sessionID), sessionID);
    gridChanged(sessionID);
    co_await durable();
    json answer = gridAnswer(sessionID);
    answer["terminalID"] = added.id.string();
    co_return answer;
}

asio::awaitable<json> Server::terminalMethod(const std::string& method, const json& params) {
    auto& controller = terminals_->controller();
    if (method == "terminal.add") {
        co_return co_await addTerminal(P::uuid(params, "sessionID"));
    }
    UUID id = P::uuid(params, "id");
    auto ref = findTerminal(controller, id);
    if (!ref) {
        throw ProtocolError("notFound", "no terminal has that identifier");
    }
    const UUID sessionID = ref->sessionID;
    if (method == "terminal.restart") {
        controller.restart(id);
    } else if (method == "terminal.close") {
        controller.close(id);
    } else if (method == "terminal.rename") {
        controller.rename(id, P::string(params, "title"));
    } else if (method == "terminal.focus") {
        // As a view gaining keyboard focus would: the controller records it.
        if (ref->handle->onFocusChange) {
            auto focus = ref->handle->onFocusChange;
            focus(true);
        }
        co_return json::object();
    } else if (method == "terminal.move") {
        auto layout = controller.layout(sessionID);
        auto moved = OrvexCore::LayoutReorder::apply(layout, id, P::uuid(params, "targetID"),
                                                     dropEdge(P::string(params, "edge")));
        controller.setLayout(moved, sessionID);
    } else {
        throw ProtocolError("unknownMethod", fmt::format("no method named '{}'", method));
    }
    gridChanged(sessionID);
    co_await durable();
    co_return gridAnswer(sessionID);
}

} // namespace OrvexServer
