#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/signals2/connection.hpp>
#include <nlohmann/json.hpp>

#include "OrvexCore/Models/UUID.hpp"
#include "OrvexServer/AttachFrame.hpp"

namespace OrvexServer {

class ServerAttachGrid;
class TerminalHost;
class TerminalScreens;

/// Every client attached to a grid of the server, grouped by session: takes over connections
/// after their `attach` request, and routes each terminal's output (at the host's clients
/// stage) and its status, bell and exit to the clients of its grid.
///
/// Main executor only; must not outlive the host and screens it was made with.
class Attachments {
public:
    using Socket = boost::asio::local::stream_protocol::socket;
    /// Opens the session's grid if it has none; false when there is no such session.
    using GridOpener = std::function<bool(const OrvexCore::UUID& sessionID)>;

    Attachments(TerminalHost& host, TerminalScreens& screens, GridOpener openGrid);
    ~Attachments();
    Attachments(const Attachments&) = delete;
    Attachments& operator=(const Attachments&) = delete;

    /// Serves a connection whose `attach` request was answered: `params` names the session
    /// (`id`), the terminal to show first (`terminal`, 0-based, default 0) and optionally the
    /// client's size for its programs (`rows`, `cols`). Bad params end the connection with a
    /// `detached` frame (protocol error) saying what was wrong.
    void attach(Socket socket, std::string pending, const nlohmann::json& params);

    /// Whether any client is attached to the session's grid.
    bool isAttached(const OrvexCore::UUID& sessionID) const;
    /// How many clients are attached, over every grid.
    std::size_t clientCount() const;

    /// The session's state changed (its folded status): clients get a fresh status frame.
    void statusChanged(const OrvexCore::UUID& sessionID);
    void bell(const OrvexCore::UUID& sessionID, const OrvexCore::UUID& terminalID);
    void exited(const OrvexCore::UUID& sessionID, const OrvexCore::UUID& terminalID,
                std::optional<std::int32_t> exitCode);

    /// The session's grid is closing: its clients are detached ("grid closed").
    void gridClosed(const OrvexCore::UUID& sessionID);
    /// The server stops: every client is detached ("server stopping").
    void stopAll();

private:
    ServerAttachGrid* gridOf(const OrvexCore::UUID& sessionID) const;
    void reject(Socket socket, std::string message);

    TerminalHost& host_;
    TerminalScreens& screens_;
    GridOpener openGrid_;
    std::unordered_map<OrvexCore::UUID, std::unique_ptr<ServerAttachGrid>> grids_;
    /// Which session each terminal belongs to, for routing output without a search.
    std::unordered_map<OrvexCore::UUID, OrvexCore::UUID> sessionOf_;
    boost::signals2::scoped_connection watch_;
    std::shared_ptr<bool> alive_;
};

} // namespace OrvexServer
