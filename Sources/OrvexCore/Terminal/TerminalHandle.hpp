#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "OrvexCore/Models/UUID.hpp"

namespace OrvexCore {

class TerminalStatusSource;

/// One live terminal of the engine. Shared between the engine and the controller's
/// `TerminalRef`s; every member is used on the main executor only, and the engine calls the
/// callbacks there. An engine must copy a callback before calling it: the core may replace or
/// clear the callback from inside it.
///
/// A handle may also derive from `TerminalSurfaceLifecycle`; the controller finds out with a
/// dynamic_cast.
class TerminalHandle {
public:
    virtual ~TerminalHandle() = default;

    /// The terminal's identity: fresh for every terminal, stable for the handle's life.
    virtual UUID id() const = 0;

    /// The process id of the program the terminal started, while it runs. Not used by the
    /// core.
    virtual std::optional<std::int64_t> processID() const = 0;

    /// Types `text` into the terminal as if from the keyboard. Not used by the core.
    virtual void send(std::string_view text) = 0;

    /// Stops the terminal's process if it still runs and releases the terminal. Called also
    /// for terminals whose process has already ended, and possibly more than once.
    virtual void terminate() = 0;

    /// Called once when the terminal's process ends, with its exit status (none when the engine
    /// knows none, for example when a signal ended it).
    std::function<void(std::optional<std::int32_t> exitCode)> onExit;

    /// The engine's own per-terminal notification (the pseudo-terminal engine passes every
    /// output chunk). Never set by the core; cleared when the process ends, on tear-down and on
    /// restart.
    std::function<void(std::string_view)> auxiliaryCallback;

    /// The terminal's status source, if the engine offers one. None by default.
    virtual std::shared_ptr<TerminalStatusSource> statusSource() const { return nullptr; }

    /// Called with true when the terminal's view gains keyboard focus, false when it loses it.
    std::function<void(bool focused)> onFocusChange;
};

} // namespace OrvexCore
