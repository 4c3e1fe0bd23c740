#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Status/TerminalActivity.hpp"

namespace OrvexServer {

/// Tells the user when a terminal nobody looks at wants them: it turned to needs-input or
/// rang the bell.
///
/// With a command set, it runs `/bin/sh -c COMMAND` with ORVEX_WORKSPACE, ORVEX_SESSION,
/// ORVEX_TERMINAL and ORVEX_STATUS ("needsInput" or "bell") in its environment (and the
/// identifiers in ORVEX_SESSION_ID and ORVEX_TERMINAL_ID); otherwise, with a desktop session
/// bus and `notify-send` on the PATH, a desktop notification. At most one per terminal for
/// each status it takes: a bell right after the needs-input notice, or a second bell before the
/// status changes, is not told again. Nothing is told for a session a client is attached to.
/// A terminal must wait for input for `needsInputHold` before it is told: a shell echoing a
/// command typed ahead of its prompt reads for a moment like a program asking a question, and
/// a notice for that would be a false alarm.
/// The command's output goes where the server's own goes (its log); the server never waits
/// for it. Main executor only.
class Notifier {
public:
    /// Names of what changed, for the notice.
    struct Subject {
        OrvexCore::UUID sessionID;
        OrvexCore::UUID terminalID;
        std::string workspace;
        std::string session;
        std::string terminal;
    };
    using Attached = std::function<bool(const OrvexCore::UUID& sessionID)>;
    static constexpr std::chrono::milliseconds needsInputHold{1000};
    using Log = std::function<void(const std::string&)>;

    Notifier(boost::asio::any_io_executor executor, Log log);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    /// The user's command; empty for none.
    void setCommand(std::string command) { command_ = std::move(command); }
    /// Who is attached; by default nobody.
    void setAttached(Attached attached) { attached_ = std::move(attached); }

    /// The terminal's status is now `activity`.
    void statusChanged(const Subject& subject, OrvexCore::TerminalActivity activity);
    /// The terminal rang the bell.
    void bell(const Subject& subject);
    /// The terminal is gone.
    void forget(const OrvexCore::UUID& terminalID);

    /// How `notify` runs for `subject` and `status`: the program and its arguments, and the
    /// variables added to the environment. Empty when there is nothing to run.
    struct Launch {
        std::vector<std::string> argv;
        std::vector<std::string> environment;
    };
    Launch launchFor(const Subject& subject, const std::string& status) const;

private:
    struct TerminalState {
        OrvexCore::TerminalActivity activity = OrvexCore::TerminalActivity::idle;
        bool told = false;
        /// Runs out when a needs-input status has held long enough to be told.
        std::shared_ptr<boost::asio::steady_timer> hold;
    };
    void notify(const Subject& subject, const std::string& status);
    void reapWhenDone(OrvexCore::Platform::ChildProcess child);

    boost::asio::any_io_executor executor_;
    Log log_;
    std::string command_;
    Attached attached_;
    std::map<OrvexCore::UUID, TerminalState> terminals_;
    std::vector<std::weak_ptr<boost::asio::posix::stream_descriptor>> watches_;
    /// Held by the notifier only: a hold running out after it is gone finds it expired.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace OrvexServer
