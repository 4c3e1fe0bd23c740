#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
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
#include "OrvexPty/ActivityDetector.hpp"
#include "OrvexPty/ActivityReport.hpp"

namespace OrvexPty {
class PtyTerminalEngine;
}

namespace OrvexServer {

/// The server's terminals: a `TerminalController` over `PtyTerminalEngine`, one
/// `StatusMonitor` (bells) and one `ActivityDetector` (status and its reason) per terminal, and
/// each session's status folded from its terminals.
///
/// Every chunk a terminal's program writes goes, from one read, first to the terminal's
/// monitor and detector and then to the output hooks in stage order (activity detection, the
/// screen model, the attached clients); hooks of one stage run in the order they were added. A
/// terminal's status is evaluated when output arrives, when it ends and when its detector's
/// `nextCheck` comes (one timer per terminal, armed only when the detector asks for a look),
/// so an idle terminal costs no work. Main executor only.
class TerminalHost {
public:
    /// Where an output hook sits in the chain, after the status monitor.
    enum class Stage { activity, screen, clients };
    using OutputHook = std::function<void(const OrvexCore::UUID& terminalID, std::string_view)>;

    /// The status monitor's tuning used for every terminal.
    static OrvexCore::StatusMonitor::Config monitorConfig();

    /// A terminal's status as clients see it: its detector's report, or, once its program
    /// ended, `exited` with the exit code in the reason.
    struct TerminalStatus {
        OrvexPty::ActivityReport report;
        bool exited = false;
        /// "working", "idle", "needsInput" or "exited".
        std::string name() const;
        bool operator==(const TerminalStatus&) const = default;
    };

    /// A change of a session's folded status or of one of its terminals' statuses.
    struct StatusChange {
        OrvexCore::UUID sessionID;
        /// The session's folded status after the change.
        OrvexCore::SessionStatus status;
        /// Whether `status` differs from the one told before.
        bool sessionChanged = false;
        /// The terminal whose status changed, if the change came from one.
        std::optional<OrvexCore::UUID> terminalID;
        std::optional<TerminalStatus> terminal;
    };

    TerminalHost(boost::asio::any_io_executor executor, OrvexCore::StatusMonitor::Config config);
    ~TerminalHost();
    TerminalHost(const TerminalHost&) = delete;
    TerminalHost& operator=(const TerminalHost&) = delete;

    /// Adds a hook that sees every terminal's output at `stage`.
    void addOutputHook(Stage stage, OutputHook hook);

    /// Told when a session's folded status or one of its terminals' statuses changes. A
    /// terminal's reason counts as changed when its words change, not when only a number in it
    /// does ("running for 3 s" to "running for 4 s"), so a silent job does not tell every second.
    std::function<void(const StatusChange&)> onStatus;
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
    /// The terminal's status as last evaluated; none for a terminal this host does not have.
    std::optional<TerminalStatus> terminalStatus(const OrvexCore::UUID& terminalID);

    /// Retunes every terminal's detector (quiet period, question patterns) and evaluates them
    /// again; terminals opened later use it too.
    void setActivityConfig(OrvexPty::ActivityDetector::Config config);
    const OrvexPty::ActivityDetector::Config& activityConfig() const { return activityConfig_; }

    /// Holds the output of `terminals` for `holder` (a client that cannot keep up), in place of
    /// what `holder` held before; an empty set lets go. A terminal's output is not read, so its
    /// program waits, while any holder holds it: the slowest client sets the pace. Unknown
    /// terminals are ignored.
    void holdOutput(const void* holder, std::set<OrvexCore::UUID> terminals);

    /// The terminal's activity now, as its detector last told it (`idle` before any output).
    OrvexCore::TerminalActivity activity(const OrvexCore::UUID& terminalID);

    OrvexCore::TerminalController& controller() { return *controller_; }

private:
    struct TerminalWatch;
    void ingest(const OrvexCore::UUID& terminalID, std::string_view bytes);
    void evaluate(const OrvexCore::UUID& sessionID);
    void evaluateTerminal(const OrvexCore::UUID& terminalID);
    void tell(const OrvexCore::UUID& sessionID, std::optional<OrvexCore::UUID> terminalID,
              std::optional<TerminalStatus> terminal);
    void arm(const OrvexCore::UUID& terminalID, TerminalWatch& watch);
    TerminalWatch* watchOf(const OrvexCore::TerminalRef& ref);
    void forgetTerminal(const OrvexCore::UUID& terminalID);
    std::optional<OrvexCore::UUID> sessionOf(const OrvexCore::UUID& terminalID);
    const OrvexCore::TerminalRef* refOf(const OrvexCore::UUID& terminalID);

    boost::asio::any_io_executor executor_;
    OrvexCore::StatusMonitor::Config config_;
    OrvexPty::ActivityDetector::Config activityConfig_;
    OrvexPty::PtyTerminalEngine* engine_ = nullptr; // owned by the controller
    std::shared_ptr<OrvexCore::TerminalController> controller_;
    std::map<OrvexCore::UUID, std::unique_ptr<OrvexCore::StatusMonitor>> monitors_;
    std::map<OrvexCore::UUID, std::unique_ptr<TerminalWatch>> watches_;
    /// Each session's folded status as last told.
    std::map<OrvexCore::UUID, OrvexCore::SessionStatus> reported_;
    std::map<Stage, std::vector<OutputHook>> hooks_;
    /// What each holder holds, and how many holders hold each terminal.
    std::map<const void*, std::set<OrvexCore::UUID>> holds_;
    std::map<OrvexCore::UUID, int> holdCounts_;
    std::shared_ptr<bool> alive_;
};

} // namespace OrvexServer
