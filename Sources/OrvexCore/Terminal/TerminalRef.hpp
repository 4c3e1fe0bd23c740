#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "OrvexCore/Models/UUID.hpp"
#include "OrvexCore/Terminal/TerminalHandle.hpp"

namespace OrvexCore {

/// The controller's record of one terminal it owns. A value: copies share the handle.
/// Only `title`, `isExited` and `exitCode` change after construction.
struct TerminalRef {
    /// Reads `id` from the handle; not exited, no exit code, whatever the handle's state.
    TerminalRef(UUID sessionID, std::shared_ptr<TerminalHandle> handle, std::int64_t order,
                std::string title, std::string cwd, std::optional<std::string> command)
        : id(handle->id()), sessionID(sessionID), handle(std::move(handle)), order(order),
          title(std::move(title)), cwd(std::move(cwd)), command(std::move(command)) {}

    UUID id;
    UUID sessionID;
    std::shared_ptr<TerminalHandle> handle;
    /// Creation rank within the controller; larger is newer.
    std::int64_t order;
    std::string title;
    /// Absolute folder the terminal was started in.
    std::string cwd;
    /// The command it was started with; none for a plain shell.
    std::optional<std::string> command;
    bool isExited = false;
    std::optional<std::int32_t> exitCode;

    friend bool operator==(const TerminalRef&, const TerminalRef&) = default;
};

} // namespace OrvexCore
