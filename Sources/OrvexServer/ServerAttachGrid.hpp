#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Terminal/TerminalRef.hpp"
#include "OrvexServer/AttachGrid.hpp"
#include "OrvexServer/AttachSession.hpp"

namespace OrvexServer {

class TerminalHost;
class TerminalScreens;

/// One session's grid as its attached clients see it: the host's terminals of the session in
/// the grid's reading order, their screens, and the clients showing them.
///
/// A terminal's title in the status is the one its program set, else its name in the grid; its
/// bell stays lit from a ring until a client looks at it. Every program of the grid gets the
/// smallest size among the clients that said theirs; a terminal the grid opens later is given
/// that size as it appears. Main executor only.
class ServerAttachGrid : public AttachGrid {
public:
    ServerAttachGrid(boost::asio::any_io_executor executor, OrvexCore::UUID sessionID,
                     TerminalHost& host, TerminalScreens& screens);
    ~ServerAttachGrid() override;

    AttachFrame::Status status() const override;
    AttachFrame::Redraw redraw(std::size_t index) const override;
    void input(std::size_t index, std::string_view bytes) override;
    void seen(std::size_t index) override;
    void clientSize(const AttachSession& client, std::optional<AttachFrame::Resize> size) override;
    /// Holds the output of the terminals that clients who are behind show, and lets go of the
    /// others.
    void clientBehind(const AttachSession& client, bool behind) override;

    const OrvexCore::UUID& sessionID() const { return sessionID_; }

    /// Sets the programs to the size they get once a client of `size` joins, before that
    /// client's first redraw is drawn.
    void presetSize(AttachFrame::Resize size);
    /// Adds a client (with the size it asked for when attaching); it is told everything from
    /// now on, and the other clients are redrawn when the shared size shrank for it.
    void add(std::shared_ptr<AttachSession> client, std::optional<AttachFrame::Resize> size);
    /// Forgets a client whose attachment ended.
    void remove(const AttachSession* client);
    /// The clients still attached.
    std::size_t clientCount() const { return clients_.size(); }

    /// The terminal wrote `bytes`: sent to the clients showing it. Its state or title may have
    /// changed with it: the status is looked at once the output pauses for a moment, not for
    /// every chunk of a flood.
    void output(const OrvexCore::UUID& terminalID, std::string_view bytes);
    /// The terminal rang the bell.
    void bell(const OrvexCore::UUID& terminalID);
    /// The terminal's program ended.
    void exited(const OrvexCore::UUID& terminalID, std::optional<std::int32_t> exitCode);
    /// The session's terminals or their states may have changed: clients get a fresh status
    /// when it differs from the last one sent, and new terminals get the shared size.
    void refresh();
    /// Ends every client's attachment with `reason`.
    void closeAll(AttachFrame::Detached::Reason reason, const std::string& message);

private:
    std::vector<OrvexCore::TerminalRef> ordered() const;
    std::optional<std::size_t> indexOf(const OrvexCore::UUID& terminalID) const;
    void applySize(std::optional<AttachFrame::Resize> extra = std::nullopt);
    void refreshSoon();
    void holdBehind();

    OrvexCore::UUID sessionID_;
    TerminalHost& host_;
    TerminalScreens& screens_;
    std::vector<std::shared_ptr<AttachSession>> clients_;
    std::unordered_map<const AttachSession*, AttachFrame::Resize> sizes_;
    std::optional<AttachFrame::Resize> shared_;
    /// The shared size the attached clients were last redrawn for.
    std::optional<AttachFrame::Resize> announced_;
    std::unordered_set<OrvexCore::UUID> bells_;
    std::unordered_set<OrvexCore::UUID> sized_;
    /// The clients behind: the terminals they show are held until they catch up.
    std::unordered_set<const AttachSession*> behind_;
    std::optional<AttachFrame::Status> sent_;
    boost::asio::steady_timer refreshTimer_;
    bool refreshPending_ = false;
    std::shared_ptr<bool> alive_;
};

} // namespace OrvexServer
