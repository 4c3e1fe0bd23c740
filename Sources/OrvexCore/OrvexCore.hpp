#pragma once

/// The Orvex core library: workspaces, sessions, git worktrees, diffs and terminals.
namespace OrvexCore {

/// The library's version.
inline constexpr const char* version = "0.1.0";

/// Reverse-DNS identifier of the application, used as the log subsystem.
inline constexpr const char* bundleIdentifier = "dev.orvex.Orvex";

} // namespace OrvexCore
