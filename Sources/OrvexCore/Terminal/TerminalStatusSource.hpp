#pragma once

#include <functional>

namespace OrvexCore {

/// A live terminal's own source of status updates, offered by engines that track the program
/// in the terminal themselves. The core only clears `onUpdate` when the terminal is torn down.
/// Main executor only.
class TerminalStatusSource {
public:
    virtual ~TerminalStatusSource() = default;

    /// Called by the engine on the main executor when its status changes.
    std::function<void()> onUpdate;

    /// Asks the engine to report its current status through `onUpdate`. Never called by the
    /// core.
    virtual void refresh() = 0;
};

} // namespace OrvexCore
