#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace OrvexCore {

class TerminalHandle;

/// Starts terminals. Supplied by the front end (or `PtyTerminalEngine`); owned by the
/// `TerminalController` for its whole life. Main executor only.
class TerminalEngine {
public:
    virtual ~TerminalEngine() = default;

    /// Starts a terminal in the folder `cwd` with exactly `environment`, for `command` (none:
    /// a plain shell; `TerminalLaunch::resolve` says what to start and what to type). Returns at
    /// once with a live handle whose id is fresh. Reports no failure: a terminal whose program
    /// cannot start reports an exit instead.
    virtual std::shared_ptr<TerminalHandle>
    makeTerminal(const std::string& cwd, const std::optional<std::string>& command,
                 const std::map<std::string, std::string>& environment) = 0;
};

} // namespace OrvexCore
