#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace OrvexCore {

/// What the program in a session's terminal was last seen doing.
enum class SessionStatus { unknown, idle, running, needsInput, bell };

/// Every case, in declaration order.
inline constexpr std::array<SessionStatus, 5> allSessionStatuses{
    SessionStatus::unknown, SessionStatus::idle, SessionStatus::running, SessionStatus::needsInput,
    SessionStatus::bell};

/// The raw value written in JSON ("unknown", "idle", "running", "needsInput", "bell").
std::string_view rawValue(SessionStatus status);

/// The case with this raw value, or nothing (matching is exact and case-sensitive).
std::optional<SessionStatus> sessionStatusFromRawValue(std::string_view raw);

} // namespace OrvexCore
