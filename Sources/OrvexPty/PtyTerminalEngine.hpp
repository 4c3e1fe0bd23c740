#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include <boost/asio/any_io_executor.hpp>

#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Terminal/TerminalEngine.hpp"

namespace OrvexPty {

/// A terminal engine for Linux: one pseudo-terminal per terminal, running the user's shell.
///
/// Each terminal starts `$SHELL` from the environment it is given (else "/bin/sh") as the
/// leader of a new session whose controlling terminal is the pseudo-terminal, in the given
/// folder with exactly the given environment, and types the initial input that
/// `TerminalLaunch::resolve` derives from the command. Output is read on the main executor and
/// handed, chunk by chunk, to `Options::onOutput` and then to the handle's `auxiliaryCallback`;
/// the process's end is reported through the handle's `onExit` on the main executor, after the
/// output it left has been delivered. `terminate()` hangs the terminal up and stops the
/// process group (SIGHUP, then SIGKILL after a grace period). Every child is reaped: by the
/// engine as it exits, or at the latest when the last object referring to it goes.
///
/// Main executor only. The executor must be the controller's main executor.
class PtyTerminalEngine : public OrvexCore::TerminalEngine {
public:
    struct Options {
        /// Called on the main executor with every chunk a terminal's program writes (for
        /// example to feed `StatusMonitor::ingest`).
        std::function<void(const OrvexCore::UUID& terminalID, std::string_view bytes)> onOutput;
        /// The shell to start instead of the environment's `SHELL`.
        std::optional<std::string> shell;
        /// Arguments given to the shell after its name.
        std::vector<std::string> shellArguments;
        unsigned short rows = 24;
        unsigned short columns = 80;
        /// Seconds between the hang-up of `terminate()` and the SIGKILL to the process group
        /// of a shell that is still running.
        double terminateGraceSeconds = 2.0;
    };

    PtyTerminalEngine(boost::asio::any_io_executor mainExecutor, Options options);
    ~PtyTerminalEngine() override;
    PtyTerminalEngine(const PtyTerminalEngine&) = delete;
    PtyTerminalEngine& operator=(const PtyTerminalEngine&) = delete;

    /// Starts a terminal (see the class comment). When the shell cannot be started or `cwd`
    /// cannot be entered, the terminal shows why and reports exit status 126 or 127; throws
    /// std::system_error only when no pseudo-terminal or process can be created at all.
    std::shared_ptr<OrvexCore::TerminalHandle>
    makeTerminal(const std::string& cwd, const std::optional<std::string>& command,
                 const std::map<std::string, std::string>& environment) override;

    /// What an activity detector needs to look at a terminal's processes: the pseudo-terminal's
    /// master descriptor and the shell's process id.
    struct TerminalProcess {
        int masterFD;
        pid_t pid;
    };

    /// The master descriptor and shell of a live terminal this engine started; none for a
    /// handle of another engine, or once the terminal is terminated or its shell reaped. The
    /// descriptor stays valid only until the terminal is terminated: whoever keeps it (an
    /// `ActivityDetector`) must be dropped with the terminal.
    static std::optional<TerminalProcess> processOf(const OrvexCore::TerminalHandle& handle);

    /// Pauses (or resumes) reading a terminal of this engine: its program blocks once the
    /// terminal's buffer is full, and goes on when reading resumes. A process that ends while
    /// held still has its last output delivered and its exit reported. Other handles are
    /// ignored.
    static void holdOutput(const OrvexCore::TerminalHandle& handle, bool hold);

    /// How many processes this engine started that have not been reaped yet.
    std::size_t liveProcessCount() const;

    /// The shell a terminal with `environment` starts: the override, else `SHELL` when it is
    /// set and not empty, else "/bin/sh".
    std::string shellFor(const std::map<std::string, std::string>& environment) const;

    struct Child;

private:
    boost::asio::any_io_executor executor_;
    Options options_;
    std::shared_ptr<std::vector<std::weak_ptr<Child>>> children_;
};

} // namespace OrvexPty
