#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include "OrvexCore/Models/Session.hpp"
#include "OrvexCore/Models/SessionStatus.hpp"
#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Status/StatusMonitor.hpp"
#include "OrvexCore/Terminal/TerminalController.hpp"

namespace OrvexPty {
class PtyTerminalEngine;
}

namespace OrvexServer {

/// The server's terminals: a `TerminalController` over `PtyTerminalEngine`, one
/// `StatusMonitor` per terminal, and each session's status folded from its terminals.
///
/// Every chunk a terminal's program writes goes, from one read, first to the terminal's
/// monitor and then to the output hooks in stage order (activity detection, the screen model,
/// the attached clients); hooks of one stage run in the order they were added. A session's
/// status is evaluated when output arrives, when a terminal ends and once its output has been
/// quiet for the monitor's threshold (one timer per session, armed only while output is
/// recent), so idle terminals cost no work. Main executor only.
class TerminalHost {
public:
    /// Where an output hook sits in the chain, after the status monitor.
    enum class Stage { activity, screen, clients };
    using OutputHook = std::function<void(const OrvexCore::UUID& terminalID, std::string_view)>;

    /// The status monitor's tuning used for every terminal.
    static OrvexCore::StatusMonitor::Config monitorConfig();

    TerminalHost(boost::asio::any_io_executor executor, OrvexCore::StatusMonitor::Config config);
    ~TerminalHost();
    TerminalHost(const TerminalHost&) = delete;
    TerminalHost& operator=(const TerminalHost&) = delete;

    /// Adds a hook that sees every terminal's output at `stage`.
    void addOutputHook(Stage stage, OutputHook hook);

    /// Told when a session's folded status changes (with the new status).
    std::function<void(const OrvexCore::UUID& sessionID, OrvexCore::SessionStatus)> onStatus;
    /// Told for every bell a terminal rings.
    std::function<void(const OrvexCore::UUID& sessionID, const OrvexCore::UUID& terminalID)> onBell;
    /// Told when a terminal's program ends.
    std::function<void(const OrvexCore::UUID& sessionID, const OrvexCore::UUID& terminalID,
                       std::optional<std::int32_t> exitCode)>
        onExit;

    /// Opens the session's grid as saved (or returns the terminals it already has); its
    /// programs run whether or not anyone looks at them.
    void openGrid(const OrvexCore::Session& session);
    /// Whether the session has terminals.
    bool hasGrid(const OrvexCore::UUID& sessionID);
    /// The sessions that have terminals.
    std::vector<OrvexCore::UUID> openSessions() const;
    /// Ends the session's terminals (hang-up, then SIGKILL after the grace period) and forgets
    /// their monitors.
    void closeGrid(const OrvexCore::UUID& sessionID);
    /// Ends every terminal.
    void closeAll();
    /// Completes once every process the engine started has been reaped.
    boost::asio::awaitable<void> reaped();
    /// The session's status now: `aggregate` of its running terminals' activities.
    OrvexCore::SessionStatus status(const OrvexCore::UUID& sessionID);

    /// The terminal's activity now, as its monitor tells it (`idle` before any output).
    OrvexCore::TerminalActivity activity(const OrvexCore::UUID& terminalID);

    OrvexCore::TerminalController& controller() { return *controller_; }

private:
    struct SessionWatch;
    void ingest(const OrvexCore::UUID& terminalID, std::string_view bytes);
    void evaluate(const OrvexCore::UUID& sessionID);
    void armQuietTimer(const OrvexCore::UUID& sessionID);
    std::optional<OrvexCore::UUID> sessionOf(const OrvexCore::UUID& terminalID);

    boost::asio::any_io_executor executor_;
    OrvexCore::StatusMonitor::Config config_;
    OrvexPty::PtyTerminalEngine* engine_ = nullptr; // owned by the controller
    std::shared_ptr<OrvexCore::TerminalController> controller_;
    std::map<OrvexCore::UUID, std::unique_ptr<OrvexCore::StatusMonitor>> monitors_;
    std::map<OrvexCore::UUID, std::unique_ptr<SessionWatch>> watches_;
    std::map<Stage, std::vector<OutputHook>> hooks_;
    std::shared_ptr<bool> alive_;
};

} // namespace OrvexServer
