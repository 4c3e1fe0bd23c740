#include "OrvexServer/Attachments.hpp"

#include <boost/asio/write.hpp>

#include "OrvexCore/Terminal/TerminalController.hpp"
#include "OrvexServer/AttachSession.hpp"
#include "OrvexServer/ServerAttachGrid.hpp"
#include "OrvexServer/TerminalHost.hpp"
#include "OrvexServer/TerminalScreens.hpp"

namespace OrvexServer {

using nlohmann::json;
using OrvexCore::TerminalRef;
using OrvexCore::UUID;

namespace {

/// The size param, when the client gave a sound one.
std::optional<AttachFrame::Resize> sizeParam(const json& params) {
    auto rows = params.find("rows");
    auto cols = params.find("cols");
    if (rows == params.end() || cols == params.end() || !rows->is_number_integer() ||
        !cols->is_number_integer()) {
        return std::nullopt;
    }
    auto r = rows->get<std::int64_t>();
    auto c = cols->get<std::int64_t>();
    if (r < 1 || c < 1 || r > 0xffff || c > 0xffff) {
        return std::nullopt;
    }
    return AttachFrame::Resize{static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(c)};
}

} // namespace

Attachments::Attachments(TerminalHost& host, TerminalScreens& screens, GridOpener openGrid)
    : host_(host), screens_(screens), openGrid_(std::move(openGrid)),
      alive_(std::make_shared<bool>(true)) {
    host_.addOutputHook(TerminalHost::Stage::clients,
                        [this, alive = std::weak_ptr<bool>(alive_)](const UUID& terminalID,
                                                                    std::string_view bytes) {
                            if (!alive.lock()) {
                                return;
                            }
                            auto it = sessionOf_.find(terminalID);
                            if (it == sessionOf_.end()) {
                                return;
                            }
                            if (auto* grid = gridOf(it->second)) {
                                grid->output(terminalID, bytes);
                            }
                        });
    watch_ = host_.controller().terminals().observe([this](const std::vector<TerminalRef>& all) {
        sessionOf_.clear();
        for (const auto& ref : all) {
            sessionOf_.emplace(ref.id, ref.sessionID);
        }
        for (const auto& [session, grid] : grids_) {
            grid->refresh();
        }
    });
    for (const auto& ref : host_.controller().terminals().get()) {
        sessionOf_.emplace(ref.id, ref.sessionID);
    }
}

Attachments::~Attachments() {
    stopAll();
}

ServerAttachGrid* Attachments::gridOf(const UUID& sessionID) const {
    auto it = grids_.find(sessionID);
    return it == grids_.end() ? nullptr : it->second.get();
}

void Attachments::reject(Socket socket, std::string message) {
    auto frame = std::make_shared<std::string>(AttachFrame::encode(
        AttachFrame::Detached{AttachFrame::Detached::Reason::protocolError, std::move(message)}));
    auto owned = std::make_shared<Socket>(std::move(socket));
    // A few bytes to a fresh socket; a client that never reads them only holds its own socket.
    boost::asio::async_write(*owned, boost::asio::buffer(*frame),
                             [owned, frame](const boost::system::error_code&, std::size_t) {
                                 boost::system::error_code ignored;
                                 owned->shutdown(Socket::shutdown_both, ignored);
                                 owned->close(ignored);
                             });
}

void Attachments::attach(Socket socket, std::string pending, const json& params) {
    auto idParam = params.find("id");
    std::optional<UUID> sessionID;
    if (idParam != params.end() && idParam->is_string()) {
        sessionID = UUID::parse(idParam->get<std::string>());
    }
    if (!sessionID) {
        reject(std::move(socket), "params.id must be a session identifier");
        return;
    }
    std::size_t shown = 0;
    if (auto terminal = params.find("terminal"); terminal != params.end()) {
        if (!terminal->is_number_unsigned() || terminal->get<std::uint64_t>() > 0xffff) {
            reject(std::move(socket), "params.terminal must be a terminal's place in the grid");
            return;
        }
        shown = terminal->get<std::size_t>();
    }
    bool hasSize = params.contains("rows") || params.contains("cols");
    auto size = sizeParam(params);
    if (hasSize && !size) {
        reject(std::move(socket), "params.rows and params.cols must be sizes from 1 to 65535");
        return;
    }
    if (!openGrid_(*sessionID)) {
        reject(std::move(socket), "no session has that identifier");
        return;
    }
    // The grid may just have been opened: its terminals are known before the first redraw.
    for (const auto& ref : host_.controller().terminals(*sessionID)) {
        sessionOf_.emplace(ref.id, ref.sessionID);
    }
    auto& slot = grids_[*sessionID];
    if (!slot) {
        slot =
            std::make_unique<ServerAttachGrid>(socket.get_executor(), *sessionID, host_, screens_);
    }
    ServerAttachGrid* grid = slot.get();
    // Frames the client sent right behind its request line are not expected: a client waits
    // for the answer before it sends frames.
    (void)pending;
    // Told in a later turn than the end itself, after the session left the grid's sizes.
    auto ended = std::make_shared<const AttachSession*>(nullptr);
    auto onEnd = [this, alive = std::weak_ptr<bool>(alive_), id = *sessionID, grid,
                  ended](AttachSession::End) {
        if (!alive.lock()) {
            return;
        }
        auto it = grids_.find(id);
        if (it == grids_.end() || it->second.get() != grid) {
            return;
        }
        grid->remove(*ended);
        // Clients that ended but were not yet told still point at the grid: it stays.
        if (grid->clientCount() == 0) {
            grids_.erase(it);
        }
    };
    if (size) {
        grid->presetSize(*size);
    }
    auto client = AttachSession::start(std::move(socket), *grid, shown, {}, std::move(onEnd));
    *ended = client.get();
    grid->add(client, size);
}

bool Attachments::isAttached(const UUID& sessionID) const {
    auto* grid = gridOf(sessionID);
    return grid != nullptr && grid->clientCount() > 0;
}

std::size_t Attachments::clientCount() const {
    std::size_t count = 0;
    for (const auto& [session, grid] : grids_) {
        count += grid->clientCount();
    }
    return count;
}

void Attachments::statusChanged(const UUID& sessionID) {
    if (auto* grid = gridOf(sessionID)) {
        grid->refresh();
    }
}

void Attachments::bell(const UUID& sessionID, const UUID& terminalID) {
    if (auto* grid = gridOf(sessionID)) {
        grid->bell(terminalID);
    }
}

void Attachments::exited(const UUID& sessionID, const UUID& terminalID,
                         std::optional<std::int32_t> exitCode) {
    if (auto* grid = gridOf(sessionID)) {
        grid->exited(terminalID, exitCode);
    }
}

void Attachments::gridClosed(const UUID& sessionID) {
    auto it = grids_.find(sessionID);
    if (it == grids_.end()) {
        return;
    }
    auto grid = std::move(it->second);
    grids_.erase(it);
    grid->closeAll(AttachFrame::Detached::Reason::gridClosed,
                   "the session's terminals were closed");
}

void Attachments::stopAll() {
    auto grids = std::move(grids_);
    grids_.clear();
    for (auto& [session, grid] : grids) {
        grid->closeAll(AttachFrame::Detached::Reason::serverStopping, "the server is stopping");
    }
}

} // namespace OrvexServer
